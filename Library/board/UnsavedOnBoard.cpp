#include "UnsavedOnBoard.h"

#include <exception>

#include "Device_VL.h"
#include "GeneralLib.h"
#include "IniFile.h"

namespace {

const char* const SecUnsaved = "UnsavedOnBoard";

std::string RecordFile() {
    return AppSettingsFolder() + "Velmorant.ini";
}

}  // namespace

std::string ChangedSettingsText(uint8_t Settings) {
    static const char* const Names[] = {"port directions",   "pull-ups",     "ADC offsets",
                                        "the update period", "the PLC mode", "program lines"};
    std::string text;
    int left = 0;
    for (unsigned bit = 0; bit < 6; ++bit) left += (Settings >> bit) & 1;
    for (unsigned bit = 0; bit < 6; ++bit) {
        if (((Settings >> bit) & 1) == 0) continue;
        text += Names[bit];
        --left;
        text += left > 1 ? ", " : left == 1 ? " and " : "";
    }
    return text.empty() ? "settings" : text;
}

uint8_t UnsavedOnBoard(const std::string& Port) {
    try {
        const int settings = TIniFile(RecordFile()).ReadInteger(SecUnsaved, Port, 0);
        return static_cast<uint8_t>(settings & 0xFF);
    } catch (const std::exception&) {
        return 0;
    }
}

void RecordUnsavedOnBoard(const std::string& Port, uint8_t Settings) {
    const uint8_t settings = UnsavedOnBoard(Port) | (Settings != 0 ? Settings : uint8_t{csOther});
    try {
        ForceDirectories(AppSettingsFolder());
        TIniFile(RecordFile()).WriteInteger(SecUnsaved, Port, settings);
    } catch (const std::exception&) {
    }
}

void ForgetUnsavedOnBoard(const std::string& Port) {
    // Most runs have nothing recorded: the file is not rewritten for them.
    if (UnsavedOnBoard(Port) == 0) return;
    try {
        TIniFile(RecordFile()).WriteInteger(SecUnsaved, Port, 0);
    } catch (const std::exception&) {
    }
}

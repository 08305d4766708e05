// Settings files: the board's whole configuration and program as an INI file, key by key.
#include <array>
#include <string>

#include "Device_VL.h"
#include "Errors.h"
#include "IniFile.h"

namespace {

const char* const SecDirections = "PortDirections";
const char* const SecPullups = "Pullups";
const char* const SecStates = "PortStates";
const char* const SecComments = "PinComments";
const char* const SecProgram = "Program";

std::string PortKey(int Port) {
    return "Port" + std::to_string(Port);
}
std::string PinKey(int Pin) {
    return "Pin" + std::to_string(Pin);
}
std::string LineKey(int Line) {
    return "Line" + std::to_string(Line);
}
std::string CommentKey(int Line) {
    return "Line" + std::to_string(Line) + ".comment";
}

// Only the physical ports have directions, and only ports 0 and 2 have pull-ups.
bool HasDirection(int Port) {
    return Port < 3;
}
bool HasPullups(int Port) {
    return Port == 0 || Port == 2;
}

}  // namespace

bool TVelmorant::SaveSettingsInFile(const std::string& Filename, bool SavePLC) {
    TIniFile ini(Filename);
    return SaveSettingsInFile(ini, SavePLC);
}

bool TVelmorant::SaveSettingsWithoutStates(const std::string& Filename) {
    TIniFile ini(Filename);
    return SaveSettings(ini, true, false);
}

bool TVelmorant::SaveSettingsInFile(TIniFile& IniFile, bool SavePLC) {
    return SaveSettings(IniFile, SavePLC, true);
}

bool TVelmorant::SaveSettings(TIniFile& IniFile, bool SavePLC, bool SaveStates) {
    for (int port = 0; port < PortCount(); ++port) {
        if (HasDirection(port)) IniFile.WriteInteger(SecDirections, PortKey(port), GetPortDirection(port));
        if (HasPullups(port)) IniFile.WriteBool(SecPullups, PortKey(port), GetPullupsEnabled(port));
        // A state the board did not give is no 0: the key keeps what it held.
        if (SaveStates && !FDevicePresent)
            IniFile.WriteInteger(SecStates, PortKey(port), 0);
        else if (SaveStates)
            if (const auto state = ReadPortState(port))
                IniFile.WriteInteger(SecStates, PortKey(port), *state);
        for (int bit = 0; bit < 8; ++bit)
            IniFile.WriteString(SecComments, PinKey(port * 8 + bit), GetPinComment(port * 8 + bit));
    }
    if (SavePLC) SaveProgramInFile(IniFile);
    return true;
}

bool TVelmorant::SaveProgramInFile(TIniFile& IniFile) {
    IniFile.WriteInteger(SecProgram, "Period", UpdatePeriod());
    for (int line = 0; line < ProgramLineCount(); ++line) {
        const TProgramLine& programLine = FProgramLines[static_cast<size_t>(line)];
        IniFile.WriteString(SecProgram, LineKey(line), ProgramLineToText(programLine));
        IniFile.WriteString(SecProgram, CommentKey(line), programLine.Comment);
    }
    return true;
}

bool TVelmorant::RecallSettingsFromFile(const std::string& Filename, bool RecallPLC) {
    return RecallSettingsFromFile(Filename, RecallPLC, false);
}

bool TVelmorant::RecallSettingsFromFile(const std::string& Filename, bool RecallPLC, bool KeepMissing) {
    TIniFile ini(Filename);
    // A missing or foreign file would otherwise reset every setting to its default without a word.
    std::string reason = ini.OpenError();
    if (!reason.empty()) throw EFileError("Cannot open \"" + Filename + "\". " + reason);
    bool known = false;
    for (const char* section : {SecDirections, SecPullups, SecStates, SecComments, SecProgram})
        known = known || ini.SectionExists(section);
    if (!known) throw EFileError("\"" + Filename + "\" is not a Velmorant settings file.");

    const std::string missing = "\x01";
    const auto has = [&](const char* Section, const std::string& Key) {
        return !KeepMissing || ini.ReadString(Section, Key, missing) != missing;
    };
    for (int port = 0; port < PortCount(); ++port) {
        if (HasDirection(port) && has(SecDirections, PortKey(port))) {
            int direction = ini.ReadInteger(SecDirections, PortKey(port), 255);
            if (direction < 0 || direction > 255)
                throw ERangeError("The direction of port " + std::to_string(port) + " in \"" + Filename +
                                  "\" is " + std::to_string(direction) + ", outside the range 0 to 255.");
            SetPortDirection(port, static_cast<uint8_t>(direction));
        }
        if (HasPullups(port) && has(SecPullups, PortKey(port)))
            SetPullupsEnabled(port, ini.ReadBool(SecPullups, PortKey(port), false));
        if (has(SecStates, PortKey(port))) {
            // Without the key the state is written back as read; a read that failed writes nothing,
            // rather than a 0 the board never had.
            const auto state = FDevicePresent ? ReadPortState(port) : std::optional<int>(0);
            const std::string text = ini.ReadString(SecStates, PortKey(port), missing);
            if (state || text != missing)
                SetPortState(port, ini.ReadInteger(SecStates, PortKey(port), state.value_or(0)));
        }
        for (int bit = 0; bit < 8; ++bit)
            if (has(SecComments, PinKey(port * 8 + bit)))
                SetPinComment(port * 8 + bit,
                              ini.ReadString(SecComments, PinKey(port * 8 + bit), std::string()));
    }
    if (RecallPLC) RecallProgram(ini, KeepMissing);
    return true;
}

void TVelmorant::SendSettings(bool SendPLC) {
    for (int port = 0; port < PortCount(); ++port) {
        if (HasDirection(port)) SetPortDirection(port, GetPortDirection(port));
        if (HasPullups(port)) SetPullupsEnabled(port, GetPullupsEnabled(port));
    }
    if (!SendPLC) return;
    SetUpdatePeriod(UpdatePeriod());
    for (int line = 0; line < ProgramLineCount(); ++line) DownloadProgramLine(line);
}

bool TVelmorant::RecallCommentsFromFile(const std::string& Filename) {
    TIniFile ini(Filename);
    if (!ini.OpenError().empty() || !(ini.SectionExists(SecComments) || ini.SectionExists(SecProgram)))
        return false;
    const std::string missing = "\x01";
    const auto take = [&](const char* Section, const std::string& Key, std::string& Comment) {
        const std::string text = ini.ReadString(Section, Key, missing);
        if (text != missing) Comment = text;
    };
    for (int pin = 0; pin < PinCount; ++pin) take(SecComments, PinKey(pin), FPinComments[size_t(pin)]);
    for (int line = 0; line < ProgramLineCount(); ++line)
        take(SecProgram, CommentKey(line), FProgramLines[size_t(line)].Comment);
    return true;
}

bool TVelmorant::RecallProgramFromFile(TIniFile& IniFile) {
    return RecallProgram(IniFile, false);
}

bool TVelmorant::RecallProgram(TIniFile& IniFile, bool KeepMissing) {
    const std::string missing = "\x01";
    if (!KeepMissing || IniFile.ReadString(SecProgram, "Period", missing) != missing)
        SetUpdatePeriod(IniFile.ReadInteger(SecProgram, "Period", UpdatePeriod()));
    for (int line = 0; line < ProgramLineCount(); ++line) {
        if (KeepMissing && IniFile.ReadString(SecProgram, LineKey(line), missing) == missing) continue;
        TProgramLine scratch;
        TextToProgramLine(scratch, IniFile.ReadString(SecProgram, LineKey(line), "nop"));
        if (!scratch.ParseError.empty())
            continue;  // the line keeps what it had, in the driver and on the board
        scratch.Comment = IniFile.ReadString(SecProgram, CommentKey(line), std::string());
        SetProgramLine(line, scratch);
        DownloadProgramLine(line);
    }
    return true;
}

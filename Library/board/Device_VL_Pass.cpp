// Commands of a shared board's clients: sent as they are, and followed in the cache, so that every
// other user of the board decides by what the board now holds rather than by what it held.
#include <charconv>
#include <set>
#include <vector>

#include "Device_VL.h"
#include "Errors.h"

namespace {

bool IsBlank(char C) {
    return C == ' ' || C == '\t';
}

// The board's own reading of a command line: the leading run of capitals, the words after it, and
// a '?' after them that makes it a query.
struct TBoardCommand {
    std::string Word;
    std::vector<std::string> Args;
    bool Query = false;
};

TBoardCommand ParseBoardCommand(const std::string& Line) {
    TBoardCommand C;
    size_t I = 0;
    while (I < Line.size() && IsBlank(Line[I])) ++I;
    while (I < Line.size() && Line[I] >= 'A' && Line[I] <= 'Z') C.Word += Line[I++];
    std::string Rest = Line.substr(I);
    while (!Rest.empty() && IsBlank(Rest.back())) Rest.pop_back();
    if (!Rest.empty() && Rest.back() == '?') {
        C.Query = true;
        Rest.pop_back();
    }
    for (size_t J = 0; J < Rest.size();) {
        while (J < Rest.size() && IsBlank(Rest[J])) ++J;
        const size_t Begin = J;
        while (J < Rest.size() && !IsBlank(Rest[J])) ++J;
        if (J > Begin) C.Args.push_back(Rest.substr(Begin, J - Begin));
    }
    return C;
}

bool ArgIn(const std::vector<std::string>& Args, size_t Index, int Min, int Max, int& Value) {
    if (Index >= Args.size()) return false;
    const std::string& Text = Args[Index];
    const char* Begin = Text.data() + (!Text.empty() && Text[0] == '+' ? 1 : 0);
    const auto [End, Error] = std::from_chars(Begin, Text.data() + Text.size(), Value);
    return Error == std::errc() && End == Text.data() + Text.size() && Value >= Min && Value <= Max;
}

// Commands that leave every setting as it was: reads, the pins' states, a program step.
const std::set<std::string>& SettingFree() {
    static const std::set<std::string> Words = {"VER", "PC",   "TEMP",  "PRTRD", "PINRD", "DIRRD",
                                                "ADC", "AORD", "PLCRD", "PLCEX", "PRTWR", "PINWR"};
    return Words;
}

}  // namespace

std::string TVelmorant::CommandWord(const std::string& Line) {
    return ParseBoardCommand(Line).Word;
}

TVelmorant::TPassed TVelmorant::PassCommand(const std::string& Line, std::string& Reply) {
    TPassed Passed;
    Reply.clear();
    const TBoardCommand C = ParseBoardCommand(Line);
    // A blank line awaits no reply; the exchange would only wait out its deadline.
    if (!FDevicePresent || Line.find_first_not_of(" \t") == std::string::npos) return Passed;
    Passed.Answered = SendCommandToDevice(Line, Reply);
    if (C.Query || SettingFree().count(C.Word) != 0) return Passed;
    // Unanswered, the command may still have taken effect.
    if (!Passed.Answered) {
        Passed.SettingsUnknown = true;
        return Passed;
    }
    if (Reply == "?") return Passed;
    Passed.SettingsUnknown = !FollowCommand(C.Word, C.Args);
    return Passed;
}

bool TVelmorant::FollowCommand(const std::string& Word, const std::vector<std::string>& Args) {
    const size_t Count = Args.size();
    int I = 0, V = 0;
    if (Word == "DIRWR" && Count == 2 && ArgIn(Args, 0, 0, PortCountConst - 1, I) &&
        ArgIn(Args, 1, 0, 255, V)) {
        if (FPortDirection[I] != V) MarkChanged(csDirections);
        FPortDirection[I] = static_cast<uint8_t>(V);
    } else if (Word == "PU" && Count == 2 && ArgIn(Args, 0, 0, PortCountConst - 1, I) &&
               ArgIn(Args, 1, INT32_MIN, INT32_MAX, V)) {
        if (FPullupsEnabled[I] != (V != 0)) MarkChanged(csPullups);
        FPullupsEnabled[I] = V != 0;
    } else if (Word == "AOWR" && Count == 2 && ArgIn(Args, 0, 0, AnalogInputCount - 1, I) &&
               ArgIn(Args, 1, -128, 128, V)) {
        if (FADCOffsets[I] != V) MarkChanged(csOffsets);
        FADCOffsets[I] = V;
    } else if (Word == "UR" && Count == 1 && ArgIn(Args, 0, INT32_MIN, INT32_MAX, V)) {
        if (FUpdatePeriod != V) MarkChanged(csPeriod);
        FUpdatePeriod = V;
    } else if (Word == "PLCEN" && Count == 1 && ArgIn(Args, 0, INT32_MIN, INT32_MAX, V)) {
        if (FPLCEnabled != (V != 0)) MarkChanged(csPLCMode);
        FPLCEnabled = V != 0;
    } else if (Word == "PLCRM" && Count == 1 && ArgIn(Args, 0, rmPaused, rmRun, V)) {
        FPLCRunMode = static_cast<TPLCRunMode>(V);
    } else if (Word == "PLCWR" && Count == 2 && ArgIn(Args, 0, 0, ProgramLineCount() - 1, I) &&
               Args[1].size() == 8) {
        TCompiledLineBytes Bytes{};
        try {
            Bytes = HexToCompiledLine(Args[1]);
        } catch (const EConvertError&) {
            return false;
        }
        TProgramLine Line = FProgramLines[I];  // its comment stays
        CompiledToProgramLine(Line, Bytes);
        SetProgramLine(I, Line);
    } else if (Word == "SAVE" && Count == 0) {
        SetChanged(false);
    } else if (Word == "RECALL" && Count == 0) {
        // The working settings are the EEPROM's again, which only the board knows.
        SetChanged(false);
        try {
            return RetrieveSettings(false);
        } catch (const std::exception&) {
            return false;
        }
    } else {
        return false;
    }
    return true;
}

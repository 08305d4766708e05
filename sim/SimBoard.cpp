// The board's command interpreter.
#include "SimBoard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

namespace velsim {

namespace {

// A signed decimal number and nothing else; no more digits than an int holds safely.
bool ParseInt(const std::string& Text, int& Value) {
    size_t I = 0;
    bool Negative = false;
    if (I < Text.size() && (Text[I] == '-' || Text[I] == '+')) Negative = Text[I++] == '-';
    if (I == Text.size() || Text.size() - I > 9) return false;
    long V = 0;
    for (; I < Text.size(); ++I) {
        if (!std::isdigit(static_cast<unsigned char>(Text[I]))) return false;
        V = V * 10 + (Text[I] - '0');
    }
    Value = static_cast<int>(Negative ? -V : V);
    return true;
}

bool IsBlank(char C) {
    return C == ' ' || C == '\t' || C == '\n' || C == '\r';
}

std::vector<std::string> SplitWords(const std::string& Text) {
    std::vector<std::string> Words;
    size_t I = 0;
    while (I < Text.size()) {
        while (I < Text.size() && IsBlank(Text[I])) ++I;
        size_t Start = I;
        while (I < Text.size() && !IsBlank(Text[I])) ++I;
        if (I > Start) Words.push_back(Text.substr(Start, I - Start));
    }
    return Words;
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
}

const char* const OK = "OK";
const char* const Unknown = "?";

bool InRange(int V, int Lo, int Hi) {
    return V >= Lo && V <= Hi;
}

}  // namespace

std::string TSimBoard::Execute(const std::string& Command) {
    if (InBootloader) return std::string();
    // The word is the leading run of capitals; "PU0?" and "PLCEN?" put their '?' after the arguments.
    size_t Begin = 0;
    while (Begin < Command.size() && IsBlank(Command[Begin])) ++Begin;
    size_t End = Begin;
    while (End < Command.size() && Command[End] >= 'A' && Command[End] <= 'Z') ++End;
    std::string Word = Command.substr(Begin, End - Begin);
    std::string Rest = Command.substr(End);
    while (!Rest.empty() && IsBlank(Rest.back())) Rest.pop_back();
    if (Word.empty()) {
        // A lone CR (or blanks) only ends whatever came before; the board stays quiet.
        return Rest.find_first_not_of(" \t\r\n") == std::string::npos ? std::string() : Unknown;
    }
    bool Query = !Rest.empty() && Rest.back() == '?';
    if (Query) Rest.pop_back();
    return Dispatch(Word, SplitWords(Rest), Query);
}

std::string TSimBoard::Dispatch(const std::string& Word, const std::vector<std::string>& Args, bool Query) {
    if (Word == "PLCWR" || Word == "PLCRD" || Word == "PLCEX")
        return Query ? Unknown : ProgramCommand(Word, Args);
    std::vector<int> N;
    for (const std::string& A : Args) {
        int V = 0;
        if (!ParseInt(A, V)) return Unknown;
        N.push_back(V);
    }
    if (Args.empty() && !Query) {
        if (Word == "VER") return Options.FirmwareVersion;
        if (Word == "PC") {
            char Buf[64];
            std::snprintf(Buf, sizeof Buf, "PC:%d L:%d ", ProgramCounter,
                          static_cast<int>(Working.Program.size()));
            return Buf;
        }
        if (Word == "BTLDR") {
            InBootloader = true;
            return std::string();
        }
        if (Word == "TEMP") return std::to_string(TemperatureF());
        if (Word == "RECALL") {
            Recall();
            return OK;
        }
        if (Word == "SAVE") return Save() ? OK : Unknown;
    }
    if (Query) {
        if (Word == "UR" && N.empty()) return std::to_string(Working.UpdatePeriod);
        if (Word == "PLCEN" && N.empty()) return Working.PLCEnabled ? "1" : "0";
        if (Word == "PLCRM" && N.empty()) return std::to_string(RunMode);
        if (Word == "PU" && N.size() == 1 && (N[0] == 0 || N[0] == 2))
            return Working.Pullups[N[0]] ? "1" : "0";
        return Unknown;
    }
    if (N.size() == 1) return OneNumberCommand(Word, N);
    return WriteCommand(Word, N);
}

std::string TSimBoard::OneNumberCommand(const std::string& Word, const std::vector<int>& N) {
    int I = N[0];
    if (Word == "PRTRD" && InRange(I, 0, 5)) {
        SampleInputs();
        return std::to_string(PortState[I]);
    }
    if (Word == "PINRD" && InRange(I, 0, 47)) {
        SampleInputs();
        return std::to_string((PortState[I / 8] >> (I % 8)) & 1);
    }
    if (Word == "DIRRD" && InRange(I, 0, 5)) return std::to_string(Working.Direction[I]);
    if (Word == "ADC" && InRange(I, 0, 4)) return std::to_string(ADCReading(I));
    if (Word == "AORD" && InRange(I, 0, 4)) return std::to_string(Working.ADCOffset[I]);
    if (Word == "UR" && InRange(I, 0, 15)) {
        Working.UpdatePeriod = I;
        return OK;
    }
    if (Word == "PLCEN" && InRange(I, 0, 255)) {
        Working.PLCEnabled = I != 0;
        return OK;
    }
    if (Word == "PLCRM" && InRange(I, 0, 2)) {
        RunMode = I;
        return OK;
    }
    return Unknown;
}

std::string TSimBoard::WriteCommand(const std::string& Word, const std::vector<int>& N) {
    if (N.size() != 2) return Unknown;
    int I = N[0], V = N[1];
    if (Word == "PRTWR" && InRange(I, 0, 5) && InRange(V, 0, 255)) {
        WritePort(I, V);
        return OK;
    }
    if (Word == "PINWR" && InRange(I, 0, 47) && InRange(V, 0, 255)) {
        WritePin(I, V != 0);
        return OK;
    }
    if (Word == "DIRWR" && InRange(I, 0, 5) && InRange(V, 0, 255)) {
        Working.Direction[I] = static_cast<uint8_t>(V);
        SampleInputs();
        return OK;
    }
    if (Word == "PU" && (I == 0 || I == 2) && InRange(V, 0, 255)) {
        Working.Pullups[I] = V != 0;
        SampleInputs();
        return OK;
    }
    if (Word == "AOWR" && InRange(I, 0, 4) && InRange(V, -128, 128)) {
        Working.ADCOffset[I] = V;
        return OK;
    }
    return Unknown;
}

std::string TSimBoard::ProgramCommand(const std::string& Word, const std::vector<std::string>& Args) {
    const int Lines = static_cast<int>(Working.Program.size());
    int Line = 0;
    if (Args.empty() || !ParseInt(Args[0], Line)) return Unknown;
    if (Word == "PLCEX") {
        if (Args.size() != 1) return Unknown;
        if (Line == -1) Line = ProgramCounter;
        if (!InRange(Line, 0, Lines - 1)) return Unknown;
        ProgramCounter = ExecuteLine(Line);
        return std::to_string(ProgramCounter);
    }
    if (!InRange(Line, 0, Lines - 1)) return Unknown;
    TSimLineBytes& Bytes = Working.Program[Line];
    if (Word == "PLCRD") {
        if (Args.size() != 1) return Unknown;
        char Buf[16];
        std::snprintf(Buf, sizeof Buf, "%02X%02X%02X%02X", Bytes[0], Bytes[1], Bytes[2], Bytes[3]);
        return Buf;
    }
    // PLCWR: the line number, then exactly eight hex digits.
    if (Args.size() != 2 || Args[1].size() != 8) return Unknown;
    TSimLineBytes New{};
    for (int B = 0; B < 4; ++B) {
        int Hi = HexDigit(Args[1][2 * B]), Lo = HexDigit(Args[1][2 * B + 1]);
        if (Hi < 0 || Lo < 0) return Unknown;
        New[B] = static_cast<uint8_t>(Hi * 16 + Lo);
    }
    Bytes = New;
    return OK;
}

void TSimBoard::WritePort(int Port, int Value) {
    if (Port >= 3) {
        PortState[Port] = static_cast<uint8_t>(Value);
        return;
    }
    const uint8_t Inputs = Working.Direction[Port];
    PortState[Port] = static_cast<uint8_t>((PortState[Port] & Inputs) | (Value & ~Inputs));
}

void TSimBoard::WritePin(int Pin, bool Value) {
    const int Port = Pin / 8;
    const uint8_t Mask = static_cast<uint8_t>(1u << (Pin % 8));
    WritePort(Port, Value ? (PortState[Port] | Mask) : (PortState[Port] & ~Mask));
}

int TSimBoard::ADCReading(int Input) const {
    return std::clamp(Analog[Input] + Working.ADCOffset[Input], 0, 1023);
}

int TSimBoard::TemperatureF() const {
    return ThermistorFahrenheit(ADCReading(4) >> 2);
}

void TSimBoard::Recall() {
    Working = EEPROM;
    Working.Program.resize(std::max(Options.ProgramLines, 0));
    if (ProgramCounter >= static_cast<int>(Working.Program.size())) ProgramCounter = 0;
    SampleInputs();
}

bool TSimBoard::Save() {
    EEPROM = Working;
    return Options.EEPROMFile.empty() || WriteEEPROMFile();
}

int ThermistorFahrenheit(int Index) {
    static constexpr int Table[256] = {
        -90, -79, -62, -51, -42, -36, -30, -26, -21, -18, -14, -11, -8,  -5,  -3,  0,   2,   4,   7,   9,
        11,  12,  14,  16,  18,  19,  21,  22,  24,  25,  27,  28,  30,  31,  32,  33,  35,  36,  37,  38,
        40,  41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51,  52,  53,  54,  55,  56,  57,  58,  59,
        60,  61,  62,  63,  64,  65,  65,  66,  67,  68,  69,  70,  71,  71,  72,  73,  74,  75,  76,  76,
        77,  78,  79,  80,  81,  81,  82,  83,  84,  85,  85,  86,  87,  88,  88,  89,  90,  91,  92,  92,
        93,  94,  95,  95,  96,  97,  98,  99,  99,  100, 101, 102, 102, 103, 104, 105, 106, 106, 107, 108,
        109, 110, 110, 111, 112, 113, 113, 114, 115, 116, 117, 118, 118, 119, 120, 121, 122, 122, 123, 124,
        125, 126, 127, 127, 128, 129, 130, 131, 132, 133, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142,
        142, 143, 144, 145, 146, 147, 148, 149, 150, 151, 152, 153, 154, 155, 156, 157, 159, 160, 161, 162,
        163, 164, 165, 166, 168, 169, 170, 171, 172, 174, 175, 176, 177, 179, 180, 181, 183, 184, 186, 187,
        189, 190, 192, 193, 195, 196, 198, 200, 202, 203, 205, 207, 209, 211, 213, 215, 217, 219, 221, 223,
        226, 228, 231, 233, 236, 239, 242, 245, 248, 251, 254, 258, 262, 265, 270, 274, 278, 283, 289, 294,
        300, 307, 314, 321, 330, 340, 350, 363, 377, 394, 416, 443, 481, 540, 659, 700};
    return Table[std::clamp(Index, 0, 255)];
}

}  // namespace velsim

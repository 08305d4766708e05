// The board's time: drifting inputs, the PLC, and the EEPROM image kept in a file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>

#include "SimBoard.h"

namespace velsim {

namespace {

// splitmix64: the inputs are a pure function of the seed and board time, so a run can be repeated.
uint64_t Mix(uint64_t X) {
    X += 0x9E3779B97F4A7C15ull;
    X = (X ^ (X >> 30)) * 0xBF58476D1CE4E5B9ull;
    X = (X ^ (X >> 27)) * 0x94D049BB133111EBull;
    return X ^ (X >> 31);
}

uint64_t Hash(unsigned Seed, uint64_t A, uint64_t B) {
    return Mix(Mix(Mix(Seed) ^ A) ^ B);
}

// The thermistor sits near room temperature: entry 75 of the table reads 73 F.
constexpr int RoomTemperatureReading = 300;
constexpr int ChunkMs = 10;  // inputs move between PLC lines at this granularity
constexpr int DelayUnitMs = 10;

const char* const EEPROMHeader = "velmorant-sim-eeprom 1";

}  // namespace

TSimBoard::TSimBoard(TSimBoardOptions Opts) : Options(std::move(Opts)) {
    Options.ProgramLines = std::max(Options.ProgramLines, 0);
    EEPROM.Program.assign(Options.ProgramLines, TSimLineBytes{});
    if (!Options.EEPROMFile.empty()) LoadEEPROMFile();
    for (int P = 0; P < 3; ++P) FFloating[P] = static_cast<uint8_t>(Hash(Options.Seed, 10, P));
    UpdateInputs();
    Recall();
}

void TSimBoard::Tick(int ElapsedMs) {
    while (ElapsedMs > 0) {
        const int Step = std::min(ElapsedMs, ChunkMs);
        ElapsedMs -= Step;
        FTimeMs += Step;
        UpdateInputs();
        RunPLC(Step);
    }
}

void TSimBoard::UpdateInputs() {
    if (InputsFrozen) {
        FFlipsDone = FTimeMs / 1000;
    } else {
        const double T = static_cast<double>(FTimeMs);
        for (int I = 0; I < 5; ++I) {
            const int Base =
                I == 4 ? RoomTemperatureReading : 150 + static_cast<int>(Hash(Options.Seed, 1, I) % 700);
            const int Amplitude = I == 4 ? 8 : 20 + static_cast<int>(Hash(Options.Seed, 2, I) % 60);
            const double PeriodMs = 20000.0 + static_cast<double>(Hash(Options.Seed, 3, I) % 40000);
            const double Phase =
                static_cast<double>(Hash(Options.Seed, 4, I) % 1000) / 1000.0 * 2 * std::numbers::pi;
            const int Noise = static_cast<int>(Hash(Options.Seed, 5 + I, FTimeMs / 250) % 5) - 2;
            const double Wave = Amplitude * std::sin(2 * std::numbers::pi * T / PeriodMs + Phase);
            Analog[I] = std::clamp(Base + static_cast<int>(std::lround(Wave)) + Noise, 0, 1023);
        }
        // Floating inputs wander slowly: one bit of one port flips per second.
        for (const uint64_t Seconds = FTimeMs / 1000; FFlipsDone < Seconds;) {
            const uint64_t H = Hash(Options.Seed, 100, ++FFlipsDone);
            FFloating[H % 3] ^= static_cast<uint8_t>(1u << ((H >> 8) % 8));
        }
    }
    SampleInputs();
}

void TSimBoard::SampleInputs() {
    for (int P = 0; P < 3; ++P) {
        const uint8_t Inputs = Working.Direction[P];
        const uint8_t Undriven = Working.Pullups[P] ? 0xFF : FFloating[P];
        const uint8_t Level = static_cast<uint8_t>((Driven[P] & DrivenLevel[P]) | (~Driven[P] & Undriven));
        PortState[P] = static_cast<uint8_t>((PortState[P] & ~Inputs) | (Level & Inputs));
    }
}

void TSimBoard::RunPLC(int ElapsedMs) {
    if (!Working.PLCEnabled || RunMode != 2 || Working.Program.empty()) {
        FPLCBudget = 0;
        return;
    }
    FPLCBudget += ElapsedMs;
    const int LineCost = 1 << std::clamp(Working.UpdatePeriod, 0, 15);
    for (;;) {
        if (FDelayLeft > 0) {
            const int Wait = std::min(FDelayLeft, FPLCBudget);
            FDelayLeft -= Wait;
            FPLCBudget -= Wait;
            if (FDelayLeft > 0) return;
        }
        if (FPLCBudget < LineCost) return;
        FPLCBudget -= LineCost;
        const int Line = ProgramCounter;
        ProgramCounter = ExecuteLine(Line);
        const TSimLineBytes& B = Working.Program[Line];
        if ((B[0] & 7) == 4) FDelayLeft = RValue(((B[0] & 8) << 5) | B[1]) * DelayUnitMs;
    }
}

int TSimBoard::ExecuteLine(int Line) {
    const int Lines = static_cast<int>(Working.Program.size());
    if (Line < 0 || Line >= Lines) return 0;
    const TSimLineBytes& B = Working.Program[Line];
    const int Next = Line + 1 < Lines ? Line + 1 : 0;
    const int Target = B[1] & 0x3F;
    const int R1 = ((B[1] & 0x40) << 2) | B[2];
    const int R2 = ((B[1] & 0x80) << 1) | B[3];
    switch (B[0] & 7) {
        case 1:  // GOTO
            return Target < Lines ? Target : 0;
        case 2: {  // IF
            const int A = RValue(R1), C = RValue(R2);
            bool Holds = false;
            switch ((B[0] >> 3) & 3) {
                case 0:
                    Holds = A == C;
                    break;
                case 1:
                    Holds = A != C;
                    break;
                case 2:
                    Holds = A < C;
                    break;
                default:
                    Holds = A > C;
                    break;
            }
            if (!Holds) return Next;
            return Target < Lines ? Target : 0;
        }
        case 3: {  // SET
            const int A = RValue(R1), C = RValue(R2);
            int Value = 0;
            switch ((B[0] >> 3) & 7) {
                case 0:
                    Value = A + C;
                    break;
                case 1:
                    Value = A - C;
                    break;
                case 2:
                    Value = A & C;
                    break;
                case 3:
                    Value = A | C;
                    break;
                case 4:
                    Value = A ^ C;
                    break;
                default:
                    return Next;
            }
            SetLValue(B[1] & 0x3F, Value);
            return Next;
        }
        default:  // NOP, DELAY (the caller does the waiting), unknown types
            return Next;
    }
}

int TSimBoard::RValue(int Code) const {
    if (Code < 6) return PortState[Code];
    if (Code < 54) return (PortState[(Code - 6) / 8] >> ((Code - 6) % 8)) & 1;
    if (Code < 59) return ADCReading(Code - 54) >> 2;
    return Code - 59;
}

void TSimBoard::SetLValue(int Code, int Value) {
    if (Code < 6)
        WritePort(Code, Value & 0xFF);
    else if (Code < 54)
        WritePin(Code - 6, Value != 0);
}

bool TSimBoard::LoadEEPROMFile() {
    std::ifstream In(Options.EEPROMFile);
    std::string Text;
    if (!In || !std::getline(In, Text) || Text != EEPROMHeader) return false;
    // Entries that do not read are skipped: a damaged image keeps the defaults for them.
    while (std::getline(In, Text)) {
        std::istringstream Line(Text);
        std::string Key;
        Line >> Key;
        if (Key == "Direction" || Key == "Pullups") {
            std::array<int, 6> V{};
            for (int& X : V) Line >> X;
            if (!Line || std::any_of(V.begin(), V.end(), [](int X) { return X < 0 || X > 255; })) continue;
            for (int P = 0; P < 6; ++P) {
                if (Key == "Direction")
                    EEPROM.Direction[P] = static_cast<uint8_t>(V[P]);
                else
                    EEPROM.Pullups[P] = V[P] != 0;
            }
        } else if (Key == "ADCOffset") {
            std::array<int, 5> V{};
            for (int& X : V) Line >> X;
            if (Line && std::all_of(V.begin(), V.end(), [](int X) { return X >= -128 && X <= 128; }))
                EEPROM.ADCOffset = V;
        } else if (Key == "UpdatePeriod") {
            int V = -1;
            if (Line >> V && V >= 0 && V <= 15) EEPROM.UpdatePeriod = V;
        } else if (Key == "PLCEnabled") {
            int V = -1;
            if (Line >> V) EEPROM.PLCEnabled = V != 0;
        } else if (Key == "Line") {
            int N = -1;
            std::string Hex;
            Line >> N >> Hex;
            if (!Line || N < 0 || N >= static_cast<int>(EEPROM.Program.size()) || Hex.size() != 8) continue;
            unsigned V = 0;
            if (Hex.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) continue;
            std::sscanf(Hex.c_str(), "%8x", &V);
            EEPROM.Program[N] = {static_cast<uint8_t>(V >> 24), static_cast<uint8_t>(V >> 16),
                                 static_cast<uint8_t>(V >> 8), static_cast<uint8_t>(V)};
        }
    }
    return true;
}

bool TSimBoard::WriteEEPROMFile() const {
    // Written beside the file and renamed over it, so a crash leaves the old image or the new one.
    const std::string Temp = Options.EEPROMFile + ".tmp";
    {
        std::ofstream Out(Temp, std::ios::trunc);
        Out << EEPROMHeader << "\nDirection";
        for (uint8_t D : EEPROM.Direction) Out << ' ' << int(D);
        Out << "\nPullups";
        for (bool P : EEPROM.Pullups) Out << ' ' << int(P);
        Out << "\nADCOffset";
        for (int O : EEPROM.ADCOffset) Out << ' ' << O;
        Out << "\nUpdatePeriod " << EEPROM.UpdatePeriod << "\nPLCEnabled " << int(EEPROM.PLCEnabled) << '\n';
        for (size_t N = 0; N < EEPROM.Program.size(); ++N) {
            char Hex[16];
            const TSimLineBytes& B = EEPROM.Program[N];
            std::snprintf(Hex, sizeof Hex, "%02X%02X%02X%02X", B[0], B[1], B[2], B[3]);
            Out << "Line " << N << ' ' << Hex << '\n';
        }
        Out.flush();
        if (!Out) {
            std::remove(Temp.c_str());
            return false;
        }
    }
    if (std::rename(Temp.c_str(), Options.EEPROMFile.c_str()) != 0) {
        std::remove(Temp.c_str());
        return false;
    }
    return true;
}

}  // namespace velsim

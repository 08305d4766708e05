#pragma once
// The board's state and command interpreter, without any I/O: Execute one command, get one reply.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velsim {

struct TSimBoardOptions {
    std::string FirmwareVersion = "1.05";
    int ProgramLines = 60;
    unsigned Seed = 1;
    std::string EEPROMFile;  // where the EEPROM image is kept; empty: in memory only
};

// The settings and program the board keeps, in its working copy and in its EEPROM.
struct TSimSettings {
    std::array<uint8_t, 6> Direction{255, 255, 255, 255, 255, 255};
    std::array<bool, 6> Pullups{};
    std::array<int, 5> ADCOffset{};
    int UpdatePeriod = 0;
    bool PLCEnabled = true;
    std::vector<std::array<uint8_t, 4>> Program;  // ProgramLines entries
};

class TSimBoard {
public:
    explicit TSimBoard(TSimBoardOptions Options = {});
    // One command without its CR; the reply without its CR. Unknown commands answer "?".
    std::string Execute(const std::string& Command);
    // Advances inputs and the PLC by ElapsedMs of board time.
    void Tick(int ElapsedMs);

    // State, public for tests and the simulator
    TSimSettings Working;
    TSimSettings EEPROM;
    std::array<uint8_t, 6> PortState{};  // outputs written, inputs sampled
    std::array<int, 5> Analog{};         // raw 10-bit readings
    int RunMode = 0;                     // 0 paused, 1 step, 2 run
    int ProgramCounter = 0;
    bool InBootloader = false;
    // ... further members are the implementer's
    TSimBoardOptions Options;
};

}  // namespace velsim

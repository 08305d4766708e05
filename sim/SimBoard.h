#pragma once
// The board's state and command interpreter, without any I/O: Execute one command, get one reply.
//
// Board behaviour where the firmware is free to choose:
// - Commands are upper case; blanks and line feeds around a command and between its words are ignored.
// - Writes answer "OK"; anything not understood (unknown word, missing or extra number, a number out
//   of range, a port, pin, input or line the board lacks) answers "?" and changes nothing.
// - Pull-ups exist on ports 0 and 2 only: "PU%d" for another port answers "?".
// - Ports 0..2 are physical: a write changes only the bits whose direction is output, input bits
//   follow the outside world. Ports 3..5 are virtual: every bit is writable, directions are stored
//   but have no effect. The same holds for writes by the PLC.
// - Inputs: a pin driven from outside (Driven/DrivenLevel) reads that level; an undriven input reads 1
//   with the port's pull-ups on, otherwise a seeded pattern in which one bit flips every second.
// - "ADC%d" answers the raw reading plus the input's offset, clamped to 0..1023. "TEMP" answers the
//   thermistor table's Fahrenheit value for entry ADC4 >> 2, so the offset of input 4 moves it too.
// - The PLC runs while it is enabled and the run mode is 2. At full speed it executes one line per
//   millisecond of board time; update period n makes that one line per 2^n ms. DELAY a waits a * 10 ms
//   of board time, whatever the update period. In a program the PLC reads an analog input as its
//   reading >> 2 (0..255) and a constant code above 314 as that code minus 59. SET masks to 8 bits for
//   a port and to 0/1 (non-zero) for a pin; it does nothing for an lvalue code the board lacks, and so
//   does an operation code 5..7 or a line type 5..7. After the last line, and at a GOTO to a line the
//   board lacks, the PLC continues at line 0.
// - "PLCEX n" executes line n (-1: the program counter) once, in any run mode and whether or not the
//   PLC is enabled, without waiting for a DELAY; it answers the next line's number.
// - The EEPROM holds directions, pull-ups, offsets, update period, PLC enabled and the program; the
//   board starts with its working settings recalled from it, paused, with every port state 0.
// - "BTLDR" makes the board silent until InBootloader is cleared (as a replug does).
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
    int BaudRate = 0;        // with a rate, a reply waits for the wire time of its command and itself (8N1)
};

using TSimLineBytes = std::array<uint8_t, 4>;

// The settings and program the board keeps, in its working copy and in its EEPROM.
struct TSimSettings {
    std::array<uint8_t, 6> Direction{255, 255, 255, 255, 255, 255};
    std::array<bool, 6> Pullups{};
    std::array<int, 5> ADCOffset{};
    int UpdatePeriod = 0;
    bool PLCEnabled = true;
    std::vector<TSimLineBytes> Program;  // ProgramLines entries

    bool operator==(const TSimSettings&) const = default;
};

// The Fahrenheit value of thermistor table entry Index (0..255); the entries follow the 10-bit readings 4 *
// Index.
int ThermistorFahrenheit(int Index);

class TSimBoard {
public:
    // Loads Options.EEPROMFile when it exists, then recalls the EEPROM into the working settings.
    explicit TSimBoard(TSimBoardOptions Options = {});
    // One command without its CR; the reply without its CR. An empty reply means the board sends nothing
    // (a lone CR, "BTLDR", anything while in the bootloader). Unknown commands answer "?".
    std::string Execute(const std::string& Command);
    // Advances inputs and the PLC by ElapsedMs of board time.
    void Tick(int ElapsedMs);
    // Executes program line Line once (a DELAY does not wait) and returns the next line's number.
    int ExecuteLine(int Line);

    // What "ADC%d" answers: the reading plus its offset, clamped to 0..1023.
    int ADCReading(int Input) const;
    // What "TEMP" answers.
    int TemperatureF() const;
    // Board time in ms since construction.
    uint64_t TimeMs() const { return FTimeMs; }
    // Copies EEPROM into Working ("RECALL").
    void Recall();
    // Copies Working into EEPROM and writes the EEPROM file when there is one ("SAVE"); false when it fails.
    bool Save();

    // State, public for tests and the simulator
    TSimSettings Working;
    TSimSettings EEPROM;
    std::array<uint8_t, 6> PortState{};  // outputs written, inputs sampled
    std::array<int, 5> Analog{};         // raw 10-bit readings
    int RunMode = 0;                     // 0 paused, 1 step, 2 run
    int ProgramCounter = 0;
    bool InBootloader = false;
    // Pins of ports 0..2 driven from outside (a bit per pin) and the levels they are driven to.
    std::array<uint8_t, 3> Driven{};
    std::array<uint8_t, 3> DrivenLevel{};
    // Keeps the analog readings and the floating input pattern where they are while time goes on.
    bool InputsFrozen = false;
    TSimBoardOptions Options;

private:
    std::string Dispatch(const std::string& Word, const std::vector<std::string>& Args, bool Query);
    std::string OneNumberCommand(const std::string& Word, const std::vector<int>& N);
    std::string WriteCommand(const std::string& Word, const std::vector<int>& N);
    std::string ProgramCommand(const std::string& Word, const std::vector<std::string>& Args);
    void WritePort(int Port, int Value);
    void WritePin(int Pin, bool Value);
    void SampleInputs();
    void UpdateInputs();
    void RunPLC(int ElapsedMs);
    int RValue(int Code) const;
    void SetLValue(int Code, int Value);
    bool LoadEEPROMFile();
    bool WriteEEPROMFile() const;

    uint64_t FTimeMs = 0;
    uint64_t FFlipsDone = 0;             // seconds of board time already applied to the floating pattern
    std::array<uint8_t, 3> FFloating{};  // what undriven inputs without pull-ups read
    int FPLCBudget = 0;                  // ms of run time not yet spent on lines
    int FDelayLeft = 0;                  // ms the running program still waits
};

}  // namespace velsim

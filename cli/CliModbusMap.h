#pragma once
// The board as a Modbus server sees it: which address is which value, which write becomes which
// board command, and which request gets which exception. No sockets and no board here, so that
// hostile frames can be driven through it alone.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TickReadings.h"

namespace velcli {

// Zero-based addresses; the map is kept stable across versions (the README's table).
namespace modbus_map {
constexpr int Pins = 48;           // coils and discrete inputs 0-47
constexpr int InputRegisters = 7;  // analog 0-4, temperature in °F, in tenths of °C
constexpr int FirstDirection = 6;  // holding registers: ports 0-5 first, then the settings
constexpr int FirstPullup = 9;     // ports 0 and 2
constexpr int FirstOffset = 11;    // analog inputs 0-4
constexpr int Period = 16;         // the PLC's update period
constexpr int RunMode = 17;        // 0 paused, 1 step, 2 run
constexpr int HoldingRegisters = 18;
}  // namespace modbus_map

// Modbus exception codes.
enum TModbusException : uint8_t {
    mxNone = 0,
    mxIllegalFunction = 0x01,
    mxIllegalAddress = 0x02,
    mxIllegalValue = 0x03,
    mxPathUnavailable = 0x0A,
    mxTargetFailed = 0x0B,
};

// What the server knows of the board: the last tick and the settings read when it was found,
// each empty when unknown. Offline answers every request that touches the board with mxTargetFailed.
struct TModbusImage {
    bool Online = false;
    std::array<std::optional<int>, 6> Ports;
    std::array<std::optional<int>, 5> Analog;
    std::optional<int> Temperature;  // °F
    std::array<std::optional<int>, modbus_map::HoldingRegisters - modbus_map::FirstDirection> Settings;

    // The tick's readings, the settings as they were.
    void TakeTick(const TTickReadings& R);
    // The value at Address of a holding or input register, as the register's 16 bits.
    std::optional<uint16_t> Holding(int Address) const;
    std::optional<uint16_t> Input(int Address) const;
    std::optional<bool> Pin(int Pin) const;
    std::optional<int> Direction(int Port) const;
};

// A change for the board, checked against the map: the setting and its new value.
struct TModbusWrite {
    enum TKind { Pin, Port, Direction, Pullup, Offset, Period, RunMode } Kind = Pin;
    int Index = 0;  // the pin, port or analog input
    int Value = 0;
    bool operator==(const TModbusWrite&) const = default;
};

// A request read from its frame (MBAP header and PDU, as it came).
struct TModbusDecision {
    // Answer with this exception; mxNone: answer from a mapping filled from the image (after the
    // writes succeeded on the board).
    TModbusException Exception = mxNone;
    std::vector<TModbusWrite> Writes;
};

// Frames of a Modbus TCP stream: 7 header bytes, then the PDU whose length the header gives.
constexpr size_t ModbusHeaderLength = 7;
constexpr size_t ModbusMaxFrame = 260;
// The length of the frame at the start of Bytes: 0 while incomplete, -1 when it cannot be Modbus
// TCP (the stream is then beyond repair).
long ModbusFrameLength(const uint8_t* Bytes, size_t Count);

// Decides a whole frame for the server with the given image; Unit -1 serves any unit id.
TModbusDecision DecideModbusRequest(const uint8_t* Frame, size_t Length, const TModbusImage& Image,
                                    bool AllowWrites, int Unit);
// The image after a write the board took.
void ApplyModbusWrite(TModbusImage& Image, const TModbusWrite& W);
// "coil 7 = 1" and the like, for the log.
std::string DescribeModbusWrite(const TModbusWrite& W);

}  // namespace velcli

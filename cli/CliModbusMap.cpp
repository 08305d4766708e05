#include "CliModbusMap.h"

#include <cmath>

#include "Conversions.h"

namespace velcli {

using namespace modbus_map;

namespace {

constexpr int FirstVirtualPort = 3;  // ports from here on are the PLC's variables: always writable

uint16_t Word(const uint8_t* P) {
    return static_cast<uint16_t>(P[0] << 8 | P[1]);
}

// The board's value of a holding register as 16 bits: offsets are signed.
std::optional<uint16_t> Bits(const std::optional<int>& V) {
    if (!V) return std::nullopt;
    return static_cast<uint16_t>(static_cast<int16_t>(*V));
}

// The change a write of Value to holding register Address asks for, or the exception it gets.
// Value is the register's 16 bits.
TModbusException HoldingWrite(const TModbusImage& Image, int Address, uint16_t Value, TModbusWrite& W) {
    const int Signed = static_cast<int16_t>(Value);
    const auto Within = [&](int Min, int Max, int V) { return V >= Min && V <= Max; };
    if (Address < FirstDirection) {
        W = {TModbusWrite::Port, Address, Value};
        if (Address < FirstVirtualPort) {
            const auto Direction = Image.Direction(Address);
            if (!Direction) return mxTargetFailed;
            // Its input pins are the board's to set: only a port of outputs is written whole.
            if (*Direction != 0) return mxIllegalAddress;
        }
        return Within(0, 255, Value) ? mxNone : mxIllegalValue;
    }
    if (Address < FirstPullup) {
        W = {TModbusWrite::Direction, Address - FirstDirection, Value};
        return Within(0, 255, Value) ? mxNone : mxIllegalValue;
    }
    if (Address < FirstOffset) {
        W = {TModbusWrite::Pullup, (Address - FirstPullup) * 2, Value};
        return Within(0, 1, Value) ? mxNone : mxIllegalValue;
    }
    if (Address < Period) {
        W = {TModbusWrite::Offset, Address - FirstOffset, Signed};
        return Within(-128, 128, Signed) ? mxNone : mxIllegalValue;
    }
    if (Address == Period) {
        W = {TModbusWrite::Period, 0, Value};
        return Within(0, 15, Value) ? mxNone : mxIllegalValue;
    }
    W = {TModbusWrite::RunMode, 0, Value};
    return Within(0, 2, Value) ? mxNone : mxIllegalValue;
}

TModbusException CoilWrite(const TModbusImage& Image, int Pin, bool On, TModbusWrite& W) {
    W = {TModbusWrite::Pin, Pin, On ? 1 : 0};
    if (Pin / 8 >= FirstVirtualPort) return mxNone;
    const auto Direction = Image.Direction(Pin / 8);
    if (!Direction) return mxTargetFailed;
    return (*Direction >> (Pin % 8) & 1) != 0 ? mxIllegalAddress : mxNone;
}

}  // namespace

void TModbusImage::TakeTick(const TTickReadings& R) {
    Ports = R.Ports;
    Analog = R.Analog;
    Temperature = R.Temperature;
}

std::optional<uint16_t> TModbusImage::Holding(int Address) const {
    if (Address < FirstDirection) return Bits(Ports[Address]);
    return Bits(Settings[Address - FirstDirection]);
}

std::optional<uint16_t> TModbusImage::Input(int Address) const {
    if (Address < 5) return Bits(Analog[Address]);
    if (!Temperature) return std::nullopt;
    if (Address == 5) return Bits(Temperature);
    return Bits(static_cast<int>(std::lround(CelsiusOf(*Temperature) * 10)));
}

std::optional<bool> TModbusImage::Pin(int Pin) const {
    const auto& Port = Ports[Pin / 8];
    if (!Port) return std::nullopt;
    return (*Port >> (Pin % 8) & 1) != 0;
}

std::optional<int> TModbusImage::Direction(int Port) const {
    return Port < 3 ? Settings[Port] : std::nullopt;
}

long ModbusFrameLength(const uint8_t* Bytes, size_t Count) {
    if (Count >= 4 && Word(Bytes + 2) != 0) return -1;  // protocol id: Modbus is 0
    if (Count < 6) return 0;
    const uint16_t Rest = Word(Bytes + 4);  // unit id and PDU
    if (Rest < 2 || Rest > ModbusMaxFrame - 6) return -1;
    return Count >= 6u + Rest ? 6 + Rest : 0;
}

TModbusDecision DecideModbusRequest(const uint8_t* Frame, size_t Length, const TModbusImage& Image,
                                    bool AllowWrites, int Unit) {
    TModbusDecision D;
    const auto Fail = [&](TModbusException E) {
        D.Exception = E;
        D.Writes.clear();
        return D;
    };
    if (Unit >= 0 && Frame[6] != Unit) return Fail(mxPathUnavailable);
    const uint8_t Function = Frame[7];
    const uint8_t* Data = Frame + 8;
    const size_t DataLength = Length - 8;
    const bool Write = Function == 5 || Function == 6 || Function == 15 || Function == 16;
    if (!Write && (Function < 1 || Function > 4)) return Fail(mxIllegalFunction);
    if (DataLength < 4) return Fail(mxIllegalValue);
    const int First = Word(Data);
    int Count = Function == 5 || Function == 6 ? 1 : Word(Data + 2);
    // The standard's limits of one request; the PDU is exactly as long as they say.
    const int MaxCount = Function <= 2 ? 2000 : Function <= 4 ? 125 : Function == 15 ? 1968 : 123;
    size_t Expected = 4;
    if (Function == 15 || Function == 16) {
        const size_t Bytes = DataLength > 4 ? Data[4] : 0;
        const size_t Needed = Function == 15 ? (Count + 7) / 8 : 2 * Count;
        if (Bytes != Needed) return Fail(mxIllegalValue);
        Expected = 5 + Bytes;
    }
    if (Count < 1 || Count > MaxCount || DataLength != Expected) return Fail(mxIllegalValue);
    const bool Bits = Function == 1 || Function == 2 || Function == 5 || Function == 15;
    const int Size = Bits ? Pins : Function == 4 ? InputRegisters : HoldingRegisters;
    if (First + Count > Size) return Fail(mxIllegalAddress);
    if (Write && !AllowWrites) return Fail(mxIllegalFunction);
    if (!Image.Online) return Fail(mxTargetFailed);
    if (!Write) {
        for (int A = First; A < First + Count; ++A) {
            const bool Known = Bits ? Image.Pin(A).has_value()
                                    : (Function == 4 ? Image.Input(A) : Image.Holding(A)).has_value();
            if (!Known) return Fail(mxTargetFailed);
        }
        return D;
    }
    if (Function == 5 && Word(Data + 2) != 0xFF00 && Word(Data + 2) != 0) return Fail(mxIllegalValue);
    for (int I = 0; I < Count; ++I) {
        TModbusWrite W;
        TModbusException E;
        if (Function == 5)
            E = CoilWrite(Image, First, Word(Data + 2) != 0, W);
        else if (Function == 15)
            E = CoilWrite(Image, First + I, (Data[5 + I / 8] >> (I % 8) & 1) != 0, W);
        else
            E = HoldingWrite(Image, First + I, Word(Function == 6 ? Data + 2 : Data + 5 + 2 * I), W);
        // Every value is checked before anything is sent.
        if (E != mxNone) return Fail(E);
        D.Writes.push_back(W);
    }
    return D;
}

void ApplyModbusWrite(TModbusImage& Image, const TModbusWrite& W) {
    auto& S = Image.Settings;
    switch (W.Kind) {
        case TModbusWrite::Pin:
            if (auto& Port = Image.Ports[W.Index / 8])
                *Port = W.Value ? *Port | 1 << (W.Index % 8) : *Port & ~(1 << (W.Index % 8));
            break;
        case TModbusWrite::Port:
            Image.Ports[W.Index] = W.Value;
            break;
        case TModbusWrite::Direction:
            S[W.Index] = W.Value;
            break;
        case TModbusWrite::Pullup:
            S[FirstPullup - FirstDirection + W.Index / 2] = W.Value;
            break;
        case TModbusWrite::Offset:
            S[FirstOffset - FirstDirection + W.Index] = W.Value;
            break;
        case TModbusWrite::Period:
            S[Period - FirstDirection] = W.Value;
            break;
        case TModbusWrite::RunMode:
            S[RunMode - FirstDirection] = W.Value;
            break;
    }
}

std::string DescribeModbusWrite(const TModbusWrite& W) {
    static const char* const Names[] = {
        "pin",           "port",    "direction of port", "pull-ups of port", "offset of analog input",
        "update period", "run mode"};
    std::string Text = Names[W.Kind];
    if (W.Kind != TModbusWrite::Period && W.Kind != TModbusWrite::RunMode)
        Text.append(" ").append(std::to_string(W.Index));
    return Text + " = " + std::to_string(W.Value);
}

}  // namespace velcli

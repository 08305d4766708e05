// TVelmorant: the board's I/O state. Settings are cached and sent when a board is present; live
// values are asked for at every call.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "Device_VL.h"

namespace {

constexpr int MinADCOffset = -128;
constexpr int MaxADCOffset = 128;
// What the board's replies hold: a port's byte, a 10-bit reading.
constexpr int MaxPortState = 255;
constexpr int MaxAnalogValue = 1023;
constexpr int AnyNumber[] = {INT32_MIN, INT32_MAX};

// A bad index is a programming error; refusing it keeps every array access in bounds.
void CheckIndex(int Index, int Count, const char* What) {
    if (Index < 0 || Index >= Count)
        throw std::out_of_range(std::string(What) + " " + std::to_string(Index) + " is outside 0.." +
                                std::to_string(Count - 1));
}

void CheckPort(TPortNumber Port) {
    CheckIndex(Port, TVelmorant::PortCountConst, "Port number");
}
void CheckPin(TPinNumber Pin) {
    CheckIndex(Pin, TVelmorant::PinCount, "Pin number");
}
void CheckInput(TAnalogInputNumber Input) {
    CheckIndex(Input, TVelmorant::AnalogInputCount, "Analog input");
}

// Pins travel as two digits: "PINRD05".
std::string TwoDigits(int Value) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "%02d", Value);
    return Text;
}

}  // namespace

bool TVelmorant::ReadDecimal(const std::string& Text, int& Value) {
    const char* Begin = Text.data();
    const char* End = Text.data() + Text.size();
    if (Begin != End && *Begin == '+') {
        ++Begin;
        if (Begin != End && *Begin == '-') return false;  // "+-5" is no number
    }
    int Result = 0;
    const auto Read = std::from_chars(Begin, End, Result);
    if (Read.ec != std::errc() || Read.ptr != End) return false;
    Value = Result;
    return true;
}

int TVelmorant::ResponseAsInt(int Default) const {
    int Value = Default;
    return ReadDecimal(FResponse, Value) ? Value : Default;
}

void TVelmorant::BadReply(const char* ErrorText) {
    const bool Question = !FResponse.empty() && FResponse.front() == '?';
    DoError(Question ? TFailureKind::NotUnderstood : TFailureKind::BadReply,
            std::string(ErrorText) + (Question ? NotUnderstoodSuffix : BadReplySuffix));
}

bool TVelmorant::Command(const std::string& Command, const char* ErrorText) {
    if (!Exchange(Command, ErrorText)) return false;
    if (FResponse.empty() || FResponse.front() != '?') return true;
    BadReply(ErrorText);
    return false;
}

std::optional<int> TVelmorant::Query(const std::string& Command, const char* ErrorText, int Min, int Max) {
    if (!Exchange(Command, ErrorText)) return std::nullopt;
    int Value = 0;
    if (ReadDecimal(FResponse, Value) && Value >= Min && Value <= Max) return Value;
    BadReply(ErrorText);
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Live values

std::optional<int> TVelmorant::ReadPortState(TPortNumber PortNumber) {
    CheckPort(PortNumber);
    if (!FDevicePresent) return std::nullopt;
    return Query("PRTRD" + std::to_string(PortNumber), "Error reading port", 0, MaxPortState);
}

std::optional<bool> TVelmorant::ReadPinState(TPinNumber PinNumber) {
    CheckPin(PinNumber);
    if (!FDevicePresent) return std::nullopt;
    const auto Value = Query("PINRD" + TwoDigits(PinNumber), "Error reading pin", AnyNumber[0], AnyNumber[1]);
    if (!Value) return std::nullopt;
    return *Value != 0;
}

std::optional<int> TVelmorant::ReadAnalogInputValue(TAnalogInputNumber Index) {
    CheckInput(Index);
    if (!FDevicePresent) return std::nullopt;
    return Query("ADC" + std::to_string(Index), "Error reading ADC", 0, MaxAnalogValue);
}

std::optional<int> TVelmorant::ReadTemperature() {
    if (!FDevicePresent) return std::nullopt;
    return Query("TEMP", "Error reading temperature", AnyNumber[0], AnyNumber[1]);
}

int TVelmorant::ReadPortStateOrZero(TPortNumber PortNumber) {
    return ReadPortState(PortNumber).value_or(0);
}

bool TVelmorant::ReadPinStateOrFalse(TPinNumber PinNumber) {
    return ReadPinState(PinNumber).value_or(false);
}

int TVelmorant::ReadAnalogInputValueOrZero(TAnalogInputNumber Index) {
    return ReadAnalogInputValue(Index).value_or(0);
}

int TVelmorant::ReadTemperatureOrZero() {
    return ReadTemperature().value_or(0);
}

void TVelmorant::SetPinState(TPinNumber PinNumber, bool Value) {
    CheckPin(PinNumber);
    if (!FDevicePresent) return;
    Command("PINWR" + TwoDigits(PinNumber) + (Value ? " 1" : " 0"), "Error writing to pin");
}

void TVelmorant::SetPortState(TPortNumber PortNumber, int Value) {
    CheckPort(PortNumber);
    if (!FDevicePresent) return;
    Command("PRTWR" + std::to_string(PortNumber) + " " + std::to_string(Value), "Error writing to port");
}

bool TVelmorant::SingleStep(int Line, int& NextLine) {
    std::string Reply;
    if (!SendCommandToDevice("PLCEX " + std::to_string(Line), Reply)) return false;
    int Next = -1;
    if (!ReadDecimal(Reply, Next) || Next < 0) return false;
    NextLine = Next;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Cached settings

uint8_t TVelmorant::GetPortDirection(TPortNumber Index) const {
    CheckPort(Index);
    return FPortDirection[Index];
}

void TVelmorant::SetPortDirection(TPortNumber PortNumber, uint8_t Value) {
    CheckPort(PortNumber);
    if (FPortDirection[PortNumber] != Value) MarkChanged(csDirections);
    FPortDirection[PortNumber] = Value;
    if (!FDevicePresent) return;
    Command("DIRWR" + std::to_string(PortNumber) + " " + std::to_string(Value),
            "Error setting port direction");
}

bool TVelmorant::GetPullupsEnabled(TPortNumber Index) const {
    CheckPort(Index);
    return FPullupsEnabled[Index];
}

void TVelmorant::SetPullupsEnabled(TPortNumber Index, bool Value) {
    CheckPort(Index);
    if (FPullupsEnabled[Index] != Value) MarkChanged(csPullups);
    FPullupsEnabled[Index] = Value;
    if (!FDevicePresent) return;
    Command("PU" + std::to_string(Index) + (Value ? " 1" : " 0"), "Error setting pullups");
}

int TVelmorant::ReadADCOffset(TAnalogInputNumber Index) {
    CheckInput(Index);
    const int Cached = FADCOffsets[Index];
    if (!FDevicePresent) return Cached;
    return Query("AORD" + std::to_string(Index), "Error getting ADC offset", MinADCOffset, MaxADCOffset)
        .value_or(Cached);
}

void TVelmorant::SetADCOffset(TAnalogInputNumber Index, int Value) {
    CheckInput(Index);
    Value = std::clamp(Value, MinADCOffset, MaxADCOffset);
    if (FADCOffsets[Index] != Value) MarkChanged(csOffsets);
    FADCOffsets[Index] = Value;
    if (!FDevicePresent) return;
    Command("AOWR" + std::to_string(Index) + " " + std::to_string(Value), "Error writing ADC offset");
}

int TVelmorant::CachedADCOffset(TAnalogInputNumber Index) const {
    CheckInput(Index);
    return FADCOffsets[Index];
}

const std::string& TVelmorant::GetPinComment(TPinNumber Index) const {
    CheckPin(Index);
    return FPinComments[Index];
}

void TVelmorant::SetPinComment(TPinNumber Index, const std::string& Value) {
    CheckPin(Index);
    FPinComments[Index] = Value;
}

void TVelmorant::SetUpdatePeriod(int Value) {
    if (FUpdatePeriod != Value) MarkChanged(csPeriod);
    FUpdatePeriod = Value;
    if (!FDevicePresent) return;
    Command("UR " + std::to_string(Value), "Error setting update rate");
}

void TVelmorant::SetPLCEnabled(bool Value) {
    if (FPLCEnabled != Value) MarkChanged(csPLCMode);
    FPLCEnabled = Value;
    if (!FDevicePresent) return;
    Command(Value ? "PLCEN 1" : "PLCEN 0", "Error enabling PLC");
}

void TVelmorant::SetPLCRunMode(TPLCRunMode Value) {
    // The run mode is not a setting the EEPROM keeps, so Changed stays. The command goes out even
    // without an identified board: the failure report tells the user the mode did not reach it.
    FPLCRunMode = Value;
    Command("PLCRM " + std::to_string(static_cast<int>(Value)), "Error setting PLC mode");
}

bool TVelmorant::ReadPLCEnabled() {
    const auto Enabled = Query("PLCEN?", "Error getting PLC state", AnyNumber[0], AnyNumber[1]);
    return Enabled ? *Enabled != 0 : FPLCEnabled;
}

TPLCRunMode TVelmorant::ReadPLCRunMode() {
    const auto Mode = Query("PLCRM?", "Error getting PLC run mode", AnyNumber[0], AnyNumber[1]);
    if (!Mode) return FPLCRunMode;
    // The board keeps the mode in one byte. A byte that names no mode is taken as paused: the
    // one mode in which the program does not run on its own.
    switch (*Mode & 0xFF) {
        case rmStep:
            return rmStep;
        case rmRun:
            return rmRun;
        default:
            return rmPaused;
    }
}

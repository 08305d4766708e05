// TVelmorant: the board's I/O state. Settings are cached and sent when a board is present; live
// values are asked for at every call.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "Device_VL.h"

namespace {

constexpr int MinADCOffset = -128;
constexpr int MaxADCOffset = 128;

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

// ---------------------------------------------------------------------------------------------
// Live values

int TVelmorant::GetPortState(TPortNumber PortNumber) {
    CheckPort(PortNumber);
    if (!FDevicePresent) return 0;
    if (!Exchange("PRTRD" + std::to_string(PortNumber), "Error reading port")) return 0;
    return ResponseAsInt(0);
}

bool TVelmorant::GetPinState(TPinNumber PinNumber) {
    CheckPin(PinNumber);
    if (!FDevicePresent) return false;
    if (!Exchange("PINRD" + TwoDigits(PinNumber), "Error reading pin")) return false;
    return ResponseAsInt(0) != 0;
}

int TVelmorant::GetAnalogInputValue(TAnalogInputNumber Index) {
    CheckInput(Index);
    if (!FDevicePresent) return 0;
    if (!Exchange("ADC" + std::to_string(Index), "Error reading ADC")) return 0;
    return ResponseAsInt(0);
}

int TVelmorant::Temperature() {
    if (!FDevicePresent) return 0;
    if (!Exchange("TEMP", "Error reading temperature")) return 0;
    return ResponseAsInt(0);
}

void TVelmorant::SetPinState(TPinNumber PinNumber, bool Value) {
    CheckPin(PinNumber);
    if (!FDevicePresent) return;
    Exchange("PINWR" + TwoDigits(PinNumber) + (Value ? " 1" : " 0"), "Error writing to pin");
}

void TVelmorant::SetPortState(TPortNumber PortNumber, int Value) {
    CheckPort(PortNumber);
    if (!FDevicePresent) return;
    Exchange("PRTWR" + std::to_string(PortNumber) + " " + std::to_string(Value), "Error writing to port");
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
    if (FPortDirection[PortNumber] != Value) FChanged = true;
    FPortDirection[PortNumber] = Value;
    if (!FDevicePresent) return;
    Exchange("DIRWR" + std::to_string(PortNumber) + " " + std::to_string(Value),
             "Error setting port direction");
}

bool TVelmorant::GetPullupsEnabled(TPortNumber Index) const {
    CheckPort(Index);
    return FPullupsEnabled[Index];
}

void TVelmorant::SetPullupsEnabled(TPortNumber Index, bool Value) {
    CheckPort(Index);
    if (FPullupsEnabled[Index] != Value) FChanged = true;
    FPullupsEnabled[Index] = Value;
    if (!FDevicePresent) return;
    Exchange("PU" + std::to_string(Index) + (Value ? " 1" : " 0"), "Error setting pullups");
}

int TVelmorant::GetADCOffset(TAnalogInputNumber Index) {
    CheckInput(Index);
    const int Cached = FADCOffsets[Index];
    if (!FDevicePresent) return Cached;
    if (!Exchange("AORD" + std::to_string(Index), "Error getting ADC offset")) return Cached;
    return ResponseAsInt(Cached);
}

void TVelmorant::SetADCOffset(TAnalogInputNumber Index, int Value) {
    CheckInput(Index);
    Value = std::clamp(Value, MinADCOffset, MaxADCOffset);
    if (FADCOffsets[Index] != Value) FChanged = true;
    FADCOffsets[Index] = Value;
    if (!FDevicePresent) return;
    Exchange("AOWR" + std::to_string(Index) + " " + std::to_string(Value), "Error writing ADC offset");
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
    if (FUpdatePeriod != Value) FChanged = true;
    FUpdatePeriod = Value;
    if (!FDevicePresent) return;
    Exchange("UR " + std::to_string(Value), "Error setting update rate");
}

void TVelmorant::SetPLCEnabled(bool Value) {
    if (FPLCEnabled != Value) FChanged = true;
    FPLCEnabled = Value;
    if (!FDevicePresent) return;
    Exchange(Value ? "PLCEN 1" : "PLCEN 0", "Error enabling PLC");
}

void TVelmorant::SetPLCRunMode(TPLCRunMode Value) {
    // The run mode is not a setting the EEPROM keeps, so Changed stays. The command goes out even
    // without an identified board: the failure report tells the user the mode did not reach it.
    FPLCRunMode = Value;
    Exchange("PLCRM " + std::to_string(static_cast<int>(Value)), "Error setting PLC mode");
}

bool TVelmorant::GetPLCEnabledFromDevice() {
    if (!Exchange("PLCEN?", "Error getting PLC state")) return FPLCEnabled;
    return ResponseAsInt(0) != 0;
}

TPLCRunMode TVelmorant::GetPLCRunModeFromDevice() {
    if (!Exchange("PLCRM?", "Error getting PLC run mode")) return FPLCRunMode;
    // The board keeps the mode in one byte. A byte that names no mode is taken as paused: the
    // one mode in which the program does not run on its own.
    switch (ResponseAsInt(0) & 0xFF) {
        case rmStep:
            return rmStep;
        case rmRun:
            return rmRun;
        default:
            return rmPaused;
    }
}

// The tick's readings as a data-log row.
#include "TickReadings.h"

const char* const DataLogHeader = "Time,Port0,Port1,Port2,VPort0,VPort1,VPort2,A0,A1,A2,A3,A4,Temp,Counter";

bool TTickReadings::Empty() const {
    for (const auto& v : Ports)
        if (v) return false;
    for (const auto& v : Analog)
        if (v) return false;
    return !Temperature;
}

std::string LogRowOf(const TTickReadings& Readings) {
    std::string row;
    const auto append = [&row](const std::optional<int>& Value) {
        if (Value) row += std::to_string(*Value);
        row += ',';
    };
    for (const auto& v : Readings.Ports) append(v);
    for (const auto& v : Readings.Analog) append(v);
    append(Readings.Temperature);
    return row;
}

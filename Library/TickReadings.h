#pragma once
// One monitor tick's readings of the board, as the window shows them and the data log records them.
#include <array>
#include <optional>
#include <string>

#include "TimeoutMgr.h"

// The twelve values of one tick, in the order they are read. A read that failed is empty: it is a
// gap, never a 0, wherever the readings go (display, data log, trends).
struct TTickReadings {
    TDateTime Time = 0;  // local time at which the tick started; 0 when no board was there to read
    std::array<std::optional<int>, 6> Ports;   // port states 0..5 (bit n = pin n of the port)
    std::array<std::optional<int>, 5> Analog;  // raw 10-bit analog values 0..4
    std::optional<int> Temperature;            // degrees Fahrenheit
    bool operator==(const TTickReadings&) const = default;

    // True when every read of the tick failed (nothing answered).
    bool Empty() const;
};

// The data log's header line: the time stamp, the twelve readings in order, and the counter.
extern const char* const DataLogHeader;

// The data-log row of a tick: "%d," per value in reading order, "," alone for a failed read.
std::string LogRowOf(const TTickReadings& Readings);

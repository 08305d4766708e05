#pragma once
// One monitor tick's readings of the board, as the window shows them and the data log records them,
// and the one way to read them.
#include <array>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TimeoutMgr.h"

class TVelmorant;

// The monitor's tick period: the session reads the board this often, and data-log rows are taken
// at its ticks.
inline constexpr int StatusTickMs = 500;

// The twelve values of one tick, in the order they are read. A read that failed is empty: it is a
// gap, never a 0, wherever the readings go (display, data log, trends).
struct TTickReadings {
    TDateTime Time = 0;  // local time at which the tick started; 0 when no board was there to read
    std::array<std::optional<int>, 6> Ports;   // port states 0..5 (bit n = pin n of the port)
    std::array<std::optional<int>, 5> Analog;  // raw 10-bit analog values 0..4
    std::optional<int> Temperature;            // degrees Fahrenheit
    // The driver's error texts of the tick, each once, in the order they came.
    std::vector<std::string> Errors;
    // Why each read in reading order failed: its error text, "" for a read that did not fail or was
    // not made.
    std::array<std::string, 12> Failures;
    // Stop ended the tick before its last read; the reads not made are empty.
    bool Stopped = false;
    bool operator==(const TTickReadings&) const = default;

    // True when every read of the tick failed (nothing answered).
    bool Empty() const;
    // The twelve values in reading order: the data log's columns after the time.
    std::array<std::optional<int>, 12> Values() const;
};

// Reads one tick on a connected driver: empty readings (Time 0) without a board. Each read stands
// alone, so a failed one is a gap and the others are still good. A board silent at the first read
// ends the tick there (it would cost a deadline per read), and so does a port that hung up. Stop,
// when given, is asked between reads. The driver's error callback still hears every error.
TTickReadings ReadTick(TVelmorant& Driver, const std::function<bool()>& Stop = {});

// Which errors of a run of ticks to tell the user: each text the first time it comes, not at every
// tick it comes again.
class TTickErrorFilter {
public:
    // The errors of Tick not told before.
    std::vector<std::string> NewErrors(const TTickReadings& Tick);
    // Everything may be told again (a new connection).
    void Reset() { FTold.clear(); }

private:
    std::set<std::string> FTold;
};

// The data log's header line: the time stamp, the twelve readings in order, and the counter.
extern const char* const DataLogHeader;

// The data-log row of a tick: "%d," per value in reading order, "," alone for a failed read.
std::string LogRowOf(const TTickReadings& Readings);

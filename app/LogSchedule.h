#pragma once
// When the data log's rows fall due. Rows are counted in slots of one interval on the clock their
// stamps are written in (whole seconds), so that late or early ticks can neither put two rows in
// one second nor make up a row for a second in which no tick came.
#include <cstdint>
#include <optional>

class TLogSchedule {
public:
    // Rows every IntervalMs from now on. The first tick takes a row, unless the last row taken is
    // less than an interval ago: then the first tick an interval after it.
    void Start(int64_t IntervalMs);
    // Whether the tick stamped StampMs (ms on the clock the rows' stamps show) takes a row: the first
    // tick of each interval-long slot, the slots counted from the first row since Start.
    bool TakeRow(int64_t StampMs);

private:
    int64_t FInterval = 1000;
    std::optional<int64_t> FAnchor;    // the second the slots are counted from; none: not yet
    std::optional<int64_t> FLastSlot;  // the slot of the last row taken, counted from FAnchor
    std::optional<int64_t> FLastSecond;
    bool FReanchor = true;  // the next row taken starts the slots afresh
};

#pragma once
// When the data log's rows fall due. Each row is due one interval after the previous one was due,
// not after it was taken, so the ticks' jitter never adds up into a lost row.
#include <cstdint>
#include <optional>

class TLogSchedule {
public:
    // Rows every IntervalMs from now on, offered at ticks about TickMs apart (times in ms on one
    // monotonic clock). The first row is due at once, unless the last one taken is less than an
    // interval ago: then one interval after that one's due time.
    void Start(int64_t IntervalMs, int64_t TickMs, int64_t NowMs);
    // Whether the tick at NowMs takes a row.
    bool TakeRow(int64_t NowMs);

private:
    int64_t FInterval = 0;
    int64_t FHalfTick = 0;
    std::optional<int64_t> FDue;      // none: the next tick takes a row
    std::optional<int64_t> FLastDue;  // the due time of the last row taken
};

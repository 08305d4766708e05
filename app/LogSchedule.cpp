#include "LogSchedule.h"

void TLogSchedule::Start(int64_t IntervalMs, int64_t TickMs, int64_t NowMs) {
    FInterval = IntervalMs;
    FHalfTick = TickMs / 2;
    // Switching off and on again does not shorten the interval since the last row.
    if (FLastDue && NowMs < *FLastDue + FInterval)
        FDue = *FLastDue + FInterval;
    else
        FDue.reset();
}

bool TLogSchedule::TakeRow(int64_t NowMs) {
    if (!FDue) FDue = NowMs;
    // A whole interval without a tick (no board) is not made up in a burst: the row waits for the
    // first boundary whose nearest tick may still come.
    if (NowMs - *FDue >= FInterval && FInterval > 0)
        *FDue += ((NowMs - FHalfTick - *FDue) / FInterval + 1) * FInterval;
    // The row goes with the tick nearest its due time: the first at or after half a tick before it.
    if (NowMs < *FDue - FHalfTick) return false;
    FLastDue = FDue;
    *FDue += FInterval;
    return true;
}

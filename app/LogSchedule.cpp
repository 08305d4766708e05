#include "LogSchedule.h"

namespace {

int64_t FloorDiv(int64_t A, int64_t B) {
    return A / B - ((A % B != 0) && ((A < 0) != (B < 0)));
}

}  // namespace

void TLogSchedule::Start(int64_t IntervalMs) {
    // Whole seconds, as the stamps show them; a shorter interval would take a row at every tick.
    FInterval = IntervalMs < 1000 ? 1 : IntervalMs / 1000;
    // Switching off and on again does not shorten the interval since the last row: the slot after
    // its own is the first that may take one.
    if (FLastSecond) {
        FAnchor = FLastSecond;
        FLastSlot = 0;
    }
    FReanchor = true;
}

bool TLogSchedule::TakeRow(int64_t StampMs) {
    const int64_t second = FloorDiv(StampMs, 1000);
    // A clock set back starts afresh rather than waiting for the old slots to come round again.
    const bool setBack = FLastSecond && second < *FLastSecond;
    if (FAnchor && !setBack) {
        const int64_t slot = FloorDiv(second - *FAnchor, FInterval);
        if (FLastSlot && slot <= *FLastSlot) return false;
        FLastSlot = slot;
    }
    if (!FAnchor || setBack || FReanchor) {
        FAnchor = second;
        FLastSlot = 0;
        FReanchor = false;
    }
    FLastSecond = second;
    return true;
}

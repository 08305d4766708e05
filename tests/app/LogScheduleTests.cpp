// When data-log rows are taken: one per interval at the tick nearest its due time, whatever the
// ticks' jitter, and no burst after ticks stopped for a while. On a stepped clock, never a sleep.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "LogRecorder.h"
#include "LogSchedule.h"

namespace {

// The status timer's tick k: every 500 ms, up to 120 ms early or late.
int64_t TickTime(int K) {
    return K * int64_t{StatusTickMs} + (K * 53) % 241 - 120;
}

}  // namespace

TEST(LogSchedule, OneRowPerIntervalWithoutDriftOrBurst) {
    const struct {
        const char* Name;
        int IntervalSecs;
        int GapFromMs, GapToMs;  // no ticks (no board) from the one to the other
        int Rows;
    } Cases[] = {
        {"1 s", 1, 0, 0, 60},
        {"2 s", 2, 0, 0, 30},
        {"5 s", 5, 0, 0, 12},
        // 0..10 s, then from the first boundary after the gap that a tick can still be nearest to.
        {"1 s, 7 s without ticks", 1, 10200, 17300, 11 + 42},
        {"5 s, 21 s without ticks", 5, 12200, 33300, 3 + 5},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const int64_t Interval = C.IntervalSecs * int64_t{1000};
        TLogSchedule Schedule;
        Schedule.Start(Interval, StatusTickMs, 0);
        std::vector<int64_t> Taken;
        for (int K = 0; K < 120; ++K) {  // a minute
            const int64_t Now = TickTime(K);
            if (Now >= C.GapFromMs && Now < C.GapToMs) continue;
            if (Schedule.TakeRow(Now)) Taken.push_back(Now);
        }
        ASSERT_EQ(int(Taken.size()), C.Rows);
        // Each row within a tick of its own boundary, no two rows for one boundary.
        int64_t LastBoundary = -1;
        for (const int64_t T : Taken) {
            const int64_t Boundary = (T - Taken.front() + Interval / 2) / Interval;
            EXPECT_LT(std::abs(T - Taken.front() - Boundary * Interval), StatusTickMs) << "row at " << T;
            EXPECT_GT(Boundary, LastBoundary) << "second row for " << Boundary;
            LastBoundary = Boundary;
        }
    }
}

// Switched off after the first row (at 0, interval 5 s) and on again: within the interval the next
// row waits for it, after it the row comes at once.
TEST(LogSchedule, SwitchingOnAgain) {
    for (const auto& [OnAgain, FirstRow] : {std::pair<int64_t, int64_t>{1000, 5000}, {7000, 7000}}) {
        TLogSchedule Schedule;
        Schedule.Start(5000, StatusTickMs, 0);
        ASSERT_TRUE(Schedule.TakeRow(0));
        Schedule.Start(5000, StatusTickMs, OnAgain);
        int64_t Now = OnAgain;
        while (!Schedule.TakeRow(Now)) Now += StatusTickMs;
        EXPECT_EQ(Now, FirstRow);
    }
}

// When data-log rows are taken: stated as a property over ticks that jitter, run late and stop for a
// while, on stepped stamps, never a sleep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "LogRecorder.h"
#include "LogSchedule.h"

namespace {

// Tick k's stamp in ms: the status timer's period, and what a busy machine makes of it.
struct TTickSequence {
    const char* Name;
    int64_t (*Stamp)(int K, uint32_t Noise);
};

uint32_t NextNoise(uint32_t& State) {
    State = State * 1664525u + 1013904223u;
    return State >> 8;
}

const TTickSequence Sequences[] = {
    {"on time", [](int K, uint32_t) { return 250 + K * int64_t{StatusTickMs}; }},
    {"120 ms early or late",
     [](int K, uint32_t N) { return 1000 + K * int64_t{StatusTickMs} + N % 241 - 120; }},
    // Each tick waits for a busy core up to 900 ms, the next one comes as soon as it can.
    {"late by up to 900 ms", [](int K, uint32_t N) { return K * int64_t{StatusTickMs} + N % 900; }},
    {"7 s without ticks",
     [](int K, uint32_t N) { return K * int64_t{StatusTickMs} + N % 300 + (K >= 20 ? 7000 : 0); }},
};

int64_t SecondOf(int64_t Ms) {
    return Ms >= 0 ? Ms / 1000 : -((999 - Ms) / 1000);
}

}  // namespace

// No two rows fall in one interval (for 1 s: one stamp's second), and every interval in which a tick
// came holds a row; an interval without a tick has none.
TEST(LogSchedule, OneRowForEachIntervalThatHadATick) {
    for (const TTickSequence& Sequence : Sequences) {
        for (const int IntervalSecs : {1, 2, 5}) {
            SCOPED_TRACE(std::string(Sequence.Name) + ", every " + std::to_string(IntervalSecs) + " s");
            TLogSchedule Schedule;
            Schedule.Start(IntervalSecs * int64_t{1000});
            uint32_t Noise = 12345;
            std::vector<int64_t> Ticks, Rows;
            int64_t Last = -1;
            for (int K = 0; K < 240; ++K) {
                const int64_t Stamp = std::max(Last + 1, Sequence.Stamp(K, NextNoise(Noise)));
                Last = Stamp;
                Ticks.push_back(Stamp);
                if (Schedule.TakeRow(Stamp)) Rows.push_back(Stamp);
            }
            ASSERT_FALSE(Rows.empty());
            ASSERT_EQ(Rows.front(), Ticks.front());
            // The first tick of each interval-long slot since the first row, and no other.
            const auto slotOf = [&](int64_t Ms) {
                return (SecondOf(Ms) - SecondOf(Rows.front())) / IntervalSecs;
            };
            std::vector<int64_t> Expected;
            for (size_t I = 0; I < Ticks.size(); ++I)
                if (I == 0 || slotOf(Ticks[I]) != slotOf(Ticks[I - 1])) Expected.push_back(Ticks[I]);
            EXPECT_EQ(Rows, Expected);
        }
    }
}

// Switched off after the first row (at 0, interval 5 s) and on again: within the interval the next
// row waits for it, after it the row comes at once; a clock set back an hour does not stop the rows.
TEST(LogSchedule, SwitchingOnAgainAndClockSetBack) {
    for (const auto& [OnAgain, FirstRow] :
         {std::pair<int64_t, int64_t>{1000, 5000}, {7000, 7000}, {-3'600'000, -3'600'000}}) {
        TLogSchedule Schedule;
        Schedule.Start(5000);
        ASSERT_TRUE(Schedule.TakeRow(0));
        Schedule.Start(5000);
        int64_t Now = OnAgain;
        while (!Schedule.TakeRow(Now)) Now += StatusTickMs;
        EXPECT_EQ(Now, FirstRow);
    }
}

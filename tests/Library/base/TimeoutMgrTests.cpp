#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "Errors.h"
#include "TestFiles.h"
#include "TimeoutMgr.h"

namespace {

constexpr double OneMs = 1.0 / 86'400'000;

TEST(TimeoutCount, DurationsOfADayOrMoreAreRefused) {
    const std::pair<uint32_t, bool> Cases[] = {
        {0, true}, {1000, true}, {86'399'999, true}, {86'400'000, false}, {UINT32_MAX, false}};
    for (const auto& [Millisecs, Accepted] : Cases) {
        if (Accepted) {
            EXPECT_NO_THROW(TTimeoutCount{Millisecs}) << Millisecs;
        } else {
            EXPECT_THROW(TTimeoutCount{Millisecs}, ERangeError) << Millisecs;
        }
    }
    TTimeoutCount Count(3'600'000);
    EXPECT_THROW(Count.Reset(86'400'000), ERangeError);
    EXPECT_GT(Count.MillisecsLeft(), 3'000'000);  // a refused Reset keeps the old deadline
}

TEST(TimeoutCount, ExpiresOnceItsTimeHasPassed) {
    TTimeoutCount Count(0);
    // MillisecsLeft is the wait after which the count must read expired, so this needs no guessing.
    std::this_thread::sleep_for(std::chrono::milliseconds(Count.MillisecsLeft()));
    EXPECT_TRUE(Count.IsExpired());
    EXPECT_EQ(Count.MillisecsLeft(), 0);

    Count.Reset(3'600'000);
    EXPECT_FALSE(Count.IsExpired());
    EXPECT_LE(Count.MillisecsLeft(), 3'600'001);
    Count.Reset(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(Count.MillisecsLeft()));
    EXPECT_TRUE(Count.IsExpired());
    Count.Reset();  // the same 2 ms again, from now
    EXPECT_LE(Count.MillisecsLeft(), 3);
}

TEST(TimeValues, SecondsAndFieldsEncodeAsFractionsOfADay) {
    const std::pair<int, double> Secs[] = {
        {0, 0.0}, {1, 1.0 / 86400}, {3600, 1.0 / 24}, {43200, 0.5}, {86399, 86399.0 / 86400}};
    for (const auto& [In, Out] : Secs) EXPECT_NEAR(SecsToTime(In), Out, OneMs / 10) << In;
    for (int Bad : {-1, 86400, 1'000'000}) EXPECT_THROW(SecsToTime(Bad), ERangeError) << Bad;

    EXPECT_NEAR(EncodeTime(23, 59, 59, 999), 1.0 - OneMs, OneMs / 10);
    EXPECT_NEAR(EncodeTime(0, 0, 0, 1), OneMs, OneMs / 10);
    EXPECT_EQ(EncodeTime(23, 59, 59, 0), SecsToTime(86399));
    const unsigned Bad[][4] = {{24, 0, 0, 0}, {0, 60, 0, 0}, {0, 0, 60, 0}, {0, 0, 0, 1000}};
    for (const auto& F : Bad) EXPECT_THROW(EncodeTime(F[0], F[1], F[2], F[3]), ERangeError);
}

TEST(TimeValues, NowIsLocalTimeCountedFrom1899) {
    {
        const veltest::TSavedEnvironment Saved{"TZ"};
        // POSIX TZ offsets count west of Greenwich, hence the inverted signs.
        const std::pair<const char*, double> Zones[] = {{"UTC0", 0}, {"EAT-3", 3}, {"NST3:30", -3.5}};
        for (const auto& [Zone, Hours] : Zones) {
            setenv("TZ", Zone, 1);
            tzset();
            const double Utc = 25569.0 + static_cast<double>(std::time(nullptr)) / 86400;
            EXPECT_NEAR(Now() - Utc, Hours / 24, 5.0 / 86400) << Zone;
        }
    }
    tzset();
}

}  // namespace

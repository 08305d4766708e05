#include <gtest/gtest.h>

#include <cmath>

#include "TrendRing.h"

namespace {

TTrendValues Filled(float V) {
    TTrendValues Values;
    Values.fill(V);
    return Values;
}

// Samples at times 0..N-1 with the given values in column A0.
TTrendRing RingOf(const std::vector<float>& Values, size_t Capacity = 0) {
    TTrendRing Ring(Capacity ? Capacity : Values.size());
    for (size_t I = 0; I < Values.size(); ++I) Ring.Add(static_cast<double>(I), Filled(Values[I]));
    return Ring;
}

}  // namespace

TEST(TrendRing, KeepsTheNewestInOrderOnceFull) {
    TTrendRing Ring = RingOf({10, 11, 12, 13, 14}, 3);
    ASSERT_EQ(Ring.Size(), 3u);
    for (size_t I = 0; I < 3; ++I) {
        EXPECT_EQ(Ring.Time(I), 2.0 + I);
        EXPECT_EQ(Ring.Value(I, tcTemperature), 12.0f + I);
    }
    EXPECT_EQ(Ring.LowerBound(2.5), 1u);
    EXPECT_EQ(Ring.LowerBound(-1), 0u);
    EXPECT_EQ(Ring.LowerBound(9), 3u);

    TTrendRing None(0);
    None.Add(1, Filled(1));
    EXPECT_TRUE(None.Empty());
}

TEST(TrendRing, AFailedReadIsAGapNotAZero) {
    TTickReadings Tick;
    Tick.Time = 5;
    Tick.Analog[2] = 0;
    Tick.Ports[1] = 7;
    TTrendRing Ring(4);
    Ring.Add(Tick);
    EXPECT_EQ(Ring.Value(0, tcAnalog0 + 2), 0.0f);
    EXPECT_EQ(Ring.Value(0, tcPort0 + 1), 7.0f);
    EXPECT_TRUE(std::isnan(Ring.Value(0, tcAnalog0)));
    EXPECT_TRUE(std::isnan(Ring.Value(0, tcTemperature)));
}

TEST(TrendDecimation, KeepsExtremesGapsAndEdges) {
    const float G = NAN;
    struct TCase {
        const char* Name;
        std::vector<float> Values;  // at times 0, 1, 2, ...
        double From, To;
        int Buckets;
        TTrendSource Source;
        std::vector<TTrendPoint> Expected;  // NaN compares as a gap
    };
    const TTrendSource A0{tcAnalog0, -1};
    const std::vector<TCase> Cases = {
        {"one bucket keeps min then max in time order", {5, 9, 1, 5}, 0, 3.5, 1, A0, {{1, 9}, {2, 1}}},
        {"a spike survives", {5, 5, 900, 5, 5, 5}, 0, 5.9, 2, A0, {{0, 5}, {2, 900}, {3, 5}}},
        {"a flat bucket gives one point", {3, 3, 3}, 0, 2.5, 1, A0, {{0, 3}}},
        {"a gap inside a bucket stays, in its place", {4, G, 8}, 0, 2.5, 1, A0, {{0, 4}, {1, G}, {2, 8}}},
        {"an all-gap bucket is a gap", {G, G}, 0, 1.5, 1, A0, {{0, G}}},
        {"the samples just outside the range are kept",
         {1, 2, 3, 4, 5},
         1.5,
         2.5,
         1,
         A0,
         {{1, 2}, {2, 3}, {3, 4}}},
        {"a pin is one bit of its port",
         {0, 4, 5, 1},
         0,
         3.5,
         4,
         {tcPort0, 2},
         {{0, 0}, {1, 1}, {2, 1}, {3, 0}}},
        {"a range before every sample gives the first only", {1, 2}, -5, -4, 3, A0, {{0, 1}}},
        {"an inverted range gives nothing", {1, 2}, 2, 1, 3, A0, {}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        TTrendRing Ring = RingOf(C.Values);
        std::vector<TTrendPoint> Out;
        DecimateTrend(Ring, C.Source, C.From, C.To, C.Buckets, Out);
        ASSERT_EQ(Out.size(), C.Expected.size());
        for (size_t I = 0; I < Out.size(); ++I) {
            EXPECT_EQ(Out[I].Time, C.Expected[I].Time);
            if (std::isnan(C.Expected[I].Value))
                EXPECT_TRUE(std::isnan(Out[I].Value));
            else
                EXPECT_EQ(Out[I].Value, C.Expected[I].Value);
        }
    }
}

TEST(TrendDecimation, ADayOfSamplesDrawsAsAboutTwoPointsPerColumn) {
    TTrendRing Ring;
    for (size_t I = 0; I < TrendDayCapacity + 1000; ++I)  // wrapped once
        Ring.Add(I * 0.5, Filled(static_cast<float>(I % 1024)));
    ASSERT_EQ(Ring.Size(), TrendDayCapacity);
    std::vector<TTrendPoint> Out;
    const double First = Ring.Time(0), Last = Ring.Time(Ring.Size() - 1);
    DecimateTrend(Ring, {tcAnalog0, -1}, First, Last, 800, Out);
    EXPECT_LE(Out.size(), 2u * 801);
    EXPECT_GE(Out.size(), 2u * 799);
    for (size_t I = 1; I < Out.size(); ++I) ASSERT_LT(Out[I - 1].Time, Out[I].Time);
    const double Column = (Last - First) / 800;
    EXPECT_LT(Out.front().Time, First + Column);
    EXPECT_GT(Out.back().Time, Last - Column);
}

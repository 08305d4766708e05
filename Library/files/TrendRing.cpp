// The trend ring and its decimation.
#include "TrendRing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Decimate.h"

namespace {

constexpr float Gap = std::numeric_limits<float>::quiet_NaN();

float ValueOf(const TTrendRing& Ring, size_t I, TTrendSource Source) {
    const float V = Ring.Value(I, Source.Column);
    if (Source.Bit < 0 || std::isnan(V)) return V;
    return static_cast<float>((static_cast<int>(V) >> Source.Bit) & 1);
}

}  // namespace

TTrendRing::TTrendRing(size_t Capacity) : FTimes(Capacity) {
    for (auto& Column : FColumns) Column.resize(Capacity);
}

void TTrendRing::Add(double Time, const TTrendValues& Values) {
    const size_t Cap = FTimes.size();
    if (Cap == 0) return;
    size_t Slot;
    if (FSize < Cap) {
        Slot = Physical(FSize);
        ++FSize;
    } else {
        Slot = FHead;
        FHead = FHead + 1 == Cap ? 0 : FHead + 1;
    }
    FTimes[Slot] = Time;
    for (int C = 0; C < tcColumnCount; ++C) FColumns[C][Slot] = Values[C];
}

void TTrendRing::Add(const TTickReadings& Readings) {
    TTrendValues Values;
    const auto Of = [](const std::optional<int>& V) { return V ? static_cast<float>(*V) : Gap; };
    const auto Read = Readings.Values();  // the columns' order
    for (int C = 0; C < tcColumnCount; ++C) Values[C] = Of(Read[C]);
    Add(Readings.Time, Values);
}

void TTrendRing::AddGap(double Time) {
    TTrendValues Values;
    Values.fill(Gap);
    Add(Time, Values);
}

void TTrendRing::Clear() {
    FHead = 0;
    FSize = 0;
}

size_t TTrendRing::LowerBound(double T, size_t First, size_t End) const {
    return TimeLowerBound([this](size_t I) { return Time(I); }, T, First, std::min(End, FSize));
}

void TTrendHistory::StartConnection(double Time) {
    FConnectedAt = Time;
    if (!FRing.Empty()) FRing.AddGap(Time);
}

void DecimateTrend(const TTrendRing& Ring, TTrendSource Source, double From, double To, int Buckets,
                   std::vector<TTrendPoint>& Out) {
    DecimateSeries(
        Ring.Size(), [&](size_t I) { return Ring.Time(I); },
        [&](size_t I) { return ValueOf(Ring, I, Source); }, From, To, Buckets, Out);
}

// The trend ring and its decimation.
#include "TrendRing.h"

#include <algorithm>
#include <cmath>
#include <limits>

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
    size_t Lo = First, Hi = std::min(End, FSize);
    while (Lo < Hi) {
        const size_t Mid = Lo + (Hi - Lo) / 2;
        if (Time(Mid) < T)
            Lo = Mid + 1;
        else
            Hi = Mid;
    }
    return Lo;
}

void DecimateTrend(const TTrendRing& Ring, TTrendSource Source, double From, double To, int Buckets,
                   std::vector<TTrendPoint>& Out) {
    Out.clear();
    if (Ring.Empty() || !(To >= From)) return;
    if (Buckets < 1) Buckets = 1;
    size_t First = Ring.LowerBound(From);
    if (First > 0) --First;
    size_t Last = Ring.LowerBound(To);  // one past the range, or the sample just after it
    if (Last >= Ring.Size()) Last = Ring.Size() - 1;

    const double Width = To > From ? (To - From) / Buckets : 1.0;
    size_t I = First;
    while (I <= Last) {
        // One bucket: the samples that fall into the same slice as sample I (the outside samples
        // get slices of their own, below 0 or at Buckets and beyond).
        // A binary search for the bucket's end keeps the per-sample work to reading the value.
        const double Slice = std::floor((Ring.Time(I) - From) / Width);
        const size_t End = Ring.LowerBound(From + (Slice + 1) * Width, I + 1, Last + 1);
        size_t MinAt = I, MaxAt = I, GapAt = Last + 1;
        float Min = std::numeric_limits<float>::infinity(), Max = -Min;
        size_t J = I;
        for (; J < End; ++J) {
            const float V = ValueOf(Ring, J, Source);
            if (std::isnan(V)) {
                if (GapAt > Last) GapAt = J;
            } else {
                if (V < Min) Min = V, MinAt = J;
                if (V > Max) Max = V, MaxAt = J;
            }
        }
        // Up to three points of the bucket in time order.
        size_t At[3];
        int N = 0;
        if (Max >= Min) {
            At[N++] = std::min(MinAt, MaxAt);
            if (MaxAt != MinAt) At[N++] = std::max(MinAt, MaxAt);
        }
        if (GapAt <= Last) {
            int K = N++;
            while (K > 0 && At[K - 1] > GapAt) At[K] = At[K - 1], --K;
            At[K] = GapAt;
        }
        for (int K = 0; K < N; ++K) {
            const size_t S = At[K];
            const float V = S == GapAt ? Gap : ValueOf(Ring, S, Source);
            Out.push_back({Ring.Time(S), V});
        }
        I = J;
    }
}

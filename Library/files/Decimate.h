#pragma once
// Min/max decimation of a time-ordered series, whatever holds it: the trends' ring, a capture.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "TrendRing.h"

// The samples of a series (Count of them; TimeAt(I) not decreasing, ValueAt(I) a float, NaN for a
// gap) between From and To as at most about three points per bucket (Buckets equal slices of the
// range): the bucket's lowest and highest value in their time order, and a gap where the bucket held
// one. Includes the sample just outside each end, so that the line runs to the plot's edges.
// Buckets < 1 counts as 1. Costs one pass over the samples in range.
template <typename TTimeAt, typename TValueAt>
void DecimateSeries(size_t Count, const TTimeAt& TimeAt, const TValueAt& ValueAt, double From, double To,
                    int Buckets, std::vector<TTrendPoint>& Out) {
    Out.clear();
    if (Count == 0 || !(To >= From)) return;
    if (Buckets < 1) Buckets = 1;
    size_t First = TimeLowerBound(TimeAt, From, 0, Count);
    if (First > 0) --First;
    size_t Last = TimeLowerBound(TimeAt, To, 0, Count);  // one past the range, or the sample just after it
    if (Last >= Count) Last = Count - 1;

    constexpr float Gap = std::numeric_limits<float>::quiet_NaN();
    const double Width = To > From ? (To - From) / Buckets : 1.0;
    size_t I = First;
    while (I <= Last) {
        // One bucket: the samples that fall into the same slice as sample I (the outside samples
        // get slices of their own, below 0 or at Buckets and beyond).
        // A binary search for the bucket's end keeps the per-sample work to reading the value.
        const double Slice = std::floor((TimeAt(I) - From) / Width);
        const size_t End = TimeLowerBound(TimeAt, From + (Slice + 1) * Width, I + 1, Last + 1);
        size_t MinAt = I, MaxAt = I, GapAt = Last + 1;
        float Min = std::numeric_limits<float>::infinity(), Max = -Min;
        size_t J = I;
        for (; J < End; ++J) {
            const float V = ValueAt(J);
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
            Out.push_back({TimeAt(S), S == GapAt ? Gap : ValueAt(S)});
        }
        I = J;
    }
}

#pragma once
// The trends' history: a fixed ring of time-stamped samples, one column per curve, and the min/max
// decimation that keeps drawing at about one point per pixel column whatever the ring holds.
#include <array>
#include <cstddef>
#include <vector>

#include "TickReadings.h"

// Columns of a sample, in the data log's order.
enum TTrendColumn : int {
    tcPort0 = 0,    // ports 0..5 follow in order
    tcAnalog0 = 6,  // analog inputs 0..4 follow in order
    tcTemperature = 11,
    tcColumnCount = 12
};

// A gap (a failed read, or no reading at all) is NaN: plotted as a break, never as a value.
using TTrendValues = std::array<float, tcColumnCount>;

// Samples at 2 Hz for 24 hours.
constexpr size_t TrendDayCapacity = 24 * 3600 * 2;

// A ring of samples in the order added; once full, each new sample replaces the oldest. Allocates
// its whole capacity at construction and never again.
class TTrendRing {
public:
    // Capacity 0 holds nothing: every Add is dropped.
    explicit TTrendRing(size_t Capacity = TrendDayCapacity);

    // Appends a sample. Times are expected not to decrease; searches assume it.
    void Add(double Time, const TTrendValues& Values);
    // Appends a tick; every failed read becomes a gap.
    void Add(const TTickReadings& Readings);
    // Appends a sample that is a gap in every column, so that no line joins across Time.
    void AddGap(double Time);
    // Drops every sample; the capacity stays.
    void Clear();

    size_t Size() const { return FSize; }
    size_t Capacity() const { return FTimes.size(); }
    bool Empty() const { return FSize == 0; }
    // Sample I in the order added, 0 being the oldest still held. I must be below Size().
    double Time(size_t I) const { return FTimes[Physical(I)]; }
    float Value(size_t I, int Column) const { return FColumns[Column][Physical(I)]; }
    // The first sample whose time is at least Time (Size() when none); with First and End, the
    // first such sample of [First, End), or End.
    size_t LowerBound(double Time) const { return LowerBound(Time, 0, FSize); }
    size_t LowerBound(double Time, size_t First, size_t End) const;

private:
    size_t Physical(size_t I) const {
        const size_t P = FHead + I;
        return P >= FTimes.size() ? P - FTimes.size() : P;
    }

    std::vector<double> FTimes;
    std::array<std::vector<float>, tcColumnCount> FColumns;
    size_t FHead = 0;  // the oldest sample
    size_t FSize = 0;
};

// The first I of [First, End) whose TimeAt(I) is at least Time, or End; TimeAt must not decrease.
template <typename TTimeAt>
size_t TimeLowerBound(const TTimeAt& TimeAt, double Time, size_t First, size_t End) {
    while (First < End) {
        const size_t Mid = First + (End - First) / 2;
        if (TimeAt(Mid) < Time)
            First = Mid + 1;
        else
            End = Mid;
    }
    return First;
}

// The live history of the board's readings, kept from the program's start whether or not a window
// shows it: the ring of ticks and when the present connection began.
class TTrendHistory {
public:
    explicit TTrendHistory(size_t Capacity = TrendDayCapacity) : FRing(Capacity) {}

    void Add(const TTickReadings& Readings) { FRing.Add(Readings); }
    // A new connection begins at Time (a TDateTime): no line joins the readings across it.
    void StartConnection(double Time);
    // When the present connection began; 0 before any.
    double ConnectedAt() const { return FConnectedAt; }
    TTrendRing& Ring() { return FRing; }
    const TTrendRing& Ring() const { return FRing; }

private:
    TTrendRing FRing;
    double FConnectedAt = 0;
};

// One point of a decimated curve; Value NaN breaks the line there.
struct TTrendPoint {
    double Time;
    double Value;
};

// What to draw of a column: its value, or one bit of it (a pin of a port) as 0 or 1.
struct TTrendSource {
    int Column = tcAnalog0;
    int Bit = -1;  // -1 for the whole value
};

// The samples of Source between From and To as at most about three points per bucket (Buckets
// equal slices of the range): the bucket's lowest and highest value in their time order, and a
// gap where the bucket held one. Includes the sample just outside each end, so that the line runs
// to the plot's edges. Buckets < 1 counts as 1. Costs one pass over the samples in range.
void DecimateTrend(const TTrendRing& Ring, TTrendSource Source, double From, double To, int Buckets,
                   std::vector<TTrendPoint>& Out);

#pragma once
// A capture's samples, kept for drawing and exporting: a series per channel, never more than the
// capture's memory limit allows, and their decimation for the plot.
#include <cstddef>
#include <string>
#include <vector>

#include "Capture.h"
#include "TrendRing.h"

class TCaptureData {
public:
    // Empties the store for a capture of Request's channels, within its limits. Allocates as the
    // samples come, never beyond the limit.
    void Start(const TCaptureRequest& Request);
    // Keeps Sample; false (dropped) for a channel the capture lacks or one that is full.
    bool Add(const TCaptureSample& Sample);

    const std::vector<TCaptureChannel>& Channels() const { return FChannels; }
    size_t ChannelCount() const { return FChannels.size(); }
    bool Empty() const { return Samples() == 0; }
    // Samples of all channels together.
    size_t Samples() const;
    size_t Size(size_t Channel) const { return FSeries[Channel].Times.size(); }
    // Sample I of Channel: its time in seconds since the start, its value (NaN for a failed reading).
    double Time(size_t Channel, size_t I) const { return FSeries[Channel].Times[I]; }
    float Value(size_t Channel, size_t I) const { return FSeries[Channel].Values[I]; }
    const TCaptureStats& Stats(size_t Channel) const { return FSeries[Channel].Stats; }
    // The time of the latest sample; 0 without any.
    double LastTime() const { return FLast; }
    // The sample of Channel nearest to Time; Size(Channel) when it has none.
    size_t Nearest(size_t Channel, double Time) const;
    // What the samples hold allocated, in bytes.
    size_t BytesHeld() const;
    // The CSV (header and rows, CR LF ends) of the rounds that begin between From and To seconds;
    // Rows gets their number.
    std::string Csv(double From, double To, size_t* Rows = nullptr) const;

private:
    struct TSeries {
        std::vector<double> Times;
        std::vector<float> Values;
        TCaptureStats Stats;
    };
    size_t LowerBound(size_t Channel, double Time) const;

    std::vector<TCaptureChannel> FChannels;
    std::vector<TSeries> FSeries;
    size_t FLimit = 0;  // samples per channel
    double FLast = 0;
};

// The samples of Channel between From and To as DecimateSeries gives them; with Bit 0..7, that bit
// of a port's value as 0 or 1.
void DecimateCapture(const TCaptureData& Data, size_t Channel, int Bit, double From, double To, int Buckets,
                     std::vector<TTrendPoint>& Out);

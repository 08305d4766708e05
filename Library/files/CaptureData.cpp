// A capture's samples in memory.
#include "CaptureData.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Decimate.h"

namespace {

constexpr float Gap = std::numeric_limits<float>::quiet_NaN();
// The first allocation of a series; a short capture needs no more.
constexpr size_t FirstCapacity = 4096;

}  // namespace

void TCaptureData::Start(const TCaptureRequest& Request) {
    FChannels = Request.Channels;
    FSeries.assign(FChannels.size(), TSeries{});
    FLimit = Request.MaxRounds();
    FLast = 0;
}

bool TCaptureData::Add(const TCaptureSample& Sample) {
    if (Sample.Channel < 0 || static_cast<size_t>(Sample.Channel) >= FSeries.size()) return false;
    TSeries& S = FSeries[static_cast<size_t>(Sample.Channel)];
    if (S.Times.size() >= FLimit) return false;
    if (S.Times.size() == S.Times.capacity()) {
        // Doubling, but never past the limit: the limit is what the capture may take.
        const size_t Capacity = std::min(std::max(FirstCapacity, 2 * S.Times.capacity()), FLimit);
        S.Times.reserve(Capacity);
        S.Values.reserve(Capacity);
    }
    S.Times.push_back(Sample.Time);
    S.Values.push_back(Sample.Value ? static_cast<float>(*Sample.Value) : Gap);
    S.Stats.Add(Sample.Value);
    FLast = std::max(FLast, Sample.Time);
    return true;
}

size_t TCaptureData::Samples() const {
    size_t N = 0;
    for (const TSeries& S : FSeries) N += S.Times.size();
    return N;
}

size_t TCaptureData::BytesHeld() const {
    size_t N = 0;
    for (const TSeries& S : FSeries)
        N += S.Times.capacity() * sizeof(double) + S.Values.capacity() * sizeof(float);
    return N;
}

size_t TCaptureData::LowerBound(size_t Channel, double Time) const {
    const std::vector<double>& Times = FSeries[Channel].Times;
    return static_cast<size_t>(std::lower_bound(Times.begin(), Times.end(), Time) - Times.begin());
}

size_t TCaptureData::Nearest(size_t Channel, double Time) const {
    const size_t N = Size(Channel);
    if (N == 0) return N;
    size_t I = std::min(LowerBound(Channel, Time), N - 1);
    if (I > 0 && std::fabs(this->Time(Channel, I - 1) - Time) <= std::fabs(this->Time(Channel, I) - Time))
        --I;
    return I;
}

std::string TCaptureData::Csv(double From, double To, size_t* Rows) const {
    std::string Text = CaptureCsvHeader(FChannels) + "\r\n";
    size_t Count = 0;
    if (!FSeries.empty()) {
        // Round I is sample I of every channel: they are read in turn.
        std::vector<std::optional<int>> Values(FSeries.size());
        for (size_t I = LowerBound(0, From); I < Size(0) && Time(0, I) <= To; ++I, ++Count) {
            for (size_t C = 0; C < FSeries.size(); ++C) {
                const bool Read = I < Size(C) && !std::isnan(Value(C, I));
                Values[C] = Read ? std::optional<int>(static_cast<int>(Value(C, I))) : std::nullopt;
            }
            Text += CaptureCsvRow(Time(0, I), Values) + "\r\n";
        }
    }
    if (Rows != nullptr) *Rows = Count;
    return Text;
}

void DecimateCapture(const TCaptureData& Data, size_t Channel, int Bit, double From, double To, int Buckets,
                     std::vector<TTrendPoint>& Out) {
    DecimateSeries(
        Data.Size(Channel), [&](size_t I) { return Data.Time(Channel, I); },
        [&](size_t I) {
            const float V = Data.Value(Channel, I);
            if (Bit < 0 || std::isnan(V)) return V;
            return static_cast<float>((static_cast<int>(V) >> Bit) & 1);
        },
        From, To, Buckets, Out);
}

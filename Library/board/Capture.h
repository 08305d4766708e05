#pragma once
// Fast capture: a few analog inputs or ports read back to back, as fast as the line allows, each
// sample stamped on the monotonic clock when its reply arrived. The one way to take a capture; the
// session and velmorant-cli both step it.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

class TVelmorant;

// One quantity a capture reads: an analog input (0..4, "ADC%d") or a port (0..5, "PRTRD%d").
struct TCaptureChannel {
    bool Port = false;
    int Index = 0;
    bool operator==(const TCaptureChannel&) const = default;

    // The data log's label: "A0".."A4", "Port0".."Port2", "VPort0".."VPort2".
    std::string Name() const;
    // "A0".."A4" or "P0".."P5" (any case), or a label Name() gives; nothing for anything else.
    static std::optional<TCaptureChannel> Parse(const std::string& Text);
};

// One reading: the channel's position in the capture, when its reply arrived (seconds since the
// capture began) and its value, empty for a failed reading.
struct TCaptureSample {
    int Channel = 0;
    double Time = 0;
    std::optional<int> Value;
    bool operator==(const TCaptureSample&) const = default;
};

// What to capture and when to end. The channels are read in turn, in this order; a round reads
// each once. Time and count end a capture between rounds, so that every round is whole.
struct TCaptureRequest {
    std::vector<TCaptureChannel> Channels;
    double Seconds = 0;                     // the capture's length; 0: no limit
    size_t Rounds = 0;                      // samples of each channel; 0: no limit
    size_t MemoryBytes = size_t(64) << 20;  // what the samples may take where they are kept; 0: none
                                            // is kept (a stream), so there is no limit

    // A sample kept: its time and its value (a gap as NaN).
    static constexpr size_t BytesPerSample = sizeof(double) + sizeof(float);
    // The rounds the memory limit allows, and the smaller of that and Rounds.
    size_t MaxRounds() const;
    // Empty when the request can be carried out, else why not: no channels, one given twice.
    std::string Problem() const;
};

enum TCaptureEnd : uint8_t {
    ceRunning,
    ceDuration,  // the time was up
    ceCount,     // every channel has its samples
    ceMemory,    // the memory limit
    ceStopped,   // asked to stop (or the exchange was interrupted)
    ceLost,      // the port hung up
    ceNoBoard,   // no board was connected
};
// A few words on why a capture ended ("the time was up").
const char* CaptureEndText(TCaptureEnd End);

// Per channel: samples, failed readings, lowest and highest value.
struct TCaptureStats {
    size_t Samples = 0;
    size_t Failed = 0;
    std::optional<int> Min, Max;
    void Add(const std::optional<int>& Value);
};

// A capture in progress on a connected driver. Step it on the driver's thread; between steps the
// driver may be used for other work, which delays the samples but never falsifies them.
class TCaptureRun {
public:
    using TClock = std::chrono::steady_clock;

    // Starts the clock; the request must have no Problem().
    TCaptureRun(TVelmorant& Driver, TCaptureRequest Request);

    // Reads the next channel once. Nothing when the capture is over (End() says why): a limit was
    // reached, no board is there, the port hung up, or the read was interrupted (Interrupt()),
    // which is no failed reading and leaves no sample.
    std::optional<TCaptureSample> Step();
    // Ends the capture before its next step.
    void Stop();
    TCaptureEnd End() const { return FEnd; }
    const TCaptureRequest& Request() const { return FRequest; }
    TClock::time_point Started() const { return FStart; }
    // Seconds since the start.
    double Elapsed() const;
    // Samples taken, all channels together.
    size_t Samples() const { return FSamples; }
    // The driver's error texts not told before, in the order they came; each comes once a run.
    std::vector<std::string> NewErrors();

private:
    void EndIfDue();

    TVelmorant& FDriver;
    TCaptureRequest FRequest;
    size_t FMaxRounds;
    TClock::time_point FStart;
    size_t FSamples = 0;
    size_t FNext = 0;  // the channel the next step reads
    TCaptureEnd FEnd = ceRunning;
    std::set<std::string> FTold;
    std::vector<std::string> FNew;
};

// The capture's CSV: a header, then a row a round with the time in milliseconds since the start
// (that of the round's first reply) and a column per channel, empty for a failed reading.
std::string CaptureCsvHeader(const std::vector<TCaptureChannel>& Channels);
// One row, without its line end; an empty value is an empty field.
std::string CaptureCsvRow(double Seconds, const std::vector<std::optional<int>>& Values);

// Gathers samples into rounds for CaptureCsvRow, as they come.
class TCaptureRows {
public:
    explicit TCaptureRows(size_t Channels) : FValues(Channels) {}
    // True with Row set when Sample ends a round.
    bool Add(const TCaptureSample& Sample, std::string& Row);
    // The round begun and not ended (a stop in the middle of it), its unread channels empty; "" when
    // none.
    std::string Rest();

private:
    std::vector<std::optional<int>> FValues;
    size_t FHave = 0;
    double FTime = 0;
};

// Fast capture beside the wire's limit: one analog input and all five, read back to back from the
// simulator in its line-rate mode (19200 baud: no reply before its command's and its own bytes could
// have crossed the line).
//
// The limit is computed from the bytes each sample moved: the command and its CR, the reply and the
// board's CR LF, ten bit times a byte (8N1). "pct_of_limit" is the samples per second taken as a
// share of the samples per second those bytes allow; nothing but the line is free in that figure.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "Capture.h"
#include "Device_VL.h"
#include "Simulator.h"

namespace {

constexpr int LineRate = 19200;
constexpr double CaptureSeconds = 5;

// A simulated board at the line rate, linked as COM7 in a folder of its own; the environment is
// put back once the driver has opened the port, so that other benchmarks keep their own links.
class TLineRateBoard {
public:
    TLineRateBoard() {
        char Template[] = "/tmp/velmorant-capture-bench-XXXXXX";
        if (mkdtemp(Template) == nullptr) throw std::runtime_error("no temporary folder");
        FRoot = Template;
        const char* Old = getenv("XDG_CONFIG_HOME");
        const std::string Saved = Old ? Old : "";
        setenv("XDG_CONFIG_HOME", FRoot.c_str(), 1);
        velsim::TSimBoardOptions Options;
        Options.BaudRate = LineRate;
        FSim = std::make_unique<velsim::TSimulator>(Options);
        const bool Found = FSim->Start() && FSim->LinkAs("COM7") && FDevice.FindDevice("COM7");
        if (Old)
            setenv("XDG_CONFIG_HOME", Saved.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        if (!Found) throw std::runtime_error("the simulated board was not found");
    }
    ~TLineRateBoard() {
        FDevice.Disconnect();
        FSim.reset();
        std::filesystem::remove_all(FRoot);
    }
    TVelmorant& Device() { return FDevice; }

private:
    std::string FRoot;
    std::unique_ptr<velsim::TSimulator> FSim;
    TVelmorant FDevice;
};

// What one sample moved over the line.
double WireBytes(const TCaptureChannel& Channel, int Value) {
    const size_t Command = Channel.Port ? 6 : 4;  // "PRTRDn", "ADCn"
    return static_cast<double>(Command + 1 + std::to_string(Value).size() + 2);
}

// range(0): the number of analog inputs, from A0 on. One iteration is one capture of 5 s.
void BM_CaptureAtLineRate(benchmark::State& State) {
    TLineRateBoard Board;
    TCaptureRequest Request;
    for (int Input = 0; Input < State.range(0); ++Input) Request.Channels.push_back({false, Input});
    Request.Seconds = CaptureSeconds;
    double Samples = 0, Failed = 0, Bytes = 0, Seconds = 0;
    for (auto _ : State) {
        TCaptureRun Run(Board.Device(), Request);
        while (const auto Sample = Run.Step()) {
            ++Samples;
            if (!Sample->Value) {
                ++Failed;
                continue;
            }
            Bytes += WireBytes(Request.Channels[Sample->Channel], *Sample->Value);
        }
        Seconds += Run.Elapsed();
        State.SetIterationTime(Run.Elapsed());
    }
    const double WireSeconds = Bytes * 10 / LineRate;
    State.counters["samples_per_s"] = Samples / Seconds;
    State.counters["per_input_per_s"] = Samples / Seconds / static_cast<double>(Request.Channels.size());
    State.counters["limit_per_s"] = WireSeconds > 0 ? (Samples - Failed) / WireSeconds : 0;
    State.counters["pct_of_limit"] = 100 * WireSeconds / Seconds;
    State.counters["wire_bytes_per_sample"] = Samples > Failed ? Bytes / (Samples - Failed) : 0;
    State.counters["failed"] = Failed;
    if (Failed > 0) State.SkipWithError("a reading failed");
}
BENCHMARK(BM_CaptureAtLineRate)->Arg(1)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

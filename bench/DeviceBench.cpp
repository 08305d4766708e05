// Exchanges with the simulated board: one command, one monitor tick, one full retrieval.
// The simulator runs in a thread of this process, so the counter "thread_cpu_us" reports the CPU
// time of the calling thread alone (per iteration), beside the wall time.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "Device_VL.h"
#include "Simulator.h"

namespace {

double ThreadCpuMicroseconds() {
    timespec Now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) * 1e6 + static_cast<double>(Now.tv_nsec) / 1e3;
}

// A simulated board linked as COM3 in a private settings folder, with a connected driver.
class TBenchBoard {
public:
    TBenchBoard() {
        char Template[] = "/tmp/velmorant-bench-XXXXXX";
        if (mkdtemp(Template) == nullptr) throw std::runtime_error("no temporary folder");
        FRoot = Template;
        setenv("XDG_CONFIG_HOME", FRoot.c_str(), 1);
        FSim = std::make_unique<velsim::TSimulator>();
        if (!FSim->Start() || !FSim->LinkAs("COM3")) throw std::runtime_error("the simulator did not start");
        FDevice = std::make_unique<TVelmorant>();
        if (!FDevice->FindDevice("COM3")) throw std::runtime_error("the simulated board was not found");
    }
    ~TBenchBoard() {
        FDevice.reset();
        FSim.reset();
        std::filesystem::remove_all(FRoot);
    }
    TVelmorant& Device() { return *FDevice; }

private:
    std::string FRoot;
    std::unique_ptr<velsim::TSimulator> FSim;
    std::unique_ptr<TVelmorant> FDevice;
};

TBenchBoard& Board() {
    static TBenchBoard Instance;
    return Instance;
}

template <typename TBody>
void Measure(benchmark::State& State, TBody Body) {
    TVelmorant& Device = Board().Device();
    const double Start = ThreadCpuMicroseconds();
    for (auto _ : State) {
        if (!Body(Device)) {
            State.SkipWithError("an exchange failed");
            break;
        }
    }
    State.counters["thread_cpu_us"] =
        benchmark::Counter(ThreadCpuMicroseconds() - Start, benchmark::Counter::kAvgIterations);
}

void BM_Exchange(benchmark::State& State) {
    std::string Reply;
    Measure(State, [&](TVelmorant& Device) { return Device.SendCommandToDevice("VER", Reply); });
}
BENCHMARK(BM_Exchange)->UseRealTime()->Unit(benchmark::kMicrosecond);

// What the window does twice a second: every port, every analog input and the temperature.
void BM_MonitorTick(benchmark::State& State) {
    int Failures = 0;
    Board().Device().SetOnError([&](const std::string&) { ++Failures; });
    Measure(State, [&](TVelmorant& Device) {
        int Sum = 0;
        for (int Port = 0; Port < Device.PortCount(); ++Port) Sum += Device.GetPortState(Port);
        for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input)
            Sum += Device.GetAnalogInputValue(Input);
        Sum += Device.Temperature();
        benchmark::DoNotOptimize(Sum);
        return Failures == 0;
    });
    Board().Device().SetOnError(nullptr);
}
BENCHMARK(BM_MonitorTick)->UseRealTime()->Unit(benchmark::kMillisecond);

// RECALL, the settings and 60 program lines: 77 exchanges.
void BM_FullRetrieval(benchmark::State& State) {
    if (Board().Device().ProgramLineCount() != 60) {
        State.SkipWithError("the board should report 60 lines");
        return;
    }
    int Failures = 0;
    Board().Device().SetOnError([&](const std::string&) { ++Failures; });
    Measure(State, [&](TVelmorant& Device) { return Device.RetreiveSettings(true) && Failures == 0; });
    Board().Device().SetOnError(nullptr);
}
BENCHMARK(BM_FullRetrieval)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

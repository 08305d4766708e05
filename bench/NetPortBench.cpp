// One exchange (VER) with the simulated board on its pseudo-terminal, beside the same exchange through
// a real ser2net on the loopback address, over raw TCP ("socket://") and RFC 2217 ("rfc2217://").
// ser2net runs once with its "chardelay" off and once with its default (on), which holds the device's
// bytes back for a few character times in the hope of sending more of them at once.
// "thread_cpu_us" is the calling thread's CPU time per exchange; ser2net's own is "server_cpu_us".
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "ChildProcess.h"
#include "Device_VL.h"
#include "Ser2Net.h"
#include "Simulator.h"

namespace {

double ThreadCpuMicroseconds() {
    timespec Now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) * 1e6 + static_cast<double>(Now.tv_nsec) / 1e3;
}

// A simulated board linked as COM7 in a folder of its own, with a driver connected through the way
// asked. XDG_CONFIG_HOME is put back at once so that the other benchmarks keep their own links.
class TServedBoard {
public:
    // Way: 0 the local port, 1 raw TCP, 2 RFC 2217.
    TServedBoard(int Way, bool CharDelay) : FFolder(MakeTempFolder("velmorant-netbench-XXXXXX")) {
        std::optional<std::string> Old;
        if (const char* Value = getenv("XDG_CONFIG_HOME")) Old = Value;
        setenv("XDG_CONFIG_HOME", FFolder.c_str(), 1);
        const bool Linked = FSim.Start() && FSim.LinkAs("COM7");
        std::string Name = "COM7", Error;
        if (Linked && Way > 0) {
            FServer = std::make_unique<veltest::TSer2Net>(FSim.DevicePath(), Way == 2, "19200n81", CharDelay);
            if (!FServer->Start(Error)) throw std::runtime_error(Error);
            Name = FServer->Name();
        }
        const bool Found = Linked && FDevice.FindDevice(Name);
        if (Old)
            setenv("XDG_CONFIG_HOME", Old->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        if (!Found) throw std::runtime_error("the simulated board was not found on " + Name);
    }
    ~TServedBoard() {
        FDevice.Disconnect();
        FServer.reset();
        FSim.Stop();
        std::error_code Ignored;
        std::filesystem::remove_all(FFolder, Ignored);
    }
    TVelmorant& Device() { return FDevice; }
    pid_t ServerPid() const { return FServer ? FServer->Pid() : -1; }

private:
    std::string FFolder;
    velsim::TSimulator FSim;
    std::unique_ptr<veltest::TSer2Net> FServer;
    TVelmorant FDevice;
};

void BM_NetExchange(benchmark::State& State) {
    std::optional<TServedBoard> Board;
    try {
        Board.emplace(static_cast<int>(State.range(0)), State.range(1) != 0);
    } catch (const std::exception& E) {
        State.SkipWithError(E.what());
        return;
    }
    std::string Reply;
    const double ServerStart = Board->ServerPid() > 0 ? ProcCpuSeconds(Board->ServerPid()) : 0;
    const double Start = ThreadCpuMicroseconds();
    for (auto _ : State) {
        if (!Board->Device().SendCommandToDevice("VER", Reply)) {
            State.SkipWithError("an exchange failed");
            break;
        }
    }
    State.counters["thread_cpu_us"] =
        benchmark::Counter(ThreadCpuMicroseconds() - Start, benchmark::Counter::kAvgIterations);
    if (Board->ServerPid() > 0)
        State.counters["server_cpu_us"] = benchmark::Counter(
            (ProcCpuSeconds(Board->ServerPid()) - ServerStart) * 1e6, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_NetExchange)
    ->ArgNames({"way", "chardelay"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 1})
    ->Args({2, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

// Exchanges with the simulated board: one command, one monitor tick, one full retrieval.
// The simulator runs in a thread of this process, so the counter "thread_cpu_us" reports the CPU
// time of the calling thread alone (per iteration), beside the wall time.
//
// The simulator answers at once, so the time measured is the program's own overhead (plus the
// pty's and the simulator's). A real board cannot answer faster than its line moves the bytes:
// "wire_ms" is that floor for the same commands and replies at 19200 baud 8N1 (ten bit times a
// byte), and "pct_of_wire" the measured wall time as a share of it.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProcess.h"
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
    velsim::TSimulator& Sim() { return *FSim; }

private:
    std::string FRoot;
    std::unique_ptr<velsim::TSimulator> FSim;
    std::unique_ptr<TVelmorant> FDevice;
};

TBenchBoard& Board() {
    static TBenchBoard Instance;
    return Instance;
}

constexpr double WireMsPerByte = 10.0 * 1000.0 / 19200.0;

// What one exchange moves over the line: the command and its CR, the reply and the simulator's CR LF.
int WireBytes(const std::string& Command, const std::string& TrimmedReply) {
    return static_cast<int>(Command.size() + 1 + TrimmedReply.size() + 2);
}

int Digits(int Value) {
    return static_cast<int>(std::to_string(Value).size());
}

// Body returns false when an exchange failed, and adds the bytes it moved to WireBytesSum.
template <typename TBody>
void Measure(benchmark::State& State, TBody Body) {
    TVelmorant& Device = Board().Device();
    double WireBytesSum = 0;
    const double Start = ThreadCpuMicroseconds();
    const auto WallStart = std::chrono::steady_clock::now();
    for (auto _ : State) {
        if (!Body(Device, WireBytesSum)) {
            State.SkipWithError("an exchange failed");
            break;
        }
    }
    const std::chrono::duration<double, std::milli> Wall = std::chrono::steady_clock::now() - WallStart;
    State.counters["thread_cpu_us"] =
        benchmark::Counter(ThreadCpuMicroseconds() - Start, benchmark::Counter::kAvgIterations);
    State.counters["wire_bytes"] = benchmark::Counter(WireBytesSum, benchmark::Counter::kAvgIterations);
    State.counters["wire_ms"] =
        benchmark::Counter(WireBytesSum * WireMsPerByte, benchmark::Counter::kAvgIterations);
    if (WireBytesSum > 0)
        State.counters["pct_of_wire"] = 100.0 * Wall.count() / (WireBytesSum * WireMsPerByte);
}

void BM_Exchange(benchmark::State& State) {
    std::string Reply;
    Measure(State, [&](TVelmorant& Device, double& Wire) {
        const bool Ok = Device.SendCommandToDevice("VER", Reply);
        Wire += WireBytes("VER", Reply);
        return Ok;
    });
}
BENCHMARK(BM_Exchange)->UseRealTime()->Unit(benchmark::kMicrosecond);

// What the window does twice a second: every port, every analog input and the temperature.
void BM_MonitorTick(benchmark::State& State) {
    int Failures = 0;
    Board().Device().SetOnError([&](const TFailure&) { ++Failures; });
    Measure(State, [&](TVelmorant& Device, double& Wire) {
        // The replies are the decimal values themselves, so their length follows from the values.
        int Sum = 0;
        for (int Port = 0; Port < Device.PortCount(); ++Port) {
            const int Value = Device.ReadPortStateOrZero(Port);
            Sum += Value;
            Wire += 7 + Digits(Value) + 2;  // "PRTRDn\r", value, CR LF
        }
        for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input) {
            const int Value = Device.ReadAnalogInputValueOrZero(Input);
            Sum += Value;
            Wire += 5 + Digits(Value) + 2;  // "ADCn\r"
        }
        const int Temperature = Device.ReadTemperatureOrZero();
        Sum += Temperature;
        Wire += 5 + Digits(Temperature) + 2;  // "TEMP\r"
        benchmark::DoNotOptimize(Sum);
        return Failures == 0;
    });
    Board().Device().SetOnError(nullptr);
}
BENCHMARK(BM_MonitorTick)->UseRealTime()->Unit(benchmark::kMillisecond);

// The peer: the same twelve exchanges made by bench/peer_tick.py (pyserial) against the same
// simulator, right after BM_MonitorTick. The script times its own ticks; the pipe that asks it
// for the next one is outside the time. Counters: the script's CPU time and the bytes it moved.
std::string PeerScript() {
    if (const char* Own = getenv("VELMORANT_PEER_SCRIPT")) return Own;
    return std::filesystem::path(__FILE__).parent_path() / "peer_tick.py";
}

void BM_PeerTick(benchmark::State& State) {
    TBenchBoard& Bench = Board();
    // The board serves one session at a time: the driver lets go of the port while the peer has it.
    Bench.Device().Disconnect();
    const char* Python = getenv("VELMORANT_PYTHON");
    TChildProcess Peer;
    if (!Peer.Start({Python ? Python : "/usr/bin/python3", PeerScript(), Bench.Sim().DevicePath(), "--serve"},
                    {}, true, true, "")) {
        State.SkipWithError("the Python peer did not start");
    }
    double CpuNs = 0, Wire = 0;
    for (auto _ : State) {
        std::string Line;
        long long TickWallNs = 0, TickCpuNs = 0, TickWire = 0;
        if (!Peer.WriteLine("tick") || !Peer.ReadLine(Line, 20000) ||
            std::sscanf(Line.c_str(), "%lld %lld %lld", &TickWallNs, &TickCpuNs, &TickWire) != 3) {
            State.SkipWithError("the Python peer failed (is python3-serial installed?)");
            break;
        }
        State.SetIterationTime(static_cast<double>(TickWallNs) / 1e9);
        CpuNs += static_cast<double>(TickCpuNs);
        Wire += static_cast<double>(TickWire);
    }
    Peer.Terminate(5000);
    State.counters["thread_cpu_us"] = benchmark::Counter(CpuNs / 1000.0, benchmark::Counter::kAvgIterations);
    State.counters["wire_bytes"] = benchmark::Counter(Wire, benchmark::Counter::kAvgIterations);
    State.counters["wire_ms"] = benchmark::Counter(Wire * WireMsPerByte, benchmark::Counter::kAvgIterations);
    if (!Bench.Device().FindDevice("COM3"))
        State.SkipWithError("the board was not found again after the peer");
}
BENCHMARK(BM_PeerTick)->UseManualTime()->Unit(benchmark::kMillisecond);

// The bytes of one retrieval: its commands as the simulator received them, each sent once more
// to learn its reply's length (the replies to a retrieval's reads do not change between runs).
int RetrievalWire(int& Exchanges) {
    TBenchBoard& Bench = Board();
    Bench.Sim().ClearCommands();
    if (!Bench.Device().RetrieveSettings(true)) return 0;
    const std::vector<std::string> Commands = Bench.Sim().Commands();
    Exchanges = static_cast<int>(Commands.size());
    int Bytes = 0;
    std::string Reply;
    for (const std::string& Command : Commands) {
        if (!Bench.Device().SendCommandToDevice(Command, Reply)) return 0;
        Bytes += WireBytes(Command, Reply);
    }
    return Bytes;
}

// RECALL, the settings and 60 program lines: 77 exchanges.
void BM_FullRetrieval(benchmark::State& State) {
    if (Board().Device().ProgramLineCount() != 60) {
        State.SkipWithError("the board should report 60 lines");
        return;
    }
    int Failures = 0;
    Board().Device().SetOnError([&](const TFailure&) { ++Failures; });
    int Exchanges = 0;
    const int RetrievalWireBytes = RetrievalWire(Exchanges);
    Measure(State, [&](TVelmorant& Device, double& Wire) {
        Wire += RetrievalWireBytes;
        return Device.RetrieveSettings(true) && Failures == 0;
    });
    State.counters["exchanges"] = Exchanges;
    Board().Device().SetOnError(nullptr);
}
BENCHMARK(BM_FullRetrieval)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

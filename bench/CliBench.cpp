// velmorant-cli against the simulated board: what a script pays for one run of the program, and
// the cost of one monitor tick once the program runs (watch), beside the window's and pyserial's.
// The program is started as a process with its own settings folder, so the simulator is linked
// there as COM5 and this process's environment stays as the other benchmarks set it.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "ChildProcess.h"
#include "Simulator.h"

namespace {

class TCliBoard {
public:
    TCliBoard() : FRoot(MakeTempFolder("velmorant-clibench-XXXXXX")) {
        FOk = FSim.Start() && FSim.LinkAs("COM5", FRoot + "/Tarnwick/Velmorant/");
    }
    ~TCliBoard() {
        FSim.Stop();
        std::error_code Ignored;
        std::filesystem::remove_all(FRoot, Ignored);
    }
    bool Ok() const { return FOk; }
    velsim::TSimulator& Sim() { return FSim; }
    std::vector<std::string> Env() const { return {"XDG_CONFIG_HOME=" + FRoot}; }

private:
    std::string FRoot;
    velsim::TSimulator FSim;
    bool FOk = false;
};

// One whole run of `velmorant-cli --port COM5 read`: start, identification, twelve reads, exit.
void BM_CliRead(benchmark::State& State) {
    TCliBoard Board;
    if (!Board.Ok()) {
        State.SkipWithError("the simulator did not start");
        return;
    }
    Board.Sim().ClearCommands();
    for (auto _ : State) {
        TChildProcess Cli;
        // Its output goes to a pipe that is never read: a dozen short lines fit in it.
        if (!Cli.Start({CliProgramPath(), "--port", "COM5", "read"}, Board.Env(), false, true) ||
            Cli.WaitExit(10000) != 0) {
            State.SkipWithError("velmorant-cli read failed (is it built?)");
            break;
        }
    }
    const double Exchanges = static_cast<double>(Board.Sim().Commands().size());
    State.counters["exchanges"] = benchmark::Counter(Exchanges, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CliRead)->UseRealTime()->Unit(benchmark::kMillisecond);

// One tick of `velmorant-cli watch --interval 0`: twelve exchanges and a data-log row on its
// output. The program reads without pause; each iteration waits for its next row.
void BM_CliWatchTick(benchmark::State& State) {
    TCliBoard Board;
    TChildProcess Cli;
    std::string Line;
    if (!Board.Ok() ||
        !Cli.Start({CliProgramPath(), "--port", "COM5", "watch", "--interval", "0"}, Board.Env(), false,
                   true) ||
        !Cli.ReadLine(Line, 10000) || !Cli.ReadLine(Line, 10000)) {
        State.SkipWithError("velmorant-cli watch did not start");
        return;
    }
    const double CpuBefore = ProcCpuSeconds(Cli.Pid());
    for (auto _ : State) {
        if (!Cli.ReadLine(Line, 10000)) {
            State.SkipWithError("velmorant-cli watch stopped");
            break;
        }
    }
    const double Cpu = ProcCpuSeconds(Cli.Pid()) - CpuBefore;
    State.counters["process_cpu_us"] = benchmark::Counter(Cpu * 1e6, benchmark::Counter::kAvgIterations);
    Cli.Terminate(5000);
}
BENCHMARK(BM_CliWatchTick)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

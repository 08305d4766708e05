// The MQTT bridge: what one board costs a broker and its computer per hour, and how many boards,
// each a simulated board at the line rate with its own bridge, one broker on this machine carries
// at two ticks a second without a late tick. Each bridge counts its own ticks, late ticks and
// published bytes and says so when it stops; the figures are taken from there and from /proc.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <system_error>
#include <thread>

#include "ChildProcess.h"
#include "Mosquitto.h"
#include "Simulator.h"

namespace {

struct TBridgeAccount {
    double Ticks = 0, Late = 0, Messages = 0, Bytes = 0, Cpu = 0;
};

// One simulated board at 19200 baud and its bridge.
class TBridgedBoard {
public:
    TBridgedBoard(const veltest::TMosquitto& Broker, int Index, const std::string& Folder)
        : FLog(Folder + "/bridge" + std::to_string(Index) + ".log") {
        velsim::TSimBoardOptions Options;
        Options.BaudRate = 19200;
        Options.Seed = static_cast<unsigned>(Index + 1);
        FSim = std::make_unique<velsim::TSimulator>(Options);
        FOk = FSim->Start() &&
              FBridge.Start({CliProgramPath(), "--device", FSim->DevicePath(), "mqtt", "--broker",
                             Broker.Address(), "--node", "b" + std::to_string(Index)},
                            {}, false, false, FLog);
    }
    bool Ok() const { return FOk; }
    // Ends the bridge (SIGTERM, as systemd does) and adds what it did to Sum; false when it failed.
    bool Stop(TBridgeAccount& Sum) {
        const double Cpu = ProcCpuSeconds(FBridge.Pid());
        if (FBridge.Terminate(10000) != 0) return false;
        std::ifstream File(FLog);
        std::stringstream Text;
        Text << File.rdbuf();
        static const std::regex Summary(
            R"(stopped after (\d+) ticks, (\d+) late; (\d+) messages, (\d+) bytes)");
        std::smatch M;
        const std::string Log = Text.str();
        if (!std::regex_search(Log, M, Summary)) return false;
        Sum.Ticks += std::stod(M[1]);
        Sum.Late += std::stod(M[2]);
        Sum.Messages += std::stod(M[3]);
        Sum.Bytes += std::stod(M[4]);
        Sum.Cpu += Cpu;
        return true;
    }

private:
    std::string FLog;
    std::unique_ptr<velsim::TSimulator> FSim;
    TChildProcess FBridge;
    bool FOk = false;
};

// N boards for 20 s. Figures per board are scaled to an hour by ticks (7200 an hour), so that the
// start, which has no ticks, does not thin them out.
void BM_MqttBoards(benchmark::State& State) {
    const int Boards = static_cast<int>(State.range(0));
    const std::string Folder = MakeTempFolder("velmorant-mqttbench-XXXXXX");
    TBridgeAccount Sum;
    double BrokerCpu = 0;
    bool Failed = false;
    for (auto _ : State) {
        veltest::TMosquitto Broker;
        std::string Error;
        if (!Broker.Start(Error)) {
            State.SkipWithError(Error.c_str());
            break;
        }
        std::vector<std::unique_ptr<TBridgedBoard>> All;
        for (int I = 0; I < Boards; ++I) All.push_back(std::make_unique<TBridgedBoard>(Broker, I, Folder));
        std::this_thread::sleep_for(std::chrono::seconds(20));
        for (auto& Board : All) Failed = !Board->Ok() || !Board->Stop(Sum) || Failed;
        BrokerCpu = ProcCpuSeconds(Broker.Pid());
    }
    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
    if (Failed) {
        State.SkipWithError("a bridge did not run or did not report (is velmorant-cli built?)");
        return;
    }
    const double PerBoardHour = Sum.Ticks > 0 ? 7200.0 / Sum.Ticks : 0;
    State.counters["boards"] = Boards;
    State.counters["ticks"] = Sum.Ticks;
    State.counters["late_ticks"] = Sum.Late;
    State.counters["msgs_per_board_h"] = Sum.Messages * PerBoardHour;
    State.counters["MB_per_board_h"] = Sum.Bytes * PerBoardHour / 1e6;
    State.counters["bridge_cpu_s_per_board_h"] = Sum.Cpu * PerBoardHour;
    State.counters["broker_cpu_s_per_board_h"] = BrokerCpu * PerBoardHour;
}
BENCHMARK(BM_MqttBoards)
    ->Arg(1)
    ->Arg(25)
    ->Arg(50)
    ->Arg(100)
    ->Arg(150)
    ->Arg(200)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

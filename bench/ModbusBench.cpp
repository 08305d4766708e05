// The Modbus server: requests per second served to 10 clients at once, each asking again as soon as
// it is answered, against a simulated board at the line rate, and whether its ticks stay on time.
// The server counts its ticks, late ticks and requests and says so when it stops.
#include <benchmark/benchmark.h>
#include <modbus/modbus.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Simulator.h"

namespace {

std::string ReadLog(const std::string& File) {
    std::ifstream In(File);
    return {std::istreambuf_iterator<char>(In), {}};
}

void BM_ModbusClients(benchmark::State& State) {
    const int Clients = static_cast<int>(State.range(0));
    const std::string Folder = MakeTempFolder("velmorant-modbus-XXXXXX");
    const std::string Log = Folder + "/server.log";
    velsim::TSimBoardOptions Options;
    Options.BaudRate = 19200;
    velsim::TSimulator Sim(Options);
    TChildProcess Server;
    std::smatch Port;
    std::string Text;
    if (!Sim.Start() ||
        !Server.Start({CliProgramPath(), "--device", Sim.DevicePath(), "modbus", "--listen", "127.0.0.1:0"},
                      {}, false, false, Log)) {
        State.SkipWithError("cannot start the board or the server");
        return;
    }
    // The server is listening, and the board connected and ticking.
    for (int Wait = 0;
         Wait < 100 && !std::regex_search(Text = ReadLog(Log), Port, std::regex("on 127.0.0.1:(\\d+)"));
         ++Wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::atomic<long> Served{0}, Failed{0};
    for (auto _ : State) {
        std::atomic<bool> Done{false};
        std::vector<std::thread> Threads;
        for (int C = 0; C < Clients; ++C)
            Threads.emplace_back([&] {
                modbus_t* Context = modbus_new_tcp("127.0.0.1", std::stoi(Port[1]));
                uint16_t Values[7];
                if (Context && modbus_connect(Context) == 0)
                    while (!Done)
                        (modbus_read_input_registers(Context, 0, 7, Values) == 7 ? Served : Failed)++;
                if (Context) modbus_free(Context);
            });
        std::this_thread::sleep_for(std::chrono::seconds(5));
        Done = true;
        for (auto& T : Threads) T.join();
    }
    Server.Terminate(10000);
    std::smatch Ticks;
    Text = ReadLog(Log);
    if (std::regex_search(Text, Ticks, std::regex("stopped after (\\d+) ticks, (\\d+) late"))) {
        State.counters["ticks"] = std::stod(Ticks[1]);
        State.counters["late_ticks"] = std::stod(Ticks[2]);
    }
    State.counters["requests_per_s"] =
        benchmark::Counter(static_cast<double>(Served), benchmark::Counter::kIsRate);
    State.counters["failed"] = static_cast<double>(Failed);
    std::filesystem::remove_all(Folder);
}
// Five seconds of ten clients: about ten ticks, each of which must come on time.
BENCHMARK(BM_ModbusClients)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

// Listing the COM ports with no board and no links: the 64 probes of the default table
// (COM1..16 /dev/ttyACM*, COM17..32 /dev/ttyUSB*, COM33..64 /dev/ttyS*). A node that is missing
// fails at once; one that exists is opened, configured, purged and closed, which costs far more.
// "ports_found" tells how many this machine answered.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "ChildProcess.h"
#include "SerialPort.h"

namespace {

// XDG_CONFIG_HOME points at an empty folder for as long as it lives, so no ports/ link exists.
class TNoLinks {
public:
    TNoLinks() : FFolder(MakeTempFolder("velmorant-ports-XXXXXX")) {
        if (const char* Old = getenv("XDG_CONFIG_HOME")) FOld = Old;
        setenv("XDG_CONFIG_HOME", FFolder.c_str(), 1);
    }
    ~TNoLinks() {
        if (FOld)
            setenv("XDG_CONFIG_HOME", FOld->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::error_code Ignored;
        std::filesystem::remove_all(FFolder, Ignored);
    }

private:
    std::string FFolder;
    std::optional<std::string> FOld;
};

void BM_EnumerateSerialPorts(benchmark::State& State) {
    TNoLinks Folder;
    const bool IncludeBusy = State.range(0) != 0;
    TSerialPortSet Ports;
    for (auto _ : State) EnumerateSerialPorts(IncludeBusy, Ports);
    State.counters["ports_found"] = static_cast<double>(Ports.count());
}
BENCHMARK(BM_EnumerateSerialPorts)
    ->ArgName("IncludeBusy")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

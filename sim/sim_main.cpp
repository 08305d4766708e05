// velmorant-sim: a simulated board for the demo, linked as a COM name until SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "SerialPort.h"
#include "Simulator.h"

namespace {

const char* const UsageText =
    "usage: velmorant-sim [--com COMn] [--eeprom FILE] [--version V] [--lines N] [--seed S] [--baud RATE]\n"
    "                     [--log FILE]\n"
    "--log writes each command and its reply to FILE (- for standard output) as they come.\n";

int Usage() {
    std::fputs(UsageText, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string Com = "COM1";
    std::string Log;
    velsim::TSimBoardOptions Options;
    for (int I = 1; I < argc; ++I) {
        const std::string Arg = argv[I];
        if (Arg == "--help" || Arg == "-h") {
            std::fputs(UsageText, stdout);
            return 0;
        }
        if (I + 1 >= argc) return Usage();
        const char* Value = argv[++I];
        if (Arg == "--com") {
            Com = Value;
            // Only a name the program and the command line take: COM1 to COM64.
            if (ResolveSerialPortPath(Com).empty() || Com.rfind("COM", 0) != 0) {
                std::fprintf(stderr, "velmorant-sim: '%s' is no port name: COM1 to COM64\n", Value);
                return 2;
            }
        } else if (Arg == "--eeprom") {
            Options.EEPROMFile = Value;
        } else if (Arg == "--version") {
            Options.FirmwareVersion = Value;
        } else if (Arg == "--lines") {
            Options.ProgramLines = std::atoi(Value);
        } else if (Arg == "--baud") {
            Options.BaudRate = std::atoi(Value);
            if (Options.BaudRate < 0) return Usage();
        } else if (Arg == "--log") {
            Log = Value;
        } else if (Arg == "--seed") {
            Options.Seed = static_cast<unsigned>(std::strtoul(Value, nullptr, 10));
        } else {
            return Usage();
        }
    }

    // Blocked before the simulator's thread exists, so that only sigtimedwait below receives them.
    sigset_t Stops;
    sigemptyset(&Stops);
    sigaddset(&Stops, SIGINT);
    sigaddset(&Stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &Stops, nullptr);

    velsim::TSimulator Sim(Options);
    std::FILE* LogFile = Log == "-" ? stdout : Log.empty() ? nullptr : std::fopen(Log.c_str(), "a");
    if (!Log.empty() && LogFile == nullptr) {
        std::fprintf(stderr, "velmorant-sim: cannot write %s: %s\n", Log.c_str(), std::strerror(errno));
        return 1;
    }
    Sim.TraceTo(LogFile);
    if (!Sim.Start()) {
        std::fprintf(stderr, "velmorant-sim: no pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (!Sim.LinkAs(Com)) {
        std::fprintf(stderr, "velmorant-sim: cannot link %s in %sports/: %s\n", Com.c_str(),
                     SerialPortLinksFolder().c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("Serving the simulated Velmorant on %s (%s)\n", Com.c_str(), Sim.DevicePath().c_str());
    std::fflush(stdout);

    // The traffic log is for tests; a demo that runs for hours should not keep it.
    const timespec Minute{60, 0};
    while (sigtimedwait(&Stops, nullptr, &Minute) < 0) Sim.ClearCommands();
    return 0;  // the simulator's destructor removes the link
}

// The program itself, started as a process against a simulated board (in this process, linked as
// COM1 in a fresh settings folder, so nothing of the user's is touched and COM1 is the first port
// tried). The program has no hook for its frames, so the milestones are seen from outside:
//   ident_ms  the board receives "VER": Qt is up, the window is built and the ports are listed;
//   shown_ms  (the reported time) the board receives the "TEMP" that ends the display update of the
//             first showing: the board's settings and live values are in the window, whose first
//             frame is painted as soon as that update returns;
//   map_ms    only with an X display: the X server reports the main window mapped (seen by xev);
//   tick_ms   the "TEMP" of the first timer tick, about 500 ms later (the timer's interval).
// rss_MiB and hwm_MiB are VmRSS and VmHWM of the program after that first tick.
//
// Under the offscreen platform unless DISPLAY is set. VELMORANT_APP names the program (default:
// ../velmorant beside this binary's folder); VELMORANT_IDLE_SECONDS the idle period (default 60).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Simulator.h"

namespace {

using TClock = std::chrono::steady_clock;

double MillisecondsBetween(TClock::time_point From, TClock::time_point To) {
    return std::chrono::duration<double, std::milli>(To - From).count();
}

std::string AppPath() {
    if (const char* Own = getenv("VELMORANT_APP")) return Own;
    std::error_code Error;
    const std::filesystem::path Self = std::filesystem::read_symlink("/proc/self/exe", Error);
    return (Self.parent_path().parent_path() / "velmorant").string();
}

bool UseDisplay() {
    return getenv("DISPLAY") != nullptr && *getenv("DISPLAY") != '\0';
}

// Notices commands as the board receives them; each wait goes on from where the last one stopped.
class TCommandWatch {
public:
    explicit TCommandWatch(velsim::TSimulator& Sim) : FSim(Sim) {}
    // The moment Command arrived (noticed without spinning), or nothing after TimeoutMs.
    std::optional<TClock::time_point> WaitFor(const std::string& Command, int TimeoutMs) {
        const auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
        for (;;) {
            const std::vector<std::string> Commands = FSim.Commands();
            while (FSeen < Commands.size())
                if (Commands[FSeen++] == Command) return TClock::now();
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
            if (Left.count() <= 0 || !FSim.WaitForCommands(FSeen + 1, static_cast<int>(Left.count())))
                return std::nullopt;
        }
    }
    size_t Count(const std::string& Command) const {
        size_t N = 0;
        for (const std::string& C : FSim.Commands()) N += C == Command;
        return N;
    }

private:
    velsim::TSimulator& FSim;
    size_t FSeen = 0;
};

// xev on the root window: reports top-level windows as the X server maps them. One for the run;
// a thread takes the time of each map as its line arrives.
class TMapWatch {
public:
    static TMapWatch* Instance() {
        static std::unique_ptr<TMapWatch> Watch = [] {
            auto W = std::make_unique<TMapWatch>();
            if (!UseDisplay() ||
                !W->FXev.Start({"/usr/bin/xev", "-root", "-event", "substructure"}, {}, false, true))
                return std::unique_ptr<TMapWatch>();
            W->FReader = std::thread([Self = W.get()] { Self->Read(); });
            return W;
        }();
        return Watch.get();
    }
    ~TMapWatch() {
        // xev's end closes the pipe, which ends the reader.
        if (FXev.Running()) kill(FXev.Pid(), SIGTERM);
        if (FReader.joinable()) FReader.join();
    }
    // The first map at or after From, waiting up to TimeoutMs for it.
    std::optional<TClock::time_point> WaitForMap(TClock::time_point From, int TimeoutMs) {
        std::unique_lock<std::mutex> Lock(FMutex);
        std::optional<TClock::time_point> Found;
        FChanged.wait_for(Lock, std::chrono::milliseconds(TimeoutMs), [&] {
            for (TClock::time_point Map : FMaps) {
                if (Map < From) continue;
                Found = Map;
                break;
            }
            return Found.has_value();
        });
        return Found;
    }

private:
    void Read() {
        std::string Line;
        while (FXev.ReadLine(Line, 24 * 3600 * 1000)) {
            if (Line.rfind("MapNotify", 0) != 0) continue;
            std::lock_guard<std::mutex> Lock(FMutex);
            FMaps.push_back(TClock::now());
            FChanged.notify_all();
        }
    }

    TChildProcess FXev;
    std::thread FReader;
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<TClock::time_point> FMaps;
};

// One start of the program in a fresh home, against a fresh board linked as COM1.
class TWindowRun {
public:
    TWindowRun() : FRoot(MakeTempFolder("velmorant-window-XXXXXX")), FWatch(FSim) {
        std::filesystem::create_directories(FRoot + "/home/Documents/Velmorant");
        if (!FSim.Start() || !FSim.LinkAs("COM1", FRoot + "/config/Tarnwick/Velmorant/"))
            throw std::runtime_error("the simulator did not start");
    }
    ~TWindowRun() {
        if (FApp.Running()) FApp.Terminate(20000);
        FSim.Stop();
        std::error_code Ignored;
        std::filesystem::remove_all(FRoot, Ignored);
    }
    std::string ErrorLog() const {
        std::ifstream Log(FRoot + "/stderr.log");
        return std::string(std::istreambuf_iterator<char>(Log), {});
    }

    // Starts the program; the moment just before it is the run's zero.
    bool Start() {
        const std::string Platform = UseDisplay() ? "xcb" : "offscreen";
        FStart = TClock::now();
        return FApp.Start({AppPath()},
                          {"HOME=" + FRoot + "/home", "XDG_CONFIG_HOME=" + FRoot + "/config",
                           "XDG_DATA_HOME=" + FRoot + "/data", "XDG_CACHE_HOME=" + FRoot + "/cache",
                           "XDG_DOCUMENTS_DIR=" + FRoot + "/home/Documents", "QT_QPA_PLATFORM=" + Platform},
                          false, false, FRoot + "/stderr.log");
    }
    TClock::time_point Zero() const { return FStart; }
    TCommandWatch& Watch() { return FWatch; }
    TChildProcess& App() { return FApp; }

private:
    std::string FRoot;
    velsim::TSimulator FSim;
    TCommandWatch FWatch;
    TChildProcess FApp;
    TClock::time_point FStart;
};

constexpr int StartTimeoutMs = 60000;

std::unique_ptr<TWindowRun> NewRun(benchmark::State& State) {
    try {
        return std::make_unique<TWindowRun>();
    } catch (const std::exception& Error) {
        State.SkipWithError(Error.what());
        return nullptr;
    }
}

// Waits for the first showing to end and the first timer tick after it; false (with the reason
// in State) when a milestone did not come.
bool UpToFirstTick(benchmark::State& State, TWindowRun& Run, TMapWatch* Map) {
    if (!Run.Start()) {
        State.SkipWithError(("cannot start " + AppPath()).c_str());
        return false;
    }
    const auto Ident = Run.Watch().WaitFor("VER", StartTimeoutMs);
    const auto Shown = Ident ? Run.Watch().WaitFor("TEMP", StartTimeoutMs) : std::nullopt;
    const auto Tick = Shown ? Run.Watch().WaitFor("TEMP", StartTimeoutMs) : std::nullopt;
    if (!Tick) {
        std::cerr << Run.ErrorLog();
        State.SkipWithError("the program did not connect to the simulated board and poll it");
        return false;
    }
    State.counters["ident_ms"] = MillisecondsBetween(Run.Zero(), *Ident);
    State.counters["shown_ms"] = MillisecondsBetween(Run.Zero(), *Shown);
    State.counters["tick_ms"] = MillisecondsBetween(Run.Zero(), *Tick);
    if (Map != nullptr) {
        if (const auto Mapped = Map->WaitForMap(Run.Zero(), 5000))
            State.counters["map_ms"] = MillisecondsBetween(Run.Zero(), *Mapped);
    }
    State.SetIterationTime(MillisecondsBetween(Run.Zero(), *Shown) / 1000.0);
    return true;
}

void BM_WindowStart(benchmark::State& State) {
    TMapWatch* Map = TMapWatch::Instance();
    for (auto _ : State) {
        const std::unique_ptr<TWindowRun> Own = NewRun(State);
        if (!Own || !UpToFirstTick(State, *Own, Map)) break;
        TWindowRun& Run = *Own;
        State.counters["rss_MiB"] = static_cast<double>(ProcStatusKiB(Run.App().Pid(), "VmRSS")) / 1024.0;
        State.counters["hwm_MiB"] = static_cast<double>(ProcStatusKiB(Run.App().Pid(), "VmHWM")) / 1024.0;
    }
}
BENCHMARK(BM_WindowStart)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The connected program left alone: only the session's ticks poll. cpu_pct is its user plus system
// time over the period, as a share of one core; ticks counts the board's "TEMP" commands meanwhile
// (two a second expected). The reported time is the period itself. With an X display and
// VELMORANT_XSERVER_PID, xserver_cpu_pct is what the X server spent meanwhile (drawing the updates).
void BM_WindowIdleCpu(benchmark::State& State) {
    const char* IdleText = getenv("VELMORANT_IDLE_SECONDS");
    const int Seconds = IdleText != nullptr && atoi(IdleText) > 0 ? atoi(IdleText) : 60;
    const char* Server = getenv("VELMORANT_XSERVER_PID");
    const pid_t XServer = Server != nullptr && UseDisplay() ? static_cast<pid_t>(atoi(Server)) : 0;
    for (auto _ : State) {
        const std::unique_ptr<TWindowRun> Own = NewRun(State);
        if (!Own || !UpToFirstTick(State, *Own, nullptr)) break;
        TWindowRun& Run = *Own;
        const size_t TicksBefore = Run.Watch().Count("TEMP");
        const double CpuBefore = ProcCpuSeconds(Run.App().Pid());
        const double ServerBefore = XServer > 0 ? ProcCpuSeconds(XServer) : -1;
        const auto From = TClock::now();
        std::this_thread::sleep_for(std::chrono::seconds(Seconds));
        const double CpuAfter = ProcCpuSeconds(Run.App().Pid());
        const double Wall = MillisecondsBetween(From, TClock::now()) / 1000.0;
        const size_t Ticks = Run.Watch().Count("TEMP") - TicksBefore;
        State.SetIterationTime(Wall);
        State.counters["cpu_pct"] = 100.0 * (CpuAfter - CpuBefore) / Wall;
        State.counters["cpu_ms"] = 1000.0 * (CpuAfter - CpuBefore);
        State.counters["ticks"] = static_cast<double>(Ticks);
        if (ServerBefore >= 0)
            State.counters["xserver_cpu_pct"] = 100.0 * (ProcCpuSeconds(XServer) - ServerBefore) / Wall;
        State.counters["rss_MiB"] = static_cast<double>(ProcStatusKiB(Run.App().Pid(), "VmRSS")) / 1024.0;
    }
}
BENCHMARK(BM_WindowIdleCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

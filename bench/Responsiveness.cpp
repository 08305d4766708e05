// velmorant-responsiveness: how long the main window's event loop waits while the board is talked
// to at the line rate, for the window as built (the board session on its worker thread) and for
// the design before it (the same driver calls made on the window's thread), in one run.
//
// The probe is a 10 ms precise timer on the window's thread: each shot's lateness is how long after
// its due time (the previous shot plus 10 ms) it came. A blocked event loop shows as one late shot
// per block, as long as the block. Three cases, both designs each, and one for the window alone:
//   ticking    the board answers at 19200 baud, the window polls every 500 ms;
//   silent     the board stops answering while the window polls;
//   retrieval  back-to-back full retrievals (RECALL, settings, program) while the window polls;
//   logging    ticking with the data log on, a row a second and a save every 5 s;
//   hourly     logging with the trends window open, when an hour's rows are saved at once;
//   recovery   the start after a crash, while a journal of a day's rows is saved into log files;
//   port list  the port list opened (and the ports probed) every 200 ms while ticking;
//   trends     ticking with the trends window open and a day of readings on screen;
//   capture    a capture of the five analog inputs at the line rate, drawn live in the trends window.
// Then the connected window's CPU while it only polls (the simulator's thread left out), and a
// tick's cost through the session against a board that answers at once, beside the bare driver's.
//
//   velmorant-responsiveness [--seconds N] [--silent-seconds N] [--retrievals N] [--idle-seconds N]
//                            [--trace MS] [--cases NAME,...] [--port NAME]
// --cases runs only the cases named (by the words above), and neither the idle CPU nor the tick.
// --port connects the window to another port than the simulator's, a shared one say (then the
// ticks are not counted); with --cases ticking it measures the window on a service.
// --trace prints every event that kept the window's thread busy for MS or more, to find what blocks.
#include <sys/resource.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSpinBox>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BoardSession.h"
#include "DataJournal.h"
#include "DataLogger.h"
#include "Device_VL.h"
#include "GeneralLib.h"
#include "IniFile.h"
#include "LogRecorder.h"
#include "Main.h"
#include "NetPort.h"
#include "SimFixture.h"
#include "TickReadings.h"
#include "TrendsWnd.h"

namespace {

constexpr int ProbeIntervalMs = 10;
constexpr int TickIntervalMs = 500;
constexpr int LineRate = 19200;

struct TOptions {
    int Seconds = 10;
    int SilentSeconds = 25;
    int Retrievals = 5;
    int IdleSeconds = 20;
    int TraceMs = 0;
    std::string Cases;  // ",word,word,"; empty: everything
    std::string Port;   // the window's port instead of the simulator's (a shared one, say)
};

// With a threshold, names each event whose delivery took at least that long.
class TTracingApplication : public QApplication {
public:
    TTracingApplication(int& Argc, char** Argv, int ThresholdMs)
        : QApplication(Argc, Argv), FThresholdMs(ThresholdMs) {}
    bool notify(QObject* Receiver, QEvent* Event) override {
        if (FThresholdMs <= 0) return QApplication::notify(Receiver, Event);
        QElapsedTimer clock;
        clock.start();
        const QEvent::Type type = Event->type();  // both may be gone after delivery
        const char* const className = Receiver->metaObject()->className();
        const QPointer<QObject> receiver(Receiver);
        const bool result = QApplication::notify(Receiver, Event);
        const qint64 ms = clock.elapsed();
        if (ms >= FThresholdMs)
            std::fprintf(stderr, "busy %lld ms: event %d to %s %s\n", static_cast<long long>(ms),
                         static_cast<int>(type), className,
                         receiver ? receiver->objectName().toStdString().c_str() : "(deleted)");
        return result;
    }

private:
    int FThresholdMs;
};

// Answers every question with its first button; the benchmark asks for nothing.
class TQuietUi : public TUiServices {
public:
    TMsgButton Message(QWidget*, const TMessageRequest& Request) override {
        std::fprintf(stderr, "message: %s\n", Request.Text.c_str());
        return Request.Buttons.empty() ? mbOK : Request.Buttons.front();
    }
    bool FileDialog(QWidget*, const TFileDialogRequest&, std::string&) override { return false; }
    bool OpenUrl(const std::string&) override { return false; }
    bool StartProgram(const std::string&, const std::string&) override { return false; }
};

class TLatenessProbe {
public:
    TLatenessProbe() {
        FTimer.setTimerType(Qt::PreciseTimer);
        FTimer.setInterval(ProbeIntervalMs);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            const qint64 now = FClock.nsecsElapsed();
            FLate.push_back(std::max(0.0, static_cast<double>(now - FLast) / 1e6 - ProbeIntervalMs));
            FLast = now;
        });
    }
    void Start() {
        FLate.clear();
        FClock.start();
        FLast = 0;
        FTimer.start();
    }
    void Stop() {
        FTimer.stop();
        const qint64 now = FClock.nsecsElapsed();
        FSeconds = static_cast<double>(now) / 1e9;
        // A shot that was due and had not come by the end still waited.
        const double waiting = static_cast<double>(now - FLast) / 1e6 - ProbeIntervalMs;
        if (waiting > 0) FLate.push_back(waiting);
    }
    size_t Shots() const { return FLate.size(); }
    size_t Over(double Ms) const {
        return static_cast<size_t>(
            std::count_if(FLate.begin(), FLate.end(), [Ms](double Late) { return Late > Ms; }));
    }
    double Seconds() const { return FSeconds; }
    // Nearest rank; 0 without shots.
    double Percentile(double P) const {
        if (FLate.empty()) return 0;
        std::vector<double> sorted = FLate;
        std::sort(sorted.begin(), sorted.end());
        const auto rank = static_cast<size_t>(std::ceil(P * static_cast<double>(sorted.size())));
        return sorted[std::max<size_t>(rank, 1) - 1];
    }

private:
    QTimer FTimer;
    QElapsedTimer FClock;
    qint64 FLast = 0;
    double FSeconds = 0;
    std::vector<double> FLate;
};

// Jiffies of the whole machine from /proc/stat: busy (steal excluded), stolen by the host, all.
struct TMachineTimes {
    double Busy = 0, Steal = 0, Total = 0;
    static TMachineTimes Now() {
        std::ifstream in("/proc/stat");
        std::string cpu;
        double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
        in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
        const double busy = user + nice + system + irq + softirq;
        return {busy, steal, busy + idle + iowait + steal};
    }
    // "busy% / steal%" of the machine's time since Start.
    std::string Since(const TMachineTimes& Start) const {
        const double total = std::max(1.0, Total - Start.Total);
        char text[32];
        std::snprintf(text, sizeof text, "%.0f%% / %.0f%%", 100 * (Busy - Start.Busy) / total,
                      100 * (Steal - Start.Steal) / total);
        return text;
    }
};

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void RunEventLoopFor(int Ms) {
    QEventLoop loop;
    QTimer::singleShot(Ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until Ready() holds (checked every 20 ms); false after TimeoutMs.
bool RunEventLoopUntil(const std::function<bool()>& Ready, int TimeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!Ready()) {
        if (clock.elapsed() > TimeoutMs) return false;
        RunEventLoopFor(20);
    }
    return true;
}

enum TCase {
    csTicking,
    csSilent,
    csRetrieval,
    csLogging,
    csHourlySave,
    csRecovery,
    csPortList,
    csTrendsDay,
    csCapture
};
const char* const CaseNames[] = {"ticking at the line rate",
                                 "board silent",
                                 "full retrievals",
                                 "ticking, data log every second",
                                 "logging, an hour's rows saved, trends open",
                                 "start-up recovery of a day's journal",
                                 "port list opened every 200 ms",
                                 "trends window with a day on screen",
                                 "capture of five inputs drawn live"};
const char* const CaseWords[] = {"ticking",  "silent",   "retrieval", "logging", "hourly",
                                 "recovery", "portlist", "trends",    "capture"};
constexpr int RowsInAnHour = 3600;
constexpr int TicksInADay = 24 * 3600 * 2;

struct TResult {
    TCase Case = csTicking;
    std::string Design;
    size_t Shots = 0, Over50 = 0;
    std::string Machine;
    double Seconds = 0, P50 = 0, P99 = 0, Max = 0;
    size_t Ticks = 0, Retrievals = 0;
    std::string Load;
};

size_t CountCommands(velsim::TSimulator& Sim, const std::string& Command) {
    const std::vector<std::string> commands = Sim.Commands();
    return static_cast<size_t>(std::count(commands.begin(), commands.end(), Command));
}

// The probe runs while Drive does a case's work; Drive calls Finished() once it is done.
struct TCaseRun {
    velsim::TSimFixture& Fixture;
    TCase Case;
    const TOptions& Options;

    TResult Measure(const std::string& Design,
                    const std::function<void(std::function<void()> Finished)>& Drive) {
        TResult r;
        r.Case = Case;
        r.Design = Design;
        velsim::TSimulator& sim = Fixture.Sim();
        if (Options.TraceMs > 0) std::fprintf(stderr, "== %s, %s\n", CaseNames[Case], Design.c_str());
        if (Case == csSilent) sim.SetFault(velsim::TFault::Silent);
        sim.ClearCommands();
        TLatenessProbe probe;
        QEventLoop loop;
        bool finished = false;
        const TMachineTimes machine = TMachineTimes::Now();
        probe.Start();
        Drive([&] {
            finished = true;
            loop.quit();
        });
        if (Case != csRetrieval)
            QTimer::singleShot((Case == csSilent ? Options.SilentSeconds : Options.Seconds) * 1000,
                               Qt::PreciseTimer, &loop, [&] {
                                   finished = true;
                                   loop.quit();
                               });
        if (!finished) loop.exec();
        probe.Stop();
        sim.SetFault(velsim::TFault::None);
        r.Machine = TMachineTimes::Now().Since(machine);
        r.Shots = probe.Shots();
        r.Over50 = probe.Over(50);
        r.Seconds = probe.Seconds();
        r.P50 = probe.Percentile(0.50);
        r.P99 = probe.Percentile(0.99);
        r.Max = probe.Percentile(1.0);
        r.Ticks = CountCommands(sim, "PRTRD0");
        r.Retrievals = CountCommands(sim, "RECALL");
        r.Load = LoadAverage();
        return r;
    }
};

// The design before the session: the window's own timer made the twelve reads of a tick on the
// window's thread, and a retrieval ran there too.
TResult RunToday(TCaseRun& Run) {
    TVelmorant driver;
    std::string statusText;  // the old window showed driver errors in its status bar
    driver.SetOnError([&](const TFailure& Failure) { statusText = Failure.Text; });
    if (!driver.FindDevice(Run.Fixture.ComName()) || !driver.RetrieveSettings(true)) {
        std::fprintf(stderr, "today's design: the board was not found\n");
        std::exit(1);
    }
    QTimer ticks;
    int sum = 0;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        for (int port = 0; port < TVelmorant::PortCountConst; ++port) sum += driver.ReadPortStateOrZero(port);
        for (int input = 0; input < TVelmorant::AnalogInputCount; ++input)
            sum += driver.ReadAnalogInputValueOrZero(input);
        sum += driver.ReadTemperatureOrZero();
    });
    int retrievals = 0;
    std::function<void()> retrieve;
    return Run.Measure("today: exchanges on the window's thread", [&](std::function<void()> Finished) {
        ticks.start(TickIntervalMs);
        if (Run.Case != csRetrieval) return;
        retrieve = [&, Finished] {
            driver.RetrieveSettings(true);
            if (++retrievals == Run.Options.Retrievals)
                Finished();
            else
                QTimer::singleShot(0, retrieve);
        };
        QTimer::singleShot(0, retrieve);
    });
}

// The window as built, connected the way a start connects it: to Port when one is given.
std::unique_ptr<TformMain> OpenWindow(const std::string& Port = {}) {
    if (!Port.empty()) {
        InitApplicationFolders();
        // The list of network ports holds it, as after Add network port.
        TIniFile ini(ApplicationFolders.AppSettingsPath + "Velmorant.ini");
        ini.WriteString("formMain", "lblPort.Caption", Port);
        if (IsNetworkPortName(Port)) WriteNetworkPortNames(ini, {Port});
    }
    auto form = std::make_unique<TformMain>(std::make_unique<TQuietUi>());
    form->show();
    const bool connected = RunEventLoopUntil(
        [&] { return form->Session().State().DevicePresent && !form->Session().LongWorkPending(); }, 30000);
    if (!connected) {
        std::fprintf(stderr, "the window did not connect to the simulated board\n");
        std::exit(1);
    }
    return form;
}

// Readings as a board would send them, a little different at each tick.
TTickReadings SomeReadings(TDateTime Time, int I) {
    TTickReadings r;
    r.Time = Time;
    for (int port = 0; port < 6; ++port) r.Ports[port] = (I + port) & 0xFF;
    for (int input = 0; input < 5; ++input) r.Analog[input] = (I * 7 + input * 100) % 1024;
    r.Temperature = 70 + I % 10;
    return r;
}

// A journal of a day's rows at one a second, left by a run that was killed, in Folder.
void WriteDayJournal(const std::string& Folder, const std::string& Target) {
    TDataJournal journal(TDataJournal::NewName(Folder));
    std::vector<std::string> lines{DataLogHeader};
    const TDateTime start = Now() - 1.0;
    for (int i = 0; i < 24 * 3600; ++i) {
        lines.push_back(TDataLogger::FormatTimeStamp(start + SecsToTime(i)) + "," +
                        LogRowOf(SomeReadings(start, i)));
        journal.Append(Target, lines);
    }
}  // left for recovery: it holds rows

// The capture's samples a second through the session and the window, beside what its bytes allow.
void PrintCaptureRate(const TCaptureData& Data) {
    double bytes = 0;
    size_t good = 0;
    for (size_t c = 0; c < Data.ChannelCount(); ++c)
        for (size_t i = 0; i < Data.Size(c); ++i) {
            if (std::isnan(Data.Value(c, i))) continue;
            // "ADCn" and CR, the reading and CR LF
            bytes += static_cast<double>(5 + std::to_string(static_cast<int>(Data.Value(c, i))).size() + 2);
            ++good;
        }
    const double seconds = Data.LastTime(), wire = bytes * 10 / LineRate;
    std::printf("capture drawn live: %zu samples (%zu good) in %.2f s, %.1f a second, %.1f%% of the limit\n",
                Data.Samples(), good, seconds,
                seconds > 0 ? static_cast<double>(Data.Samples()) / seconds : 0.0,
                seconds > 0 ? 100 * wire / seconds : 0.0);
}

TResult RunSession(TCaseRun& Run) {
    const std::string settings = Run.Fixture.LinksFolder();
    if (Run.Case == csRecovery)
        WriteDayJournal(settings, Run.Fixture.Root() + "/documents/Velmorant Datalog.csv");
    // The recovery runs from the window's first moments: the window is made, and shown under the probe.
    std::unique_ptr<TformMain> form = Run.Case == csRecovery
                                          ? std::make_unique<TformMain>(std::make_unique<TQuietUi>())
                                          : OpenWindow(Run.Options.Port);
    int retrievals = 0;
    QMetaObject::Connection next;
    QTimer dropDowns, recoveryPoll;
    if (Run.Case == csHourlySave) {
        form->miTrendsClick();
        form->Logging().findChild<QCheckBox*>("chkEnableDataLogging")->click();
        // An hour of rows waiting, then the next row is due for a save.
        form->Logging().DataLogger().Start(0);
        const TDateTime start = Now() - 1.0 / 24;
        for (int i = 0; i < RowsInAnHour; ++i)
            form->Logging().DataLogger().AddTick(SomeReadings(start + SecsToTime(i), i));
        if (!RunEventLoopUntil([&] { return form->Logging().DataLogger().Count() >= RowsInAnHour; }, 60000))
            std::exit(1);
        form->Logging().DataLogger().Start(1);
        form->Logging().DataLogger().SetAutosaveInterval(0);
    }
    if (Run.Case == csTrendsDay) {
        form->miTrendsClick();
        form->Trends().SetTimeWindow(TformTrends::twSinceConnecting);
        const TDateTime start = Now() - 1.0;
        for (int i = 0; i < TicksInADay; ++i)
            form->Trends().AddTick(SomeReadings(start + i * 0.5 / 86400, i));
        RunEventLoopFor(500);
    }
    if (Run.Case == csCapture) {
        form->miTrendsClick();
        form->Trends().resize(1100, 680);
        // What the main window does when it makes the trends window.
        form->Trends().SetSession(form->Session());
        RunEventLoopFor(500);
    }
    if (Run.Case == csPortList) {
        QObject::connect(&dropDowns, &QTimer::timeout, [&] { form->Connection().comboPortDropDown(); });
        dropDowns.start(200);
    }
    if (Run.Case == csLogging) {
        // A row a second, saved every 5 s rather than every hour, so that saves fall in the run.
        form->Logging().findChild<QSpinBox*>("spinLogInterval")->setValue(1);
        form->Logging().DataLogger().SetAutosaveInterval(5);
        form->Logging().findChild<QCheckBox*>("chkEnableDataLogging")->click();
    }
    TResult r = Run.Measure("session: exchanges on its worker thread", [&](std::function<void()> Finished) {
        if (Run.Case == csRecovery) {
            // Until the rows are in their files and the window has connected.
            form->show();
            QObject::connect(&recoveryPoll, &QTimer::timeout, [&, Finished] {
                if (!form->Logging().DataLogger().Idle() || !form->Session().State().DevicePresent ||
                    form->Session().LongWorkPending())
                    return;
                recoveryPoll.stop();
                Finished();
            });
            recoveryPoll.start(20);
            return;
        }
        if (Run.Case == csCapture) {
            TCaptureRequest request;
            for (int input = 0; input < TVelmorant::AnalogInputCount; ++input)
                request.Channels.push_back({false, input});
            request.Seconds = Run.Options.Seconds;
            if (!form->Trends().StartCapture(request)) std::fprintf(stderr, "the capture did not start\n");
            next = QObject::connect(&form->Session(), &TBoardSession::CaptureEnded, Finished);
            return;
        }
        if (Run.Case != csRetrieval) return;
        next =
            QObject::connect(&form->Session(), &TBoardSession::LongWorkChanged, [&, Finished](bool Pending) {
                if (Pending) return;
                if (++retrievals == Run.Options.Retrievals)
                    Finished();
                else
                    QTimer::singleShot(0, [&] { form->EEPROM().RecallFromDevice(true, false); });
            });
        form->EEPROM().RecallFromDevice(true, false);
    });
    QObject::disconnect(next);
    if (Run.Case == csHourlySave && form->Logging().DataLogger().Count() >= RowsInAnHour)
        std::fprintf(stderr, "the hour's rows were not saved during the case\n");
    if (Run.Case == csCapture) PrintCaptureRate(form->Trends().Capture());
    dropDowns.stop();
    recoveryPoll.stop();
    // A read the silent board keeps waiting for ends at its deadline before the port closes.
    form.reset();
    return r;
}

// The CPU time of one thread of this process, from the scheduler's account (nanoseconds).
double ThreadCpuSeconds(const std::string& Tid) {
    std::ifstream in("/proc/self/task/" + Tid + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e9;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::set<std::string> ThreadIds() {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ids.insert(entry.path().filename().string());
    return ids;
}

void MeasureIdleCpu(velsim::TSimFixture& Fixture, const std::vector<std::string>& SimThreads, int Seconds) {
    std::unique_ptr<TformMain> form = OpenWindow();
    RunEventLoopFor(1000);
    Fixture.Sim().ClearCommands();
    const auto simCpu = [&] {
        double total = 0;
        for (const std::string& tid : SimThreads) total += ThreadCpuSeconds(tid);
        return total;
    };
    const double process0 = ProcessCpuSeconds(), sim0 = simCpu();
    QElapsedTimer clock;
    clock.start();
    RunEventLoopFor(Seconds * 1000);
    const double wall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double process = ProcessCpuSeconds() - process0, sim = simCpu() - sim0;
    const size_t ticks = CountCommands(Fixture.Sim(), "PRTRD0");
    std::printf("\nIdle window, connected and polling, %.1f s, %zu ticks, load %s:\n", wall, ticks,
                LoadAverage().c_str());
    std::printf("| | CPU time | %% of one core | per tick |\n|---|---|---|---|\n");
    std::printf("| the window (process less the simulator's thread) | %.0f ms | %.3f%% | %.2f ms |\n",
                (process - sim) * 1e3, 100 * (process - sim) / wall,
                ticks ? (process - sim) * 1e3 / ticks : 0.0);
    std::printf("| the simulator's thread | %.0f ms | %.3f%% | |\n", sim * 1e3, 100 * sim / wall);
    std::printf("| the whole process (getrusage) | %.0f ms | %.3f%% | |\n", process * 1e3,
                100 * process / wall);
}

double Median(std::vector<double> Values) {
    std::sort(Values.begin(), Values.end());
    return Values.empty() ? 0 : Values[Values.size() / 2];
}

// A tick against a board that answers at once: the bare driver, and the session's round trip from
// the post to the result's delivery on this thread.
void MeasureInstantTick(velsim::TSimFixture& Fixture) {
    constexpr int Ticks = 300;
    velsim::TSimulator instant;
    if (!instant.Start() || !instant.LinkAs("COM2", Fixture.LinksFolder())) {
        std::fprintf(stderr, "the instant simulator did not start\n");
        std::exit(1);
    }
    // Turn about, so that the machine's load falls on both alike; each has a board of its own.
    velsim::TSimulator second;
    if (!second.Start() || !second.LinkAs("COM4", Fixture.LinksFolder())) {
        std::fprintf(stderr, "the instant simulator did not start\n");
        std::exit(1);
    }
    TVelmorant driver;
    TBoardSession session;
    session.Connect({"COM4"}, {});
    if (!driver.FindDevice("COM2") || !RunEventLoopUntil([&] { return session.Idle(); }, 10000) ||
        !session.State().DevicePresent) {
        std::fprintf(stderr, "the instant simulators were not found\n");
        std::exit(1);
    }
    std::vector<double> direct, posted;
    int sum = 0;
    for (int i = 0; i < Ticks; ++i) {
        QElapsedTimer clock;
        clock.start();
        for (int port = 0; port < TVelmorant::PortCountConst; ++port) sum += driver.ReadPortStateOrZero(port);
        for (int input = 0; input < TVelmorant::AnalogInputCount; ++input)
            sum += driver.ReadAnalogInputValueOrZero(input);
        sum += driver.ReadTemperatureOrZero();
        direct.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);

        QEventLoop loop;
        clock.start();
        const QMetaObject::Connection read = QObject::connect(&session, &TBoardSession::TickRead, [&] {
            posted.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
            loop.quit();
        });
        session.Tick();
        loop.exec();
        QObject::disconnect(read);
    }
    const double d = Median(direct), t = Median(posted);
    std::printf("\nA tick of 12 exchanges against a board that answers at once, median of %d, load %s:\n",
                Ticks, LoadAverage().c_str());
    std::printf("| | tick | per exchange |\n|---|---|---|\n");
    std::printf("| the driver on the calling thread | %.3f ms | %.1f us |\n", d, d * 1e3 / 12);
    std::printf("| through the session (post to delivery) | %.3f ms | %.1f us |\n", t, t * 1e3 / 12);
    std::printf("| session / driver | %.2f | |\n", d > 0 ? t / d : 0.0);
}

int IntArgument(int Argc, char** Argv, int& I) {
    if (I + 1 >= Argc) {
        std::fprintf(stderr, "%s needs a number\n", Argv[I]);
        std::exit(2);
    }
    return std::max(1, std::atoi(Argv[++I]));
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

}  // namespace

int main(int Argc, char** Argv) {
    TOptions options;
    for (int i = 1; i < Argc; ++i) {
        if (std::strcmp(Argv[i], "--seconds") == 0)
            options.Seconds = IntArgument(Argc, Argv, i);
        else if (std::strcmp(Argv[i], "--silent-seconds") == 0)
            options.SilentSeconds = IntArgument(Argc, Argv, i);
        else if (std::strcmp(Argv[i], "--retrievals") == 0)
            options.Retrievals = IntArgument(Argc, Argv, i);
        else if (std::strcmp(Argv[i], "--idle-seconds") == 0)
            options.IdleSeconds = IntArgument(Argc, Argv, i);
        else if (std::strcmp(Argv[i], "--trace") == 0)
            options.TraceMs = IntArgument(Argc, Argv, i);
        else if (std::strcmp(Argv[i], "--port") == 0 && i + 1 < Argc)
            options.Port = Argv[++i];
        else if (std::strcmp(Argv[i], "--cases") == 0 && i + 1 < Argc)
            options.Cases = std::string(",") + Argv[++i] + ",";
        else {
            std::fprintf(stderr,
                         "usage: %s [--seconds N] [--silent-seconds N] [--retrievals N] [--idle-seconds N] "
                         "[--trace MS] [--cases NAME,...] [--port NAME]\n",
                         Argv[0]);
            return 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TTracingApplication app(Argc, Argv, options.TraceMs);

    // The simulator's own thread is told apart by appearing with it.
    const std::set<std::string> before = ThreadIds();
    velsim::TSimBoardOptions board;
    board.BaudRate = LineRate;
    // COM1: the port a first start tries first, in a private settings folder.
    velsim::TSimFixture fixture("COM1", board);
    std::vector<std::string> simThreads;
    for (const std::string& tid : ThreadIds())
        if (!before.count(tid)) simThreads.push_back(tid);

    std::printf("%s, %u cores online, Qt %s, load average at start %s, probe every %d ms\n\n",
                CpuModel().c_str(), std::thread::hardware_concurrency(), QT_VERSION_STR,
                LoadAverage().c_str(), ProbeIntervalMs);
    std::printf(
        "| case | design | shots | p50 | p99 | longest wait | shots over 50 ms | seconds | ticks begun | "
        "retrievals | machine busy / steal | load after |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (TCase c : {csTicking, csSilent, csRetrieval, csLogging, csHourlySave, csRecovery, csPortList,
                    csTrendsDay, csCapture}) {
        const std::string word = std::string(",") + CaseWords[c] + ",";
        if (!options.Cases.empty() && options.Cases.find(word) == std::string::npos) continue;
        TCaseRun run{fixture, c, options};
        // Today's design logged on the window's thread as well; only the session's window is run with it.
        std::vector<TResult> results;
        if (c <= csRetrieval) results.push_back(RunToday(run));
        results.push_back(RunSession(run));
        for (const TResult& r : results) {
            std::printf(
                "| %s | %s | %zu | %.1f ms | %.1f ms | %.1f ms | %zu | %.1f | %zu | %zu | %s | %s |\n",
                CaseNames[r.Case], r.Design.c_str(), r.Shots, r.P50, r.P99, r.Max, r.Over50, r.Seconds,
                r.Ticks, r.Retrievals, r.Machine.c_str(), r.Load.c_str());
            std::fflush(stdout);
        }
    }
    if (!options.Cases.empty()) return 0;
    MeasureIdleCpu(fixture, simThreads, options.IdleSeconds);
    MeasureInstantTick(fixture);
    return 0;
}

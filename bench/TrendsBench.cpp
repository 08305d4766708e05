// The trends window in this process (offscreen platform unless DISPLAY is set), fed synthetic
// ticks at 2 Hz with failed reads among them, so that the figures do not depend on a board:
//   BM_TrendDecimate     the decimation alone: six curves of a full day to 1000 columns;
//   BM_TrendsTick        one tick's update with the window visible and a full day in the ring:
//                        AddTick, decimation of every curve and five pins, the plot's redraw and
//                        the paint; rss_MiB after the day was fed, rss_window_MiB what creating
//                        the window added, rss_day_MiB what feeding it a day added after that,
//                        ring_MiB the ring's own size;
//   BM_OpenMillionRows   a 1,000,000-row data log: the reader alone (read_ms), then opened through
//                        the window while a 5 ms timer probes the event loop (open_ms, late_max_ms);
//   BM_TrendsEventLoop   the event loop with the window visible, a full day in the ring and a tick
//                        every 500 ms: the lateness of a 5 ms precise timer over 10 s.
#include <benchmark/benchmark.h>
#include <qcustomplot.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DataLogReader.h"
#include "DataLogger.h"
#include "TrendsWnd.h"

namespace {

constexpr double Second = 1.0 / 86400;
constexpr double Start = 46365.0;  // 2026-12-09 00:00

QApplication& App() {
    static int Argc = 1;
    static char Name[] = "velmorant-bench";
    static char* Argv[] = {Name, nullptr};
    if (getenv("DISPLAY") == nullptr || *getenv("DISPLAY") == '\0') setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Never destroyed: at exit Qt's own statics may already be gone.
    static QApplication* Instance = new QApplication(Argc, Argv);
    return *Instance;
}

// Slow waves, a counter on port 3, and one failed read in 500.
TTickReadings SyntheticTick(size_t I) {
    TTickReadings R;
    R.Time = Start + static_cast<double>(I) * 0.5 * Second;
    for (int P = 0; P < 6; ++P) R.Ports[P] = static_cast<int>((I >> P) & 0xFF);
    for (int A = 0; A < 5; ++A)
        R.Analog[A] = 512 + static_cast<int>(400 * std::sin(static_cast<double>(I) / (300.0 + 70 * A)));
    R.Temperature = 72 + static_cast<int>(I / 900 % 5);
    if (I % 500 == 7) R.Analog[2].reset();
    return R;
}

double ResidentMiB() {
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.rfind("VmRSS:", 0) == 0) return std::stod(Line.substr(6)) / 1024;
    return 0;
}

// The window shown at 1100 x 680 with a day of ticks and five pins, following "since connecting".
struct TDayWindow {
    TformTrends Trends;
    size_t Next = 0;
    double RssEmpty = 0, RssAfter = 0;
    TDayWindow() {
        RssEmpty = ResidentMiB();  // the ring is allocated (and zeroed) with the window
        for (; Next < TrendDayCapacity; ++Next) Trends.AddTick(SyntheticTick(Next));
        Trends.resize(1100, 680);
        Trends.show();
        for (int Pin : {0, 1, 2, 3}) Trends.ShowPin(3, Pin, true);
        Trends.ShowPin(0, 5, true);
        Trends.SetTimeWindow(TformTrends::twSinceConnecting);
        QCoreApplication::processEvents();
        RssAfter = ResidentMiB();
    }
};

void BM_TrendDecimate(benchmark::State& State) {
    TTrendRing Ring;
    for (size_t I = 0; I < TrendDayCapacity; ++I) Ring.Add(SyntheticTick(I));
    std::vector<TTrendPoint> Out;
    for (auto _ : State) {
        for (int C = 0; C < 6; ++C)
            DecimateTrend(Ring, {tcAnalog0 + C, -1}, Ring.Time(0), Ring.Time(Ring.Size() - 1), 1000, Out);
        benchmark::DoNotOptimize(Out.data());
    }
}
BENCHMARK(BM_TrendDecimate)->Unit(benchmark::kMillisecond);

void BM_TrendsTick(benchmark::State& State) {
    App();
    const double RssBefore = ResidentMiB();
    TDayWindow Day;
    State.counters["rss_window_MiB"] = Day.RssEmpty - RssBefore;
    for (auto _ : State) {
        // As a tick arrives: the redraw it queues, then the paint.
        Day.Trends.AddTick(SyntheticTick(Day.Next++));
        QCoreApplication::processEvents();
    }
    State.counters["rss_MiB"] = Day.RssAfter;
    State.counters["rss_day_MiB"] = Day.RssAfter - Day.RssEmpty;
    State.counters["ring_MiB"] =
        static_cast<double>(TrendDayCapacity) * (sizeof(double) + tcColumnCount * sizeof(float)) / (1 << 20);
    State.counters["samples"] = static_cast<double>(Day.Trends.Live().Size());
}
BENCHMARK(BM_TrendsTick)->Unit(benchmark::kMillisecond);

// Runs the event loop for Ms while a precise 5 ms timer notes how late each of its shots comes.
struct TLatenessProbe {
    QTimer Timer;
    QElapsedTimer Clock;
    qint64 Last = 0;
    std::vector<double> Late;
    TLatenessProbe() {
        Timer.setTimerType(Qt::PreciseTimer);
        Timer.setInterval(5);
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            const qint64 Now = Clock.nsecsElapsed();
            Late.push_back(std::max(0.0, (Now - Last) / 1e6 - 5.0));
            Last = Now;
        });
        Clock.start();
        Timer.start();
    }
    double Max() const { return Late.empty() ? 0 : *std::max_element(Late.begin(), Late.end()); }
    double Percentile(double P) {
        if (Late.empty()) return 0;
        std::sort(Late.begin(), Late.end());
        return Late[static_cast<size_t>(P * static_cast<double>(Late.size() - 1))];
    }
};

// Written afresh for each run of the benchmark, removed after it.
std::string MillionRowLog() {
    const std::string File =
        std::filesystem::temp_directory_path() / ("velmorant-bench-1m-" + std::to_string(getpid()) + ".csv");
    std::ofstream Out(File, std::ios::binary);
    Out << DataLogHeader << "\r\n";
    for (size_t I = 0; I < 1000000; ++I)
        Out << TDataLogger::FormatTimeStamp(Start + static_cast<double>(I) * Second) << ","
            << LogRowOf(SyntheticTick(I)) << "\r\n";
    return File;
}

void BM_OpenMillionRows(benchmark::State& State) {
    App();
    const std::string File = MillionRowLog();
    double ReadMs = 0, OpenMs = 0, LateMax = 0, Rows = 0;
    for (auto _ : State) {
        QElapsedTimer Clock;
        Clock.start();
        Rows = static_cast<double>(ReadDataLogs({File}).Size());
        ReadMs = Clock.nsecsElapsed() / 1e6;

        TformTrends Trends;
        Trends.show();
        QCoreApplication::processEvents();
        QEventLoop Loop;
        QObject::connect(&Trends, &TformTrends::LogLoaded, &Loop, &QEventLoop::quit);
        TLatenessProbe Probe;
        Clock.start();
        Trends.OpenLogFiles({QString::fromStdString(File)});
        Loop.exec();
        OpenMs = Clock.nsecsElapsed() / 1e6;
        Probe.Timer.stop();
        LateMax = Probe.Max();
        State.SetIterationTime(OpenMs / 1000);
    }
    std::filesystem::remove(File);
    State.counters["rows"] = Rows;
    State.counters["read_ms"] = ReadMs;
    State.counters["open_ms"] = OpenMs;
    State.counters["late_max_ms"] = LateMax;
}
BENCHMARK(BM_OpenMillionRows)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_TrendsEventLoop(benchmark::State& State) {
    App();
    TDayWindow Day;
    double P50 = 0, P99 = 0, Max = 0, Shots = 0;
    for (auto _ : State) {
        QTimer Ticks;
        QObject::connect(&Ticks, &QTimer::timeout, [&] { Day.Trends.AddTick(SyntheticTick(Day.Next++)); });
        Ticks.start(500);
        TLatenessProbe Probe;
        QEventLoop Loop;
        QTimer::singleShot(10000, &Loop, &QEventLoop::quit);
        Loop.exec();
        Probe.Timer.stop();
        Shots = static_cast<double>(Probe.Late.size());
        Max = Probe.Max();
        P50 = Probe.Percentile(0.5);
        P99 = Probe.Percentile(0.99);
    }
    State.counters["late_p50_ms"] = P50;
    State.counters["late_p99_ms"] = P99;
    State.counters["late_max_ms"] = Max;
    State.counters["probe_shots"] = Shots;
}
BENCHMARK(BM_TrendsEventLoop)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

// read and watch: the monitor's twelve readings, as the window's data log writes them.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <fstream>

#include "CliSession.h"
#include "DataLogger.h"
#include "Errors.h"

namespace velcli {

namespace {

// Ctrl+C and SIGTERM stay pending while blocked; the waits between readings take them, so a
// reading in progress always ends whole and its row is written before the program stops.
class TStopSignals {
public:
    TStopSignals() {
        sigemptyset(&FSet);
        sigaddset(&FSet, SIGINT);
        sigaddset(&FSet, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &FSet, &FOld);
    }
    ~TStopSignals() { pthread_sigmask(SIG_SETMASK, &FOld, nullptr); }
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // Waits up to Seconds; true when a stop signal came (now or earlier).
    bool Wait(double Seconds) {
        if (FStopped) return true;
        timespec Left{};
        Left.tv_sec = static_cast<time_t>(Seconds);
        Left.tv_nsec = static_cast<long>((Seconds - std::floor(Seconds)) * 1e9);
        int Signal;
        do Signal = sigtimedwait(&FSet, nullptr, &Left);
        while (Signal < 0 && errno == EINTR);
        FStopped = Signal > 0;
        return FStopped;
    }
    // True when a stop signal is waiting, without waiting for one.
    bool Pending() { return Wait(0); }

private:
    sigset_t FSet{}, FOld{};
    bool FStopped = false;
};

// One reading of everything the monitor shows. A read the board failed stays empty; Stop, asked
// between reads, abandons the reading (nullopt).
template <typename TStop>
std::optional<TTickReadings> ReadTick(TSession& S, TStop Stop) {
    TTickReadings R;
    R.Time = Now();
    const auto Read = [&](std::optional<int>& Into, auto Getter) {
        const int Before = S.ErrorCount;
        const int Value = Getter();
        if (S.ErrorCount == Before) Into = Value;
        return !Stop();
    };
    TVelmorant& D = S.Device;
    for (int Port = 0; Port < TVelmorant::PortCountConst; ++Port)
        if (!Read(R.Ports[Port], [&] { return D.GetPortState(Port); })) return std::nullopt;
    for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input)
        if (!Read(R.Analog[Input], [&] { return D.GetAnalogInputValue(Input); })) return std::nullopt;
    if (!Read(R.Temperature, [&] { return D.Temperature(); })) return std::nullopt;
    return R;
}

std::vector<std::optional<int>> ValuesOf(const TTickReadings& R) {
    std::vector<std::optional<int>> Values(R.Ports.begin(), R.Ports.end());
    Values.insert(Values.end(), R.Analog.begin(), R.Analog.end());
    Values.push_back(R.Temperature);
    return Values;
}

std::string JsonReadings(const TTickReadings& R) {
    std::string Json = "{\"time\":" + JsonString(TDataLogger::FormatTimeStamp(R.Time));
    const auto Values = ValuesOf(R);
    for (size_t I = 0; I < Values.size(); ++I)
        Json += "," + JsonString(ReadingLabels()[I]) + ":" + JsonValue(Values[I]);
    return Json + "}";
}

std::string LogLine(const TTickReadings& R) {
    return TDataLogger::FormatTimeStamp(R.Time) + "," + LogRowOf(R);
}

}  // namespace

const std::vector<std::string>& ReadingLabels() {
    static const std::vector<std::string> Labels = [] {
        std::vector<std::string> Result;
        const std::string Header = DataLogHeader;
        size_t Start = Header.find(',') + 1;  // after "Time"
        while (Result.size() < 12) {
            const size_t End = Header.find(',', Start);
            Result.push_back(Header.substr(Start, End - Start));
            Start = End + 1;
        }
        return Result;
    }();
    return Labels;
}

int RunRead(TSession& S) {
    const auto R = ReadTick(S, [] { return false; });
    if (S.Request.Json) {
        S.Out << JsonReadings(*R) << '\n';
    } else {
        const auto Values = ValuesOf(*R);
        for (size_t I = 0; I < Values.size(); ++I)
            S.Out << ReadingLabels()[I] << '\t' << (Values[I] ? std::to_string(*Values[I]) : "-") << '\n';
    }
    return S.ErrorCount > 0 ? ecFailed : ecSuccess;
}

int RunWatch(TSession& S) {
    const TCliRequest& Q = S.Request;
    std::ofstream Csv;
    if (!Q.CsvFile.empty()) {
        Csv.open(Q.CsvFile, std::ios::binary | std::ios::trunc);
        if (!Csv) throw EFileError("Cannot create file \"" + Q.CsvFile + "\".");
    }
    // The file has the window's CR LF line ends; a terminal or a pipe gets plain lines.
    std::ostream& To = Csv.is_open() ? static_cast<std::ostream&>(Csv) : S.Out;
    const char* const Eol = Csv.is_open() ? "\r\n" : "\n";
    const auto Emit = [&](const std::string& Line) {
        To << Line << Eol;
        To.flush();
        if (!To)
            throw EFileError("Unable to write to " + (Q.CsvFile.empty() ? "standard output" : Q.CsvFile));
    };
    TStopSignals Signals;
    if (!Q.Json) Emit(DataLogHeader);
    using Clock = std::chrono::steady_clock;
    const auto Interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Q.IntervalSecs));
    auto Due = Clock::now();
    for (long Rows = 0; Q.Count == 0 || Rows < Q.Count; ++Rows) {
        const auto R = ReadTick(S, [&] { return Signals.Pending(); });
        if (!R) break;
        Emit(Q.Json ? JsonReadings(*R) : LogLine(*R));
        if (R->Empty() && S.Device.PortHungUp()) {
            S.Error("Disconnected");
            return ecFailed;
        }
        if (Q.Count != 0 && Rows + 1 == Q.Count) break;
        // A reading that overran its slot never piles up readings behind it: the next one waits
        // for the next free slot.
        Due += Interval;
        const auto Current = Clock::now();
        if (Due < Current && Interval.count() > 0) Due += ((Current - Due) / Interval + 1) * Interval;
        const double Wait = std::max(0.0, std::chrono::duration<double>(Due - Clock::now()).count());
        if (Signals.Wait(Wait)) break;
    }
    return ecSuccess;
}

std::string ReadingsJson(const TTickReadings& R) {
    return JsonReadings(R);
}

std::optional<TTickReadings> ReadReadings(TSession& S, const std::function<bool()>& Stop) {
    return ReadTick(S, Stop);
}

}  // namespace velcli

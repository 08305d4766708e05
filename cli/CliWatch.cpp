// read and watch: the monitor's twelve readings, as the window's data log writes them.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "CliBoardLoop.h"
#include "CliSession.h"
#include "DataLogger.h"
#include "Errors.h"

namespace velcli {

namespace {

// One tick with the driver's texts held back; each kind of error is written the first time it comes.
TTickReadings Tick(TSession& S, TTickErrorFilter& Told, const std::function<bool()>& Stop) {
    S.QuietErrors = true;
    TTickReadings R;
    try {
        R = ReadTick(S.Device(), Stop);
    } catch (...) {
        S.QuietErrors = false;
        throw;
    }
    S.QuietErrors = false;
    for (const std::string& Text : Told.NewErrors(R)) S.Error(Text);
    return R;
}

// True when a read of the tick failed (also one Stop left out).
bool AnyReadFailed(const TTickReadings& R) {
    const auto Values = R.Values();
    return !R.Errors.empty() || std::any_of(Values.begin(), Values.end(), [](const auto& V) { return !V; });
}

std::string JsonReadings(const TTickReadings& R) {
    std::string Json = "{\"time\":" + JsonString(TDataLogger::FormatTimeStamp(R.Time));
    const auto Values = R.Values();
    for (size_t I = 0; I < Values.size(); ++I)
        Json.append(",").append(JsonString(ReadingLabels()[I])).append(":").append(JsonValue(Values[I]));
    return Json + "}";
}

std::string LogLine(const TTickReadings& R) {
    return TDataLogger::FormatTimeStamp(R.Time) + "," + LogRowOf(R);
}

int Watch(TSession& S, TStopSignals& Signals, const std::function<void(const std::string&)>& Emit) {
    const TCliRequest& Q = S.Request;
    if (!Q.Json) Emit(DataLogHeader);
    using Clock = std::chrono::steady_clock;
    const auto Interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Q.IntervalSecs));
    auto Due = Clock::now();
    TTickErrorFilter Told;
    bool Failed = false;
    for (long Rows = 0; Q.Count == 0 || Rows < Q.Count; ++Rows) {
        const TTickReadings R = Tick(S, Told, [&] { return Signals.Wait(0); });
        if (R.Stopped) break;  // an interrupted reading is no row
        Failed = Failed || AnyReadFailed(R);
        Emit(Q.Json ? JsonReadings(R) : LogLine(R));
        if (S.Device().PortHungUp()) {
            S.Error("Disconnected");
            return ecFailed;
        }
        if (Q.Count != 0 && Rows + 1 == Q.Count) break;
        // A reading that overran its slot never piles up readings behind it: the next one waits
        // for the next free slot.
        Due += Interval;
        const auto Current = Clock::now();
        if (Due < Current && Interval.count() > 0) Due += ((Current - Due) / Interval + 1) * Interval;
        const auto Wait = std::chrono::ceil<std::chrono::milliseconds>(Due - Clock::now()).count();
        if (Signals.Wait(static_cast<int>(std::clamp<long long>(Wait, 0, INT_MAX)))) break;
    }
    return Failed ? ecFailed : ecSuccess;
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
    TTickErrorFilter Told;
    const TTickReadings R = Tick(S, Told, {});
    if (S.Request.Json) {
        S.Out << JsonReadings(R) << '\n';
    } else {
        const auto Values = R.Values();
        for (size_t I = 0; I < Values.size(); ++I)
            S.Out << ReadingLabels()[I] << '\t' << (Values[I] ? std::to_string(*Values[I]) : "") << '\n';
    }
    return AnyReadFailed(R) || S.ErrorCount > 0 ? ecFailed : ecSuccess;
}

void OpenOutputFiles(TSession& S) {
    const TCliRequest& Q = S.Request;
    if ((Q.Kind == ckWatch || Q.Kind == ckCapture) && !Q.CsvFile.empty()) {
        // Opened, not emptied: a board that is not found leaves an earlier log as it was.
        std::error_code Error;
        S.CsvCreated = !std::filesystem::exists(Q.CsvFile, Error);
        S.Csv.open(Q.CsvFile, std::ios::binary | std::ios::app);
        if (!S.Csv) throw EFileError("Cannot create file \"" + Q.CsvFile + "\". " + std::strerror(errno));
    }
    if (Q.Kind == ckSettingsSave || Q.Kind == ckProgramUpload) CheckFileToWrite(Q.File);
}

int RunWatch(TSession& S) {
    const TCliRequest& Q = S.Request;
    std::ofstream& Csv = S.Csv;
    std::error_code Error;
    if (Csv.is_open()) std::filesystem::resize_file(Q.CsvFile, 0, Error);
    if (Error) throw EFileError("Unable to write to " + Q.CsvFile + ". " + Error.message());
    // The file has the window's CR LF line ends; a terminal or a pipe gets plain lines.
    std::ostream& To = Csv.is_open() ? static_cast<std::ostream&>(Csv) : S.Out;
    const char* const Eol = Csv.is_open() ? "\r\n" : "\n";
    const auto Emit = [&](const std::string& Line) {
        To << Line << Eol;
        To.flush();
        if (!To)
            throw EFileError("Unable to write to " + (Q.CsvFile.empty() ? "standard output" : Q.CsvFile));
    };
    // A reading in progress always ends whole, and its row is written before the program stops.
    return RunStoppable(S, [&](TStopSignals& Signals) { return Watch(S, Signals, Emit); });
}

std::string ReadingsJson(const TTickReadings& R) {
    return JsonReadings(R);
}

}  // namespace velcli

// velmorant-cli capture: analog inputs or ports read back to back, as fast as the line allows, as
// CSV rows, with a summary at the end.
#include <poll.h>

#include <atomic>
#include <charconv>
#include <filesystem>
#include <thread>

#include "CliBoardLoop.h"
#include "CliSession.h"
#include "Errors.h"
#include "WakeEvent.h"

namespace velcli {

namespace {

// Ctrl+C and SIGTERM end the capture at once: a thread of its own waits for them and interrupts
// the exchange in progress, so that even a read waiting on a silent board ends now. Every sample
// taken before is written.
class TStopWatcher {
public:
    TStopWatcher(TStopSignals& Signals, TVelmorant& Device) {
        FThread = std::thread([this, &Signals, &Device] {
            pollfd P[2] = {{Signals.Fd(), POLLIN, 0}, {FDone.Fd(), POLLIN, 0}};
            // Without an event descriptor to end the wait, it looks at the flag now and then.
            const int Look = FDone.Fd() < 0 ? 50 : -1;
            while (!FDone.Raised())
                if (::poll(P, 2, Look) > 0 && (P[0].revents & POLLIN)) {
                    FStopped = true;
                    Device.Interrupt();
                    return;
                }
        });
    }
    ~TStopWatcher() {
        FDone.Raise();
        FThread.join();
    }
    TStopWatcher(const TStopWatcher&) = delete;
    TStopWatcher& operator=(const TStopWatcher&) = delete;

    bool Stopped() const { return FStopped; }

private:
    TWakeEvent FDone;
    std::atomic<bool> FStopped{false};
    std::thread FThread;
};

// A number with Decimals digits after a "." whatever the locale: the summary may be read by programs.
std::string Fixed(double Value, int Decimals) {
    char Text[32];
    const auto End = std::to_chars(Text, Text + sizeof Text, Value, std::chars_format::fixed, Decimals).ptr;
    return std::string(Text, End);
}

std::string Optional(const std::optional<int>& Value, const char* None) {
    return Value ? std::to_string(*Value) : None;
}

void PrintSummary(TSession& S, std::ostream& To, const TCaptureRun& Run,
                  const std::vector<TCaptureStats>& Stats, double Seconds) {
    const auto& Channels = Run.Request().Channels;
    const double Rate = Seconds > 0 ? static_cast<double>(Run.Samples()) / Seconds : 0;
    if (S.Request.Json) {
        To << "{\"samples\":" << Run.Samples() << ",\"seconds\":" << Fixed(Seconds, 3)
           << ",\"per_second\":" << Fixed(Rate, 1) << ",\"end\":" << JsonString(CaptureEndText(Run.End()))
           << ",\"inputs\":[";
        for (size_t C = 0; C < Channels.size(); ++C) {
            const TCaptureStats& St = Stats[C];
            To << (C ? "," : "") << "{\"name\":" << JsonString(Channels[C].Name())
               << ",\"samples\":" << St.Samples << ",\"failed\":" << St.Failed
               << ",\"min\":" << JsonValue(St.Min) << ",\"max\":" << JsonValue(St.Max) << "}";
        }
        To << "]}\n";
        return;
    }
    To << "Captured " << Run.Samples() << " samples in " << Fixed(Seconds, 2) << " s, " << Fixed(Rate, 1)
       << " a second";
    if (Channels.size() > 1) To << " (" << Fixed(Rate / static_cast<double>(Channels.size()), 1) << " each)";
    To << "; " << CaptureEndText(Run.End()) << ".\n";
    for (size_t C = 0; C < Channels.size(); ++C) {
        const TCaptureStats& St = Stats[C];
        To << Channels[C].Name() << ": " << St.Samples << " samples, " << St.Failed << " failed, min "
           << Optional(St.Min, "-") << ", max " << Optional(St.Max, "-") << '\n';
    }
}

}  // namespace

void ParseCaptureWords(TCliRequest& R, const std::vector<std::string>& Words) {
    if (Words.size() < 2)
        throw EUsageError(
            "usage: velmorant-cli capture A0 [A1 ...|P0 ...] --seconds S|--count N [--csv FILE]");
    for (size_t I = 1; I < Words.size(); ++I) {
        const auto Channel = TCaptureChannel::Parse(Words[I]);
        if (!Channel) throw EUsageError("'" + Words[I] + "' is no analog input (A0..A4) or port (P0..P5)");
        R.Channels.push_back(*Channel);
    }
    const std::string Problem = TCaptureRequest{R.Channels}.Problem();
    if (!Problem.empty()) throw EUsageError(Problem);
}

namespace {

int Capture(TSession& S, TStopSignals& Signals) {
    const TCliRequest& Q = S.Request;
    std::error_code Error;
    if (S.Csv.is_open()) std::filesystem::resize_file(Q.CsvFile, 0, Error);
    if (Error) throw EFileError("Unable to write to " + Q.CsvFile + ". " + Error.message());
    // Rows to the file, or to standard output for a pipe (a plotter); the summary where rows are not.
    const bool ToFile = S.Csv.is_open();
    std::ostream& Rows = ToFile ? static_cast<std::ostream&>(S.Csv) : S.Out;
    std::ostream& Summary = ToFile ? S.Out : S.Err;
    const char* const Eol = ToFile ? "\r\n" : "\n";

    // Rows are written as they come and kept nowhere: no memory limit, a day's capture runs a day.
    const TCaptureRequest Request{Q.Channels, Q.CaptureSecs, static_cast<size_t>(std::max(Q.Count, 0L)), 0};
    std::vector<TCaptureStats> Stats(Request.Channels.size());
    TCaptureRows Round(Request.Channels.size());
    Rows << CaptureCsvHeader(Request.Channels) << Eol;
    double Last = 0;
    TCaptureEnd End;
    {
        // The driver's texts are told once each, as they first come.
        S.QuietErrors = true;
        TStopWatcher Stop(Signals, S.Device());
        TCaptureRun Run(S.Device(), Request);
        std::string Row;
        for (;;) {
            if (Stop.Stopped()) Run.Stop();
            const auto Sample = Run.Step();
            for (const std::string& Text : Run.NewErrors()) S.Error(Text);
            if (!Sample) break;
            Stats[static_cast<size_t>(Sample->Channel)].Add(Sample->Value);
            Last = Sample->Time;
            if (!Round.Add(*Sample, Row)) continue;
            Rows << Row << Eol;
            if (!ToFile) Rows.flush();
        }
        S.QuietErrors = false;
        if (const std::string Rest = Round.Rest(); !Rest.empty()) Rows << Rest << Eol;
        Rows.flush();
        if (!Rows)
            throw EFileError("Unable to write to " + (ToFile ? Q.CsvFile : std::string("standard output")));
        End = Run.End();
        PrintSummary(S, Summary, Run, Stats, Last);
    }
    if (End == ceLost) {
        S.Error("Disconnected");
        return ecFailed;
    }
    // Cut short by a limit the user did not set: the summary says which, and the run did not do its job.
    if (End == ceMemory) return ecFailed;
    for (const TCaptureStats& St : Stats)
        if (St.Failed > 0) return ecFailed;
    return ecSuccess;
}

}  // namespace

int RunCapture(TSession& S) {
    return RunStoppable(S, [&](TStopSignals& Signals) { return Capture(S, Signals); });
}

}  // namespace velcli

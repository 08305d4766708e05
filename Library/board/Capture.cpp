// Fast capture: stepping the reads, and the capture's CSV rows.
#include "Capture.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>

#include "Device_VL.h"

namespace {

const char* const PortLabels[] = {"Port0", "Port1", "Port2", "VPort0", "VPort1", "VPort2"};

std::string Lower(std::string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(),
                   [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
    return Text;
}

}  // namespace

std::string TCaptureChannel::Name() const {
    if (Port) return PortLabels[Index];
    std::string Name = "A";
    Name += static_cast<char>('0' + Index);
    return Name;
}

std::optional<TCaptureChannel> TCaptureChannel::Parse(const std::string& Text) {
    const std::string Word = Lower(Text);
    for (int Number = 0; Number < TVelmorant::PortCountConst; ++Number)
        if (Word == Lower(PortLabels[Number])) return TCaptureChannel{true, Number};
    if (Word.size() != 2 || (Word[0] != 'a' && Word[0] != 'p') || Word[1] < '0' || Word[1] > '9')
        return std::nullopt;
    const bool Port = Word[0] == 'p';
    const int Index = Word[1] - '0';
    if (Index >= (Port ? TVelmorant::PortCountConst : TVelmorant::AnalogInputCount)) return std::nullopt;
    return TCaptureChannel{Port, Index};
}

size_t TCaptureRequest::MaxRounds() const {
    const size_t PerRound = std::max<size_t>(Channels.size(), 1) * BytesPerSample;
    const size_t Memory = MemoryBytes == 0 ? SIZE_MAX : std::max<size_t>(MemoryBytes / PerRound, 1);
    return Rounds > 0 ? std::min(Rounds, Memory) : Memory;
}

std::string TCaptureRequest::Problem() const {
    if (Channels.empty()) return "no analog input or port to capture";
    for (size_t I = 0; I < Channels.size(); ++I)
        for (size_t J = 0; J < I; ++J)
            if (Channels[I] == Channels[J]) return Channels[I].Name() + " is named twice";
    return {};
}

const char* CaptureEndText(TCaptureEnd End) {
    switch (End) {
        case ceRunning:
            return "running";
        case ceDuration:
            return "the time was up";
        case ceCount:
            return "every input has its samples";
        case ceMemory:
            return "the memory limit was reached";
        case ceStopped:
            return "stopped";
        case ceLost:
            return "the connection was lost";
        case ceNoBoard:
            return "no board is connected";
    }
    return "";
}

void TCaptureStats::Add(const std::optional<int>& Value) {
    ++Samples;
    if (!Value) {
        ++Failed;
        return;
    }
    Min = Min ? std::min(*Min, *Value) : *Value;
    Max = Max ? std::max(*Max, *Value) : *Value;
}

TCaptureRun::TCaptureRun(TVelmorant& Driver, TCaptureRequest Request)
    : FDriver(Driver), FRequest(std::move(Request)), FMaxRounds(FRequest.MaxRounds()), FStart(TClock::now()) {
    if (FRequest.Channels.empty()) FEnd = ceCount;
}

double TCaptureRun::Elapsed() const {
    return std::chrono::duration<double>(TClock::now() - FStart).count();
}

void TCaptureRun::Stop() {
    if (FEnd == ceRunning) FEnd = ceStopped;
}

void TCaptureRun::EndIfDue() {
    // Only between rounds: a row of the CSV is never cut short by a limit.
    if (FEnd != ceRunning || FNext != 0) return;
    const size_t Rounds = FSamples / FRequest.Channels.size();
    if (Rounds >= FMaxRounds)
        FEnd = FRequest.Rounds > 0 && Rounds >= FRequest.Rounds ? ceCount : ceMemory;
    else if (FRequest.Seconds > 0 && Elapsed() >= FRequest.Seconds)
        FEnd = ceDuration;
}

std::optional<TCaptureSample> TCaptureRun::Step() {
    EndIfDue();
    if (FEnd == ceRunning && !FDriver.DevicePresent()) FEnd = ceNoBoard;
    if (FEnd != ceRunning) return std::nullopt;

    // The driver's texts are noted as they come and still reach its callback as before.
    const TFailureProc Saved = FDriver.OnError();
    std::vector<std::string> Texts;
    FDriver.SetOnError([&Texts, &Saved](const TFailure& Failure) {
        Texts.push_back(Failure.Text);
        if (Saved) Saved(Failure);
    });
    const TCaptureChannel Channel = FRequest.Channels[FNext];
    std::optional<int> Value;
    try {
        Value =
            Channel.Port ? FDriver.ReadPortState(Channel.Index) : FDriver.ReadAnalogInputValue(Channel.Index);
    } catch (...) {
        FDriver.SetOnError(Saved);
        throw;
    }
    FDriver.SetOnError(Saved);
    const double Time = Elapsed();

    // An interruption or a hang-up ended the exchange: the board said nothing about the input, and
    // the failure is none of its own.
    if (!Value && FDriver.Interrupted()) {
        FEnd = ceStopped;
        return std::nullopt;
    }
    if (FDriver.PortHungUp()) {
        FEnd = ceLost;
        return std::nullopt;
    }
    for (std::string& Text : Texts)
        if (FTold.insert(Text).second) FNew.push_back(std::move(Text));
    TCaptureSample Sample{static_cast<int>(FNext), Time, Value};
    ++FSamples;
    FNext = (FNext + 1) % FRequest.Channels.size();
    EndIfDue();
    return Sample;
}

std::vector<std::string> TCaptureRun::NewErrors() {
    std::vector<std::string> New;
    New.swap(FNew);
    return New;
}

std::string CaptureCsvHeader(const std::vector<TCaptureChannel>& Channels) {
    std::string Header = "Time (ms)";
    for (const TCaptureChannel& Channel : Channels) {
        Header += ',';
        Header += Channel.Name();
    }
    return Header;
}

std::string CaptureCsvRow(double Seconds, const std::vector<std::optional<int>>& Values) {
    // Always a "." whatever the locale: the field separator is a comma.
    char Text[32];
    const auto Result = std::to_chars(Text, Text + sizeof Text, Seconds * 1000, std::chars_format::fixed, 3);
    std::string Row(Text, Result.ptr);
    for (const auto& Value : Values) {
        Row += ',';
        if (Value) Row += std::to_string(*Value);
    }
    return Row;
}

bool TCaptureRows::Add(const TCaptureSample& Sample, std::string& Row) {
    if (Sample.Channel < 0 || static_cast<size_t>(Sample.Channel) >= FValues.size()) return false;
    if (Sample.Channel == 0 || FHave == 0) {
        std::fill(FValues.begin(), FValues.end(), std::nullopt);
        FHave = 0;
        FTime = Sample.Time;
    }
    FValues[static_cast<size_t>(Sample.Channel)] = Sample.Value;
    ++FHave;
    if (static_cast<size_t>(Sample.Channel) + 1 < FValues.size()) return false;
    Row = CaptureCsvRow(FTime, FValues);
    FHave = 0;
    return true;
}

std::string TCaptureRows::Rest() {
    if (FHave == 0) return {};
    FHave = 0;
    return CaptureCsvRow(FTime, FValues);
}

// The tick's readings: reading them from the board and writing them as a data-log row.
#include "TickReadings.h"

#include <algorithm>

#include "Device_VL.h"

const char* const DataLogHeader = "Time,Port0,Port1,Port2,VPort0,VPort1,VPort2,A0,A1,A2,A3,A4,Temp,Counter";

namespace {

// Puts a listener in front of the driver's error callback for one tick; the callback it had comes
// back however the tick ends (a job may be stopped by a throw inside an exchange).
class TErrorTap {
public:
    TErrorTap(TVelmorant& Driver, std::vector<std::string>& Errors, bool& Answered, std::string& Last)
        : FDriver(Driver), FSaved(Driver.OnError()) {
        Driver.SetOnError([this, &Errors, &Answered, &Last](const TFailure& Failure) {
            Answered = Failure.BoardAnswered();
            Last = Failure.Text;
            if (std::find(Errors.begin(), Errors.end(), Failure.Text) == Errors.end())
                Errors.push_back(Failure.Text);
            if (FSaved) FSaved(Failure);
        });
    }
    ~TErrorTap() { FDriver.SetOnError(std::move(FSaved)); }
    TErrorTap(const TErrorTap&) = delete;
    TErrorTap& operator=(const TErrorTap&) = delete;

private:
    TVelmorant& FDriver;
    TFailureProc FSaved;
};

}  // namespace

bool TTickReadings::Empty() const {
    for (const auto& v : Values())
        if (v) return false;
    return true;
}

std::array<std::optional<int>, 12> TTickReadings::Values() const {
    std::array<std::optional<int>, 12> All;
    std::copy(Ports.begin(), Ports.end(), All.begin());
    std::copy(Analog.begin(), Analog.end(), All.begin() + Ports.size());
    All.back() = Temperature;
    return All;
}

TTickReadings ReadTick(TVelmorant& Driver, const std::function<bool()>& Stop) {
    TTickReadings R;
    if (!Driver.DevicePresent()) return R;
    R.Time = Now();
    bool Answered = true;
    std::string Last;
    TErrorTap Tap(Driver, R.Errors, Answered, Last);
    bool First = true, Ended = false;
    size_t Index = 0;
    const auto Read = [&](std::optional<int>& Into, auto Reader) {
        if (Ended) return;
        if (!First && Stop && Stop()) {
            R.Stopped = Ended = true;
            return;
        }
        Answered = true;
        Last.clear();
        Into = Reader();
        if (!Into) R.Failures[Index] = Last;
        ++Index;
        Ended = (!Into && !Answered && First) || Driver.PortHungUp();
        First = false;
    };
    for (int Port = 0; Port < TVelmorant::PortCountConst; ++Port)
        Read(R.Ports[Port], [&] { return Driver.ReadPortState(Port); });
    for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input)
        Read(R.Analog[Input], [&] { return Driver.ReadAnalogInputValue(Input); });
    Read(R.Temperature, [&] { return Driver.ReadTemperature(); });
    return R;
}

std::vector<std::string> TTickErrorFilter::NewErrors(const TTickReadings& Tick) {
    std::vector<std::string> New;
    for (const std::string& Text : Tick.Errors)
        if (FTold.insert(Text).second) New.push_back(Text);
    return New;
}

std::string LogRowOf(const TTickReadings& Readings) {
    std::string row;
    const auto append = [&row](const std::optional<int>& Value) {
        if (Value) row += std::to_string(*Value);
        row += ',';
    };
    for (const auto& v : Readings.Values()) append(v);
    return row;
}

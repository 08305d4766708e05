// The board session's worker: one queue, one thread, the one driver.
#include "BoardSession.h"

#include <cstdlib>
#include <exception>

#include "DataLogger.h"
#include "UiServices.h"

namespace {

// The number after a command's letters ("PLCRD12" gives 12), -1 without one.
int CommandNumber(const std::string& Command, size_t Start) {
    int value = -1;
    for (size_t i = Start; i < Command.size() && Command[i] >= '0' && Command[i] <= '9'; ++i)
        value = (value < 0 ? 0 : value * 10) + (Command[i] - '0');
    return value;
}

bool StartsWith(const std::string& Text, const char* Prefix) {
    return Text.rfind(Prefix, 0) == 0;
}

// What long work is doing, told by the command it sends next.
QString ProgressOf(const std::string& Command, int LineCount) {
    const auto lineText = [&](const char* Verb, size_t Start) {
        const int line = CommandNumber(Command, Start);
        return QString("%1 program line %2 of %3").arg(Verb).arg(line + 1).arg(LineCount);
    };
    if (StartsWith(Command, "PLCRD")) return lineText("Reading", 5);
    if (StartsWith(Command, "PLCWR")) return lineText("Writing", 5);
    if (Command == "SAVE") return "Saving the settings in the EEPROM";
    if (Command == "RECALL") return "Recalling the settings from the EEPROM";
    if (StartsWith(Command, "PRTRD") || StartsWith(Command, "ADC") || Command == "TEMP") return "Reading inputs";
    if (Command.find('?') != std::string::npos || StartsWith(Command, "DIRRD") || StartsWith(Command, "AORD"))
        return "Reading settings";
    return "Sending settings";
}

}  // namespace

TBoardState TBoardState::Of(const TVelmorant& Driver) {
    TBoardState s;
    s.DevicePresent = Driver.DevicePresent();
    s.ComPortName = Driver.ComPortName();
    s.Version = Driver.Version();
    s.Changed = Driver.Changed();
    s.PLCEnabled = Driver.PLCEnabled();
    s.PLCRunMode = Driver.PLCRunMode();
    s.UpdatePeriod = Driver.UpdatePeriod();
    for (int port = 0; port < TVelmorant::PortCountConst; ++port) {
        s.Directions[port] = Driver.GetPortDirection(port);
        s.Pullups[port] = Driver.GetPullupsEnabled(port);
    }
    for (int input = 0; input < TVelmorant::AnalogInputCount; ++input)
        s.ADCOffsets[input] = Driver.CachedADCOffset(input);
    for (int pin = 0; pin < TVelmorant::PinCount; ++pin) s.PinComments[pin] = Driver.GetPinComment(pin);
    s.ProgramLines.reserve(static_cast<size_t>(Driver.ProgramLineCount()));
    for (int line = 0; line < Driver.ProgramLineCount(); ++line) s.ProgramLines.push_back(Driver.GetProgramLine(line));
    return s;
}

TBoardSession::TBoardSession(QObject* Parent) : QObject(Parent), FDriver(std::make_unique<TVelmorant>()) {
    // Both callbacks run on the worker, inside a job.
    FDriver->SetOnError([this](const std::string& Text) {
        FReadFailed = true;
        emit DeviceError(QString::fromStdString(Text), FDriver->DevicePresent());
    });
    FDriver->SetOnExchange([this](const std::string& Command) { ExchangeStarting(Command); });
    FState = TBoardState::Of(*FDriver);
    FWorker = std::thread([this] { RunWorker(); });
}

TBoardSession::~TBoardSession() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FQuit = true;
        FQueue.clear();
        FStopRunning = true;
    }
    FWake.notify_one();
    FWorker.join();
    // The port closes here, after the last exchange.
    FDriver.reset();
}

void TBoardSession::Post(TWork Work, std::function<void()> Done, TJobKind Kind) {
    ++FPending;
    if (Kind == jkLong && FLongPending++ == 0) emit LongWorkChanged(true);
    if (Kind == jkTick) FTickPending = true;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FQueue.push_back(TJob{std::move(Work), std::move(Done), Kind});
    }
    FWake.notify_one();
}

bool TBoardSession::PostTick(std::function<void(const TTickReadings&)> Done) {
    if (FTickPending) return false;
    auto readings = std::make_shared<TTickReadings>();
    Post([this, readings](TVelmorant& Driver) { *readings = ReadTick(Driver); },
         [readings, Done = std::move(Done)] { Done(*readings); }, jkTick);
    return true;
}

TTickReadings TBoardSession::ReadTick(TVelmorant& Driver) {
    TTickReadings r;
    if (!Driver.DevicePresent()) return r;
    r.Time = Now();
    // Each read stands alone: a failed one is a gap, the others are still good readings. A port that
    // hung up answers nothing more, and a board silent at the first read would cost a deadline per read.
    bool first = true, stop = false;
    const auto read = [&](auto Reader) -> std::optional<int> {
        if (stop) return std::nullopt;
        FReadFailed = false;
        const int value = Reader();
        const bool failed = FReadFailed;
        stop = (failed && first) || Driver.PortHungUp();
        first = false;
        if (failed) return std::nullopt;
        return value;
    };
    for (int port = 0; port < TVelmorant::PortCountConst; ++port)
        r.Ports[port] = read([&] { return Driver.GetPortState(port); });
    for (int input = 0; input < TVelmorant::AnalogInputCount; ++input)
        r.Analog[input] = read([&] { return Driver.GetAnalogInputValue(input); });
    r.Temperature = read([&] { return Driver.Temperature(); });
    if (r.Empty())
        ++FSilentTicks;
    else
        FSilentTicks = 0;
    return r;
}

void TBoardSession::StopLongWork() {
    std::deque<TJob> dropped;
    {
        std::lock_guard<std::mutex> lock(FLock);
        for (auto it = FQueue.begin(); it != FQueue.end();) {
            if (it->Kind != jkAction) {
                dropped.push_back(std::move(*it));
                it = FQueue.erase(it);
            } else {
                ++it;
            }
        }
        if (FRunningKind != jkAction) FStopRunning = true;
    }
    for (const TJob& job : dropped) Forget(job);
    if (Idle()) emit BecameIdle();
}

void TBoardSession::Forget(const TJob& Job) {
    --FPending;
    if (Job.Kind == jkTick) FTickPending = false;
    if (Job.Kind == jkLong && --FLongPending == 0) {
        emit Progress(QString());
        emit LongWorkChanged(false);
    }
}

void TBoardSession::CheckLink(TVelmorant& Driver) {
    if (!Driver.DevicePresent() || !Driver.PortHungUp()) return;
    FLost = true;
    FLostPort = Driver.ComPortName();
    FSilentTicks = 0;
    Driver.Disconnect();
    // The board reloads its EEPROM when it comes back: what was changed since is kept in a file.
    if (Driver.Changed() && !FUnsavedFolder.empty()) {
        const std::string file =
            TDataLogger::TimestampedName(FUnsavedFolder + "Unsaved changes " + FLostPort + ".velmor", Now());
        try {
            Driver.SaveSettingsInFile(file, true);
            FUnsavedFile = file;
        } catch (const std::exception& e) {
            emit JobFailed(QString::fromStdString(ErrorText(e)));
        }
    }
}

void TBoardSession::EndWaiting(bool KeepUnsavedFile) {
    FLost = false;
    FLostPort.clear();
    FSilentTicks = 0;
    if (!KeepUnsavedFile) FUnsavedFile.clear();
}

void TBoardSession::ExchangeStarting(const std::string& Command) {
    if (FStopRunning) throw TStopped{};
    if (FRunningKind == jkLong) emit Progress(ProgressOf(Command, FDriver->ProgramLineCount()));
}

void TBoardSession::RunWorker() {
    for (;;) {
        TJob job;
        {
            std::unique_lock<std::mutex> lock(FLock);
            FWake.wait(lock, [this] { return FQuit || !FQueue.empty(); });
            if (FQuit) return;
            job = std::move(FQueue.front());
            FQueue.pop_front();
            FRunningKind = job.Kind;
            FStopRunning = false;
        }
        bool ran = false;
        std::string failure;
        try {
            job.Work(*FDriver);
            ran = true;
        } catch (const TStopped&) {
        } catch (const std::exception& e) {
            failure = ErrorText(e);
        }
        CheckLink(*FDriver);
        TBoardState state = TBoardState::Of(*FDriver);
        state.Lost = FLost;
        state.LostPort = FLostPort;
        state.NoResponse = FDriver->DevicePresent() && FSilentTicks >= 2;
        state.UnsavedFile = FUnsavedFile;
        {
            std::lock_guard<std::mutex> lock(FLock);
            FRunningKind = jkAction;
            FResults.push_back(TResult{std::move(job), std::move(state), ran, std::move(failure)});
        }
        // The session lives on the window's thread; a call queued on it runs there, and is dropped
        // with the session if the window goes first. The result crosses under FLock rather than inside
        // the queued call: Debian's Qt locks its event queue where ThreadSanitizer cannot see it.
        QMetaObject::invokeMethod(this, "DeliverNext", Qt::QueuedConnection);
    }
}

void TBoardSession::DeliverNext() {
    TResult result;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FResults.empty()) return;
        result = std::move(FResults.front());
        FResults.pop_front();
    }
    Deliver(result.Job, std::move(result.State), result.Ran, result.Failure);
}

void TBoardSession::Deliver(const TJob& Job, TBoardState State, bool Ran, const std::string& Failure) {
    const bool linkChanged = State.DevicePresent != FState.DevicePresent || State.Lost != FState.Lost ||
                             State.NoResponse != FState.NoResponse;
    FState = std::move(State);
    emit Delivered();
    if (linkChanged) emit LinkChanged();
    Forget(Job);
    if (Ran && Job.Done) Job.Done();
    if (!Failure.empty()) emit JobFailed(QString::fromStdString(Failure));
    if (Idle()) emit BecameIdle();
}

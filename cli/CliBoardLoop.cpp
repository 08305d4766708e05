#include "CliBoardLoop.h"

#include <signal.h>
#include <sys/signalfd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstring>

#include "CliSession.h"
#include "Errors.h"
#include "NetPort.h"
#include "SerialPort.h"

namespace velcli {

namespace {

sigset_t StopSet() {
    sigset_t Set;
    sigemptyset(&Set);
    sigaddset(&Set, SIGINT);
    sigaddset(&Set, SIGTERM);
    return Set;
}

}  // namespace

TCoreApplication::TCoreApplication() {
    static int Argc = 1;
    static char Name[] = "velmorant-cli";
    static char* Argv[] = {Name, nullptr};
    if (QCoreApplication::instance() == nullptr) FApp = std::make_unique<QCoreApplication>(Argc, Argv);
}

TCoreApplication::~TCoreApplication() = default;

TStopSignals::TStopSignals() : FFd(-1) {
    const sigset_t Set = StopSet();
    pthread_sigmask(SIG_BLOCK, &Set, &FOld);
    FFd.Fd = ::signalfd(-1, &Set, SFD_CLOEXEC | SFD_NONBLOCK);
}

TStopSignals::~TStopSignals() {
    signalfd_siginfo Info;
    while (FFd.Fd >= 0 && ::read(FFd.Fd, &Info, sizeof Info) == sizeof Info) {
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
}

bool TStopSignals::Wait(int TimeoutMs) {
    if (FStopped || FFd.Fd < 0) return FStopped;
    pollfd P{FFd.Fd, POLLIN, 0};
    int Ready;
    do Ready = ::poll(&P, 1, TimeoutMs);
    while (Ready < 0 && errno == EINTR);
    FStopped = Ready > 0 && (P.revents & POLLIN);
    return FStopped;
}

int RunStoppable(TSession& S, const std::function<int(TStopSignals&)>& Body) {
    TStopSignals Signals;
    if (Signals.Fd() >= 0) return Body(Signals);
    S.Error(std::string("cannot wait for signals: ") + std::strerror(errno));
    return ecFailed;
}

int RunUntilStopped(TSession& S, const std::function<int(int SignalFd)>& Body) {
    struct sigaction Ignore {
    }, OldPipe{};
    Ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &Ignore, &OldPipe);
    const int Code = RunStoppable(S, [&](TStopSignals& Signals) { return Body(Signals.Fd()); });
    sigaction(SIGPIPE, &OldPipe, nullptr);
    return Code;
}

TBoardLoop::TBoardLoop(TSession& S, const std::string& PortName, const std::string& PortLabel, int SignalFd)
    : FS(S), FPort(PortName), FLabel(PortLabel), FSignalFd(SignalFd) {
    FS.Device.SetOnError([this](const TFailure& Failure) {
        ++FS.ErrorCount;
        // A tick's errors are told by reading, once it is over.
        if (FInTick)
            FTickErrors.push_back(Failure.Text);
        else if (FReported.insert(Failure.Text).second)
            Say(Failure.Text + " (" + FLabel + ")");
    });
}

void TBoardLoop::RunTicks() {
    auto Due = TClock::now();
    while (!FStop) {
        Serve(Due);
        if (FStop) break;
        if (TClock::now() < Due) continue;
        OnSlot();
        if (FS.Device.DevicePresent()) {
            const bool Answered = Tick();
            Due += TickPeriod;
            const auto Current = TClock::now();
            if (Due <= Current) {
                // A tick that overran its slot never piles up ticks behind it.
                if (Answered) ++FLateTicks;
                Due += ((Current - Due) / TickPeriod + 1) * TickPeriod;
            }
        } else {
            TryBoard();
            Due =
                TClock::now() + (FS.Device.DevicePresent() ? std::chrono::milliseconds(0) : BoardRetryPeriod);
        }
    }
}

void TBoardLoop::Say(const std::string& Text) {
    FS.Error(Text);
}

bool TBoardLoop::Online() const {
    return FS.Device.DevicePresent() && FSilentTicks < 2;
}

bool TBoardLoop::StopPending() const {
    pollfd P{FSignalFd, POLLIN, 0};
    return ::poll(&P, 1, 0) > 0;
}

bool TBoardLoop::Succeeded(const std::function<void()>& Write) {
    const int Before = FS.ErrorCount;
    Write();
    if (FS.ErrorCount != Before) return false;
    FReported.clear();  // a write that fails again is said again
    return true;
}

// The window's rules for a lost board: only its own port, and only once the port's node is back.
void TBoardLoop::TryBoard() {
    if (!IsNetworkPortName(FPort) && ::access(SerialDevicePath(FPort).c_str(), F_OK) != 0) {
        WaitingFor();
        return;
    }
    const int Before = FS.ErrorCount;
    TakeLastSerialFailure();
    if (!FS.Device.FindDevice(FPort)) {
        // A network port's reason is worded for the user; the layer's internal records are not.
        const TFailure Reason = TakeLastSerialFailure();
        FS.Device.Disconnect();
        WaitingFor(Reason.Kind == TFailureKind::Network ? Reason.Text : std::string());
        return;
    }
    FS.ErrorCount = Before;
    FReported.clear();
    FFailing.fill(std::nullopt);
    FWaitingSaid = false;
    // Which pins are outputs decides what may be written; the board's PLC is left as it runs.
    for (int Port = 0; Port < TVelmorant::PortCountConst; ++Port) {
        std::string Reply;
        int32_t Value = -1;
        FDirections[Port].reset();
        if (FS.Device.SendCommandToDevice("DIRRD" + std::to_string(Port), Reply) &&
            TryStrToInt(Reply, Value) && Value >= 0 && Value <= 255)
            FDirections[Port] = static_cast<uint8_t>(Value);
    }
    if (CheckLost()) return;
    FSilentTicks = 0;
    Say("connected to the Velmorant on " + FLabel + " (firmware " + FS.Device.Version() + ")");
    OnConnected();
}

void TBoardLoop::WaitingFor(const std::string& Reason) {
    if (FWaitingSaid) return;
    FWaitingSaid = true;
    Say("waiting for the Velmorant on " + FLabel + (Reason.empty() ? "" : " (" + Reason + ")"));
    OnAvailability();
}

bool TBoardLoop::CheckLost() {
    if (!FS.Device.PortHungUp()) return false;
    FS.Device.Disconnect();
    FSilentTicks = 0;
    Say("the connection to the Velmorant on " + FLabel + " was lost");
    WaitingFor();
    return true;
}

// Each failed reading says why once, until that reading succeeds again. A failed read reports
// exactly one error, so the tick's errors belong to its failed readings in order.
void TBoardLoop::TellTickErrors(const TTickReadings& R) {
    const auto Values = R.Values();
    size_t Next = 0;
    for (size_t I = 0; I < Values.size(); ++I) {
        if (Values[I]) {
            FFailing[I].reset();
        } else if (Next < FTickErrors.size()) {
            const std::string& Text = FTickErrors[Next++];
            if (FFailing[I] != Text) Say(Text + " (" + ReadingLabels()[I] + " on " + FLabel + ")");
            FFailing[I] = Text;
        }
    }
}

bool TBoardLoop::Tick() {
    ++FTicks;
    FTickErrors.clear();
    FInTick = true;
    const auto R = ReadReadings(FS, [this] { return StopPending(); });
    FInTick = false;
    if (!R) {
        FStop = true;
        return false;
    }
    TellTickErrors(*R);
    if (CheckLost()) return false;
    if (R->Empty()) {
        if (++FSilentTicks == 2) {
            Say("no response from the Velmorant on " + FLabel);
            OnAvailability();
        }
        return false;
    }
    if (FSilentTicks >= 2) Say("the Velmorant on " + FLabel + " answers again");
    FSilentTicks = 0;
    OnAvailability();
    OnReadings(*R);
    return true;
}

}  // namespace velcli

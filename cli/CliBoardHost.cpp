#include "CliBoardHost.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <utility>

#include "CliBoardLoop.h"
#include "CliSession.h"
#include "Errors.h"

namespace velcli {

namespace {

template <typename... Args, typename List>
void Tell(const List& Followers, Args&&... A) {
    for (const auto& F : Followers) F(A...);
}

}  // namespace

TBoardHost::TBoardHost(TSession& S, const std::string& PortName, const std::string& PortLabel)
    : FS(S), FPort(PortName), FLabel(PortLabel), FSupervisor(FSession) {
    // The front ends watch and switch pins: the board's PLC runs on as it was. Which pins are
    // outputs decides what may be written, so the settings are read until all are known.
    FSession.SetPausesPLC(false);
    FSupervisor.SetPortName(PortName);
    FSupervisor.SetRereadsUntilWhole(true);
    QObject::connect(&FSession, &TBoardSession::DeviceError, &FContext,
                     [this](const QString& Text, bool, bool InTick) {
                         // A tick's errors are told by reading, from TickRead.
                         if (!InTick && FReported.insert(Text.toStdString()).second)
                             Say(Text.toStdString() + " (" + FLabel + ")");
                     });
    QObject::connect(&FSession, &TBoardSession::TickRead, &FContext,
                     [this](const TTickReadings& R) { OnTick(R); });
    QObject::connect(&FSession, &TBoardSession::LinkChanged, &FContext, [this](const TBoardState& State) {
        if (!FConnected || !State.DevicePresent) return;
        if (State.NoResponse && !FSilent) Say("no response from the Velmorant on " + FLabel);
        if (!State.NoResponse && FSilent) Say("the Velmorant on " + FLabel + " answers again");
        FSilent = State.NoResponse;
        Tell(Availability);
    });
    QObject::connect(&FSupervisor, &TLinkSupervisor::Lost, &FContext, [this] {
        if (std::exchange(FConnected, false))
            Say("the connection to the Velmorant on " + FLabel + " was lost");
        Tell(Availability);
    });
    QObject::connect(&FSupervisor, &TLinkSupervisor::StillAway, &FContext,
                     [this](const QString&, const QString& Reason) {
                         Looked();
                         Say("waiting for the Velmorant on " + FLabel +
                             (Reason.isEmpty() ? "" : " (" + Reason.toStdString() + ")"));
                     });
    QObject::connect(&FSupervisor, &TLinkSupervisor::Reconnected, &FContext, [this] {
        FConnected = true;
        FSilent = false;
        FReported.clear();
        FFailing.fill(std::nullopt);
        Say("connected to the Velmorant on " + FLabel + " (firmware " + FSession.State().Version + ")");
        Tell(Found);
        Tell(Availability);
        FSession.SetTicking(true);
        // The read-back ended with a tick of its own.
        OnTick(FSession.State().Readings);
        Looked();
    });
}

void TBoardHost::Start() {
    // The board is awaited as a lost one is: its node first, then the board on it.
    FSession.AwaitBoard(FPort, [this] { FSupervisor.TryNow(); });
}

void TBoardHost::Stop() {
    FSupervisor.Stop();
    FSession.SetTicking(false);
}

bool TBoardHost::Online() const {
    return FConnected && State().DevicePresent && !State().NoResponse;
}

void TBoardHost::Say(const std::string& Text) {
    FS.Error(Text);
    Tell(Logs, Text);
}

void TBoardHost::Looked() {
    if (std::exchange(FLooked, true)) return;
    Tell(FirstLook);
}

// Each failed reading says why once, until that reading succeeds again.
void TBoardHost::OnTick(const TTickReadings& R) {
    if (!FConnected) return;
    const auto Values = R.Values();
    for (size_t I = 0; I < Values.size(); ++I) {
        if (Values[I]) {
            FFailing[I].reset();
        } else if (!R.Failures[I].empty()) {
            if (FFailing[I] != R.Failures[I])
                Say(R.Failures[I] + " (" + ReadingLabels()[I] + " on " + FLabel + ")");
            FFailing[I] = R.Failures[I];
        }
    }
    if (R.Errors.empty()) FReported.clear();
    Tell(Tick, R);
}

std::string SocketAddressText(const sockaddr_storage& A) {
    char Host[INET6_ADDRSTRLEN] = "?";
    int Port = 0;
    if (A.ss_family == AF_INET) {
        const auto* V4 = reinterpret_cast<const sockaddr_in*>(&A);
        inet_ntop(AF_INET, &V4->sin_addr, Host, sizeof Host);
        Port = ntohs(V4->sin_port);
    } else if (A.ss_family == AF_INET6) {
        const auto* V6 = reinterpret_cast<const sockaddr_in6*>(&A);
        inet_ntop(AF_INET6, &V6->sin6_addr, Host, sizeof Host);
        return std::string("[").append(Host).append("]:").append(std::to_string(ntohs(V6->sin6_port)));
    }
    return std::string(Host) + ":" + std::to_string(Port);
}

void SplitHostPort(const std::string& Address, std::string& Host, std::string& Port) {
    const size_t Colon = Address.rfind(':');
    Host = Address.substr(0, Colon);
    Port = Address.substr(Colon + 1);
    if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']') Host = Host.substr(1, Host.size() - 2);
}

TListener::TListener(TBoardHost& Host, int Fd, TTake Take) : FFd(Fd), FTake(std::move(Take)) {
    ::fcntl(FFd, F_SETFL, ::fcntl(FFd, F_GETFL) | O_NONBLOCK);
    Host.FirstLook.push_back([this] {
        FReadable = std::make_unique<QSocketNotifier>(FFd, QSocketNotifier::Read);
        QObject::connect(FReadable.get(), &QSocketNotifier::activated, &FContext, [this] { AcceptAll(); });
        AcceptAll();
    });
}

TListener::~TListener() {
    FReadable.reset();
    ::close(FFd);
}

sockaddr_storage TListener::Bound() const {
    sockaddr_storage Address{};
    socklen_t Size = sizeof Address;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&Address), &Size);
    return Address;
}

void TListener::AcceptAll() {
    for (;;) {
        sockaddr_storage Address{};
        socklen_t Size = sizeof Address;
        const int Fd =
            ::accept4(FFd, reinterpret_cast<sockaddr*>(&Address), &Size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (Fd < 0) return;
        FTake(Fd, Address);
    }
}

int ServeBoard(TSession& S, const std::string& PortName, const std::vector<TFrontEndMaker>& Makers) {
    const std::string Label = S.Request.Device.empty() ? S.Request.Port : S.Request.Device;
    // The signals are blocked before any thread starts (the session's, libmosquitto's).
    return RunUntilStopped(S, [&](int SignalFd) {
        TCoreApplication App;
        QEventLoop Loop;
        QSocketNotifier Signal(SignalFd, QSocketNotifier::Read);
        QObject::connect(&Signal, &QSocketNotifier::activated, &Loop, [&Loop] { Loop.quit(); });
        TBoardHost Host(S, PortName, Label);
        std::vector<std::unique_ptr<TFrontEnd>> Ends;
        for (const TFrontEndMaker& Make : Makers) {
            Ends.push_back(Make(Host, Loop));
            if (!Ends.back()->Start()) return static_cast<int>(ecFailed);
        }
        Host.Start();
        Loop.exec();
        Host.Stop();
        bool Failed = false;
        std::string Summary;
        for (const auto& End : Ends) {
            End->Finish();
            Failed = Failed || End->Failed();
            Summary += "; " + End->Summary();
        }
        if (Failed) return static_cast<int>(ecFailed);
        S.Error("stopped after " + std::to_string(Host.Session().TicksRead()) + " ticks, " +
                std::to_string(Host.Session().TicksSkipped()) + " late" + Summary);
        return static_cast<int>(ecSuccess);
    });
}

}  // namespace velcli

#include "CliBoardLoop.h"

#include <signal.h>
#include <sys/signalfd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstring>

#include "CliSession.h"
#include "Errors.h"

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

}  // namespace velcli

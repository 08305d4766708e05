#pragma once
// What the commands share: Ctrl+C and SIGTERM as one descriptor for those that run until stopped,
// and the event loop the board session delivers to.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <memory>

class QCoreApplication;

namespace velcli {

struct TSession;

// The event loop the board session delivers to, for a command that runs on it; none is made when
// the process has one already.
class TCoreApplication {
public:
    TCoreApplication();
    ~TCoreApplication();
    TCoreApplication(const TCoreApplication&) = delete;
    TCoreApplication& operator=(const TCoreApplication&) = delete;

private:
    std::unique_ptr<QCoreApplication> FApp;
};

// A file descriptor closed with its owner.
struct TFd {
    int Fd = -1;
    explicit TFd(int F) : Fd(F) {}
    ~TFd() {
        if (Fd >= 0) ::close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
};

// Ctrl+C and SIGTERM, the one way every long-running command ends: blocked for as long as this
// lives (made before any thread, so that no thread takes them) and readable on Fd(). Those that
// came and were not taken are taken at the end, so that none is delivered once unblocked.
class TStopSignals {
public:
    TStopSignals();
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // -1 when the system gave no signal descriptor (errno says why).
    int Fd() const { return FFd.Fd; }
    // Waits up to TimeoutMs (0: only looks) for a stop; true from the first one on.
    bool Wait(int TimeoutMs);

private:
    sigset_t FOld{};
    TFd FFd;
    bool FStopped = false;
};

// Runs Body with the stop signals waiting on it; ecFailed, said, when they cannot be waited for.
int RunStoppable(TSession& S, const std::function<int(TStopSignals&)>& Body);

// Runs Body(SignalFd) with SIGINT and SIGTERM blocked and readable on SignalFd, and SIGPIPE ignored
// (a peer that goes away mid-write must not end the program); the signal that ended it is taken
// before they are unblocked. Blocked before Body starts any thread, so that only SignalFd takes
// them. Body's exit code, or ecFailed when the signals cannot be waited for.
int RunUntilStopped(TSession& S, const std::function<int(int SignalFd)>& Body);

}  // namespace velcli

#pragma once
// The loop the long-running front ends (mqtt, modbus) share: a tick every 500 ms that never piles
// up behind a slow one, the board found again on its own port after it went away, each failure said
// once, and Ctrl+C or SIGTERM ending it between exchanges. A front end does its own work in Serve,
// between the ticks.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TickReadings.h"

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

class TBoardLoop {
public:
    using TClock = std::chrono::steady_clock;
    static constexpr auto TickPeriod = std::chrono::milliseconds(500);
    // A look at the port's node costs nothing; a replugged board is back within a second.
    static constexpr auto BoardRetryPeriod = std::chrono::seconds(1);

    TBoardLoop(TSession& S, const std::string& PortName, const std::string& PortLabel, int SignalFd);
    virtual ~TBoardLoop() = default;
    TBoardLoop(const TBoardLoop&) = delete;
    TBoardLoop& operator=(const TBoardLoop&) = delete;

protected:
    // Ticks, and looks for the board while it is away, until stopped.
    void RunTicks();
    // Stderr; a front end may tell its own clients too.
    virtual void Say(const std::string& Text);
    // Does the front end's work until Due; returns early once FStop is set.
    virtual void Serve(TClock::time_point Due) = 0;
    // At each slot, before the tick.
    virtual void OnSlot() {}
    // The board was found (again) and its directions read.
    virtual void OnConnected() {}
    // Online() may have changed.
    virtual void OnAvailability() {}
    // A tick in which the board answered at least one read.
    virtual void OnReadings(const TTickReadings&) {}

    // The board is there and answered one of its last two ticks.
    bool Online() const;
    // True when a stop signal waits, without taking it.
    bool StopPending() const;
    // Sets FStop when Revents of the signal descriptor say a signal came.
    void TakeSignal(short Revents) {
        if (Revents & POLLIN) FStop = true;
    }
    // After an exchange: a port that hung up means an unplugged board, awaited on the same port.
    bool CheckLost();
    // Counts the driver's errors of a write: true when Write reported none.
    bool Succeeded(const std::function<void()>& Write);

    TSession& FS;
    const std::string FPort, FLabel;
    const int FSignalFd;
    bool FStop = false;
    std::array<std::optional<uint8_t>, 6> FDirections;  // as read when the board was found
    uint64_t FTicks = 0, FLateTicks = 0;

private:
    void TryBoard();
    void WaitingFor(const std::string& Reason = std::string());
    void TellTickErrors(const TTickReadings& R);
    // One monitor tick; true when the board answered at least one read.
    bool Tick();

    bool FWaitingSaid = false;
    int FSilentTicks = 0;
    // Errors outside the ticks, each said once until a write succeeds or the board is found again.
    std::set<std::string> FReported;
    bool FInTick = false;
    std::vector<std::string> FTickErrors;                 // the running tick's, in order
    std::array<std::optional<std::string>, 12> FFailing;  // per reading: the error last said
};

}  // namespace velcli

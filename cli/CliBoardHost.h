#pragma once
// The board a serving command holds: one board session and its supervisor, shared by the front ends
// (the MQTT bridge, the Modbus server), and what the process says of its board. The board is
// awaited on its own port, found again after it went away, and read again until every setting is
// known; each failure is said once.
#include <sys/socket.h>

#include <QObject>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BoardSession.h"
#include "LinkSupervisor.h"

class QEventLoop;
class QSocketNotifier;

namespace velcli {

struct TSession;

class TBoardHost {
public:
    TBoardHost(TSession& S, const std::string& PortName, const std::string& PortLabel);
    TBoardHost(const TBoardHost&) = delete;
    TBoardHost& operator=(const TBoardHost&) = delete;

    // Awaits the board; call once every front end has subscribed.
    void Start();
    // Ticks end: the process is about to stop.
    void Stop();

    TBoardSession& Session() { return FSession; }
    const TBoardState& State() const { return FSession.State(); }
    const std::string& Label() const { return FLabel; }
    // The board was found and its settings read.
    bool Connected() const { return FConnected; }
    // Connected, and it answered one of its last two ticks.
    bool Online() const;

    // Stderr, and every front end's own log.
    void Say(const std::string& Text);
    // A write the board took: an error that comes again is said again.
    void WriteTaken() { FReported.clear(); }

    // What front ends follow. Each is called in the order added.
    std::vector<std::function<void(const std::string&)>> Logs;
    // The board was looked for the first time (found or not): front ends may serve from now on.
    std::vector<std::function<void()>> FirstLook;
    // The board was found and read (again).
    std::vector<std::function<void()>> Found;
    // Online() may have changed.
    std::vector<std::function<void()>> Availability;
    // A tick's readings while connected, the read-back's own first.
    std::vector<std::function<void(const TTickReadings&)>> Tick;

private:
    void Looked();
    void OnTick(const TTickReadings& R);

    TSession& FS;
    const std::string FPort, FLabel;
    TBoardSession FSession;
    TLinkSupervisor FSupervisor;
    QObject FContext;  // what the session's handlers run under
    bool FConnected = false;
    bool FSilent = false;
    bool FLooked = false;
    // Errors outside the ticks, each said once until a write is taken or a tick has none.
    std::set<std::string> FReported;
    std::array<std::optional<std::string>, 12> FFailing;  // per reading: the error last said
};

// A front end on the host (the bridge, the Modbus server).
class TFrontEnd {
public:
    virtual ~TFrontEnd() = default;
    // Before the board is awaited; false, said, when it cannot serve.
    virtual bool Start() = 0;
    // Once the loop has ended.
    virtual void Finish() = 0;
    // What it did, for the last line.
    virtual std::string Summary() const = 0;
    // It ended the loop itself, and the run fails.
    virtual bool Failed() const { return false; }
};

// Makes the front ends on Host; one may end Loop.
using TFrontEndMaker = std::function<std::unique_ptr<TFrontEnd>(TBoardHost& Host, QEventLoop& Loop)>;

// "127.0.0.1:5331", "[::1]:5331": a socket's address as the messages name it.
std::string SocketAddressText(const sockaddr_storage& Address);
// "HOST:PORT" ("[v6]:PORT" too) split as getaddrinfo takes it.
void SplitHostPort(const std::string& Address, std::string& Host, std::string& Port);

// A front end's listening socket, which it owns and closes. Its clients wait in the listen queue
// until the board was looked for once, so that their first answers are the board's; then Take gets
// each one's descriptor (non-blocking, close-on-exec) and address.
class TListener {
public:
    using TTake = std::function<void(int Fd, const sockaddr_storage& Address)>;
    TListener(TBoardHost& Host, int Fd, TTake Take);
    ~TListener();
    TListener(const TListener&) = delete;
    TListener& operator=(const TListener&) = delete;
    // The address it is bound to.
    sockaddr_storage Bound() const;

private:
    void AcceptAll();

    const int FFd;
    TTake FTake;
    QObject FContext;
    std::unique_ptr<QSocketNotifier> FReadable;
};

// Holds the board on PortName and serves it through the front ends Makers make, until Ctrl+C or
// SIGTERM; the exit code.
int ServeBoard(TSession& S, const std::string& PortName, const std::vector<TFrontEndMaker>& Makers);

}  // namespace velcli

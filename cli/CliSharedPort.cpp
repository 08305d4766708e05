// serve --listen: the shared port. Its clients speak the board's own line protocol; each command
// goes to the board through the session, one at a time and between the session's own jobs, so
// that no client holds the board for longer than one exchange.
#include "CliSharedPort.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <utility>

#include "BoardSession.h"
#include "CliSession.h"
#include "SerialPort.h"
#include "SharedPorts.h"

namespace velcli {

namespace {

// The window, a few scripts and command-line reads; one beyond is turned away.
constexpr size_t MaxClients = 8;
// Longer than any command the board takes ("PLCWR59 0123ABCD"): a longer line is never sent.
constexpr size_t MaxLine = 64;
// What a client may send ahead of its answers; beyond it its socket is not read until they went.
constexpr size_t MaxAhead = 1024;
// Answers a client has not taken: one that sends without reading is let go.
constexpr size_t MaxUnsent = 16 * 1024;

constexpr const char* BootloaderRefusal =
    "ERROR velmorant serve shares this board: stop the service to update its firmware";

struct TClient {
    uint64_t Id = 0;
    int Fd = -1;
    std::string Peer;
    std::string In;           // received, not yet a whole line
    std::string Out;          // answers the socket has not taken yet
    bool Waiting = false;     // its command is with the board
    bool Discarding = false;  // its line grew past MaxLine: dropped up to its end
    bool InputEnded = false;  // it sent all it will: it goes once its commands are answered
    // What it did wrong was said: once each, so that a client that keeps at it cannot drown the log.
    bool LongLineSaid = false, BootloaderSaid = false;
    std::unique_ptr<QSocketNotifier> Readable, Writable;
};

// The COM name of a device node, where one leads to it: the window lists boards by those.
std::string BoardName(const std::string& Label) {
    if (Label.empty() || Label[0] != '/') return Label;
    char Wanted[PATH_MAX];
    if (::realpath(Label.c_str(), Wanted) == nullptr) return Label;
    for (uint8_t Number = 1; Number <= 64; ++Number) {
        const std::string Name = SerialPortName(Number);
        const std::string Path = ResolveSerialPortPath(Name);
        char Found[PATH_MAX];
        if (!Path.empty() && ::realpath(Path.c_str(), Found) != nullptr && std::strcmp(Found, Wanted) == 0)
            return Name;
    }
    return Label;
}

class TSharedPort : public TFrontEnd {
public:
    TSharedPort(TSession& S, TBoardHost& Host) : FS(S), FHost(Host) {}

    ~TSharedPort() override {
        FClients.clear();
        FListener.reset();
        if (!FNotice.empty()) ::unlink(FNotice.c_str());
    }

    bool Start() override {
        std::string Error;
        const std::string& Address = FS.Request.Share;
        const int Listen = ListenOn(Address, Error);
        if (Listen < 0) {
            FS.Error("cannot listen on " + Address + ": " + Error);
            return false;
        }
        FListener = std::make_unique<TListener>(
            FHost, Listen, [this](int Fd, const sockaddr_storage& Peer) { Admit(Fd, Peer); });
        const sockaddr_storage Bound = FListener->Bound();
        const std::string Where = SocketAddressText(Bound);
        FS.Error("sharing " + FHost.Label() + " on " + Where + " (socket://" + Where + ")");
        Publish(Bound);
        return true;
    }

    void Finish() override {}

    std::string Summary() const override {
        return std::to_string(FCommands) + " commands passed for " + std::to_string(FLastId) + " clients";
    }

private:
    static int ListenOn(const std::string& Address, std::string& Error) {
        std::string Host, Port;
        SplitHostPort(Address, Host, Port);
        addrinfo Hints{};
        Hints.ai_family = AF_UNSPEC;
        Hints.ai_socktype = SOCK_STREAM;
        Hints.ai_flags = AI_PASSIVE;
        addrinfo* Found = nullptr;
        if (const int Failure = ::getaddrinfo(Host.c_str(), Port.c_str(), &Hints, &Found); Failure != 0) {
            Error = ::gai_strerror(Failure);
            return -1;
        }
        int Fd = -1;
        for (addrinfo* A = Found; A != nullptr && Fd < 0; A = A->ai_next) {
            Fd = ::socket(A->ai_family, A->ai_socktype | SOCK_CLOEXEC, A->ai_protocol);
            if (Fd < 0) continue;
            const int On = 1;
            ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
            if (::bind(Fd, A->ai_addr, A->ai_addrlen) != 0 ||
                ::listen(Fd, static_cast<int>(MaxClients)) != 0) {
                Error = std::strerror(errno);
                ::close(Fd);
                Fd = -1;
            }
        }
        ::freeaddrinfo(Found);
        return Fd;
    }

    // The notice the window finds the board by; a service without a runtime directory just has none.
    void Publish(const sockaddr_storage& Bound) {
        const std::string Folder = SharedPortFolderToPublish();
        if (Folder.empty()) return;
        // A server on every address is reached on this machine's own.
        sockaddr_storage Local = Bound;
        if (Local.ss_family == AF_INET) {
            auto* V4 = reinterpret_cast<sockaddr_in*>(&Local);
            if (V4->sin_addr.s_addr == htonl(INADDR_ANY)) V4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        } else if (Local.ss_family == AF_INET6) {
            auto* V6 = reinterpret_cast<sockaddr_in6*>(&Local);
            if (IN6_IS_ADDR_UNSPECIFIED(&V6->sin6_addr)) V6->sin6_addr = in6addr_loopback;
        }
        std::string Error;
        FNotice = PublishSharedPort(
            Folder, {BoardName(FHost.Label()), "socket://" + SocketAddressText(Local)}, Error);
        if (FNotice.empty()) FS.Error(Error + "; the window will not list the shared port by itself");
    }

    void Say(const std::string& Text) { FHost.Say(Text); }

    void Admit(int Fd, const sockaddr_storage& Address) {
        const std::string Peer = SocketAddressText(Address);
        if (FClients.size() >= MaxClients) {
            const std::string Text = "ERROR velmorant serve: " + std::to_string(MaxClients) +
                                     " clients are connected; try again later\r\n";
            (void)!::send(Fd, Text.data(), Text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(Fd);
            // Said once until a client leaves: one that keeps knocking would drown the log.
            if (!std::exchange(FFullSaid, true))
                Say("turned " + Peer + " away from the shared port: " + std::to_string(MaxClients) +
                    " clients are connected");
            return;
        }
        TClient& C = FClients.emplace_back();
        C.Id = ++FLastId;
        C.Fd = Fd;
        C.Peer = Peer;
        C.Readable = std::make_unique<QSocketNotifier>(Fd, QSocketNotifier::Read);
        C.Writable = std::make_unique<QSocketNotifier>(Fd, QSocketNotifier::Write);
        C.Writable->setEnabled(false);
        QObject::connect(C.Readable.get(), &QSocketNotifier::activated, &FContext,
                         [this, Id = C.Id] { Readable(Id); });
        QObject::connect(C.Writable.get(), &QSocketNotifier::activated, &FContext,
                         [this, Id = C.Id] { Settle(Id); });
    }

    std::list<TClient>::iterator Find(uint64_t Id) {
        return std::find_if(FClients.begin(), FClients.end(), [Id](const TClient& C) { return C.Id == Id; });
    }

    void Readable(uint64_t Id) {
        const auto It = Find(Id);
        if (It == FClients.end()) return;
        TClient& C = *It;
        char Bytes[MaxAhead];
        const ssize_t Got = ::recv(C.Fd, Bytes, MaxAhead - std::min(C.In.size(), MaxAhead - 1), 0);
        if (Got == 0) {
            C.InputEnded = true;
        } else if (Got < 0) {
            if (errno != EAGAIN && errno != EINTR) return Drop(It, "its connection failed");
        } else {
            C.In.append(Bytes, static_cast<size_t>(Got));
        }
        Settle(Id);
    }

    // Answers what can be answered now, sends what is owed, and reads on only when that is done.
    void Settle(uint64_t Id) {
        const auto It = Find(Id);
        if (It == FClients.end()) return;
        TClient& C = *It;
        while (!C.Waiting && TakeLine(C)) {
        }
        if (!C.Out.empty()) {
            const ssize_t Sent = ::send(C.Fd, C.Out.data(), C.Out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (Sent < 0 && errno != EAGAIN && errno != EINTR) return Drop(It, "its connection failed");
            if (Sent > 0) C.Out.erase(0, static_cast<size_t>(Sent));
            if (C.Out.size() > MaxUnsent) return Drop(It, "it does not read its answers");
        }
        C.Writable->setEnabled(!C.Out.empty());
        if (C.InputEnded && !C.Waiting && C.Out.empty()) return Drop(It, {});
        C.Readable->setEnabled(!C.InputEnded && !C.Waiting && C.In.size() < MaxAhead);
    }

    // Takes the client's next whole line, if any: answered at once, or sent to the board. False when
    // no whole line is there.
    bool TakeLine(TClient& C) {
        const size_t End = C.In.find_first_of("\r\n");
        if (End == std::string::npos) {
            // An endless line is dropped as it comes; the board never sees any of it.
            if (C.In.size() > MaxLine) {
                if (!std::exchange(C.LongLineSaid, true))
                    Say(C.Peer + " sent a line longer than any command; it is not sent to the board");
                C.Discarding = true;
                C.In.clear();
            }
            return false;
        }
        const std::string Line = C.In.substr(0, End);
        C.In.erase(0, End + 1);
        if (std::exchange(C.Discarding, false) || Line.size() > MaxLine) {
            C.Out += "?\r\n";
            return true;
        }
        // A lone CR, or the LF of a CR LF, only ends a line; the board would stay quiet too.
        if (Line.find_first_not_of(" \t") == std::string::npos) return true;
        if (TVelmorant::CommandWord(Line) == "BTLDR") {
            if (!std::exchange(C.BootloaderSaid, true))
                Say("refused BTLDR from " + C.Peer + ": the firmware is updated with the service stopped");
            C.Out += std::string(BootloaderRefusal) + "\r\n";
            return true;
        }
        ++FCommands;
        C.Waiting = true;
        FHost.Session().PassThrough(BytesToString(Line),
                                    [this, Id = C.Id](const std::optional<std::string>& Reply) {
                                        const auto It = Find(Id);
                                        if (It == FClients.end()) return;  // gone meanwhile
                                        It->Waiting = false;
                                        // No reply is passed on as the board gives it: none, so that the
                                        // client's deadline says so.
                                        if (Reply) It->Out += StringToBytes(*Reply) + "\r\n";
                                        Settle(Id);
                                    });
        return true;
    }

    // Why is said, unless the client just left.
    void Drop(std::list<TClient>::iterator It, const std::string& Why) {
        const std::string Peer = It->Peer;
        It->Readable.reset();
        It->Writable.reset();
        ::close(It->Fd);
        FClients.erase(It);
        FFullSaid = false;
        // Comings and goings are not said: a script that polls would fill the log with them.
        if (!Why.empty()) Say(Peer + " was let go from the shared port: " + Why);
    }

    TSession& FS;
    TBoardHost& FHost;
    QObject FContext;  // what the sockets' and the session's handlers run under
    std::list<TClient> FClients;
    std::unique_ptr<TListener> FListener;
    uint64_t FLastId = 0;
    uint64_t FCommands = 0;
    bool FFullSaid = false;
    std::string FNotice;  // the file the window finds the board by
};

}  // namespace

TFrontEndMaker SharedPort(TSession& S) {
    return [&S](TBoardHost& Host, QEventLoop&) { return std::make_unique<TSharedPort>(S, Host); };
}

}  // namespace velcli

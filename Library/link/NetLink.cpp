// Serial lines served over TCP: raw bytes ("socket://") or telnet with the com-port option of
// RFC 2217 ("rfc2217://"). The socket stays non-blocking, like a tty here, so a read never waits
// and waiting is poll() on the descriptor.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "NetPort.h"
#include "SerialLink.h"
#include "SerialPort.h"
#include "WakeEvent.h"

namespace {

using TClock = std::chrono::steady_clock;

// Looking up the name, connecting and agreeing on the line may take this long; then the server
// counts as not answering. Enough for a slow link, short enough for someone waiting on a connect.
constexpr int OpenTimeoutMs = 3000;
// As for a tty: a write that makes no progress for this long has failed.
constexpr int WriteStallTimeoutMs = 1000;
// A peer lost without a word (a pulled cable, a host switched off) sends no FIN: the kernel gives up
// on unacknowledged data after this long, and probes an idle connection.
constexpr unsigned UserTimeoutMs = 10000;
constexpr int KeepIdleS = 10, KeepIntervalS = 5, KeepCount = 3;
// One read takes at most this much from the socket, so that a peer that sends without pause cannot
// hold a read (or a purge) for ever, nor grow what it returns without bound.
constexpr size_t MaxReceivePerRead = 64 * 1024;
// Longer than any subnegotiation RFC 2217 defines with room to spare (a signature text); a longer one
// is a broken peer, and is dropped so that the data after it flows again.
constexpr size_t MaxSubnegotiation = 512;
// A set-up's answers take a few dozen bytes; a server that sends more before the first exchange is
// flooding, and what it sends then belongs to nobody.
constexpr size_t MaxSetUpBytes = 4096;

// Telnet (RFC 854, 855) and its com-port option (RFC 2217).
constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr unsigned char OptBinary = 0, OptSga = 3, OptComPort = 44;
constexpr unsigned char cpSetBaudRate = 1, cpSetDataSize = 2, cpSetParity = 3, cpSetStopSize = 4,
                        cpSetControl = 5, cpSetLineStateMask = 10, cpSetModemStateMask = 11, cpPurgeData = 12;
constexpr unsigned char ServerReply = 100;  // the server answers command N as N + 100
constexpr unsigned char ctlNoFlow = 1, ctlXonXoff = 2, ctlHardware = 3, ctlDtrOn = 8, ctlRtsOn = 11;
constexpr unsigned char PurgeBoth = 3;

int MillisecondsLeft(TClock::time_point Deadline) {
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return static_cast<int>(std::clamp<long long>(Left, 0, 1 << 30));
}

std::string Subnegotiation(unsigned char Command, std::string_view Value) {
    std::string Bytes = {char(IAC), char(SB), char(OptComPort), char(Command)};
    for (char C : Value) {
        Bytes += C;
        if (static_cast<unsigned char>(C) == IAC) Bytes += C;
    }
    return Bytes + char(IAC) + char(SE);
}

class TNetLink final : public TSerialLink {
public:
    TNetLink(int Fd, bool Telnet, std::string Where, int WakeFd)
        : FFd(Fd), FTelnet(Telnet), FWhere(std::move(Where)), FWakeFd(WakeFd) {}
    ~TNetLink() override;

    void Purge() override;
    int Read(std::string& Bytes) override;
    bool Write(std::string_view Bytes) override;
    bool WaitForInput(int TimeoutMs) override;
    bool HungUp() const override { return FHungUp; }
    bool Flooded() const { return FReceived > MaxSetUpBytes; }

    // Agrees on the line with an RFC 2217 server and purges it; false with Error when the server
    // does not answer in time, refuses the option or cannot set the line as asked.
    bool Negotiate(const TLineSettings& Line, TClock::time_point Deadline, std::string& Error);

private:
    enum TState { tsData, tsIac, tsOption, tsSub, tsSubIac };

    // Takes in what the socket holds, up to Max bytes, acting on telnet commands; the data goes to Data.
    void Receive(std::string& Data, size_t Max = MaxReceivePerRead);
    void Decode(const unsigned char* Bytes, size_t Count, std::string& Data);
    void OnOption(unsigned char Verb, unsigned char Option);
    void OnSubnegotiation();
    // Sends Bytes as they are, waiting while the socket is full; failures recorded under What.
    bool Send(std::string_view Bytes, const char* What);
    // Receives until Done holds or the deadline passes; false on a time-out, a hang-up or a flood.
    bool ReceiveUntil(const std::function<bool()>& Done, TClock::time_point Deadline);
    // Why the set-up failed (a hang-up, a flood, else TimedOut), with errno set to match.
    std::string SetUpFailure(const std::string& TimedOut);

    const int FFd;
    const bool FTelnet;
    const std::string FWhere;  // "HOST:PORT", for messages
    const int FWakeFd;         // ends waits and writes at once when raised (-1: none)
    std::atomic<bool> FHungUp{false};
    bool FSentData = false, FReceivedAny = false;
    size_t FReceived = 0;  // bytes taken from the socket, counted up to a little past MaxSetUpBytes

    TState FState = tsData;
    unsigned char FVerb = 0;
    std::string FSub;
    size_t FSubLength = 0;  // bytes of the open subnegotiation, kept or not
    std::string FReplies;   // answers to the server's option requests, sent after the read
    // What we offered (WILL/WONT) or asked for (DO/DONT), so that each request gets one answer and
    // two sides that both start negotiating never loop.
    std::bitset<256> FOffered, FAsked;
    bool FComPortAgreed = false, FComPortRefused = false;
    std::bitset<16> FAnswered;  // com-port commands the server has confirmed
    long long FServerBaud = 0;
    int FServerValue[16] = {};
};

TNetLink::~TNetLink() {
    // Over raw TCP a server that accepts and never answers looks like a silent board; say which it was.
    if (FSentData && !FReceivedAny && !FHungUp)
        RecordSerialError("Nothing came back from " + FWhere +
                          ": the connection was accepted, but neither a board nor the server answered");
    ::close(FFd);
}

void TNetLink::Receive(std::string& Data, size_t Max) {
    unsigned char Buffer[4096];
    for (size_t Taken = 0; Taken < Max;) {
        const ssize_t Count = ::recv(FFd, Buffer, std::min(sizeof Buffer, Max - Taken), 0);
        if (Count > 0) {
            FReceivedAny = true;
            Taken += static_cast<size_t>(Count);
            FReceived = std::min(FReceived + static_cast<size_t>(Count), MaxSetUpBytes + 1);
            Decode(Buffer, static_cast<size_t>(Count), Data);
            continue;
        }
        if (Count < 0 && errno == EINTR) continue;
        // An orderly close, or a reset: the line is gone either way, as when a tty hangs up.
        if (Count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) FHungUp = true;
        break;
    }
    if (!FReplies.empty() && !FHungUp) Send(std::exchange(FReplies, std::string()), "ReadFromSerialPort");
}

void TNetLink::Decode(const unsigned char* Bytes, size_t Count, std::string& Data) {
    if (!FTelnet) {
        Data.append(reinterpret_cast<const char*>(Bytes), Count);
        return;
    }
    for (size_t I = 0; I < Count; ++I) {
        const unsigned char B = Bytes[I];
        switch (FState) {
            case tsData:
                if (B == IAC)
                    FState = tsIac;
                else
                    Data += static_cast<char>(B);
                break;
            case tsIac:
                FState = tsData;
                if (B == IAC) {
                    Data += static_cast<char>(B);
                } else if (B == WILL || B == WONT || B == DO || B == DONT) {
                    FVerb = B;
                    FState = tsOption;
                } else if (B == SB) {
                    FSub.clear();
                    FSubLength = 0;
                    FState = tsSub;
                }  // NOP, GA, break and the like mean nothing to a serial line
                break;
            case tsOption:
                OnOption(FVerb, B);
                FState = tsData;
                break;
            case tsSub:
                if (++FSubLength > MaxSubnegotiation)
                    FState = tsData;
                else if (B == IAC)
                    FState = tsSubIac;
                else if (FSub.size() < 64)
                    FSub += static_cast<char>(B);
                break;
            case tsSubIac:
                if (B == IAC) {
                    if (FSub.size() < 64) FSub += static_cast<char>(B);
                    FState = tsSub;
                } else {
                    if (B == SE) OnSubnegotiation();
                    FState = tsData;
                }
                break;
        }
    }
}

void TNetLink::OnOption(unsigned char Verb, unsigned char Option) {
    // Binary both ways, or a CR would travel as CR NUL; suppress-go-ahead is harmless; echo is refused,
    // since an echo would come back as a reply.
    const bool WeWill = Option == OptBinary || Option == OptSga || Option == OptComPort;
    const bool WeDo = Option == OptBinary || Option == OptSga;
    const auto Answer = [&](unsigned char Reply) {
        FReplies += static_cast<char>(IAC);
        FReplies += static_cast<char>(Reply);
        FReplies += static_cast<char>(Option);
    };
    switch (Verb) {
        case DO:
            if (Option == OptComPort) FComPortAgreed = true;
            if (!FOffered[Option]) Answer(WeWill ? WILL : WONT);
            FOffered[Option] = true;
            break;
        case WILL:
            if (!FAsked[Option]) Answer(WeDo ? DO : DONT);
            FAsked[Option] = true;
            break;
        case DONT:
            if (Option == OptComPort) FComPortRefused = true;
            break;
        default:  // WONT: nothing of ours depends on the server's side of an option
            break;
    }
}

void TNetLink::OnSubnegotiation() {
    if (FSub.size() < 2 || static_cast<unsigned char>(FSub[0]) != OptComPort) return;
    const int Command = static_cast<unsigned char>(FSub[1]) - ServerReply;
    if (Command < 0 || Command >= static_cast<int>(FAnswered.size())) return;
    FAnswered[static_cast<size_t>(Command)] = true;
    if (Command == cpSetBaudRate && FSub.size() >= 6) {
        FServerBaud = 0;
        for (size_t I = 2; I < 6; ++I) FServerBaud = FServerBaud << 8 | static_cast<unsigned char>(FSub[I]);
    } else if (FSub.size() >= 3) {
        FServerValue[Command] = static_cast<unsigned char>(FSub[2]);
    }
}

bool TNetLink::Send(std::string_view Bytes, const char* What) {
    size_t Done = 0;
    auto Deadline = TClock::now() + std::chrono::milliseconds(WriteStallTimeoutMs);
    while (Done < Bytes.size()) {
        const ssize_t Count = ::send(FFd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
        if (Count > 0) {
            Done += static_cast<size_t>(Count);
            Deadline = TClock::now() + std::chrono::milliseconds(WriteStallTimeoutMs);
            continue;
        }
        if (Count < 0 && errno == EINTR) continue;
        if (Count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            FHungUp = true;  // EPIPE, ECONNRESET, ETIMEDOUT: the connection is gone
            ReportSerialError(What);
            return false;
        }
        const int Left = MillisecondsLeft(Deadline);
        if (Left <= 0) {
            errno = ETIMEDOUT;
            ReportSerialError(What);
            return false;
        }
        pollfd Fds[2] = {{FFd, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
        if (::poll(Fds, FWakeFd >= 0 ? 2 : 1, Left) < 0 && errno != EINTR) {
            ReportSerialError(What);
            return false;
        }
        if (Fds[1].revents & POLLIN) {
            errno = ECANCELED;
            return false;
        }
    }
    return true;
}

void TNetLink::Purge() {
    std::string Dropped;
    Receive(Dropped);
    // The server's side holds what the board sent and we did not read yet: have it dropped there too.
    // It acts on the purge before the command that follows it on the stream.
    if (FTelnet && !FHungUp)
        Send(Subnegotiation(cpPurgeData, {reinterpret_cast<const char*>(&PurgeBoth), 1}), "FlushSerialPort");
}

int TNetLink::Read(std::string& Bytes) {
    Bytes.clear();
    Receive(Bytes);
    return static_cast<int>(Bytes.size());
}

bool TNetLink::Write(std::string_view Bytes) {
    if (WakeRaised(FWakeFd)) {
        errno = ECANCELED;
        return false;
    }
    FSentData = FSentData || !Bytes.empty();
    if (!FTelnet) return Send(Bytes, "WriteToSerialPort:WriteFile");
    std::string Escaped;
    Escaped.reserve(Bytes.size() + 8);
    for (char C : Bytes) {
        Escaped += C;
        if (static_cast<unsigned char>(C) == IAC) Escaped += C;
    }
    return Send(Escaped, "WriteToSerialPort:WriteFile");
}

bool TNetLink::WaitForInput(int TimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));
    for (;;) {
        // Acknowledge at once whatever comes: a server that batches small writes (Nagle) holds a
        // reply back until its previous segment is acknowledged, and a delayed ACK costs 40 ms.
        const int On = 1;
        ::setsockopt(FFd, IPPROTO_TCP, TCP_QUICKACK, &On, sizeof On);
        pollfd Fds[2] = {{FFd, POLLIN | POLLRDHUP, 0}, {FWakeFd, POLLIN, 0}};
        const int Ready = ::poll(Fds, FWakeFd >= 0 ? 2 : 1, MillisecondsLeft(Deadline));
        if (Ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (Ready == 0) return true;
        if (Fds[1].revents & POLLIN) {
            errno = ECANCELED;
            return false;
        }
        const pollfd& Fd = Fds[0];
        // The peer closed or reset: what it sent before is still ours to read, then the line is gone.
        if (Fd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
            int Pending = 0;
            if (::ioctl(FFd, FIONREAD, &Pending) == 0 && Pending > 0) return true;
            FHungUp = true;
            return false;
        }
        return true;
    }
}

bool TNetLink::ReceiveUntil(const std::function<bool()>& Done, TClock::time_point Deadline) {
    for (;;) {
        std::string Dropped;  // the board's bytes before the line is set up belong to nobody
        Receive(Dropped, MaxSetUpBytes + 1 - FReceived);
        if (Done()) return true;
        if (FHungUp || Flooded() || MillisecondsLeft(Deadline) <= 0) return false;
        if (!WaitForInput(MillisecondsLeft(Deadline))) return false;
    }
}

std::string TNetLink::SetUpFailure(const std::string& TimedOut) {
    errno = FHungUp ? ECONNRESET : Flooded() ? EPROTO : ETIMEDOUT;
    if (FHungUp) return FWhere + " closed the connection while it was being set up";
    if (Flooded())
        return FWhere + " sent more than " + std::to_string(MaxSetUpBytes / 1024) +
               " KiB while the connection was being set up: a flood, not an RFC 2217 server";
    return TimedOut;
}

bool TNetLink::Negotiate(const TLineSettings& Line, TClock::time_point Deadline, std::string& Error) {
    const auto Request = [&](unsigned char Verb, unsigned char Option) {
        (Verb == WILL ? FOffered : FAsked)[Option] = true;
        return std::string{char(IAC), char(Verb), char(Option)};
    };
    const std::string Opening = Request(WILL, OptComPort) + Request(WILL, OptBinary) +
                                Request(DO, OptBinary) + Request(WILL, OptSga) + Request(DO, OptSga);
    if (!Send(Opening, "OpenSerialPort") ||
        !ReceiveUntil([&] { return FComPortAgreed || FComPortRefused; }, Deadline)) {
        Error = SetUpFailure("No answer from " + FWhere + " within " + std::to_string(OpenTimeoutMs / 1000) +
                             " s: the connection was accepted, but no RFC 2217 server answered");
        return false;
    }
    if (FComPortRefused && !FComPortAgreed) {
        Error =
            FWhere + " does not offer RFC 2217 (serve the port with telnet(rfc2217), or name it socket://)";
        errno = EPROTONOSUPPORT;
        return false;
    }

    static constexpr unsigned char Parities[] = {1, 2, 3, 4, 5};  // none, odd, even, mark, space
    static constexpr unsigned char StopSizes[] = {1, 3, 2};       // one, one and a half, two
    static constexpr unsigned char Flows[] = {ctlNoFlow, ctlHardware, ctlXonXoff};
    const auto Baud = static_cast<uint32_t>(Line.BaudRate);
    const char BaudBytes[] = {char(Baud >> 24), char(Baud >> 16), char(Baud >> 8), char(Baud)};
    const auto One = [](unsigned char Value) { return std::string(1, static_cast<char>(Value)); };
    const unsigned char Parity = Parities[Line.Parity], Stop = StopSizes[Line.StopBits];
    // The same steps in the same order as on a tty: line settings, purge, then DTR and RTS.
    std::string Setup =
        Subnegotiation(cpSetModemStateMask, One(0)) + Subnegotiation(cpSetLineStateMask, One(0)) +
        Subnegotiation(cpSetBaudRate, {BaudBytes, 4}) +
        Subnegotiation(cpSetDataSize, One(static_cast<unsigned char>(Line.DataBits))) +
        Subnegotiation(cpSetParity, One(Parity)) + Subnegotiation(cpSetStopSize, One(Stop)) +
        Subnegotiation(cpSetControl, One(Flows[Line.Flow])) + Subnegotiation(cpPurgeData, One(PurgeBoth));
    if (Line.Flow != fcHardware)
        Setup += Subnegotiation(cpSetControl, One(ctlDtrOn)) + Subnegotiation(cpSetControl, One(ctlRtsOn));
    const auto Confirmed = [&] {
        return FAnswered[cpSetBaudRate] && FAnswered[cpSetDataSize] && FAnswered[cpSetParity] &&
               FAnswered[cpSetStopSize];
    };
    if (!Send(Setup, "OpenSerialPort") || !ReceiveUntil(Confirmed, Deadline)) {
        Error = SetUpFailure(FWhere + " did not confirm the line settings within " +
                             std::to_string(OpenTimeoutMs / 1000) + " s");
        return false;
    }
    if (FServerBaud != static_cast<long long>(Baud) || FServerValue[cpSetDataSize] != Line.DataBits ||
        FServerValue[cpSetParity] != Parity || FServerValue[cpSetStopSize] != Stop) {
        Error = FWhere + " could not set its line as asked (it answered " + std::to_string(FServerBaud) +
                " baud, " + std::to_string(FServerValue[cpSetDataSize]) + " data bits)";
        errno = EINVAL;
        return false;
    }
    return true;
}

// Connects to one address before the deadline; the socket, or -1 with errno.
int ConnectTo(const addrinfo& Address, TClock::time_point Deadline, int WakeFd) {
    const int Fd =
        ::socket(Address.ai_family, Address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, Address.ai_protocol);
    if (Fd < 0) return -1;
    int Error = 0;
    if (::connect(Fd, Address.ai_addr, Address.ai_addrlen) != 0) {
        Error = errno;
        if (Error == EINPROGRESS) {
            pollfd P[2] = {{Fd, POLLOUT, 0}, {WakeFd, POLLIN, 0}};
            int Ready;
            do Ready = ::poll(P, WakeFd >= 0 ? 2 : 1, MillisecondsLeft(Deadline));
            while (Ready < 0 && errno == EINTR);
            socklen_t Size = sizeof Error;
            if (Ready == 0)
                Error = ETIMEDOUT;
            else if (P[1].revents & POLLIN)
                Error = ECANCELED;
            else if (Ready < 0 || ::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Size) != 0)
                Error = errno;
        }
    }
    if (Error != 0) {
        ::close(Fd);
        errno = Error;
        return -1;
    }
    const int On = 1;
    // Commands are a few bytes each and wait for their reply: send them at once.
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
    ::setsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof On);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &KeepIdleS, sizeof KeepIdleS);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPINTVL, &KeepIntervalS, sizeof KeepIntervalS);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_KEEPCNT, &KeepCount, sizeof KeepCount);
    ::setsockopt(Fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &UserTimeoutMs, sizeof UserTimeoutMs);
    return Fd;
}

// One name lookup, shared by the caller and the thread that runs it.
struct TLookup {
    std::mutex Lock;
    bool Done = false;
    int Result = EAI_AGAIN;
    addrinfo* Found = nullptr;
    TWakeEvent Finished;
    ~TLookup() {
        if (Found != nullptr) ::freeaddrinfo(Found);
    }
};

// getaddrinfo's result for Host, within the deadline: the resolver has no time limit of its own, so
// a name that needs one runs on a thread of its own, which is left to finish unseen when the deadline
// passes or the wake event is raised. Found is the caller's to free; EAI_AGAIN with errno ETIMEDOUT
// or ECANCELED when the lookup was given up.
int LookUp(const std::string& Host, int Port, TClock::time_point Deadline, int WakeFd, addrinfo*& Found) {
    addrinfo Hints{};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    const std::string Service = std::to_string(Port);
    Found = nullptr;
    // An address needs no resolver.
    if (::getaddrinfo(Host.c_str(), Service.c_str(), &Hints, &Found) == 0) return 0;
    Hints.ai_flags = AI_NUMERICSERV;

    auto Shared = std::make_shared<TLookup>();
    try {
        std::thread([Shared, Host, Service, Hints] {
            addrinfo* Result = nullptr;
            const int Code = ::getaddrinfo(Host.c_str(), Service.c_str(), &Hints, &Result);
            std::lock_guard Lock(Shared->Lock);
            Shared->Result = Code;
            Shared->Found = Result;
            Shared->Done = true;
            Shared->Finished.Raise();
        }).detach();
    } catch (const std::system_error&) {
        return ::getaddrinfo(Host.c_str(), Service.c_str(), &Hints, &Found);  // no thread to spare
    }
    for (;;) {
        pollfd Fds[2] = {{Shared->Finished.Fd(), POLLIN, 0}, {WakeFd, POLLIN, 0}};
        const int Ready = ::poll(Fds, WakeFd >= 0 ? 2 : 1, MillisecondsLeft(Deadline));
        if (Ready < 0 && errno == EINTR) continue;
        std::lock_guard Lock(Shared->Lock);
        if (Shared->Done) {
            Found = std::exchange(Shared->Found, nullptr);
            return Shared->Result;
        }
        errno = Ready > 0 && (Fds[1].revents & POLLIN) ? ECANCELED : ETIMEDOUT;
        return EAI_AGAIN;
    }
}

// Makes connected socket Fd a link: with Rfc2217 once the server agreed on Line, else after dropping
// what a server greets with (a banner is no reply). Null with Error when the set-up fails.
std::unique_ptr<TSerialLink> SetUp(int Fd, bool Rfc2217, const std::string& Where, const TLineSettings& Line,
                                   TClock::time_point Deadline, std::string& Error, int WakeFd) {
    auto Link = std::make_unique<TNetLink>(Fd, Rfc2217, Where, WakeFd);
    if (Rfc2217) {
        if (!Link->Negotiate(Line, Deadline, Error)) return nullptr;
    } else {
        Link->Purge();
    }
    return Link;
}

}  // namespace

std::unique_ptr<TSerialLink> OpenNetworkLink(const std::string& PortName, const TLineSettings& Line,
                                             int& Handle, std::string& Error, int WakeFd) {
    Handle = -1;
    TNetworkPortName Name;
    if (!ParseNetworkPortName(PortName, Name, Error)) {
        errno = EINVAL;
        return nullptr;
    }
    const bool Ipv6 = Name.Host.find(':') != std::string::npos;
    const std::string Where = (Ipv6 ? "[" + Name.Host + "]" : Name.Host) + ":" + std::to_string(Name.Port);

    // The lookup, the connect and the line's setup, all within one deadline.
    const auto Deadline = TClock::now() + std::chrono::milliseconds(OpenTimeoutMs);
    addrinfo* Found = nullptr;
    const int Lookup = LookUp(Name.Host, Name.Port, Deadline, WakeFd, Found);
    if (Lookup != 0) {
        const int Code = errno;
        if (Lookup == EAI_AGAIN && (Code == ETIMEDOUT || Code == ECANCELED))
            Error = Code == ETIMEDOUT ? "No answer looking up host \"" + Name.Host + "\" within " +
                                            std::to_string(OpenTimeoutMs / 1000) + " s"
                                      : "Looking up host \"" + Name.Host + "\" was cancelled";
        else
            Error = Lookup == EAI_NONAME || Lookup == EAI_NODATA || Lookup == EAI_FAIL
                        ? "Unknown host \"" + Name.Host + "\""
                        : "Cannot look up host \"" + Name.Host + "\": " + ::gai_strerror(Lookup);
        errno = Code == ECANCELED ? ECANCELED : EHOSTUNREACH;
        return nullptr;
    }
    // Only the addresses of the host typed, in the resolver's order.
    int Fd = -1, Failure = 0;
    for (const addrinfo* A = Found; A != nullptr && Fd < 0; A = A->ai_next) {
        Fd = ConnectTo(*A, Deadline, WakeFd);
        if (Fd < 0 && Failure != ECONNREFUSED) Failure = errno;
        if (Fd < 0 && (errno == ETIMEDOUT || errno == ECANCELED)) break;
    }
    ::freeaddrinfo(Found);
    if (Fd < 0) {
        if (Failure == ECONNREFUSED)
            Error = Where + " refused the connection: no port server listens there";
        else if (Failure == ECANCELED)
            Error = "Connecting to " + Where + " was cancelled";
        else if (Failure == ETIMEDOUT)
            Error = "No answer from " + Where + " within " + std::to_string(OpenTimeoutMs / 1000) + " s";
        else
            Error = "Cannot connect to " + Where + ": " + std::strerror(Failure);
        errno = Failure;
        return nullptr;
    }

    auto Link = SetUp(Fd, Name.Scheme == nsRfc2217, Where, Line, Deadline, Error, WakeFd);
    if (Link) Handle = Fd;
    return Link;
}

std::unique_ptr<TSerialLink> AdoptNetworkSocket(int Fd, bool Rfc2217, const TLineSettings& Line,
                                                std::string& Error) {
    return SetUp(Fd, Rfc2217, "the peer", Line, TClock::now() + std::chrono::milliseconds(OpenTimeoutMs),
                 Error, -1);
}

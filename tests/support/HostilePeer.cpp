#include "HostilePeer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string_view>

namespace veltest {

namespace {

constexpr unsigned char IAC = 255, SB = 250, SE = 240, DO = 253, OptComPort = 44;
constexpr int TrickleEveryMs = 5;

// Sends what the socket takes now; false once the program went away.
bool SendSome(int Fd, std::string_view Bytes, std::atomic<long long>& Sent) {
    const ssize_t N = ::send(Fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (N > 0) Sent += N;
    return N >= 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

THostilePeer::THostilePeer(THostileMode Mode, bool Rfc2217) : FMode(Mode), FRfc2217(Rfc2217) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Size = sizeof Address;
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&Address), Size) != 0 ||
        ::listen(FListen, 4) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&Address), &Size) != 0 ||
        ::pipe2(FStop, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot listen on the loopback address");
    FPort = ntohs(Address.sin_port);
    FThread = std::thread([this] { Run(); });
}

THostilePeer::~THostilePeer() {
    [[maybe_unused]] const ssize_t Woken = ::write(FStop[1], "x", 1);
    FThread.join();
    ::close(FStop[0]);
    ::close(FStop[1]);
    ::close(FListen);
}

std::string THostilePeer::Name() const {
    return std::string(FRfc2217 ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(FPort);
}

void THostilePeer::Run() {
    for (;;) {
        pollfd Fds[2] = {{FListen, POLLIN, 0}, {FStop[0], POLLIN, 0}};
        if (::poll(Fds, 2, -1) < 0) continue;
        if (Fds[1].revents) return;
        const int Fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (Fd < 0) continue;
        Serve(Fd);
        ::close(Fd);
    }
}

void THostilePeer::Serve(int Fd) {
    const std::string Flood(16384, 'x');
    const std::string OpenSub{char(IAC), char(SB), char(OptComPort), 'x'};
    bool Hostile = !FRfc2217 || FMode == THostileMode::SetUpFlood;  // misbehaves from the start
    if (FRfc2217) SendSome(Fd, std::string{char(IAC), char(DO), char(OptComPort)}, FSent);
    std::string In;  // what came, for the set-up's subnegotiations
    bool Opened = false;
    for (;;) {
        const bool Sending = Hostile && FMode != THostileMode::Trickle;
        pollfd Fds[2] = {{Fd, static_cast<short>(POLLIN | (Sending ? POLLOUT : 0)), 0},
                         {FStop[0], POLLIN, 0}};
        if (::poll(Fds, 2, Hostile && FMode == THostileMode::Trickle ? TrickleEveryMs : -1) < 0) continue;
        if (Fds[1].revents) return;
        if (Fds[0].revents & POLLIN) {
            char Buffer[4096];
            const ssize_t N = ::recv(Fd, Buffer, sizeof Buffer, MSG_DONTWAIT);
            if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR)) return;  // the program closed
            if (N > 0 && !Hostile) {
                In.append(Buffer, static_cast<size_t>(N));
                // Confirms each com-port command (IAC SB 44 c ... IAC SE) with c + 100, value echoed.
                for (size_t At; (At = In.find(std::string{char(IAC), char(SB), char(OptComPort)})) !=
                                std::string::npos;) {
                    const size_t End = In.find(std::string{char(IAC), char(SE)}, At + 3);
                    if (End == std::string::npos) break;
                    std::string Reply = In.substr(At, End + 2 - At);
                    if (Reply.size() > 3)
                        Reply[3] = static_cast<char>(static_cast<unsigned char>(Reply[3]) + 100);
                    SendSome(Fd, Reply, FSent);
                    In.erase(0, End + 2);
                }
                // The program's first line end (after the set-up) starts the misbehaviour.
                Hostile = In.find('\r') != std::string::npos ||
                          std::string_view(Buffer, N).find('\r') != std::string::npos;
            }
        }
        if (!Hostile) continue;
        switch (FMode) {
            case THostileMode::Flood:
            case THostileMode::SetUpFlood:
                if (!SendSome(Fd, Flood, FSent)) return;
                break;
            case THostileMode::Trickle:
                if (!SendSome(Fd, "x", FSent)) return;
                break;
            case THostileMode::OpenSub:
                if (!Opened && !SendSome(Fd, OpenSub, FSent)) return;
                Opened = true;
                if (!SendSome(Fd, Flood, FSent)) return;
                break;
        }
    }
}

}  // namespace veltest

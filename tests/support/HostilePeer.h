#pragma once
// A port server on the loopback address that misbehaves on purpose, for the drills that show every
// exchange ends by its deadline with bounded memory whatever the peer sends. It serves one
// connection at a time on its own thread. Needs only POSIX.
#include <atomic>
#include <string>
#include <thread>

namespace veltest {

enum class THostileMode {
    Flood,       // bytes without a line end, as fast as the socket takes them
    Trickle,     // one byte without a line end every few milliseconds
    OpenSub,     // a telnet subnegotiation that is never closed (IAC SB without IAC SE), then a flood
    SetUpFlood,  // over RFC 2217: asks for the com-port option, then floods instead of confirming
};

class THostilePeer {
public:
    // Listens at once. With Rfc2217 the server first agrees to the com-port option and confirms the
    // line settings, so that the misbehaviour meets the exchanges, not the set-up; it starts at the
    // first line end the program sends. Throws std::runtime_error.
    THostilePeer(THostileMode Mode, bool Rfc2217);
    ~THostilePeer();  // stops the thread, closes every socket
    THostilePeer(const THostilePeer&) = delete;
    THostilePeer& operator=(const THostilePeer&) = delete;

    // "socket://127.0.0.1:PORT" or "rfc2217://127.0.0.1:PORT".
    std::string Name() const;
    // Bytes sent to the program so far.
    long long BytesSent() const { return FSent.load(); }

private:
    void Run();
    void Serve(int Fd);

    THostileMode FMode;
    bool FRfc2217;
    int FListen = -1;
    int FPort = 0;
    int FStop[2] = {-1, -1};  // a pipe that wakes the thread's polls
    std::atomic<long long> FSent{0};
    std::thread FThread;
};

}  // namespace veltest

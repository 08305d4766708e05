#pragma once
// A real ser2net serving one device on a free loopback port, as raw TCP or with RFC 2217. One server
// per protocol: two accepters on one device would race for it whenever a session ends and the next
// begins. Used by the tests and the benchmarks; needs only POSIX.
#include <sys/types.h>

#include <string>

namespace veltest {

class TSer2Net {
public:
    // Writes the configuration for DevicePath (the line starts at LineSettings, ser2net's "19200n81"
    // form) in a fresh folder under /tmp and picks a free loopback port. CharDelay keeps ser2net's
    // default of gathering the device's bytes for a few character times before sending them on.
    // Throws std::runtime_error.
    TSer2Net(const std::string& DevicePath, bool Rfc2217, const std::string& LineSettings = "19200n81",
             bool CharDelay = false);
    ~TSer2Net();  // kills and reaps the server, removes the folder
    TSer2Net(const TSer2Net&) = delete;
    TSer2Net& operator=(const TSer2Net&) = delete;

    // Starts the server and waits (at most 5 s) until it listens; false with Error otherwise.
    bool Start(std::string& Error);
    // Kills the server at once (SIGKILL, as a crash or a power cut would) and reaps it.
    void Kill();

    // The port name that reaches it: "socket://127.0.0.1:PORT" or "rfc2217://127.0.0.1:PORT".
    std::string Name() const;
    // The server's process while it runs, else -1.
    pid_t Pid() const { return FPid; }
    // What the server wrote to its standard output and error so far.
    std::string Log() const;

private:
    std::string FFolder;
    bool FRfc2217;
    int FPort = 0;
    pid_t FPid = -1;
};

// A loopback port no one listens on at the moment of the call.
int FreeLoopbackPort();

}  // namespace veltest

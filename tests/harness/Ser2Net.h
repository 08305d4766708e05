#pragma once
// A real ser2net serving one device on a free loopback port, as raw TCP or with RFC 2217. One server
// per protocol: two accepters on one device would race for it whenever a session ends and the next
// begins. Used by the tests and the benchmarks; needs only POSIX.
#include <string>

#include "LoopbackServer.h"

namespace veltest {

class TSer2Net : public TLoopbackServer {
public:
    // Writes the configuration for DevicePath (the line starts at LineSettings, ser2net's "19200n81"
    // form) in a fresh folder under /tmp and picks a free loopback port. CharDelay keeps ser2net's
    // default of gathering the device's bytes for a few character times before sending them on.
    // Throws std::runtime_error.
    TSer2Net(const std::string& DevicePath, bool Rfc2217, const std::string& LineSettings = "19200n81",
             bool CharDelay = false);

    // Starts the server and waits (at most 5 s) until it listens; false with Error otherwise.
    bool Start(std::string& Error);

    // The port name that reaches it: "socket://127.0.0.1:PORT" or "rfc2217://127.0.0.1:PORT".
    std::string Name() const;

private:
    bool FRfc2217;
};

}  // namespace veltest

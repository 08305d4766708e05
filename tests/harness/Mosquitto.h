#pragma once
// A real mosquitto broker on a free loopback port, with a generated configuration: anonymous
// clients, nothing kept on disk, so that a restart forgets every retained message as a broker
// without persistence does. Used by the tests and the benchmarks; needs only POSIX.
#include <string>

#include "LoopbackServer.h"

namespace veltest {

class TMosquitto : public TLoopbackServer {
public:
    // Writes the configuration in a fresh folder under /tmp and picks a free loopback port.
    // Throws std::runtime_error.
    TMosquitto();

    // Starts the broker (again, on the same port) and waits at most 5 s until it accepts
    // connections; false with Error otherwise.
    bool Start(std::string& Error);

    std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }  // as --broker takes it
};

}  // namespace veltest

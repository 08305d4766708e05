#pragma once
// A real mosquitto broker on a free loopback port, with a generated configuration: anonymous
// clients, nothing kept on disk, so that a restart forgets every retained message as a broker
// without persistence does. Used by the tests and the benchmarks; needs only POSIX.
#include <sys/types.h>

#include <string>

namespace veltest {

class TMosquitto {
public:
    // Writes the configuration in a fresh folder under /tmp and picks a free loopback port.
    // Throws std::runtime_error.
    TMosquitto();
    ~TMosquitto();  // kills and reaps the broker, removes the folder
    TMosquitto(const TMosquitto&) = delete;
    TMosquitto& operator=(const TMosquitto&) = delete;

    // Starts the broker (again, on the same port) and waits at most 5 s until it accepts
    // connections; false with Error otherwise.
    bool Start(std::string& Error);
    // Kills the broker at once (SIGKILL, as a crash would) and reaps it.
    void Kill();

    int Port() const { return FPort; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }  // as --broker takes it
    pid_t Pid() const { return FPid; }
    // What the broker wrote to its standard output and error so far.
    std::string Log() const;

private:
    std::string FFolder;
    int FPort = 0;
    pid_t FPid = -1;
};

}  // namespace veltest

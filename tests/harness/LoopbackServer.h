#pragma once
// A server program (ser2net, mosquitto) run for a test or a benchmark on a free loopback port, with
// its configuration and its log in a fresh folder under /tmp. Needs only POSIX.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace veltest {

class TLoopbackServer {
public:
    ~TLoopbackServer();  // kills and reaps the server, removes the folder
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;

    // Kills the server at once (SIGKILL, as a crash or a power cut would) and reaps it.
    void Kill();

    int Port() const { return FPort; }
    // The server's process while it runs, else -1.
    pid_t Pid() const { return FPid; }
    // What the server wrote to its standard output and error so far.
    std::string Log() const;

protected:
    // Makes the folder /tmp/velmorant-<Name>-XXXXXX and picks the port. Throws std::runtime_error.
    TLoopbackServer(std::string Program, std::string Name);

    const std::string& Folder() const { return FFolder; }
    // Starts Program with Args, its output going to the log, and waits at most 5 s until Ready;
    // false with Error when the program is missing, ends at start or is not ready in time. True at
    // once while the server runs.
    bool Launch(const std::vector<std::string>& Args, const std::function<bool()>& Ready, std::string& Error);

private:
    std::string FProgram;
    std::string FName;
    int FPort = 0;
    std::string FFolder;
    pid_t FPid = -1;
};

// A loopback port no one listens on at the moment of the call.
int FreeLoopbackPort();

}  // namespace veltest

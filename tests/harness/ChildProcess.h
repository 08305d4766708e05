#pragma once
// A program started by a benchmark: the window, the Python peer, the X event watcher.
// Waits are poll() on pipes and on a pidfd, never sleeps in a loop.
#include <sys/types.h>

#include <string>
#include <vector>

class TChildProcess {
public:
    TChildProcess() = default;
    ~TChildProcess();  // ends the program if it still runs (SIGTERM, then SIGKILL)
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts Argv[0] (a path) with this process's environment plus Env ("NAME=value" replaces NAME).
    // Its standard input and output are pipes to us when asked; its standard error goes to ErrorFile
    // ("" keeps ours). False when it could not be started.
    bool Start(const std::vector<std::string>& Argv, const std::vector<std::string>& Env, bool PipeStdin,
               bool PipeStdout, const std::string& ErrorFile = "/dev/null");
    pid_t Pid() const { return FPid; }
    bool Running() const { return FPid > 0; }

    // Writes Line and a line feed to its standard input.
    bool WriteLine(const std::string& Line);
    // The next line of its standard output without the line feed; false at its end or after TimeoutMs.
    bool ReadLine(std::string& Line, int TimeoutMs);

    // Waits up to TimeoutMs for the program to end by itself; its wait status, or -1 if it still runs.
    int WaitExit(int TimeoutMs);
    // SIGTERM, up to TimeoutMs for it to end, then SIGKILL; the wait status.
    int Terminate(int TimeoutMs);

private:
    void CloseFds();

    pid_t FPid = -1;
    int FPidFd = -1;
    int FIn = -1;
    int FOut = -1;
    std::string FBuffer;  // output read past the last line handed out
};

// The value of a "Name: value kB" line of /proc/<Pid>/status in KiB; -1 when missing.
long ProcStatusKiB(pid_t Pid, const char* Name);
// User plus system CPU time of the process from /proc/<Pid>/stat, in seconds; -1 when unreadable.
double ProcCpuSeconds(pid_t Pid);
// velmorant-cli: $VELMORANT_CLI, or the one built beside this benchmark.
std::string CliProgramPath();
// A fresh folder under /tmp from Prefix ("name-XXXXXX"); throws when none can be made.
std::string MakeTempFolder(const std::string& Prefix);

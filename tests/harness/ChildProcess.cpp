#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace {

int OpenPidFd(pid_t Pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, Pid, 0));
}

int MillisecondsLeft(std::chrono::steady_clock::time_point Deadline) {
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    return Left.count() > 0 ? static_cast<int>(Left.count()) : 0;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& Env) {
    std::vector<std::string> Result;
    for (char** Entry = environ; *Entry != nullptr; ++Entry) {
        const std::string Text = *Entry;
        const std::string Name = Text.substr(0, Text.find('=') + 1);
        bool Replaced = false;
        for (const std::string& Own : Env) Replaced = Replaced || Own.compare(0, Name.size(), Name) == 0;
        if (!Replaced) Result.push_back(Text);
    }
    Result.insert(Result.end(), Env.begin(), Env.end());
    return Result;
}

std::vector<char*> Pointers(std::vector<std::string>& Texts) {
    std::vector<char*> Result;
    for (std::string& Text : Texts) Result.push_back(Text.data());
    Result.push_back(nullptr);
    return Result;
}

}  // namespace

TChildProcess::~TChildProcess() {
    if (Running()) Terminate(5000);
    CloseFds();
}

bool TChildProcess::Start(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
                          bool PipeStdin, bool PipeStdout, const std::string& ErrorFile) {
    int InPipe[2] = {-1, -1}, OutPipe[2] = {-1, -1};
    if (PipeStdin && pipe2(InPipe, O_CLOEXEC) != 0) return false;
    if (PipeStdout && pipe2(OutPipe, O_CLOEXEC) != 0) return false;

    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    if (PipeStdin) posix_spawn_file_actions_adddup2(&Actions, InPipe[0], STDIN_FILENO);
    if (PipeStdout) posix_spawn_file_actions_adddup2(&Actions, OutPipe[1], STDOUT_FILENO);
    if (!ErrorFile.empty())
        posix_spawn_file_actions_addopen(&Actions, STDERR_FILENO, ErrorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);

    std::vector<std::string> Args = Argv;
    std::vector<std::string> Environment = MergedEnvironment(Env);
    std::vector<char*> ArgPointers = Pointers(Args);
    std::vector<char*> EnvPointers = Pointers(Environment);
    const int Error =
        posix_spawn(&FPid, Args[0].c_str(), &Actions, nullptr, ArgPointers.data(), EnvPointers.data());
    posix_spawn_file_actions_destroy(&Actions);

    if (PipeStdin) close(InPipe[0]);
    if (PipeStdout) close(OutPipe[1]);
    FIn = InPipe[1];
    FOut = OutPipe[0];
    if (Error != 0) {
        FPid = -1;
        CloseFds();
        return false;
    }
    FPidFd = OpenPidFd(FPid);
    return true;
}

bool TChildProcess::WriteLine(const std::string& Line) {
    const std::string Text = Line + "\n";
    return FIn >= 0 && write(FIn, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
}

bool TChildProcess::ReadLine(std::string& Line, int TimeoutMs) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        const size_t End = FBuffer.find('\n');
        if (End != std::string::npos) {
            Line = FBuffer.substr(0, End);
            FBuffer.erase(0, End + 1);
            return true;
        }
        if (FOut < 0) return false;
        pollfd Wait{FOut, POLLIN, 0};
        if (poll(&Wait, 1, MillisecondsLeft(Deadline)) <= 0) return false;
        char Chunk[4096];
        const ssize_t Count = read(FOut, Chunk, sizeof Chunk);
        if (Count <= 0) return false;
        FBuffer.append(Chunk, static_cast<size_t>(Count));
    }
}

int TChildProcess::WaitExit(int TimeoutMs) {
    if (!Running()) return -1;
    if (FPidFd >= 0) {
        pollfd Wait{FPidFd, POLLIN, 0};
        if (poll(&Wait, 1, TimeoutMs) <= 0) return -1;
    }
    int Status = 0;
    if (waitpid(FPid, &Status, 0) != FPid) return -1;
    FPid = -1;
    CloseFds();
    return Status;
}

int TChildProcess::Terminate(int TimeoutMs) {
    if (!Running()) return -1;
    kill(FPid, SIGTERM);
    const int Status = WaitExit(TimeoutMs);
    if (Status != -1) return Status;
    kill(FPid, SIGKILL);
    return WaitExit(60000);
}

void TChildProcess::CloseFds() {
    for (int* Fd : {&FIn, &FOut, &FPidFd}) {
        if (*Fd >= 0) close(*Fd);
        *Fd = -1;
    }
}

long ProcStatusKiB(pid_t Pid, const char* Name) {
    std::ifstream Status("/proc/" + std::to_string(Pid) + "/status");
    const std::string Key = std::string(Name) + ":";
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.compare(0, Key.size(), Key) == 0) return std::strtol(Line.c_str() + Key.size(), nullptr, 10);
    return -1;
}

double ProcCpuSeconds(pid_t Pid) {
    std::ifstream Stat("/proc/" + std::to_string(Pid) + "/stat");
    std::string Text;
    if (!std::getline(Stat, Text)) return -1;
    // The name in parentheses may hold blanks; the fields are counted from its closing one.
    const size_t Close = Text.rfind(')');
    if (Close == std::string::npos) return -1;
    std::istringstream Fields(Text.substr(Close + 2));
    std::string Field;
    unsigned long long UserTicks = 0, SystemTicks = 0;
    for (int Index = 3; Fields >> Field; ++Index) {
        if (Index == 14) UserTicks = std::stoull(Field);
        if (Index == 15) {
            SystemTicks = std::stoull(Field);
            return static_cast<double>(UserTicks + SystemTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
        }
    }
    return -1;
}

std::string CliProgramPath() {
    if (const char* Own = getenv("VELMORANT_CLI")) return Own;
    std::error_code Error;
    const std::filesystem::path Self = std::filesystem::read_symlink("/proc/self/exe", Error);
    return (Self.parent_path().parent_path() / "cli" / "velmorant-cli").string();
}

std::string MakeTempFolder(const std::string& Prefix) {
    std::string Template = "/tmp/" + Prefix;
    if (mkdtemp(Template.data()) == nullptr) throw std::runtime_error("no temporary folder");
    return Template;
}

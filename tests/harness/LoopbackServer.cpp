#include "LoopbackServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace veltest {

int FreeLoopbackPort() {
    const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Size = sizeof Address;
    int Port = 0;
    if (Fd >= 0 && ::bind(Fd, reinterpret_cast<sockaddr*>(&Address), Size) == 0 &&
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &Size) == 0)
        Port = ntohs(Address.sin_port);
    if (Fd >= 0) ::close(Fd);
    if (Port == 0) throw std::runtime_error("no free loopback port");
    return Port;
}

TLoopbackServer::TLoopbackServer(std::string Program, std::string Name)
    : FProgram(std::move(Program)), FName(std::move(Name)), FPort(FreeLoopbackPort()) {
    std::string Template = "/tmp/velmorant-" + FName + "-XXXXXX";
    if (::mkdtemp(Template.data()) == nullptr) throw std::runtime_error("no temporary folder");
    FFolder = Template;
}

TLoopbackServer::~TLoopbackServer() {
    Kill();
    std::error_code Ignored;
    std::filesystem::remove_all(FFolder, Ignored);
}

bool TLoopbackServer::Launch(const std::vector<std::string>& Args, const std::function<bool()>& Ready,
                             std::string& Error) {
    if (FPid > 0) return true;
    if (::access(FProgram.c_str(), X_OK) != 0) {
        Error = FProgram + " is missing: ./bootstrap.sh deps installs it";
        return false;
    }
    // Everything the child needs is made before the fork: after it, only async-signal-safe calls.
    const std::string LogPath = FFolder + "/" + FName + ".log";
    std::vector<char*> Argv{FProgram.data()};
    for (const std::string& Arg : Args) Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    const pid_t Parent = ::getpid();
    FPid = ::fork();
    if (FPid < 0) {
        Error = "fork failed";
        return false;
    }
    if (FPid == 0) {
        // The server dies with its caller, however that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != Parent) ::_exit(127);
        const int Log = ::open(LogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (Log >= 0) {
            ::dup2(Log, STDOUT_FILENO);
            ::dup2(Log, STDERR_FILENO);
        }
        ::execv(FProgram.c_str(), Argv.data());
        ::_exit(127);
    }
    // Neither server tells anyone when it is ready: look every 10 ms.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Ready()) {
        int Status = 0;
        if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
            FPid = -1;
            Error = FName + " ended at start: " + Log();
            return false;
        }
        if (std::chrono::steady_clock::now() > Deadline) {
            Kill();
            Error = FName + " did not listen within 5 s: " + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void TLoopbackServer::Kill() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    int Status = 0;
    while (::waitpid(FPid, &Status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
}

std::string TLoopbackServer::Log() const {
    std::ifstream File(FFolder + "/" + FName + ".log");
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

}  // namespace veltest

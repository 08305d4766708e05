#include "Ser2Net.h"

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
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace veltest {

namespace {

const char* const Ser2NetPath = "/usr/sbin/ser2net";

// True when /proc/net/tcp shows a socket listening on 127.0.0.1:Port. Looking there, rather than
// connecting, keeps the server from opening the device before a test does.
bool Listening(int Port) {
    std::ifstream Table("/proc/net/tcp");
    char Wanted[32];
    std::snprintf(Wanted, sizeof Wanted, "0100007F:%04X", Port);
    std::string Line;
    while (std::getline(Table, Line)) {
        std::istringstream Fields(Line);
        std::string Slot, Local, Remote, State;
        Fields >> Slot >> Local >> Remote >> State;
        if (Local == Wanted && State == "0A") return true;  // 0A: LISTEN
    }
    return false;
}

}  // namespace

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

TSer2Net::TSer2Net(const std::string& DevicePath, bool Rfc2217, const std::string& LineSettings,
                   bool CharDelay)
    : FRfc2217(Rfc2217), FPort(FreeLoopbackPort()) {
    char Template[] = "/tmp/velmorant-ser2net-XXXXXX";
    if (::mkdtemp(Template) == nullptr) throw std::runtime_error("no temporary folder");
    FFolder = Template;
    std::ofstream Config(FFolder + "/ser2net.yaml");
    Config << "%YAML 1.1\n---\nconnection: &board\n  accepter: " << (Rfc2217 ? "telnet(rfc2217)," : "")
           << "tcp,127.0.0.1," << FPort << "\n  connector: serialdev," << DevicePath << "," << LineSettings
           << ",local\n  options:\n    kickolduser: true\n    chardelay: " << (CharDelay ? "true" : "false")
           << "\n";
    if (!Config.flush()) throw std::runtime_error("cannot write " + FFolder + "/ser2net.yaml");
}

std::string TSer2Net::Name() const {
    return (FRfc2217 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") + std::to_string(FPort);
}

TSer2Net::~TSer2Net() {
    Kill();
    std::error_code Ignored;
    std::filesystem::remove_all(FFolder, Ignored);
}

bool TSer2Net::Start(std::string& Error) {
    if (FPid > 0) return true;
    if (::access(Ser2NetPath, X_OK) != 0) {
        Error = std::string(Ser2NetPath) + " is missing: ./bootstrap.sh deps installs it";
        return false;
    }
    const std::string ConfigPath = FFolder + "/ser2net.yaml", LogPath = FFolder + "/ser2net.log";
    const pid_t Parent = ::getpid();
    FPid = ::fork();
    if (FPid < 0) {
        Error = "fork failed";
        return false;
    }
    if (FPid == 0) {
        // Only async-signal-safe calls until exec. The server dies with the test, however it ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != Parent) ::_exit(127);
        const int Log = ::open(LogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (Log >= 0) {
            ::dup2(Log, STDOUT_FILENO);
            ::dup2(Log, STDERR_FILENO);
        }
        ::execl(Ser2NetPath, Ser2NetPath, "-n", "-d", "-c", ConfigPath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // ser2net tells no one when it listens: look every 10 ms, for at most 5 s.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Listening(FPort)) {
        int Status = 0;
        if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
            FPid = -1;
            Error = "ser2net ended at start: " + Log();
            return false;
        }
        if (std::chrono::steady_clock::now() > Deadline) {
            Kill();
            Error = "ser2net did not listen within 5 s: " + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void TSer2Net::Kill() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    int Status = 0;
    while (::waitpid(FPid, &Status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
}

std::string TSer2Net::Log() const {
    std::ifstream File(FFolder + "/ser2net.log");
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

}  // namespace veltest

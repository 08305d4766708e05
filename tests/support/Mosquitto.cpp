#include "Mosquitto.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
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

#include "Ser2Net.h"

namespace veltest {

static const char* const MosquittoPath = "/usr/sbin/mosquitto";

TMosquitto::TMosquitto() : FPort(FreeLoopbackPort()) {
    char Template[] = "/tmp/velmorant-mosquitto-XXXXXX";
    if (::mkdtemp(Template) == nullptr) throw std::runtime_error("no temporary folder");
    FFolder = Template;
    std::ofstream Config(FFolder + "/mosquitto.conf");
    // Run as root, the broker would change to its own user, and that change cancels the signal
    // that ends it with the test.
    const passwd* User = ::getpwuid(::geteuid());
    if (User != nullptr) Config << "user " << User->pw_name << "\n";
    Config << "listener " << FPort << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
           << "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n";
    if (!Config.flush()) throw std::runtime_error("cannot write " + FFolder + "/mosquitto.conf");
}

TMosquitto::~TMosquitto() {
    Kill();
    std::error_code Ignored;
    std::filesystem::remove_all(FFolder, Ignored);
}

bool TMosquitto::Start(std::string& Error) {
    if (FPid > 0) return true;
    if (::access(MosquittoPath, X_OK) != 0) {
        Error = std::string(MosquittoPath) + " is missing: ./bootstrap.sh deps installs it";
        return false;
    }
    const std::string ConfigPath = FFolder + "/mosquitto.conf", LogPath = FFolder + "/mosquitto.log";
    const pid_t Parent = ::getpid();
    FPid = ::fork();
    if (FPid < 0) {
        Error = "fork failed";
        return false;
    }
    if (FPid == 0) {
        // Only async-signal-safe calls until exec. The broker dies with the test, however it ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != Parent) ::_exit(127);
        const int Log = ::open(LogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (Log >= 0) {
            ::dup2(Log, STDOUT_FILENO);
            ::dup2(Log, STDERR_FILENO);
        }
        ::execl(MosquittoPath, MosquittoPath, "-c", ConfigPath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // A connection that is opened and closed at once costs the broker a line in its log, nothing more.
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<uint16_t>(FPort));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto Accepts = [&] {
        const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool Ok = Fd >= 0 && ::connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
        if (Fd >= 0) ::close(Fd);
        return Ok;
    };
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Accepts()) {
        int Status = 0;
        if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
            FPid = -1;
            Error = "mosquitto ended at start: " + Log();
            return false;
        }
        if (std::chrono::steady_clock::now() > Deadline) {
            Kill();
            Error = "mosquitto did not listen within 5 s: " + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void TMosquitto::Kill() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    int Status = 0;
    while (::waitpid(FPid, &Status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
}

std::string TMosquitto::Log() const {
    std::ifstream File(FFolder + "/mosquitto.log");
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

}  // namespace veltest

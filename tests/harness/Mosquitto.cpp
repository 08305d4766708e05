#include "Mosquitto.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>

namespace veltest {

namespace {

// A connection that is opened and closed at once costs the broker a line in its log, nothing more.
bool Accepts(int Port) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<uint16_t>(Port));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool Ok = Fd >= 0 && ::connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
    if (Fd >= 0) ::close(Fd);
    return Ok;
}

}  // namespace

TMosquitto::TMosquitto() : TLoopbackServer("/usr/sbin/mosquitto", "mosquitto") {
    std::ofstream Config(Folder() + "/mosquitto.conf");
    // Run as root, the broker would change to its own user, and that change cancels the signal
    // that ends it with the test.
    const passwd* User = ::getpwuid(::geteuid());
    if (User != nullptr) Config << "user " << User->pw_name << "\n";
    Config << "listener " << Port() << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
           << "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n";
    if (!Config.flush()) throw std::runtime_error("cannot write " + Folder() + "/mosquitto.conf");
}

bool TMosquitto::Start(std::string& Error) {
    return Launch(
        {"-c", Folder() + "/mosquitto.conf"}, [this] { return Accepts(Port()); }, Error);
}

}  // namespace veltest

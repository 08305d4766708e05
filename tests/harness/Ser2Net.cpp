#include "Ser2Net.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace veltest {

namespace {

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

TSer2Net::TSer2Net(const std::string& DevicePath, bool Rfc2217, const std::string& LineSettings,
                   bool CharDelay)
    : TLoopbackServer("/usr/sbin/ser2net", "ser2net"), FRfc2217(Rfc2217) {
    std::ofstream Config(Folder() + "/ser2net.yaml");
    Config << "%YAML 1.1\n---\nconnection: &board\n  accepter: " << (Rfc2217 ? "telnet(rfc2217)," : "")
           << "tcp,127.0.0.1," << Port() << "\n  connector: serialdev," << DevicePath << "," << LineSettings
           << ",local\n  options:\n    kickolduser: true\n    chardelay: " << (CharDelay ? "true" : "false")
           << "\n";
    if (!Config.flush()) throw std::runtime_error("cannot write " + Folder() + "/ser2net.yaml");
}

std::string TSer2Net::Name() const {
    return (FRfc2217 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") + std::to_string(Port());
}

bool TSer2Net::Start(std::string& Error) {
    return Launch(
        {"-n", "-d", "-c", Folder() + "/ser2net.yaml"}, [this] { return Listening(Port()); }, Error);
}

}  // namespace veltest

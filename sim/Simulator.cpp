// The simulated board on a pseudo-terminal: one thread reads commands, answers them and keeps board time.
#include "Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <utility>

#include "SerialPort.h"

namespace velsim {

namespace {

using TClock = std::chrono::steady_clock;

constexpr int PollMs = 10;                 // how often board time moves on when nothing arrives
constexpr size_t MaxCommandLength = 1024;  // a longer run without CR is noise: the board drops it
const char* const Terminator = "\r\n";
const char* const SecondLine = "READY";

bool PointsTo(const std::string& Link, const std::string& Target) {
    std::error_code Error;
    return std::filesystem::read_symlink(Link, Error).string() == Target && !Error;
}

bool MakeLink(const std::string& Link, const std::string& Target) {
    if (::unlink(Link.c_str()) != 0 && errno != ENOENT) return false;
    return ::symlink(Target.c_str(), Link.c_str()) == 0;
}

}  // namespace

TSimulator::TSimulator(TSimBoardOptions Options) : FBoard(std::make_unique<TSimBoard>(std::move(Options))) {}

TSimulator::~TSimulator() {
    Stop();
    for (const std::string& Link : FLinks)
        if (PointsTo(Link, FDevicePath)) ::unlink(Link.c_str());
    if (FWakeRead >= 0) ::close(FWakeRead);
    if (FWakeWrite >= 0) ::close(FWakeWrite);
}

bool TSimulator::OpenPty(int& Master, std::string& Path) {
    Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0) return false;
    char Name[128];
    termios Mode{};
    // Raw from the start: the termios of a pty's slave live as long as the master, across sessions.
    if (::grantpt(Master) != 0 || ::unlockpt(Master) != 0 || ::ptsname_r(Master, Name, sizeof Name) != 0 ||
        ::tcgetattr(Master, &Mode) != 0) {
        const int Saved = errno;
        ::close(Master);
        Master = -1;
        errno = Saved;
        return false;
    }
    ::cfmakeraw(&Mode);
    ::cfsetspeed(&Mode, B19200);
    ::tcsetattr(Master, TCSANOW, &Mode);
    ::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK);
    Path = Name;
    return true;
}

bool TSimulator::Start() {
    std::unique_lock<std::mutex> L(FMutex);
    if (FRunning) return true;
    if (FWakeRead < 0) {
        int Fds[2];
        if (::pipe2(Fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        FWakeRead = Fds[0];
        FWakeWrite = Fds[1];
    }
    if (FMaster < 0) {
        int Master = -1;
        std::string Path;
        if (!OpenPty(Master, Path)) return false;
        FMaster = Master;
        FDevicePath = Path;
    }
    FStopRequested = false;
    FRunning = true;
    FThread = std::thread(&TSimulator::Run, this);
    return true;
}

void TSimulator::Stop() {
    {
        std::unique_lock<std::mutex> L(FMutex);
        FStopRequested = true;
    }
    Wake();
    if (FThread.joinable()) FThread.join();
    std::unique_lock<std::mutex> L(FMutex);
    CloseMaster();
    if (FSpareMaster >= 0) ::close(std::exchange(FSpareMaster, -1));
    FRunning = false;
}

std::string TSimulator::DevicePath() const {
    std::unique_lock<std::mutex> L(FMutex);
    return FDevicePath;
}

bool TSimulator::LinkAs(const std::string& ComName, const std::string& LinksFolder) {
    std::string Folder = LinksFolder.empty() ? SerialPortLinksFolder() : LinksFolder;
    if (Folder.back() != '/') Folder += '/';
    std::error_code Error;
    std::filesystem::create_directories(Folder + "ports", Error);
    const std::string Link = Folder + "ports/" + ComName;
    std::unique_lock<std::mutex> L(FMutex);
    if (FDevicePath.empty() || !MakeLink(Link, FDevicePath)) return false;
    if (std::find(FLinks.begin(), FLinks.end(), Link) == FLinks.end()) FLinks.push_back(Link);
    return true;
}

void TSimulator::RelinkAll() {
    for (const std::string& Link : FLinks) MakeLink(Link, FDevicePath);
}

std::vector<std::string> TSimulator::Commands() const {
    std::unique_lock<std::mutex> L(FMutex);
    return FCommands;
}

void TSimulator::ClearCommands() {
    std::unique_lock<std::mutex> L(FMutex);
    FCommands.clear();
}

bool TSimulator::WaitForCommands(size_t Count, int TimeoutMs) const {
    std::unique_lock<std::mutex> L(FMutex);
    return FCommandsChanged.wait_for(L, std::chrono::milliseconds(TimeoutMs),
                                     [&] { return FCommands.size() >= Count; });
}

void TSimulator::SetFault(TFault Fault, int Count, std::chrono::milliseconds Delay) {
    std::unique_lock<std::mutex> L(FMutex);
    FFault = Fault;
    FFaultCount = Count;
    FFaultDelay = Delay;
}

void TSimulator::SetFaultFilter(const std::string& Prefix) {
    std::unique_lock<std::mutex> L(FMutex);
    FFaultFilter = Prefix;
}

void TSimulator::OverrideReply(const std::string& Prefix, const std::string& Reply) {
    std::unique_lock<std::mutex> L(FMutex);
    if (Reply.empty())
        FOverrides.erase(Prefix);
    else
        FOverrides[Prefix] = Reply;
}

void TSimulator::HangUp() {
    std::unique_lock<std::mutex> L(FMutex);
    if (FMaster < 0) return;
    if (!FRunning || FThread.get_id() == std::this_thread::get_id()) {
        HangUpNow();
        return;
    }
    // Only the thread closes the master, so that it never polls a descriptor closed under it.
    FHangUpRequested = true;
    Wake();
    FMasterClosed.wait(L, [&] { return FMaster < 0 || !FRunning; });
}

void TSimulator::HangUpAtCommand(size_t N) {
    std::unique_lock<std::mutex> L(FMutex);
    FHangUpCountdown = N;
}

bool TSimulator::Replug() {
    HangUp();
    {
        std::unique_lock<std::mutex> L(FMutex);
        if (FSpareMaster < 0 && !OpenPty(FSpareMaster, FSparePath)) return false;
        FMaster = std::exchange(FSpareMaster, -1);
        FDevicePath = FSparePath;
        FPartial.clear();
        FBoard->InBootloader = false;
        RelinkAll();
    }
    Wake();
    return Start();
}

void TSimulator::Wake() {
    if (FWakeWrite >= 0) {
        const char Byte = 1;
        [[maybe_unused]] ssize_t N =
            ::write(FWakeWrite, &Byte, 1);  // a full pipe wakes the thread just as well
    }
}

void TSimulator::HangUpNow() {
    // The next pty is taken while this one still holds its number, so a replug comes back on a node
    // of its own: a client has to follow the link, not a path it remembered.
    if (FMaster >= 0 && FSpareMaster < 0 && !OpenPty(FSpareMaster, FSparePath)) FSpareMaster = -1;
    CloseMaster();
}

void TSimulator::CloseMaster() {
    if (FMaster >= 0) ::close(FMaster);
    FMaster = -1;
    FPartial.clear();
    FPending.clear();
    FMasterClosed.notify_all();
}

void TSimulator::Run() {
    auto Last = TClock::now();
    std::chrono::microseconds Unspent{0};
    bool ClientAway = false;
    std::unique_lock<std::mutex> L(FMutex);
    while (!FStopRequested) {
        if (FHangUpRequested) {
            FHangUpRequested = false;
            HangUpNow();
        }
        const int Master = FMaster;
        // To the microsecond: at the line rate a millisecond rounded up is a sixth of a short exchange.
        int64_t TimeoutUs = PollMs * 1000;
        short Events = POLLIN;
        if (!FPending.empty()) {
            const auto Left =
                std::chrono::ceil<std::chrono::microseconds>(FPending.front().Due - TClock::now());
            TimeoutUs = std::clamp<int64_t>(Left.count(), 0, PollMs * 1000);
            if (TimeoutUs == 0) Events |= POLLOUT;  // due but not yet written: wait until the pty takes it
        }
        L.unlock();

        // With no client the master reports a hang-up until the next open: look again after a pause.
        const bool WatchMaster = Master >= 0 && !ClientAway;
        pollfd Fds[2] = {{FWakeRead, POLLIN, 0}, {Master, Events, 0}};
        if (ClientAway) TimeoutUs = PollMs * 1000;
        const timespec Timeout{static_cast<time_t>(TimeoutUs / 1000000),
                               static_cast<long>(TimeoutUs % 1000000) * 1000};
        ::ppoll(Fds, WatchMaster ? 2 : 1, &Timeout, nullptr);
        if (Fds[0].revents & POLLIN) {
            char Drain[64];
            while (::read(FWakeRead, Drain, sizeof Drain) > 0) {
            }
        }
        std::string Input;
        // A hang-up that poll saw may be followed by a new session whose first command is read in the
        // same pass; only a read that finds no client says that the session is over now.
        bool EndedBefore = false, EndsNow = false;
        if (WatchMaster && (Fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            EndedBefore = (Fds[1].revents & POLLHUP) != 0;
            char Buffer[512];
            for (;;) {
                const ssize_t N = ::read(Master, Buffer, sizeof Buffer);
                if (N > 0) {
                    Input.append(Buffer, static_cast<size_t>(N));
                    continue;
                }
                if (N < 0 && errno == EINTR) continue;
                EndsNow = N == 0 || errno != EAGAIN;
                break;
            }
        }
        ClientAway = EndsNow;

        L.lock();
        const auto Now = TClock::now();
        Unspent += std::chrono::duration_cast<std::chrono::microseconds>(Now - Last);
        Last = Now;
        const auto Whole = std::chrono::duration_cast<std::chrono::milliseconds>(Unspent);
        Unspent -= Whole;
        FBoard->Tick(static_cast<int>(Whole.count()));
        if (Master == FMaster) {
            // What a finished session did not read, and half a command of it, belong to nobody.
            if (EndedBefore && !EndsNow) EndSession();
            HandleInput(Input);
            if (EndsNow) EndSession();
            FlushDue();
        }
    }
}

void TSimulator::EndSession() {
    FPartial.clear();
    FPending.clear();
}

void TSimulator::HandleInput(const std::string& Bytes) {
    for (char C : Bytes) {
        if (FMaster < 0) return;  // hung up part-way (HangUpAtCommand)
        if (C == '\r') {
            const std::string Command = FPartial;
            FPartial.clear();
            HandleCommand(Command);
        } else if (FPartial.size() < MaxCommandLength) {
            FPartial += C;
        } else {
            FPartial.clear();
        }
    }
}

void TSimulator::HandleCommand(const std::string& Command) {
    FCommands.push_back(Command);
    FCommandsChanged.notify_all();
    if (FHangUpCountdown > 0 && --FHangUpCountdown == 0) {
        HangUpNow();
        return;
    }
    std::string Reply = FBoard->Execute(Command);
    if (Reply.empty()) {
        Trace(Command, "(no reply)");
        return;
    }
    size_t Best = 0;
    const std::string* Override = nullptr;
    for (const auto& [Prefix, Text] : FOverrides) {
        if (Command.compare(0, Prefix.size(), Prefix) == 0 && (!Override || Prefix.size() >= Best)) {
            Best = Prefix.size();
            Override = &Text;
        }
    }
    if (Override) Reply = *Override;

    TFault Fault = TFault::None;
    if (FFault != TFault::None && FFaultCount != 0 &&
        Command.compare(0, FFaultFilter.size(), FFaultFilter) == 0) {
        Fault = FFault;
        if (FFaultCount > 0) --FFaultCount;
    }
    using std::chrono::milliseconds;
    // On a real line the command's bytes and the reply's take ten bit times each (8N1) before the
    // program has the reply; the pty delivers both at once.
    const int Baud = FBoard->Options.BaudRate;
    FWireTime = std::chrono::microseconds(
        Baud > 0 ? static_cast<long long>(Command.size() + 1 + Reply.size() + 2) * 10'000'000 / Baud : 0);
    switch (Fault) {
        case TFault::None:
            Queue(milliseconds(0), Reply + Terminator);
            break;
        case TFault::Silent:
            break;
        case TFault::Late:
            Queue(FFaultDelay, Reply + Terminator);
            break;
        case TFault::Pieces: {
            const size_t Half = std::max<size_t>(1, Reply.size() / 2);
            Queue(milliseconds(0), Reply.substr(0, Half));
            if (Half < Reply.size()) Queue(FFaultDelay, Reply.substr(Half));
            Queue(FFaultDelay, Terminator);
            break;
        }
        case TFault::TwoLines:
            Queue(milliseconds(0), Reply + Terminator + SecondLine + Terminator);
            break;
        case TFault::Garbage: {
            std::string Noise;
            for (int I = 0; I < 8; ++I) {
                // Any byte but CR and LF, high ones included, so that only the final CR ends the line.
                unsigned char B = static_cast<unsigned char>(1 + (FGarbageCounter++ * 0x9Du + 0x3Bu) % 255);
                if (B == '\r' || B == '\n') B = '#';
                Noise += static_cast<char>(B);
            }
            Queue(milliseconds(0), Noise + "\r");
            break;
        }
        case TFault::Question:
            Queue(milliseconds(0), std::string("?") + Terminator);
            break;
        case TFault::NoTerminator:
            Queue(milliseconds(0), Reply);
            break;
    }
    Trace(Command, Fault == TFault::Silent ? std::string("(no reply)") : Reply);
}

void TSimulator::Trace(const std::string& Command, const std::string& Reply) {
    if (FTrace == nullptr) return;
    const auto Now = std::chrono::system_clock::now();
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
    const auto Millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() % 1000;
    std::tm Local{};
    ::localtime_r(&Seconds, &Local);
    char Time[16];
    std::strftime(Time, sizeof Time, "%H:%M:%S", &Local);
    // The reply leaves once the wire has carried the command and itself.
    std::fprintf(FTrace, "%s.%03d %-20s -> %s (sent after %.1f ms)\n", Time, static_cast<int>(Millis),
                 Command.c_str(), Reply.c_str(), static_cast<double>(FWireTime.count()) / 1000);
    std::fflush(FTrace);
}

void TSimulator::Queue(std::chrono::milliseconds After, std::string Bytes) {
    // Replies leave in the order of their commands, a late one holding back those behind it.
    auto Due = TClock::now() + After + FWireTime;
    if (!FPending.empty()) Due = std::max(Due, FPending.back().Due + After);
    FPending.push_back({Due, std::move(Bytes)});
}

void TSimulator::FlushDue() {
    const auto Now = TClock::now();
    while (FMaster >= 0 && !FPending.empty() && FPending.front().Due <= Now) {
        // A master without a client still takes bytes and hands them to the next session: check first.
        pollfd P{FMaster, 0, 0};
        if (::poll(&P, 1, 0) > 0 && (P.revents & POLLHUP)) {
            FPending.clear();
            return;
        }
        std::string& Bytes = FPending.front().Bytes;
        const ssize_t N = ::write(FMaster, Bytes.data(), Bytes.size());
        if (N < 0) {
            if (errno != EAGAIN && errno != EINTR) FPending.clear();
            return;
        }
        Bytes.erase(0, static_cast<size_t>(N));
        if (!Bytes.empty()) return;
        FPending.pop_front();
    }
}

}  // namespace velsim

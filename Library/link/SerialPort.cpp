// Serial ports on Linux: COMn names resolve to tty device nodes, line settings go through termios2 so
// that any baud rate works, and the descriptor stays non-blocking so that a read never waits.
#include "SerialPort.h"

// termios2 and BOTHER live in the kernel's header, which clashes with <termios.h>: use ioctls only.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "Errors.h"
#include "GeneralLib.h"
#include "NetPort.h"
#include "SerialLink.h"
#include "WakeEvent.h"

namespace {

// A write that makes no progress for this long has failed: the line is stuck (flow control held off).
constexpr int WriteStallTimeoutMs = 1000;

std::mutex GLock;  // guards the four below; the simulator may use the layer from its own thread
TFailure GLastSerialFailure;
std::set<int> GHungUpHandles;
bool GEnumerationPermissionDenied = false;
// Open network connections by handle. Every other handle is taken for a tty descriptor, which
// lets the functions work on any descriptor as before.
std::map<THandle, std::shared_ptr<TSerialLink>> GNetLinks;
// The wake event of each tty that has one: its waits and writes end when it is raised.
std::map<THandle, int> GWakeFds;

// errno of the last failed open or lock in OpenSerialPort, 0 when the failure came later.
thread_local int GLastOpenErrno = 0;
std::atomic<bool> GSerialErrorEcho{true};

bool IsValidHandle(THandle Handle) {
    return Handle >= 0;
}

void SetHungUp(THandle Handle, bool HungUp) {
    std::lock_guard Lock(GLock);
    if (HungUp)
        GHungUpHandles.insert(Handle);
    else
        GHungUpHandles.erase(Handle);
}

bool IsBlank(char C) {
    return static_cast<unsigned char>(C) <= 32;
}

std::string Trim(std::string_view S) {
    size_t First = 0, Last = S.size();
    while (First < Last && IsBlank(S[First])) ++First;
    while (Last > First && IsBlank(S[Last - 1])) --Last;
    return std::string(S.substr(First, Last - First));
}

// A decimal integer with an optional sign; nullopt for anything else (the caller then keeps its default).
std::optional<long long> ParseInteger(const std::string& S) {
    std::string_view V = S;
    if (!V.empty() && V.front() == '+') V.remove_prefix(1);
    if (V.empty() || V.front() == '+') return std::nullopt;
    long long Value = 0;
    auto [End, Ec] = std::from_chars(V.data(), V.data() + V.size(), Value);
    if (Ec != std::errc() || End != V.data() + V.size() || Value < INT_MIN || Value > INT_MAX)
        return std::nullopt;
    return Value;
}

TLineSettings ParseSettings(const std::string& Settings) {
    TLineSettings Result;
    if (Settings.empty()) return Result;
    if (auto Baud = ParseInteger(GetDelimitedField(Settings, 0, ','))) Result.BaudRate = *Baud;
    if (auto Bits = ParseInteger(GetDelimitedField(Settings, 1, ','))) Result.DataBits = *Bits;

    const std::string Parity = GetDelimitedField(Settings, 2, ',');
    if (Parity == "O")
        Result.Parity = paOdd;
    else if (Parity == "E")
        Result.Parity = paEven;
    else if (Parity == "M")
        Result.Parity = paMark;
    else if (Parity == "S")
        Result.Parity = paSpace;

    const std::string Stop = GetDelimitedField(Settings, 3, ',');
    if (Stop == "1.5")
        Result.StopBits = sbOneAndHalf;
    else if (Stop == "2")
        Result.StopBits = sbTwo;

    std::string Flow = GetDelimitedField(Settings, 4, ',');
    for (char& C : Flow)
        if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
    if (Flow == "HARDWARE")
        Result.Flow = fcHardware;
    else if (Flow == "XON_XOFF")
        Result.Flow = fcXonXoff;
    return Result;
}

// The values a line cannot take fail the open before the device is touched.
bool SettingsAreUsable(const TLineSettings& S) {
    return S.BaudRate > 0 && S.DataBits >= 5 && S.DataBits <= 8;
}

bool ApplyLineSettings(THandle Handle, const TLineSettings& S) {
    termios2 Tio{};
    if (ioctl(Handle, TCGETS2, &Tio) != 0) return false;

    // Raw mode: bytes pass untouched in both directions, nothing is echoed or interpreted.
    Tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                          IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    Tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    Tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    Tio.c_cflag &=
        ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    Tio.c_cflag |= CREAD | CLOCAL | BOTHER;
    Tio.c_ispeed = Tio.c_ospeed = static_cast<speed_t>(S.BaudRate);

    static constexpr tcflag_t SizeFlags[] = {CS5, CS6, CS7, CS8};
    Tio.c_cflag |= SizeFlags[S.DataBits - 5];

    switch (S.Parity) {
        case paNone:
            break;
        case paOdd:
            Tio.c_cflag |= PARENB | PARODD;
            break;
        case paEven:
            Tio.c_cflag |= PARENB;
            break;
        case paMark:
            Tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case paSpace:
            Tio.c_cflag |= PARENB | CMSPAR;
            break;
    }
    // termios knows no 1.5 stop bits; UARTs send 1.5 for CSTOPB with 5-bit characters and 2 otherwise.
    if (S.StopBits != sbOne) Tio.c_cflag |= CSTOPB;

    if (S.Flow == fcHardware) Tio.c_cflag |= CRTSCTS;
    if (S.Flow == fcXonXoff) Tio.c_iflag |= IXON | IXOFF;

    // A read returns at once with whatever is buffered.
    Tio.c_cc[VMIN] = 0;
    Tio.c_cc[VTIME] = 0;
    return ioctl(Handle, TCSETS2, &Tio) == 0;
}

// Gives up the port: exclusivity is a flag of the tty, not of our descriptor, so it must be cleared
// explicitly or a pseudo-terminal whose master stays open keeps refusing normal users.
void ReleasePort(THandle Handle) {
    ioctl(Handle, TIOCNXCL);
    close(Handle);
}

// A tty: the descriptor itself. Its hang-up is kept by handle, so that any descriptor works.
class TTtyLink final : public TSerialLink {
public:
    TTtyLink(THandle Handle, int WakeFd) : FHandle(Handle), FWakeFd(WakeFd) {}
    void Purge() override;
    int Read(std::string& Bytes) override;
    bool Write(std::string_view Bytes) override;
    bool WaitForInput(int TimeoutMs) override;
    bool HungUp() const override;

private:
    THandle FHandle;
    int FWakeFd;
};

void TTtyLink::Purge() {
    if (ioctl(FHandle, TCFLSH, TCIOFLUSH) != 0) ReportSerialError("FlushSerialPort");
}

int TTtyLink::Read(std::string& Bytes) {
    Bytes.clear();
    int Pending = 0;
    if (ioctl(FHandle, FIONREAD, &Pending) != 0) {
        if (errno == EIO) SetHungUp(FHandle, true);  // a hung-up tty refuses every ioctl with EIO
        ReportSerialError("ReadFromSerialPort:ClearCommError");
        return 0;
    }
    if (Pending <= 0) return 0;

    Bytes.resize(static_cast<size_t>(Pending));
    ssize_t Count;
    do Count = read(FHandle, Bytes.data(), Bytes.size());
    while (Count < 0 && errno == EINTR);
    if (Count == 0 || (Count < 0 && errno == EIO)) SetHungUp(FHandle, true);
    Bytes.resize(static_cast<size_t>(std::max<ssize_t>(Count, 0)));
    return static_cast<int>(Bytes.size());
}

bool TTtyLink::Write(std::string_view Bytes) {
    using Clock = std::chrono::steady_clock;
    size_t Done = 0;
    auto Deadline = Clock::now() + std::chrono::milliseconds(WriteStallTimeoutMs);
    while (Done < Bytes.size()) {
        if (WakeRaised(FWakeFd)) {
            errno = ECANCELED;
            return false;
        }
        const ssize_t Count = write(FHandle, Bytes.data() + Done, Bytes.size() - Done);
        if (Count > 0) {
            Done += static_cast<size_t>(Count);
            Deadline = Clock::now() + std::chrono::milliseconds(WriteStallTimeoutMs);
            continue;
        }
        if (Count < 0 && errno == EINTR) continue;
        if (Count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (errno == EIO) SetHungUp(FHandle, true);
            ReportSerialError("WriteToSerialPort:WriteFile");
            return false;
        }
        // The output buffer is full: wait until it drains, but not forever.
        const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
        if (Left <= 0) {
            errno = ETIMEDOUT;
            ReportSerialError("WriteToSerialPort:WriteFile");
            return false;
        }
        pollfd Fds[2] = {{FHandle, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
        if (poll(Fds, FWakeFd >= 0 ? 2 : 1, static_cast<int>(Left)) < 0 && errno != EINTR) {
            ReportSerialError("WriteToSerialPort:WriteFile");
            return false;
        }
        const pollfd& Fd = Fds[0];
        if (Fd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            SetHungUp(FHandle, true);
            errno = EIO;
            ReportSerialError("WriteToSerialPort:WriteFile");
            return false;
        }
    }
    return true;
}

bool TTtyLink::WaitForInput(int TimeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));
    for (;;) {
        const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
        pollfd Fds[2] = {{FHandle, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
        const int Ready = poll(Fds, FWakeFd >= 0 ? 2 : 1, static_cast<int>(std::max<long long>(Left, 0)));
        if (Ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (Ready == 0) return true;  // nothing arrived in time; the port itself is fine
        if (Fds[1].revents & POLLIN) {
            errno = ECANCELED;
            return false;
        }
        const pollfd& Fd = Fds[0];
        // A hung-up tty (a pseudo-terminal whose master closed, an unplugged adapter) polls as readable
        // too, but its buffer is gone and every read returns 0: the hang-up decides.
        if (Fd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            SetHungUp(FHandle, true);
            return false;
        }
        return true;
    }
}

bool TTtyLink::HungUp() const {
    std::lock_guard Lock(GLock);
    return GHungUpHandles.count(FHandle) != 0;
}

int WakeFdOf(THandle Handle) {
    std::lock_guard Lock(GLock);
    const auto It = GWakeFds.find(Handle);
    return It == GWakeFds.end() ? -1 : It->second;
}

// The link behind a handle for the length of one call: the network connection registered under it,
// else the tty the descriptor is. Holding a reference keeps a connection alive through the call.
class TLinkOf {
public:
    explicit TLinkOf(THandle Handle) : FTty(Handle, WakeFdOf(Handle)) {
        std::lock_guard Lock(GLock);
        if (const auto It = GNetLinks.find(Handle); It != GNetLinks.end()) FNet = It->second;
    }
    TSerialLink* operator->() { return FNet ? FNet.get() : static_cast<TSerialLink*>(&FTty); }

private:
    TTtyLink FTty;
    std::shared_ptr<TSerialLink> FNet;
};

THandle OpenNetworkPort(const std::string& PortName, const TLineSettings& Line, int WakeFd) {
    THandle Handle = INVALID_HANDLE_VALUE;
    std::string Error;
    std::unique_ptr<TSerialLink> Link = OpenNetworkLink(PortName, Line, Handle, Error, WakeFd);
    if (!Link) {
        const int Code = errno;
        RecordSerialError(Error);
        GLastOpenErrno = Code;
        errno = Code;
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard Lock(GLock);
    GHungUpHandles.erase(Handle);
    GNetLinks[Handle] = std::move(Link);
    return Handle;
}

}  // namespace

THandle OpenSerialPort(const std::string& PortName, const std::string& Settings, int WakeFd) {
    GLastOpenErrno = 0;
    const TLineSettings Line = ParseSettings(Settings);
    if (!SettingsAreUsable(Line)) return INVALID_HANDLE_VALUE;
    if (WakeRaised(WakeFd)) {
        GLastOpenErrno = errno = ECANCELED;
        return INVALID_HANDLE_VALUE;
    }
    if (IsNetworkPortName(PortName)) return OpenNetworkPort(PortName, Line, WakeFd);

    const std::string Path = SerialDevicePath(PortName);
    if (Path.empty()) {
        GLastOpenErrno = ENOENT;
        return INVALID_HANDLE_VALUE;
    }

    const THandle Handle = open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Handle < 0) {
        GLastOpenErrno = errno;
        return INVALID_HANDLE_VALUE;
    }
    // The lock comes before TIOCEXCL: when another holder has the port (root passes TIOCEXCL), we must
    // leave without touching the flag it set.
    if (flock(Handle, LOCK_EX | LOCK_NB) != 0) {
        GLastOpenErrno = errno;
        close(Handle);
        return INVALID_HANDLE_VALUE;
    }
    SetHungUp(Handle, false);  // a descriptor number may be reused after an earlier hang-up

    // Fails only for something that is not a terminal at all.
    if (ioctl(Handle, TIOCEXCL) != 0 || !ApplyLineSettings(Handle, Line)) {
        ReleasePort(Handle);
        return INVALID_HANDLE_VALUE;
    }
    {
        std::lock_guard Lock(GLock);
        if (WakeFd >= 0)
            GWakeFds[Handle] = WakeFd;
        else
            GWakeFds.erase(Handle);
    }
    FlushSerialPort(Handle);
    if (Line.Flow != fcHardware) {
        // A pseudo-terminal has no modem lines: ENOTTY/EINVAL there is expected and harmless.
        int Lines = TIOCM_DTR | TIOCM_RTS;
        ioctl(Handle, TIOCMBIS, &Lines);
    }
    return Handle;
}

void CloseSerialPort(THandle& Handle) {
    if (IsValidHandle(Handle)) {
        std::shared_ptr<TSerialLink> Net;
        {
            std::lock_guard Lock(GLock);
            GHungUpHandles.erase(Handle);
            GWakeFds.erase(Handle);
            if (const auto It = GNetLinks.find(Handle); It != GNetLinks.end()) {
                Net = std::move(It->second);
                GNetLinks.erase(It);
            }
        }
        // A connection closes with its last reference, outside the lock; a tty is released here.
        if (!Net) ReleasePort(Handle);
    }
    Handle = INVALID_HANDLE_VALUE;
}

void FlushSerialPort(THandle Handle) {
    if (IsValidHandle(Handle)) TLinkOf(Handle)->Purge();
}

int ReadFromSerialPort(THandle Handle, std::string& Text) {
    Text.clear();
    if (!IsValidHandle(Handle)) throw ESerialError("Invalid handle in ReadFromSerialPort");
    std::string Bytes;
    const int Count = TLinkOf(Handle)->Read(Bytes);
    Text = BytesToString(Bytes);
    return Count;
}

bool WriteToSerialPort(THandle Handle, const std::string& Text) {
    return IsValidHandle(Handle) && TLinkOf(Handle)->Write(StringToBytes(Text));
}

bool WaitForSerialInput(THandle Handle, int TimeoutMs) {
    return IsValidHandle(Handle) && TLinkOf(Handle)->WaitForInput(TimeoutMs);
}

bool SerialPortHungUp(THandle Handle) {
    return IsValidHandle(Handle) && TLinkOf(Handle)->HungUp();
}

void EnumerateSerialPorts(bool IncludeBusy, TSerialPortSet& Ports) {
    Ports.reset();
    bool PermissionDenied = false;
    for (int N = 1; N <= 64; ++N) {
        THandle Handle = OpenSerialPort(SerialPortName(static_cast<uint8_t>(N)), "9600,8,N,1,NONE");
        if (IsValidHandle(Handle)) {
            CloseSerialPort(Handle);
            Ports.set(static_cast<size_t>(N));
            continue;
        }
        const int Error = GLastOpenErrno;
        const bool Denied = Error == EACCES || Error == EPERM;
        PermissionDenied = PermissionDenied || Denied;
        // Held by another program or not ours to open: it exists, so the user should see it.
        if (IncludeBusy && (Denied || Error == EBUSY || Error == EWOULDBLOCK || Error == EAGAIN))
            Ports.set(static_cast<size_t>(N));
    }
    std::lock_guard Lock(GLock);
    GEnumerationPermissionDenied = PermissionDenied;
}

bool LastEnumerationHadPermissionDenied() {
    std::lock_guard Lock(GLock);
    return GEnumerationPermissionDenied;
}

std::string SerialPortName(uint8_t Number) {
    return "COM" + std::to_string(Number);
}

std::string ResolveSerialPortPath(const std::string& PortName) {
    if (PortName.size() < 4 || PortName.size() > 5 || PortName.compare(0, 3, "COM") != 0) return {};
    int Number = 0;
    const char* Digits = PortName.data() + 3;
    const char* End = PortName.data() + PortName.size();
    auto [Stop, Ec] = std::from_chars(Digits, End, Number);
    if (Ec != std::errc() || Stop != End || Digits[0] == '0' || Number < 1 || Number > 64) return {};

    const std::string Link = SerialPortLinksFolder() + "ports/" + PortName;
    struct stat Info {};
    if (lstat(Link.c_str(), &Info) == 0) return Link;

    if (Number <= 16) return "/dev/ttyACM" + std::to_string(Number - 1);
    if (Number <= 32) return "/dev/ttyUSB" + std::to_string(Number - 17);
    return "/dev/ttyS" + std::to_string(Number - 33);
}

std::vector<std::string> PresentSerialPortNames() {
    std::vector<std::string> Names;
    for (int N = 1; N <= 64; ++N) {
        const std::string Name = SerialPortName(static_cast<uint8_t>(N));
        struct stat Info {};
        // stat follows the link: a link whose device is gone is no port.
        if (stat(ResolveSerialPortPath(Name).c_str(), &Info) == 0) Names.push_back(Name);
    }
    return Names;
}

const char* const SerialPermissionAdvice =
    "A serial port could not be opened for lack of permission. Install the udev rule that comes with the "
    "program (see its README), or add your user to the \"dialout\" group (sudo usermod -aG dialout $USER) "
    "and log in again.";

std::string SerialDevicePath(const std::string& PortName) {
    if (!PortName.empty() && PortName.front() == '/') return PortName;
    return ResolveSerialPortPath(PortName);
}

std::string SerialPortLinksFolder() {
    return AppSettingsFolder();
}

namespace {

void RecordFailure(TFailure Failure) {
    if (GSerialErrorEcho) std::fprintf(stderr, "%s\n", Failure.Text.c_str());
    std::lock_guard Lock(GLock);
    GLastSerialFailure = std::move(Failure);
}

}  // namespace

void ReportSerialError(const std::string& Name) {
    const int Code = errno;
    char Buffer[512];
    std::snprintf(Buffer, sizeof Buffer, "PMI:%s failed. Error code=%d", Name.c_str(), Code);
    RecordFailure({TFailureKind::OsError, Code, Buffer});
}

void SetSerialErrorEcho(bool On) {
    GSerialErrorEcho = On;
}

void RecordSerialError(const std::string& Text) {
    RecordFailure({TFailureKind::Network, 0, Text});
}

TFailure TakeLastSerialFailure() {
    std::lock_guard Lock(GLock);
    return std::exchange(GLastSerialFailure, TFailure{});
}

std::string GetLastSerialError() {
    return TakeLastSerialFailure().Text;
}

std::string GetDelimitedField(const std::string& Text, int Index, char Separator) {
    std::string S = Trim(Text);
    for (int I = 0; I < Index; ++I) {
        const size_t At = S.find(Separator);
        if (At == std::string::npos) return {};
        S = Trim(std::string_view(S).substr(At + 1));
    }
    if (const size_t At = S.find(Separator); At != std::string::npos)
        S = Trim(std::string_view(S).substr(0, At));
    return S;
}

std::string BytesToString(std::string_view Bytes) {
    std::string Result;
    Result.reserve(Bytes.size());
    for (char C : Bytes) {
        const auto B = static_cast<unsigned char>(C);
        if (B < 0x80) {
            Result += C;
        } else {
            Result += static_cast<char>(0xC0 | (B >> 6));
            Result += static_cast<char>(0x80 | (B & 0x3F));
        }
    }
    return Result;
}

namespace {

// Length of the well-formed UTF-8 sequence at S[At], or 0 when the byte there does not start one.
size_t Utf8SequenceLength(std::string_view S, size_t At) {
    const auto Byte = [&](size_t I) { return static_cast<unsigned char>(S[I]); };
    const unsigned char Lead = Byte(At);
    size_t Length;
    unsigned char Low = 0x80, High = 0xBF;  // the range allowed for the second byte
    if (Lead >= 0xC2 && Lead <= 0xDF)
        Length = 2;
    else if (Lead >= 0xE0 && Lead <= 0xEF) {
        Length = 3;
        if (Lead == 0xE0) Low = 0xA0;   // overlong
        if (Lead == 0xED) High = 0x9F;  // surrogates
    } else if (Lead >= 0xF0 && Lead <= 0xF4) {
        Length = 4;
        if (Lead == 0xF0) Low = 0x90;   // overlong
        if (Lead == 0xF4) High = 0x8F;  // above U+10FFFF
    } else
        return 0;
    if (At + Length > S.size()) return 0;
    if (Byte(At + 1) < Low || Byte(At + 1) > High) return 0;
    for (size_t I = 2; I < Length; ++I)
        if ((Byte(At + I) & 0xC0) != 0x80) return 0;
    return Length;
}

}  // namespace

std::string StringToBytes(std::string_view Text) {
    std::string Result;
    Result.reserve(Text.size());
    for (size_t I = 0; I < Text.size();) {
        const auto Lead = static_cast<unsigned char>(Text[I]);
        const size_t Length = Lead < 0x80 ? 0 : Utf8SequenceLength(Text, I);
        if (Length == 0) {  // ASCII, or a stray byte that passes as itself
            Result += Text[I++];
            continue;
        }
        // Only the low 8 bits survive: the last byte's 6 bits and 2 more from the byte before it.
        const auto Last = static_cast<unsigned char>(Text[I + Length - 1]);
        const auto Before = static_cast<unsigned char>(Text[I + Length - 2]);
        Result += static_cast<char>(((Before & 0x03) << 6) | (Last & 0x3F));
        I += Length;
    }
    return Result;
}

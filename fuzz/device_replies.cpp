// The driver against a board that answers anything. The input is the board's side of the
// conversation: its replies in order, separated by CR (so every exchange gets its line at once and
// none waits out the deadline); once they run out, every command gets an empty line. The driver
// identifies the board, makes one monitor tick and reads the whole configuration. Only the range
// and conversion errors of bad replies may leave it; identification keeps its word (the version
// is the trimmed first reply, the program has the length the board reported); and nothing but
// the board's command set goes out on the line.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Device_VL.h"
#include "Errors.h"
#include "FuzzSupport.h"
#include "SerialPort.h"

using velfuzz::Check;

namespace {

namespace fs = std::filesystem;

const char* const PortName = "COM7";
// Short enough that a reply always fits the pty's buffer in one write: no reply can spill over
// into the next exchange.
constexpr size_t MaxReplyLength = 512;

// The board: the master side of one pseudo-terminal for the whole process, served by a thread.
class TResponder {
public:
    TResponder() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) std::abort();
        const std::string SlavePath = ptsname(FMaster);
        // Holding the other side open ourselves keeps the pty (and its raw mode) alive between the
        // driver's sessions, so the master never sees a hang-up.
        FSlave = open(SlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios Tio{};
        if (FSlave < 0 || tcgetattr(FSlave, &Tio) != 0) std::abort();
        cfmakeraw(&Tio);
        tcsetattr(FSlave, TCSANOW, &Tio);
        fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);

        std::string Template =
            (fs::is_directory("/dev/shm") ? std::string("/dev/shm") : std::string("/tmp")) +
            "/velmorant-fuzz-XXXXXX";
        if (mkdtemp(Template.data()) == nullptr) std::abort();
        FFolder = Template;
        setenv("XDG_CONFIG_HOME", FFolder.c_str(), 1);
        const fs::path Links = fs::path(SerialPortLinksFolder()) / "ports";
        fs::create_directories(Links);
        fs::create_symlink(SlavePath, Links / PortName);
        std::thread(&TResponder::Serve, this).detach();
    }

    // The replies for the next session; forgets the commands of the last one.
    void Load(std::vector<std::string> Replies) {
        std::lock_guard<std::mutex> Lock(FMutex);
        FReplies = std::move(Replies);
        FNext = 0;
        FPartial.clear();
        FCommands.clear();
    }

    std::vector<std::string> Commands() const {
        std::lock_guard<std::mutex> Lock(FMutex);
        return FCommands;
    }

    const std::string& Folder() const { return FFolder; }

private:
    void Serve() {
        for (;;) {
            pollfd Fd{FMaster, POLLIN, 0};
            if (poll(&Fd, 1, -1) < 0) continue;
            char Buffer[4096];
            const ssize_t Count = read(FMaster, Buffer, sizeof Buffer);
            if (Count <= 0) {
                // Nothing to read (or a transient error): wait a little instead of spinning.
                poll(nullptr, 0, 1);
                continue;
            }
            std::lock_guard<std::mutex> Lock(FMutex);
            for (ssize_t I = 0; I < Count; ++I) {
                if (Buffer[I] != '\r') {
                    FPartial += Buffer[I];
                    continue;
                }
                // A lone CR only ends a partial command; the board does not answer it.
                if (!FPartial.empty()) {
                    FCommands.push_back(FPartial);
                    Reply(FNext < FReplies.size() ? FReplies[FNext++] : std::string());
                }
                FPartial.clear();
            }
        }
    }

    void Reply(const std::string& Text) {
        const std::string Line = Text + "\r";
        size_t Done = 0;
        while (Done < Line.size()) {
            const ssize_t Count = write(FMaster, Line.data() + Done, Line.size() - Done);
            if (Count > 0) {
                Done += static_cast<size_t>(Count);
            } else {
                pollfd Fd{FMaster, POLLOUT, 0};
                if (poll(&Fd, 1, 100) <= 0) return;  // the driver has stopped reading
            }
        }
    }

    int FMaster = -1;
    int FSlave = -1;
    std::string FFolder;
    mutable std::mutex FMutex;
    std::vector<std::string> FReplies;
    size_t FNext = 0;
    std::string FPartial;
    std::vector<std::string> FCommands;
};

TResponder& Responder() {
    static TResponder* Instance = [] {
        auto* Created = new TResponder();  // lives as long as its thread: to the end of the process
        std::atexit([] {
            std::error_code Ignored;
            fs::remove_all(Responder().Folder(), Ignored);
        });
        return Created;
    }();
    return *Instance;
}

std::vector<std::string> SplitReplies(const std::string& Input) {
    std::vector<std::string> Replies;
    size_t Start = 0;
    while (Start <= Input.size()) {
        size_t End = Input.find('\r', Start);
        if (End == std::string::npos) End = Input.size();
        Replies.push_back(Input.substr(Start, std::min(End - Start, MaxReplyLength)));
        Start = End + 1;
    }
    return Replies;
}

bool IsDigits(const std::string& Text, size_t From) {
    if (From >= Text.size()) return false;
    for (size_t I = From; I < Text.size(); ++I)
        if (Text[I] < '0' || Text[I] > '9') return false;
    return true;
}

// The commands identification, the monitor and the configuration read may send.
bool IsBoardCommand(const std::string& Command) {
    static const char* const Fixed[] = {"VER",  "PC",   "TEMP",   "RECALL", "UR?",
                                        "PU0?", "PU2?", "PLCEN?", "PLCRM?"};
    for (const char* Text : Fixed)
        if (Command == Text) return true;
    const auto Indexed = [&](const std::string& Prefix, int Count) {
        return Command.size() == Prefix.size() + 1 && Command.rfind(Prefix, 0) == 0 &&
               Command.back() >= '0' && Command.back() < '0' + Count;
    };
    if (Indexed("PRTRD", 6) || Indexed("DIRRD", 6) || Indexed("ADC", 5) || Indexed("AORD", 5)) return true;
    return Command.rfind("PLCRD", 0) == 0 && IsDigits(Command, 5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Input = velfuzz::AsString(Data, Size);
    const std::vector<std::string> Replies = SplitReplies(Input);
    TResponder& Board = Responder();
    Board.Load(Replies);

    TVelmorant Device;
    const bool Found = Device.FindDevice(PortName);
    const std::string Version = velfuzz::TrimControl(Replies[0]);
    if (Found) {
        Check(Device.Version() == Version, "the version is not the trimmed reply to VER", Input);
        Check(TVelmorant::IsVersionText(Version), "a board was found with a reply to VER that is no version",
              Input);
    }
    Check(Device.ProgramLineCount() >= 0, "negative program length", Input);
    if (TVelmorant::IsVersionText(Version)) {
        Check(Device.ProgramLineCount() == Device.ReportedProgramLineCount(),
              "the program does not have the length the board reported", Input);
        Check(Found == (Device.ReportedProgramLineCount() > 0),
              "identification disagrees with the line count", Input);
    }

    if (Device.DevicePresent()) {
        for (int Port = 0; Port < Device.PortCount(); ++Port) Device.ReadPortStateOrZero(Port);
        for (int Analog = 0; Analog < TVelmorant::AnalogInputCount; ++Analog)
            Device.ReadAnalogInputValueOrZero(Analog);
        Device.ReadTemperatureOrZero();
        const int Lines = Device.ProgramLineCount();
        try {
            Device.RetrieveSettings(true);
        } catch (const ERangeError&) {
            // A direction outside 0..255 ends the read: an expected way out.
        } catch (const EConvertError&) {
            // A program line that is not hexadecimal: likewise.
        }
        Check(Device.ProgramLineCount() == Lines, "reading the configuration changed the program length",
              Input);
    }
    Device.Disconnect();

    for (const std::string& Command : Board.Commands())
        Check(IsBoardCommand(Command), ("a command outside the board's set: " + Command).c_str(), Input);
    return 0;
}

#include "DataJournal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

#include "DataLogger.h"
#include "Errors.h"
#include "FileUtil.h"

namespace {

constexpr int64_t SyncEveryMs = 1000;
const char* const Prefix = "datalog-";
const char* const Suffix = ".journal";

std::string Record(char Kind, const std::string& Text) {
    return Kind + Text + '\n';
}

std::string FolderOf(const std::string& Path) {
    const size_t Slash = Path.rfind('/');
    return Slash == std::string::npos ? std::string(".") : Path.substr(0, Slash + 1);
}

// A new file's name is only safe once its folder is on the disk too.
void SyncFolder(const std::string& Folder) {
    const int Fd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0) return;
    fsync(Fd);
    close(Fd);
}

bool ReadAll(int Fd, std::string& Text) {
    char Buffer[65536];
    for (;;) {
        const ssize_t N = read(Fd, Buffer, sizeof Buffer);
        if (N < 0 && errno == EINTR) continue;
        if (N < 0) return false;
        if (N == 0) return true;
        Text.append(Buffer, static_cast<size_t>(N));
    }
}

struct TStretch {
    std::string Target, Header;
    std::vector<std::string> Rows;
};

// The stretches of rows in journal Text, each under the target and header that came before it.
std::vector<TStretch> Parse(const std::string& Text) {
    std::vector<TStretch> Stretches;
    std::string Target, Header;
    bool Changed = true;
    for (size_t Start = 0; Start < Text.size();) {
        const size_t End = Text.find('\n', Start);
        if (End == std::string::npos) break;  // cut by the crash
        const char Kind = End > Start ? Text[Start] : '\0';
        std::string Value = End > Start ? Text.substr(Start + 1, End - Start - 1) : std::string();
        Start = End + 1;
        if (Kind == 'T' && Value != Target) {
            Target = std::move(Value);
            Changed = true;
        } else if (Kind == 'H' && Value != Header) {
            Header = std::move(Value);
            Changed = true;
        } else if (Kind == 'R' && !Target.empty()) {
            if (Changed) Stretches.push_back({Target, Header, {}});
            Changed = false;
            Stretches.back().Rows.push_back(std::move(Value));
        }
    }
    return Stretches;
}

// True when every complete line of Text is a record this version writes: anything else may hold rows
// in a form it cannot tell apart, so such a file is never taken as empty.
bool Readable(const std::string& Text) {
    for (size_t Start = 0; Start < Text.size();) {
        const size_t End = Text.find('\n', Start);
        const char Kind = Text[Start];
        if (Kind != 'T' && Kind != 'H' && Kind != 'R') return false;
        if (End == std::string::npos) break;  // cut by the crash
        Start = End + 1;
    }
    return true;
}

// Gives Path a name no journal has (and no other file: link fails on a taken name). The new name,
// or empty when none could be made.
std::string KeepAside(const std::string& Path) {
    for (int Copy = 1; Copy <= 1000; ++Copy) {
        const std::string Name = Path + (Copy > 1 ? '-' + std::to_string(Copy) : "") + ".unreadable";
        if (link(Path.c_str(), Name.c_str()) == 0) {
            unlink(Path.c_str());
            return Name;
        }
        if (errno != EEXIST) break;
    }
    return {};
}

std::string Serialize(const std::vector<TStretch>& Stretches) {
    std::string Text;
    for (const TStretch& S : Stretches) {
        Text += Record('T', S.Target) + Record('H', S.Header);
        for (const std::string& Row : S.Rows) Text += Record('R', Row);
    }
    return Text;
}

TJournalRecovery Recover(const std::string& Path, int Fd, const std::function<double()>& Clock) {
    TJournalRecovery Result;
    std::string Text;
    if (!ReadAll(Fd, Text)) {
        Result.Error = "Cannot read \"" + Path + "\". " + std::strerror(errno);
        return Result;
    }
    if (!Readable(Text)) {
        Result.KeptAside = KeepAside(Path);
        Result.Error = "\"" + Path + "\" is not a data log journal this version can read; " +
                       (Result.KeptAside.empty() ? "it was left as it is."
                                                 : "it was kept as \"" + Result.KeptAside + "\".");
        return Result;
    }
    std::vector<TStretch> Left;
    for (TStretch& S : Parse(Text)) {
        Result.Rows += static_cast<int>(S.Rows.size());
        TDataLogger Logger(S.Target, S.Header, 0, {loAppendTimestampToFilename}, Clock);
        for (const std::string& Row : S.Rows) Logger.AddLine(Row);
        try {
            Result.Files.push_back(Logger.SaveToFile());
        } catch (const EFileError& E) {
            Result.Error = E.what();
            Left.push_back(std::move(S));
        }
    }
    if (Left.empty()) {
        unlink(Path.c_str());
        return Result;
    }
    // Keep only what is still unsaved, so that no row is recovered twice.
    const std::string Temp = Path + ".tmp";
    const int Out = open(Temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (Out >= 0 && WriteSyncAndClose(Out, Serialize(Left)) == 0) rename(Temp.c_str(), Path.c_str());
    return Result;
}

}  // namespace

int64_t MonotonicMillisecs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TDataJournal::TDataJournal(std::string Path, TTickClock Ticks)
    : FPath(std::move(Path)), FTicks(Ticks ? std::move(Ticks) : TTickClock(&MonotonicMillisecs)) {}

TDataJournal::~TDataJournal() {
    if (FFd >= 0 && !FHoldsRows) unlink(FPath.c_str());
    Close();
}

void TDataJournal::Close() {
    if (FFd < 0) return;
    if (FUnsynced) fdatasync(FFd);
    close(FFd);  // releases the lock
    FFd = -1;
}

void TDataJournal::Append(const std::string& Target, const std::vector<std::string>& Lines) {
    if (Lines.size() < 2) return;
    if (FFd < 0 && !Open()) {
        FBroken = true;
        return;
    }
    if (FCutPending && ftruncate(FFd, 0) == 0 && lseek(FFd, 0, SEEK_SET) == 0) FCutPending = false;
    const size_t Rows = Lines.size() - 1;
    if (FRowsHeld > Rows) FRowsHeld = 0;  // a buffer that shrank without Reset starts over
    std::string Text;
    if (Target != FTarget) Text += Record('T', Target);
    if (Lines.front() != FHeader) Text += Record('H', Lines.front());
    for (size_t I = 1 + FRowsHeld; I < Lines.size(); ++I) Text += Record('R', Lines[I]);
    // A full disk: the rows already in the file stay, the missing ones go with the next row.
    if (!Write(Text)) {
        FBroken = true;
        return;
    }
    const bool Retried = FBroken;
    FBroken = false;
    FRowsHeld = Rows;
    FTarget = Target;
    FHeader = Lines.front();
    FHoldsRows = true;
    FUnsynced = true;
    const int64_t Now = FTicks();
    if ((Retried || Now - FLastSync >= SyncEveryMs) && fdatasync(FFd) == 0) {
        FUnsynced = false;
        FLastSync = Now;
    }
}

void TDataJournal::Reset() {
    FRowsHeld = 0;
    FHoldsRows = false;
    FBroken = false;
    if (FFd < 0) return;
    FTarget.clear();
    FHeader.clear();
    // Only rows already saved (or cleared on purpose) are cut. When the cut fails they stay, and the
    // cut is tried again before the next row goes in.
    FCutPending = ftruncate(FFd, 0) != 0 || lseek(FFd, 0, SEEK_SET) != 0;
}

bool TDataJournal::Write(const std::string& Text) {
    const off_t Before = lseek(FFd, 0, SEEK_END);
    for (size_t Done = 0; Done < Text.size();) {
        const ssize_t N = write(FFd, Text.data() + Done, Text.size() - Done);
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0) {
            // A half record would hide the rows written after it: cut it off, and only it.
            if (Before >= 0 && ftruncate(FFd, Before) == 0) lseek(FFd, Before, SEEK_SET);
            return false;
        }
        Done += static_cast<size_t>(N);
    }
    return true;
}

bool TDataJournal::Open() {
    // The file is locked before it carries a journal's name, so that a starting instance never takes
    // it for one left behind; link() publishes it only under a name no file has.
    const std::string Folder = FolderOf(FPath);
    const std::string Temp = Folder + "." + NewName("") + ".new";
    const int Fd = open(Temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (Fd < 0) return false;
    bool Published = false;
    if (flock(Fd, LOCK_EX | LOCK_NB) == 0) {
        for (int Attempt = 0; Attempt < 100 && !Published; ++Attempt) {
            Published = link(Temp.c_str(), FPath.c_str()) == 0;
            if (!Published && errno != EEXIST) break;
            if (!Published) FPath = NewName(Folder);
        }
    }
    unlink(Temp.c_str());
    if (!Published) {
        close(Fd);
        return false;
    }
    FFd = Fd;
    SyncFolder(Folder);
    return true;
}

std::string TDataJournal::NewName(const std::string& Folder) {
    static std::atomic<int> Counter{0};
    // The process id alone repeats across reboots and containers; the time and a random part do not.
    static const uint32_t Random = std::random_device()();
    const auto Millisecs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    char Unique[64];
    std::snprintf(Unique, sizeof Unique, "%d-%llx-%08x-%d", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(Millisecs), Random, ++Counter);
    return Folder + Prefix + Unique + Suffix;
}

std::vector<TJournalRecovery> RecoverJournals(const std::string& Folder, std::function<double()> Clock) {
    std::vector<std::string> Names;
    if (DIR* Dir = opendir(Folder.c_str())) {
        while (const dirent* Entry = readdir(Dir)) {
            const std::string Name = Entry->d_name;
            const size_t P = std::strlen(Prefix), S = std::strlen(Suffix);
            if (Name.size() > P + S && Name.compare(0, P, Prefix) == 0 &&
                Name.compare(Name.size() - S, S, Suffix) == 0)
                Names.push_back(Name);
        }
        closedir(Dir);
    }
    std::sort(Names.begin(), Names.end());
    std::vector<TJournalRecovery> Results;
    for (const std::string& Name : Names) {
        const std::string Path = Folder + Name;
        const int Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (Fd < 0) continue;
        // A journal that a running logger holds is not left behind.
        if (flock(Fd, LOCK_EX | LOCK_NB) == 0) {
            TJournalRecovery R = Recover(Path, Fd, Clock);
            if (R.Rows > 0 || !R.Error.empty()) Results.push_back(std::move(R));
        }
        close(Fd);
    }
    return Results;
}

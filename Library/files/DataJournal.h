#pragma once
// The data log's journal: the rows not yet saved, kept on disk as they arrive so that a crash, a kill
// or a power cut loses none of them. Rows left behind are saved into a log file at the next start.
//
// A journal is a text file of records, one a line, each a letter and its text: "T" the target file,
// "H" the header line, "R" a row (UTF-8, as held in memory). A row applies to the target and header
// before it. A last line without its LF was cut by the crash and is ignored. A running logger holds a
// lock on its journal, so that another instance never recovers it. A journal is only ever appended to
// while it holds rows not saved: a failed append leaves the file as it was and is tried again with
// the next row; only rows already saved (or cleared on purpose) are ever cut away.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Milliseconds on a monotonic clock: wall-clock steps do not move it.
using TTickClock = std::function<int64_t()>;

// Milliseconds since an arbitrary point, from the system's monotonic clock.
int64_t MonotonicMillisecs();

class TDataJournal {
public:
    // Touches no file until the first row, which creates Path (never an existing file: a taken name
    // gets a fresh one in the same folder, see Path()). Ticks decide when to sync; defaults to
    // MonotonicMillisecs.
    TDataJournal(std::string Path, TTickClock Ticks = TTickClock());
    // Removes the journal when it holds no row, else leaves it for recovery.
    ~TDataJournal();
    TDataJournal(const TDataJournal&) = delete;
    TDataJournal& operator=(const TDataJournal&) = delete;

    // Appends the rows of Lines (the header, then every row not yet saved) that the journal lacks,
    // creating it when needed. Rows reach the kernel at once and the disk at most about a second
    // later. After a failure (a full disk) the file stays as it was, and the next call appends what
    // is still missing. Never throws.
    void Append(const std::string& Target, const std::vector<std::string>& Lines);
    // The rows handed over so far need no recovery any more (saved, or cleared on purpose).
    void Reset();
    // True when the journal holds every row appended since the last Saved (or none was appended).
    bool Holds() const { return !FBroken; }
    const std::string& Path() const { return FPath; }

    // A new journal name in Folder ("datalog-<pid>-<time>-<random>.journal"), which another run
    // (one with the same process id after a reboot, in a container) does not come up with; Folder
    // ends in "/".
    static std::string NewName(const std::string& Folder);

private:
    bool Write(const std::string& Text);
    bool Open();
    void Close();

    std::string FPath;
    TTickClock FTicks;
    int FFd = -1;
    bool FBroken = false;
    bool FHoldsRows = false;
    bool FCutPending = false;  // rows already saved are still in the file (a cut failed)
    size_t FRowsHeld = 0;      // rows of the logger's buffer that are in the file
    bool FUnsynced = false;
    int64_t FLastSync = 0;
    std::string FTarget, FHeader;  // the last of each written to the journal
};

// What the recovery of one journal came to.
struct TJournalRecovery {
    int Rows = 0;                    // rows found in the journal
    std::vector<std::string> Files;  // the log files written
    std::string Error;               // why some rows could not be saved (they stay in the journal)
    // A journal this version cannot read is never deleted: it is renamed to this name (and Error
    // says so), where no later start tries it again.
    std::string KeptAside;
};

// Saves the rows of every journal in Folder that no running logger holds, each stretch into a
// time-stamped file of its target under its header, as an hourly save would; removes the journals
// saved. Clock gives the local time for the names (defaults to Now()).
std::vector<TJournalRecovery> RecoverJournals(const std::string& Folder,
                                              std::function<double()> Clock = std::function<double()>());

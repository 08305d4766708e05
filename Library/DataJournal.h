#pragma once
// The data log's journal: the rows not yet saved, kept on disk as they arrive so that a crash, a kill
// or a power cut loses none of them. Rows left behind are saved into a log file at the next start.
//
// A journal is a text file of records, one a line, each a letter and its text: "T" the target file,
// "H" the header line, "R" a row (UTF-8, as held in memory). A row applies to the target and header
// before it. A last line without its LF was cut by the crash and is ignored. A running logger holds a
// lock on its journal, so that another instance never recovers it.
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
    // Touches no file until the first row. Ticks decide when to sync; defaults to MonotonicMillisecs.
    TDataJournal(std::string Path, TTickClock Ticks = TTickClock());
    // Removes the journal when it holds no row, else leaves it for recovery.
    ~TDataJournal();
    TDataJournal(const TDataJournal&) = delete;
    TDataJournal& operator=(const TDataJournal&) = delete;

    // Appends the last of Lines (the header, then every row not yet saved), creating the journal when
    // needed. Rows reach the kernel at once and the disk at most about a second later. After a failure
    // the next call rewrites the whole journal from Lines. Never throws.
    void Append(const std::string& Target, const std::vector<std::string>& Lines);
    // The rows handed over so far need no recovery any more (saved, or cleared on purpose).
    void Reset();
    // True when the journal holds every row appended since the last Saved (or none was appended).
    bool Holds() const { return !FBroken; }
    const std::string& Path() const { return FPath; }

    // A new journal name in Folder ("datalog-<pid>-<n>.journal"); Folder ends in "/".
    static std::string NewName(const std::string& Folder);

private:
    bool Write(const std::string& Text);
    bool Rewrite(const std::string& Target, const std::vector<std::string>& Lines);
    void Close();

    std::string FPath;
    TTickClock FTicks;
    int FFd = -1;
    bool FBroken = false;
    bool FHoldsRows = false;
    bool FUnsynced = false;
    int64_t FLastSync = 0;
    std::string FTarget, FHeader;  // the last of each written to the journal
};

// What the recovery of one journal came to.
struct TJournalRecovery {
    int Rows = 0;                    // rows found in the journal
    std::vector<std::string> Files;  // the log files written
    std::string Error;               // why some rows could not be saved (they stay in the journal)
};

// Saves the rows of every journal in Folder that no running logger holds, each stretch into a
// time-stamped file of its target under its header, as an hourly save would; removes the journals
// saved. Clock gives the local time for the names (defaults to Now()).
std::vector<TJournalRecovery> RecoverJournals(const std::string& Folder,
                                              std::function<double()> Clock = std::function<double()>());

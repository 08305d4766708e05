#pragma once
// Buffered, time-stamped CSV rows under a fixed header, written to time-stamped files.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DataJournal.h"
#include "TimeoutMgr.h"

enum TDataLogOption : uint8_t {
    loAppendTimestampToFilename = 0,
    loAutosaveAtIntervals = 1,
    loClearWhenSaved = 2
};

// A set of options: bit n stands for the option of ordinal n.
class TDataLogOptions {
public:
    constexpr TDataLogOptions() = default;
    constexpr TDataLogOptions(std::initializer_list<TDataLogOption> Options) {
        for (auto o : Options) FBits |= static_cast<uint8_t>(1u << o);
    }
    constexpr bool Contains(TDataLogOption o) const { return (FBits >> o) & 1u; }
    constexpr uint8_t Bits() const { return FBits; }
    constexpr bool operator==(const TDataLogOptions&) const = default;

private:
    uint8_t FBits = 0;
};

// Where the logger reads "now" (local time, for stamps and names); tests step it by hand.
using TClock = std::function<TDateTime()>;

class TDataLogger {
public:
    // Touches no file; the autosave clock starts now. Clock defaults to Now(); the autosave interval is
    // measured on Ticks (default MonotonicMillisecs), so that wall-clock steps do not move it.
    TDataLogger(std::string Filename, std::string HeaderLine, int AutosaveIntervalInSecs,
                TDataLogOptions Options, TClock Clock = TClock(), TTickClock Ticks = TTickClock());
    // Drops rows not yet saved from memory; a journal keeps them for recovery.
    ~TDataLogger();
    TDataLogger(TDataLogger&&) = default;

    // From now on every row is also kept in the journal file Path until it is saved (TDataJournal).
    void SetJournal(const std::string& Path);
    // False when some row not yet saved could not be put into the journal (or there is none).
    bool JournalHoldsRows() const { return FJournal && FJournal->Holds(); }
    // Appends a line already formed (time stamp, comma, entry), without autosave or journal.
    void AddLine(const std::string& Line) { FDataBuffer.push_back(Line); }

    // Appends "<time stamp>,<Entry>"; saves when an autosave is due. Always true; failures throw.
    bool AddValue(TDateTime Time, const std::string& Entry);
    // Back to the header line alone.
    void Clear();
    // Writes the whole buffer (to DataFilename when Filename is empty) in the locale's narrow encoding,
    // CR LF after every line; throws EFileError on failure, keeping the rows and the save time.
    // A time-stamped name never replaces a file: a taken name becomes "<name> (2)<ext>", "(3)", ...
    // A name without time stamp is replaced. Returns the name of the file written.
    std::string SaveToFile(const std::string& Filename = std::string());

    int Count() const { return static_cast<int>(FDataBuffer.size()) - 1; }
    int AutosaveInterval() const { return FAutosaveInterval; }
    void SetAutosaveInterval(int Value) { FAutosaveInterval = Value; }
    const std::string& DataFilename() const { return FDataFilename; }
    void SetDataFilename(const std::string& Value) { FDataFilename = Value; }
    TDataLogOptions Options() const { return FOptions; }
    void SetOptions(TDataLogOptions Value) { FOptions = Value; }
    TDateTime LastSaveTime() const { return FLastSaveTime; }

    // The "c" time stamp of the locale: date, blank, time; the date alone at exactly midnight.
    // Holding a comma or a double quote, it comes back quoted with inner quotes doubled.
    static std::string FormatTimeStamp(TDateTime Time);
    // FormatTimeStamp with strftime formats of its own instead of the locale's "%x" and "%X".
    static std::string FormatTimeStamp(TDateTime Time, const char* DateFormat, const char* TimeFormat);
    // Target with " yyyy-mm-dd hh-mm-ss" of At inserted before its extension ("/" separates folders;
    // the extension is cut at its first occurrence in the name, letters compared without case).
    // Copy > 1 adds " (Copy)" after the stamp.
    static std::string TimestampedName(const std::string& Target, TDateTime At, int Copy = 1);

private:
    std::string FormatEntry(TDateTime Time, const std::string& Entry) const;

    int FAutosaveInterval;
    std::vector<std::string> FDataBuffer;
    std::string FDataHeader;
    std::string FDataFilename;
    TDateTime FLastSaveTime;
    TDataLogOptions FOptions;
    TClock FClock;
    TTickClock FTicks;
    int64_t FLastSaveTick;
    std::unique_ptr<TDataJournal> FJournal;
};

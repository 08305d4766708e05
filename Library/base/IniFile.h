#pragma once
// INI profile file: read one key with a default, write one key in place.
// Section and key names match without regard to (ASCII) case; blanks around names and values and one
// pair of matching quotes around a value are ignored on reading; ";" lines and lines that are neither
// a section nor a key are kept but ignored. Every write goes through a temporary file renamed over the
// old one, so a failed write leaves the old file as it was. A value cannot hold a line break: CR and LF
// are written as blanks. A value that would not read back as written (blanks at either end, or a pair
// of matching quotes around it) is written in double quotes.
#include <sys/types.h>

#include <string>
#include <vector>

class TIniFile {
public:
    static constexpr size_t MaxValueLength = 2047;

    explicit TIniFile(std::string FileName);
    const std::string& FileName() const { return FFileName; }

    // The value (blanks around it and one pair of matching quotes removed, at most 2047 characters),
    // or Default when the key is missing.
    std::string ReadString(const std::string& Section, const std::string& Key,
                           const std::string& Default) const;
    // The value read as an integer ("0x" read as "$"), Default when missing, empty or no number.
    int ReadInteger(const std::string& Section, const std::string& Key, int Default) const;
    // ReadInteger with Default as 0/1; any non-zero number is true.
    bool ReadBool(const std::string& Section, const std::string& Key, bool Default) const;
    // Replaces the key's value in place, or adds the key at the end of its section, or the section
    // at the end of the file. Throws EFileError "Unable to write to %s" when the file cannot be written.
    void WriteString(const std::string& Section, const std::string& Key, const std::string& Value);
    void WriteInteger(const std::string& Section, const std::string& Key, int Value);
    void WriteBool(const std::string& Section, const std::string& Key, bool Value);
    // Removes the section with its keys (and the blank lines before the next one); nothing to do
    // when it is missing. Throws as WriteString does.
    void EraseSection(const std::string& Section);
    // The number (from 1) of the key's line in the file, 0 when the key is missing.
    int KeyLine(const std::string& Section, const std::string& Key) const;
    // True when the section exists in the file.
    bool SectionExists(const std::string& Section) const;
    // The section names in file order.
    std::vector<std::string> ReadSections() const;
    // True when the file exists and is a regular file that can be read.
    bool FileReadable() const;
    // Empty when FileReadable(), else the system's reason ("No such file or directory").
    std::string OpenError() const;

private:
    enum TLineKind { lkOther, lkSection, lkKey };
    struct TLine {
        std::string Text;  // without its line end
        std::string Eol;   // "\n", "\r\n" or "" (last line without one)
        TLineKind Kind = lkOther;
        std::string Name;     // section or key name, lower case
        size_t ValuePos = 0;  // keys: where the value starts in Text (just after "=")
    };
    // What identifies one version of the file on disk.
    struct TStamp {
        bool Exists = false;
        dev_t Dev = 0;
        ino_t Ino = 0;
        off_t Size = 0;
        long MTimeSec = 0, MTimeNSec = 0, CTimeSec = 0, CTimeNSec = 0;
        bool operator==(const TStamp&) const = default;
    };

    static TStamp StampOf(const std::string& FileName);
    static std::vector<TLine> Parse(const std::string& Text);
    static void Classify(TLine& Line);
    // Reloads the cached lines when the file on disk is not the one they came from.
    void Refresh() const;
    // Index of the section's header line, or -1.
    int FindSection(const std::string& LowerSection) const;
    // Index of the key's line in the section starting at SectionLine, or -1.
    int FindKey(int SectionLine, const std::string& LowerKey) const;
    // Replaces the file with Lines (temporary file, fsync, rename); the cache follows only on success.
    void Store(std::vector<TLine> Lines);

    std::string FFileName;
    mutable std::vector<TLine> FLines;
    mutable TStamp FStamp;
    mutable bool FLoaded = false;
    mutable bool FReadFailed = false;  // the file exists but could not be read
};

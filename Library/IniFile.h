#pragma once
// INI profile file: read one key with a default, write one key in place.
// Section and key names match without regard to case; every write goes through a temporary
// file renamed over the old one, so a failed write leaves the old file as it was.
#include <string>
#include <vector>

class TIniFile {
public:
    static constexpr size_t MaxValueLength = 2047;

    explicit TIniFile(std::string FileName);
    const std::string& FileName() const { return FFileName; }

    // The value (blanks around it and one pair of matching quotes removed, at most 2047 characters),
    // or Default when the key is missing.
    std::string ReadString(const std::string& Section, const std::string& Key, const std::string& Default) const;
    // The value read as an integer ("0x" read as "$"), Default when missing, empty or no number.
    int ReadInteger(const std::string& Section, const std::string& Key, int Default) const;
    // ReadInteger with Default as 0/1; any non-zero number is true.
    bool ReadBool(const std::string& Section, const std::string& Key, bool Default) const;
    // Replaces the key's value in place, or adds the key at the end of its section, or the section
    // at the end of the file. Throws EFileError "Unable to write to %s" when the file cannot be written.
    void WriteString(const std::string& Section, const std::string& Key, const std::string& Value);
    void WriteInteger(const std::string& Section, const std::string& Key, int Value);
    void WriteBool(const std::string& Section, const std::string& Key, bool Value);
    // True when the section exists in the file.
    bool SectionExists(const std::string& Section) const;
    // The section names in file order.
    std::vector<std::string> ReadSections() const;
    // True when the file exists and is a regular file that can be read.
    bool FileReadable() const;

private:
    std::string FFileName;
};

#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Errors.h"
#include "FileUtil.h"
#include "Numbers.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

std::string Unquote(std::string s) {
    if (s.size() >= 2 && IsQuote(s.front()) && s.back() == s.front()) return s.substr(1, s.size() - 2);
    return s;
}

// Cuts a UTF-8 text after Max characters (not bytes, so a character is never split).
std::string CutCharacters(const std::string& s, size_t Max) {
    size_t count = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (count == Max) return s.substr(0, i);
            ++count;
        }
    }
    return s;
}

// The value text as it must stand in the file to read back as Value.
std::string EncodeValue(const std::string& Value) {
    std::string v = Value;
    for (char& c : v)
        if (c == '\r' || c == '\n') c = ' ';
    bool needsQuotes = !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()) ||
                                      (v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front()));
    return needsQuotes ? '"' + v + '"' : v;
}

// What the file must hold after writing Value, as the reader will see it.
std::string StoredValue(const std::string& Value) {
    return Unquote(Trim(EncodeValue(Value)));
}

bool ReadWholeFile(const std::string& FileName, std::string& Text) {
    int fd = open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    Text.clear();
    Text.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        Text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// No write permission bit at all counts as read-only also for root, who would pass access(W_OK):
// the file stands for a read-only file, not for one its owner merely forgot to open up.
bool MayWrite(const std::string& Path, const struct stat& st) {
    return access(Path.c_str(), W_OK) == 0 && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

std::string FolderOf(const std::string& Path) {
    size_t slash = Path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return Path.substr(0, slash);
}

std::atomic<unsigned> TempCounter{0};

}  // namespace

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {}

TIniFile::TStamp TIniFile::StampOf(const std::string& FileName) {
    TStamp stamp;
    struct stat st {};
    if (stat(FileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return stamp;
    stamp.Exists = true;
    stamp.Dev = st.st_dev;
    stamp.Ino = st.st_ino;
    stamp.Size = st.st_size;
    stamp.MTimeSec = st.st_mtim.tv_sec;
    stamp.MTimeNSec = st.st_mtim.tv_nsec;
    stamp.CTimeSec = st.st_ctim.tv_sec;
    stamp.CTimeNSec = st.st_ctim.tv_nsec;
    return stamp;
}

void TIniFile::Classify(TLine& Line) {
    Line.Kind = lkOther;
    Line.Name.clear();
    std::string t = Trim(Line.Text);
    if (t.empty() || t[0] == ';') return;
    if (t[0] == '[') {
        size_t close = t.find(']');
        if (close == std::string::npos) return;
        Line.Kind = lkSection;
        Line.Name = Lower(Trim(t.substr(1, close - 1)));
        return;
    }
    size_t eq = Line.Text.find('=');
    if (eq == std::string::npos) return;
    std::string key = Trim(Line.Text.substr(0, eq));
    if (key.empty()) return;
    Line.Kind = lkKey;
    Line.Name = Lower(key);
    Line.ValuePos = eq + 1;
}

std::vector<TIniFile::TLine> TIniFile::Parse(const std::string& Text) {
    std::vector<TLine> lines;
    size_t pos = 0;
    while (pos < Text.size()) {
        size_t nl = Text.find('\n', pos);
        size_t end = nl == std::string::npos ? Text.size() : nl;
        bool crlf = nl != std::string::npos && end > pos && Text[end - 1] == '\r';
        TLine line;
        line.Text.assign(Text, pos, end - pos - (crlf ? 1 : 0));
        if (nl != std::string::npos) line.Eol.assign(crlf ? "\r\n" : "\n");
        pos = nl == std::string::npos ? Text.size() : nl + 1;
        Classify(line);
        lines.push_back(std::move(line));
    }
    return lines;
}

void TIniFile::Refresh() const {
    TStamp stamp = StampOf(FFileName);
    if (FLoaded && stamp == FStamp) return;
    std::string text;
    FReadFailed = stamp.Exists && !ReadWholeFile(FFileName, text);
    if (FReadFailed) text.clear();
    FLines = Parse(text);
    FStamp = stamp;
    FLoaded = true;
}

int TIniFile::FindSection(const std::string& LowerSection) const {
    for (size_t i = 0; i < FLines.size(); ++i)
        if (FLines[i].Kind == lkSection && FLines[i].Name == LowerSection) return static_cast<int>(i);
    return -1;
}

int TIniFile::FindKey(int SectionLine, const std::string& LowerKey) const {
    for (size_t i = static_cast<size_t>(SectionLine) + 1; i < FLines.size(); ++i) {
        if (FLines[i].Kind == lkSection) break;
        if (FLines[i].Kind == lkKey && FLines[i].Name == LowerKey) return static_cast<int>(i);
    }
    return -1;
}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Key,
                                 const std::string& Default) const {
    Refresh();
    int s = FindSection(Lower(Trim(Section)));
    if (s < 0) return Default;
    int k = FindKey(s, Lower(Trim(Key)));
    if (k < 0) return Default;
    const TLine& line = FLines[static_cast<size_t>(k)];
    return CutCharacters(Unquote(Trim(line.Text.substr(line.ValuePos))), MaxValueLength);
}

int TIniFile::KeyLine(const std::string& Section, const std::string& Key) const {
    Refresh();
    const int s = FindSection(Lower(Trim(Section)));
    const int k = s < 0 ? -1 : FindKey(s, Lower(Trim(Key)));
    return k + 1;
}

int TIniFile::ReadInteger(const std::string& Section, const std::string& Key, int Default) const {
    std::string text = ReadString(Section, Key, std::string());
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.erase(0, 1);
        text[0] = '$';
    }
    int32_t value = 0;
    return TryStrToInt(text, value) ? value : Default;
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Key, bool Default) const {
    return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Key, const std::string& Value) {
    Refresh();
    std::string encoded = EncodeValue(Value);
    int s = FindSection(Lower(Trim(Section)));
    int k = s < 0 ? -1 : FindKey(s, Lower(Trim(Key)));

    std::vector<TLine> lines = FLines;
    std::string eol = "\n";
    for (const TLine& l : lines)
        if (!l.Eol.empty()) {
            eol = l.Eol;
            break;
        }
    auto makeLine = [&](std::string Text) {
        TLine line;
        line.Text = std::move(Text);
        line.Eol = eol;
        Classify(line);
        return line;
    };
    auto terminateLast = [&] {
        if (!lines.empty() && lines.back().Eol.empty()) lines.back().Eol = eol;
    };

    if (k >= 0) {
        TLine& line = lines[static_cast<size_t>(k)];
        std::string old = line.Text.substr(line.ValuePos);
        if (Unquote(Trim(old)) == StoredValue(Value)) return;  // already there: leave the file alone
        size_t lead = 0;
        while (lead < old.size() && (old[lead] == ' ' || old[lead] == '\t')) ++lead;
        line.Text = line.Text.substr(0, line.ValuePos) + old.substr(0, lead) + encoded;
    } else if (s >= 0) {
        size_t at = static_cast<size_t>(s);
        for (size_t i = at + 1; i < lines.size() && lines[i].Kind != lkSection; ++i)
            if (lines[i].Kind == lkKey) at = i;
        if (at + 1 == lines.size()) terminateLast();
        lines.insert(lines.begin() + static_cast<ptrdiff_t>(at) + 1, makeLine(Key + "=" + encoded));
    } else {
        terminateLast();
        if (!lines.empty() && !Trim(lines.back().Text).empty()) lines.push_back(makeLine(""));
        lines.push_back(makeLine("[" + Section + "]"));
        lines.push_back(makeLine(Key + "=" + encoded));
    }
    Store(std::move(lines));
}

void TIniFile::EraseSection(const std::string& Section) {
    Refresh();
    const int s = FindSection(Lower(Trim(Section)));
    if (s < 0) return;
    std::vector<TLine> lines = FLines;
    size_t end = static_cast<size_t>(s) + 1;
    while (end < lines.size() && lines[end].Kind != lkSection) ++end;
    lines.erase(lines.begin() + s, lines.begin() + static_cast<ptrdiff_t>(end));
    Store(std::move(lines));
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Key, int Value) {
    WriteString(Section, Key, std::to_string(Value));
}

void TIniFile::WriteBool(const std::string& Section, const std::string& Key, bool Value) {
    WriteString(Section, Key, Value ? "1" : "0");
}

void TIniFile::Store(std::vector<TLine> Lines) {
    const EFileError failure("Unable to write to " + FFileName);
    // Rewriting a file we could not read would drop every key we did not see.
    if (FReadFailed) throw failure;

    // Write through a symbolic link, not over it.
    std::string target = FFileName;
    struct stat st {};
    bool exists = stat(target.c_str(), &st) == 0;
    if (exists) {
        if (!S_ISREG(st.st_mode) || !MayWrite(target, st)) throw failure;
        struct stat lst {};
        if (lstat(target.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
            char resolved[PATH_MAX];
            if (realpath(target.c_str(), resolved) == nullptr) throw failure;
            target = resolved;
        }
    }
    std::string folder = FolderOf(target);
    struct stat dst {};
    if (stat(folder.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode) || !MayWrite(folder, dst)) throw failure;

    std::string text;
    for (const TLine& l : Lines) text += l.Text + l.Eol;

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(TempCounter++);
        // 0666 lets the umask decide for a new file; an existing file's bits are copied below.
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) throw failure;

    bool ok = true;
    if (exists) {
        ok = fchmod(fd, st.st_mode & 07777) == 0;
        if (ok && (st.st_uid != geteuid() || st.st_gid != getegid()))
            (void)!fchown(fd, st.st_uid, st.st_gid);  // best effort: only root may give files away
    }
    if (ok)
        ok = WriteSyncAndClose(fd, text) == 0;
    else
        close(fd);
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        throw failure;
    }
    FLines = std::move(Lines);
    FStamp = StampOf(FFileName);
    FLoaded = true;
}

bool TIniFile::SectionExists(const std::string& Section) const {
    Refresh();
    return FindSection(Lower(Trim(Section))) >= 0;
}

std::vector<std::string> TIniFile::ReadSections() const {
    Refresh();
    std::vector<std::string> names, seen;
    for (const TLine& l : FLines) {
        if (l.Kind != lkSection) continue;
        bool known = false;
        for (const std::string& s : seen) known = known || s == l.Name;
        if (known) continue;
        seen.push_back(l.Name);
        std::string t = Trim(l.Text);
        names.push_back(Trim(t.substr(1, t.find(']') - 1)));
    }
    return names;
}

bool TIniFile::FileReadable() const {
    return OpenError().empty();
}

std::string TIniFile::OpenError() const {
    struct stat st {};
    if (stat(FFileName.c_str(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(st.st_mode)) return std::strerror(EINVAL);
    if (access(FFileName.c_str(), R_OK) != 0) return std::strerror(errno);
    return std::string();
}

#include "DataLogger.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Errors.h"
#include "FileUtil.h"

namespace {

constexpr long long MSecsPerDay = 86400000;
// Days from 1899-12-30, where TDateTime counts from, to 1970-01-01.
constexpr long long UnixDateDelta = 25569;

struct TDecodedTime {
    int Year, Month, Day, Hour, Min, Sec, MSec, WeekDay, YearDay;
};

// TDateTime holds local time already: the day count and the fraction are the local date and time of day,
// so no time zone enters here. Before 1899-12-30 the day counts down while the time still counts up.
TDecodedTime DecodeDateTime(TDateTime Time) {
    if (!std::isfinite(Time) || std::fabs(Time) > 3.0e6) throw ERangeError("Invalid date and time value");
    double whole = std::trunc(Time);
    long long days = static_cast<long long>(whole);
    long long ms = std::llround(std::fabs(Time - whole) * MSecsPerDay);
    if (ms >= MSecsPerDay) {
        ms -= MSecsPerDay;
        ++days;
    }
    long long z = days - UnixDateDelta + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = static_cast<long long>(yoe) + era * 400 + (m <= 2);

    TDecodedTime t{};
    t.Year = static_cast<int>(y);
    t.Month = static_cast<int>(m);
    t.Day = static_cast<int>(d);
    t.Hour = static_cast<int>(ms / 3600000);
    t.Min = static_cast<int>(ms / 60000 % 60);
    t.Sec = static_cast<int>(ms / 1000 % 60);
    t.MSec = static_cast<int>(ms % 1000);
    long long unixDays = days - UnixDateDelta;
    t.WeekDay = static_cast<int>(((unixDays % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    t.YearDay = static_cast<int>(days - DateToDays(y, 1, 1));
    return t;
}

std::string FormatTm(const char* Format, const std::tm& Tm) {
    if (Format == nullptr || *Format == '\0') return std::string();
    char buffer[512];
    size_t n = std::strftime(buffer, sizeof buffer, Format, &Tm);
    return std::string(buffer, n);
}

// Length of the UTF-8 sequence that starts with Lead (1 for a stray byte).
size_t SequenceLength(unsigned char Lead) {
    if (Lead >= 0xF0 && Lead <= 0xF4) return 4;
    if (Lead >= 0xE0) return Lead <= 0xEF ? 3 : 1;
    if (Lead >= 0xC2) return 2;
    return 1;
}

// The text in the locale's narrow encoding; what it cannot hold becomes "?".
std::string ToLocaleEncoding(const std::string& Text) {
    const char* codeset = nl_langinfo(CODESET);
    if (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0) return Text;

    iconv_t cd = iconv_open(codeset, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::string ascii;
        for (size_t i = 0; i < Text.size();) {
            unsigned char c = static_cast<unsigned char>(Text[i]);
            if (c < 0x80) {
                ascii += Text[i++];
            } else {
                ascii += '?';
                i += std::min(SequenceLength(c), Text.size() - i);
            }
        }
        return ascii;
    }
    std::string out;
    std::string chunk(4096, '\0');
    char* in = const_cast<char*>(Text.data());
    size_t inLeft = Text.size();
    while (inLeft > 0) {
        char* outPtr = chunk.data();
        size_t outLeft = chunk.size();
        size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(chunk.data(), chunk.size() - outLeft);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // EILSEQ or EINVAL: a character the code page lacks, or a broken sequence.
            size_t skip = std::min(SequenceLength(static_cast<unsigned char>(*in)), inLeft);
            in += skip;
            inLeft -= skip;
            out += '?';
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    char* outPtr = chunk.data();
    size_t outLeft = chunk.size();
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);  // the closing shift sequence of stateful encodings
    out.append(chunk.data(), chunk.size() - outLeft);
    iconv_close(cd);
    return out;
}

std::string Quoted(const std::string& Text) {
    std::string q = "\"";
    for (char c : Text) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + '"';
}

}  // namespace

TDataLogger::TDataLogger(std::string Filename, std::string HeaderLine, int AutosaveIntervalInSecs,
                         TDataLogOptions Options, TClock Clock, TTickClock Ticks)
    : FAutosaveInterval(AutosaveIntervalInSecs),
      FDataHeader(std::move(HeaderLine)),
      FDataFilename(std::move(Filename)),
      FLastSaveTime(0),
      FOptions(Options),
      FClock(Clock ? std::move(Clock) : TClock(&Now)),
      FTicks(Ticks ? std::move(Ticks) : TTickClock(&MonotonicMillisecs)) {
    FLastSaveTime = FClock();
    FLastSaveTick = FTicks();
    FDataBuffer.push_back(FDataHeader);
}

TDataLogger::~TDataLogger() = default;

void TDataLogger::SetJournal(const std::string& Path) {
    FJournal = std::make_unique<TDataJournal>(Path, FTicks);
    if (Count() > 0) FJournal->Append(FDataFilename, FDataBuffer);
}

bool TDataLogger::AddValue(TDateTime Time, const std::string& Entry) {
    FDataBuffer.push_back(FormatEntry(Time, Entry));
    if (FJournal) FJournal->Append(FDataFilename, FDataBuffer);
    if (FOptions.Contains(loAutosaveAtIntervals)) {
        // SecsToTime first: it rejects an interval out of range.
        const int64_t Limit = std::llround(SecsToTime(FAutosaveInterval) * MSecsPerDay);
        if (FTicks() - FLastSaveTick > Limit) SaveToFile();
    }
    return true;
}

void TDataLogger::Clear() {
    FDataBuffer.clear();
    FDataBuffer.push_back(FDataHeader);
    if (FJournal) FJournal->Reset();
}

std::string TDataLogger::SaveToFile(const std::string& Filename) {
    const std::string& target = Filename.empty() ? FDataFilename : Filename;
    std::string text;
    for (const std::string& line : FDataBuffer) text += line + "\r\n";
    text = ToLocaleEncoding(text);

    std::string name;
    int fd = -1;
    if (FOptions.Contains(loAppendTimestampToFilename)) {
        // Names have one-second resolution; O_EXCL keeps a second save (or another program) from
        // replacing a file already written, whatever the timing.
        TDateTime at = FClock();
        for (int copy = 1; copy <= 10000 && fd < 0; ++copy) {
            name = TimestampedName(target, at, copy);
            fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
    } else {
        name = target;
        fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    if (fd < 0) throw EFileError("Cannot create file \"" + name + "\". " + std::strerror(errno));

    const int error = WriteSyncAndClose(fd, text);
    if (error != 0) {
        // Remove what was written, but never a device or pipe that the name led to.
        struct stat st {};
        if (lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(name.c_str());
        throw EFileError("Cannot write file \"" + name + "\". " + std::strerror(error));
    }

    if (FOptions.Contains(loClearWhenSaved)) Clear();
    FLastSaveTime = FClock();
    FLastSaveTick = FTicks();
    return name;
}

std::string TDataLogger::FormatEntry(TDateTime Time, const std::string& Entry) const {
    return FormatTimeStamp(Time) + "," + Entry;
}

std::string TDataLogger::FormatTimeStamp(TDateTime Time) {
    return FormatTimeStamp(Time, "%x", "%X");
}

std::string TDataLogger::FormatTimeStamp(TDateTime Time, const char* DateFormat, const char* TimeFormat) {
    TDecodedTime t = DecodeDateTime(Time);
    std::tm tm{};
    tm.tm_year = t.Year - 1900;
    tm.tm_mon = t.Month - 1;
    tm.tm_mday = t.Day;
    tm.tm_hour = t.Hour;
    tm.tm_min = t.Min;
    tm.tm_sec = t.Sec;
    tm.tm_wday = t.WeekDay;
    tm.tm_yday = t.YearDay;
    tm.tm_isdst = -1;
    std::string stamp = FormatTm(DateFormat, tm);
    if (t.Hour != 0 || t.Min != 0 || t.Sec != 0 || t.MSec != 0) {
        stamp += ' ';
        stamp += FormatTm(TimeFormat, tm);
    }
    // A comma or quote in a regional format would otherwise split or break the CSV field.
    if (stamp.find_first_of(",\"") != std::string::npos) stamp = Quoted(stamp);
    return stamp;
}

std::string TDataLogger::TimestampedName(const std::string& Target, TDateTime At, int Copy) {
    size_t slash = Target.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string folder = Target.substr(0, nameStart);
    std::string name = Target.substr(nameStart);

    size_t dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    std::string base = name;
    if (!extension.empty()) {
        // The first occurrence, so "a.csv.csv" keeps only "a".
        for (size_t i = 0; i + extension.size() <= name.size(); ++i) {
            if (strncasecmp(name.c_str() + i, extension.c_str(), extension.size()) == 0) {
                base = name.substr(0, i);
                break;
            }
        }
    }

    TDecodedTime t = DecodeDateTime(At);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, " %04d-%02d-%02d %02d-%02d-%02d", t.Year, t.Month, t.Day, t.Hour,
                  t.Min, t.Sec);
    std::string copy = Copy > 1 ? " (" + std::to_string(Copy) + ")" : std::string();
    return folder + base + stamp + copy + extension;
}

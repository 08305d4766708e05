// The data log reader: the header, the rows, and the logger's regional time stamps.
#include "DataLogReader.h"

#include <langinfo.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <ctime>
#include <fstream>
#include <limits>
#include <sstream>

#include "TimeoutMgr.h"

namespace {

constexpr int ValueColumns = 13;  // after the time: twelve readings and the (always empty) counter

bool ValidDate(int Y, int M, int D) {
    static const int Days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Y < 1900 || Y > 9999 || M < 1 || M > 12 || D < 1 || D > Days[M - 1]) return false;
    return M != 2 || D < 29 || (Y % 4 == 0 && (Y % 100 != 0 || Y % 400 == 0));
}

bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

// Reads up to MaxDigits digits at Pos; false when there are none.
bool ReadNumber(std::string_view S, size_t& Pos, int& Value, int& Digits, int MaxDigits = 4) {
    Value = 0;
    Digits = 0;
    while (Pos < S.size() && IsDigit(S[Pos]) && Digits < MaxDigits)
        Value = Value * 10 + (S[Pos++] - '0'), ++Digits;
    return Digits > 0;
}

// The order of day, month and year in the locale's short date: learnt by formatting 2001-02-03.
struct TDateOrder {
    int Year = 2, Month = 0, Day = 1;  // positions of the three numbers; m/d/y unless the locale says
};

TDateOrder LocaleDateOrder() {
    std::tm Tm{};
    Tm.tm_year = 101;
    Tm.tm_mon = 1;
    Tm.tm_mday = 3;
    char Buffer[64];
    const size_t N = std::strftime(Buffer, sizeof Buffer, "%x", &Tm);
    std::string_view S(Buffer, N);
    TDateOrder Order;
    int Found[3], Count = 0;
    for (size_t Pos = 0; Pos < S.size() && Count < 3;) {
        int Value, Digits;
        if (ReadNumber(S, Pos, Value, Digits))
            Found[Count++] = Value;
        else
            ++Pos;
    }
    if (Count != 3) return Order;
    for (int I = 0; I < 3; ++I) {
        if (Found[I] == 1 || Found[I] == 2001) Order.Year = I;
        if (Found[I] == 2) Order.Month = I;
        if (Found[I] == 3) Order.Day = I;
    }
    if (Order.Year + Order.Month + Order.Day != 3) return TDateOrder{};
    return Order;
}

// Three numbers separated by '/', '-' or '.' (the locale's order; year first when it has four
// digits); Pos ends after the date. Two-digit years are those strftime's %y gives back.
bool ParseDate(std::string_view S, size_t& Pos, int& Days) {
    static const TDateOrder Locale = LocaleDateOrder();
    int Values[3], Digits[3];
    for (int I = 0; I < 3; ++I) {
        if (I > 0) {
            if (Pos >= S.size() || (S[Pos] != '/' && S[Pos] != '-' && S[Pos] != '.')) return false;
            ++Pos;
        }
        if (!ReadNumber(S, Pos, Values[I], Digits[I])) return false;
    }
    if (Pos < S.size() && S[Pos] == '.') ++Pos;  // "03.02.2001." in some locales
    TDateOrder Order = Locale;
    if (Digits[0] == 4) Order = {0, 1, 2};
    int Y = Values[Order.Year];
    if (Digits[Order.Year] <= 2) Y += Y < 69 ? 2000 : 1900;
    const int M = Values[Order.Month], D = Values[Order.Day];
    if (!ValidDate(Y, M, D)) return false;
    Days = static_cast<int>(DateToDays(Y, static_cast<unsigned>(M), static_cast<unsigned>(D)));
    return true;
}

bool StartsWithNoCase(std::string_view S, std::string_view Prefix) {
    return !Prefix.empty() && S.size() >= Prefix.size() &&
           strncasecmp(S.data(), Prefix.data(), Prefix.size()) == 0;
}

// "h:mm:ss" (':' or '.' between), optionally followed by AM or PM (or the locale's words).
bool ParseTimeOfDay(std::string_view S, double& Fraction) {
    size_t Pos = 0;
    int Parts[3] = {0, 0, 0}, Count = 0;
    while (Count < 3) {
        int Digits;
        if (!ReadNumber(S, Pos, Parts[Count], Digits, 2)) return false;
        ++Count;
        if (Pos < S.size() && (S[Pos] == ':' || S[Pos] == '.') && Count < 3)
            ++Pos;
        else
            break;
    }
    if (Count < 2) return false;
    while (Pos < S.size() && S[Pos] == ' ') ++Pos;
    std::string_view Rest = S.substr(Pos);
    int Hour = Parts[0];
    if (!Rest.empty()) {
        const bool Pm = StartsWithNoCase(Rest, nl_langinfo(PM_STR)) || StartsWithNoCase(Rest, "PM");
        const bool Am = !Pm && (StartsWithNoCase(Rest, nl_langinfo(AM_STR)) || StartsWithNoCase(Rest, "AM"));
        if ((!Pm && !Am) || Hour < 1 || Hour > 12) return false;
        Hour = Hour % 12 + (Pm ? 12 : 0);
    }
    if (Hour > 23 || Parts[1] > 59 || Parts[2] > 59) return false;
    Fraction = (Hour * 3600 + Parts[1] * 60 + Parts[2]) / 86400.0;
    return true;
}

// Parses stamps, remembering the last date: consecutive rows nearly always share it.
class TStampParser {
public:
    bool Parse(std::string_view Stamp, TDateTime& Time) {
        size_t Pos;
        if (!FDate.empty() && Stamp.substr(0, FDate.size()) == FDate) {
            Pos = FDate.size();
        } else {
            Pos = 0;
            int Days;
            if (!ParseDate(Stamp, Pos, Days)) return false;
            FDate.assign(Stamp.substr(0, Pos));
            FDays = Days;
        }
        double Fraction = 0;
        if (Pos < Stamp.size()) {
            if (Stamp[Pos] != ' ' || !ParseTimeOfDay(Stamp.substr(Pos + 1), Fraction)) return false;
        }
        Time = FDays + Fraction;
        return true;
    }

private:
    std::string FDate;
    int FDays = 0;
};

[[noreturn]] void Fail(const std::string& Name, size_t Line, const std::string& Reason) {
    throw EDataLogError("\"" + Name + "\", line " + std::to_string(Line) + ": " + Reason);
}

std::string_view Trimmed(std::string_view S) {
    while (!S.empty() && (S.back() == '\r' || S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
    while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
    return S;
}

// Splits a row into its time stamp (quotes removed) and the fields after it; false when a quote
// is left open.
bool SplitRow(std::string_view Line, std::string& Stamp, std::vector<std::string_view>& Fields) {
    Stamp.clear();
    Fields.clear();
    size_t Pos = 0;
    const bool Quoted = !Line.empty() && Line[0] == '"';
    if (Quoted) {
        for (Pos = 1;; ++Pos) {
            if (Pos >= Line.size()) return false;
            if (Line[Pos] == '"') {
                if (Pos + 1 < Line.size() && Line[Pos + 1] == '"')
                    ++Pos;
                else
                    break;
            }
            Stamp += Line[Pos];
        }
        ++Pos;
        if (Pos < Line.size() && Line[Pos] != ',') return false;
    }
    size_t Start = Quoted ? Pos + 1 : 0;
    if (Quoted && Pos >= Line.size()) return true;  // the stamp alone
    for (size_t I = Start;; ++I) {
        if (I == Line.size() || Line[I] == ',') {
            Fields.push_back(Line.substr(Start, I - Start));
            if (I == Line.size()) break;
            Start = I + 1;
        }
    }
    if (!Quoted) {
        // A regional stamp with a comma of its own, written unquoted, spills into extra fields.
        const size_t Extra = Fields.size() > ValueColumns + 1 ? Fields.size() - ValueColumns : 1;
        for (size_t I = 0; I < Extra; ++I) {
            if (I > 0) Stamp += ',';
            Stamp.append(Fields[I]);
        }
        Fields.erase(Fields.begin(), Fields.begin() + static_cast<long>(Extra));
    }
    return true;
}

void ParseInto(std::string_view Text, const std::string& Name, TTrendRing& Ring,
               const std::atomic<bool>* Cancel) {
    if (Text.substr(0, 3) == "\xEF\xBB\xBF") Text.remove_prefix(3);
    TStampParser Stamps;
    std::string Stamp;
    std::vector<std::string_view> Fields;
    size_t LineNo = 0, Pos = 0;
    bool HeaderSeen = false;
    while (Pos < Text.size()) {
        size_t End = Text.find('\n', Pos);
        if (End == std::string_view::npos) End = Text.size();
        const std::string_view Line = Trimmed(Text.substr(Pos, End - Pos));
        Pos = End + 1;
        ++LineNo;
        if ((LineNo & 0xFFFF) == 0 && Cancel != nullptr && Cancel->load(std::memory_order_relaxed)) return;
        if (!HeaderSeen) {
            if (Line != DataLogHeader)
                Fail(Name, LineNo,
                     "not a data log: the first line is not \"" + std::string(DataLogHeader) + "\"");
            HeaderSeen = true;
            continue;
        }
        if (Line.empty()) continue;
        if (!SplitRow(Line, Stamp, Fields)) Fail(Name, LineNo, "a quote in the time stamp is not closed");
        if (Fields.size() != ValueColumns && Fields.size() != ValueColumns - 1)
            Fail(Name, LineNo,
                 std::to_string(Fields.size() + 1) + " fields where a row has " +
                     std::to_string(ValueColumns + 1));
        TDateTime Time;
        if (!Stamps.Parse(Trimmed(Stamp), Time))
            Fail(Name, LineNo, "\"" + Stamp.substr(0, 40) + "\" is not a date and time");
        TTrendValues Values;
        for (int C = 0; C < tcColumnCount; ++C) {
            const std::string_view F = Trimmed(Fields[static_cast<size_t>(C)]);
            if (F.empty()) {
                Values[C] = std::numeric_limits<float>::quiet_NaN();
                continue;
            }
            int V = 0;
            const auto [End2, Error] = std::from_chars(F.data(), F.data() + F.size(), V);
            // Readings are small: anything a float cannot hold exactly is not one.
            if (Error != std::errc() || End2 != F.data() + F.size() || V < -(1 << 24) || V > (1 << 24))
                Fail(Name, LineNo,
                     "\"" + std::string(F.substr(0, 20)) + "\" in column " + std::to_string(C + 2) +
                         " is not a whole number");
            Values[C] = static_cast<float>(V);
        }
        Ring.Add(Time, Values);
    }
    if (!HeaderSeen) Fail(Name, 1, "the file is empty");
}

// Half the window of differences whose median is the rows' spacing at a row: wide enough that one
// or two holes side by side do not set it, narrow enough to follow a change of logging interval.
constexpr size_t SpacingReach = 4;

// Whether the rows at Times[I - 1] and Times[I] have rows missing between them: more than two rows'
// spacing apart, and a second more, as stamps have whole seconds (a millisecond more for rounding).
bool HoleBefore(const std::vector<double>& Times, size_t I) {
    const auto Step = [&](size_t J) { return (Times[J] - Times[J - 1]) * 86400; };
    const size_t First = I > SpacingReach ? I - SpacingReach : 1;
    const size_t Last = std::min(Times.size() - 1, I + SpacingReach);
    std::array<double, 2 * SpacingReach + 1> Steps{};
    size_t N = 0;
    for (size_t J = First; J <= Last; ++J) Steps[N++] = Step(J);
    const auto Mid = Steps.begin() + static_cast<long>(N / 2);
    std::nth_element(Steps.begin(), Mid, Steps.begin() + static_cast<long>(N));
    double Spacing = *Mid;
    if (N % 2 == 0) Spacing = (Spacing + *std::max_element(Steps.begin(), Mid)) / 2;
    return Step(I) > 2 * Spacing + 1.001;
}

}  // namespace

bool ParseLogTimeStamp(std::string_view Stamp, TDateTime& Time) {
    if (Stamp.size() >= 2 && Stamp.front() == '"' && Stamp.back() == '"')
        Stamp = Stamp.substr(1, Stamp.size() - 2);
    TStampParser Parser;
    return Parser.Parse(Stamp, Time);
}

TTrendRing ParseDataLog(std::string_view Text, const std::string& Name) {
    TTrendRing Ring(static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n')) + 1);
    ParseInto(Text, Name, Ring, nullptr);
    return Ring;
}

TTrendRing ReadDataLogs(const std::vector<std::string>& Files, const std::atomic<bool>* Cancel,
                        size_t* Rows) {
    std::vector<TTrendRing> Parts;
    size_t Total = 0;
    for (const std::string& File : Files) {
        if (Cancel != nullptr && Cancel->load()) break;
        std::ifstream In(File, std::ios::binary);
        std::ostringstream Buffer;
        if (!In) throw EDataLogError("\"" + File + "\" cannot be opened.");
        Buffer << In.rdbuf();  // an empty file sets failbit here: the parser reports it
        const std::string Text = std::move(Buffer).str();
        TTrendRing Part(static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n')) + 1);
        ParseInto(Text, File, Part, Cancel);
        Total += Part.Size();
        Parts.push_back(std::move(Part));
    }
    std::stable_sort(Parts.begin(), Parts.end(), [](const TTrendRing& A, const TTrendRing& B) {
        if (A.Empty() || B.Empty()) return !A.Empty() && B.Empty();
        return A.Time(0) < B.Time(0);
    });

    // The rows kept, in time order: the same rows opened twice (a file and its copy) overlap, and
    // only those later than everything before their file are kept, so the timeline increases.
    const auto ForEachRow = [&](const auto& Use) {
        double Before = -HUGE_VAL;
        for (const TTrendRing& Part : Parts) {
            if (Part.Empty()) continue;
            const double Floor = Before;
            for (size_t I = 0; I < Part.Size(); ++I) {
                if (Part.Time(I) <= Floor) continue;
                Use(Part, I);
                Before = Part.Time(I);
            }
        }
    };
    std::vector<double> Times;
    Times.reserve(Total);
    ForEachRow([&](const TTrendRing& Part, size_t I) { Times.push_back(Part.Time(I)); });
    if (Rows != nullptr) *Rows = Times.size();
    std::vector<size_t> Holes;  // the rows that follow one
    for (size_t I = 1; I < Times.size(); ++I)
        if (HoleBefore(Times, I)) Holes.push_back(I);
    if (Parts.size() == 1 && Holes.empty()) return std::move(Parts.front());

    TTrendRing Joined(Times.size() + Holes.size());
    TTrendValues Values;
    size_t Row = 0;
    auto Hole = Holes.begin();
    ForEachRow([&](const TTrendRing& Part, size_t I) {
        if (Hole != Holes.end() && *Hole == Row) {
            Joined.AddGap((Times[Row - 1] + Times[Row]) / 2);
            ++Hole;
        }
        for (int C = 0; C < tcColumnCount; ++C) Values[C] = Part.Value(I, C);
        Joined.Add(Part.Time(I), Values);
        ++Row;
    });
    return Joined;
}

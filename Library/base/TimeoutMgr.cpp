#include "TimeoutMgr.h"

#include <cmath>
#include <ctime>

#include "Errors.h"

namespace {

constexpr uint32_t MillisecsPerDay = 86'400'000;
constexpr double UnixEpochAsDateTime = 25569.0;  // 1970-01-01 counted from 1899-12-30

// Whole milliseconds: a deadline and its checks move in the same steps, so a 0 ms count is still
// unexpired within the millisecond it was made.
std::chrono::steady_clock::time_point NowMs() {
    return std::chrono::floor<std::chrono::milliseconds>(std::chrono::steady_clock::now());
}

void CheckDuration(uint32_t Millisecs) {
    if (Millisecs >= MillisecsPerDay) throw ERangeError("Invalid argument to time encode");
}

}  // namespace

long long DateToDays(long long Year, unsigned Month, unsigned Day) {
    // Days from 1970-01-01, counted in 400-year eras from 0000-03-01 so that leap days end a year.
    Year -= Month <= 2;
    const long long Era = (Year >= 0 ? Year : Year - 399) / 400;
    const unsigned Yoe = static_cast<unsigned>(Year - Era * 400);
    const unsigned Doy = (153 * (Month > 2 ? Month - 3 : Month + 9) + 2) / 5 + Day - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + static_cast<long long>(Doe) - 719468 + static_cast<long long>(UnixEpochAsDateTime);
}

TDateTime Now() {
    using namespace std::chrono;
    const auto Stamp = floor<milliseconds>(system_clock::now());
    const std::time_t Secs = system_clock::to_time_t(floor<seconds>(Stamp));
    std::tm Local{};
    localtime_r(&Secs, &Local);
    const year_month_day Date{year{Local.tm_year + 1900}, month{static_cast<unsigned>(Local.tm_mon + 1)},
                              day{static_cast<unsigned>(Local.tm_mday)}};
    const auto Days = sys_days{Date}.time_since_epoch().count();
    const auto Millis = (Stamp - floor<seconds>(Stamp)).count();
    // A leap second (tm_sec 60) is folded into the last second of the day.
    const unsigned Sec = static_cast<unsigned>(Local.tm_sec > 59 ? 59 : Local.tm_sec);
    return UnixEpochAsDateTime + static_cast<double>(Days) +
           EncodeTime(static_cast<unsigned>(Local.tm_hour), static_cast<unsigned>(Local.tm_min), Sec,
                      static_cast<unsigned>(Millis));
}

int64_t DateTimeToMillisecs(TDateTime Time) {
    const double days = std::trunc(Time);
    return static_cast<int64_t>(days) * MillisecsPerDay + std::llround((Time - days) * MillisecsPerDay);
}

TDateTime SecsToTime(int Secs) {
    if (Secs < 0 || Secs >= 86'400) throw ERangeError("Invalid argument to time encode");
    const auto S = static_cast<unsigned>(Secs);
    return EncodeTime(S / 3600, S % 3600 / 60, S % 60, 0);
}

TDateTime EncodeTime(unsigned Hour, unsigned Min, unsigned Sec, unsigned MSec) {
    if (Hour > 23 || Min > 59 || Sec > 59 || MSec > 999) throw ERangeError("Invalid argument to time encode");
    const double Millisecs = ((Hour * 60.0 + Min) * 60.0 + Sec) * 1000.0 + MSec;
    return Millisecs / MillisecsPerDay;
}

TTimeoutCount::TTimeoutCount(uint32_t Millisecs) {
    Reset(Millisecs);
}

bool TTimeoutCount::IsExpired() const {
    return NowMs() > FEndTime;
}

int TTimeoutCount::MillisecsLeft() const {
    // Until the first millisecond that is strictly later than the deadline, so that a caller who waits
    // this long finds the count expired.
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(FEndTime + std::chrono::milliseconds(1) -
                                                                   std::chrono::steady_clock::now());
    return Left.count() > 0 ? static_cast<int>(Left.count()) : 0;
}

void TTimeoutCount::Reset() {
    FEndTime = NowMs() + std::chrono::milliseconds(FTimeoutMillisecs);
}

void TTimeoutCount::Reset(uint32_t Millisecs) {
    CheckDuration(Millisecs);
    FTimeoutMillisecs = Millisecs;
    Reset();
}

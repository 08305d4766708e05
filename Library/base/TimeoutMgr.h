#pragma once
// Deadlines and time values.
#include <chrono>
#include <cstdint>

// A date and time: days since 30 December 1899, the fraction being the time of day (local time).
using TDateTime = double;

// The local date and time now, millisecond resolution.
TDateTime Now();
// The time of day Secs after midnight; throws ERangeError outside 0..86399.
TDateTime SecsToTime(int Secs);
// Encodes a time of day; throws ERangeError for an hour above 23 or other fields out of range.
TDateTime EncodeTime(unsigned Hour, unsigned Min, unsigned Sec, unsigned MSec);
// Milliseconds since 30 December 1899 (local time), rounded as a written time stamp rounds them.
int64_t DateTimeToMillisecs(TDateTime Time);
// The whole days of a date (proleptic Gregorian) as TDateTime counts them. The date is not checked.
long long DateToDays(long long Year, unsigned Month, unsigned Day);

// A deadline some milliseconds from now (measured on a monotonic clock, so clock changes do not move it).
class TTimeoutCount {
public:
    // Throws ERangeError for 24 hours (86,400,000 ms) or more.
    explicit TTimeoutCount(uint32_t Millisecs);
    // True once the clock is strictly later than the deadline.
    bool IsExpired() const;
    // Milliseconds until IsExpired turns true (0 once it has), rounded up: waiting this long expires it.
    int MillisecsLeft() const;
    // Sets the deadline again FTimeoutMillisecs from now.
    void Reset();
    // Sets a new duration, then resets.
    void Reset(uint32_t Millisecs);

private:
    std::chrono::steady_clock::time_point FEndTime;
    uint32_t FTimeoutMillisecs = 0;
};

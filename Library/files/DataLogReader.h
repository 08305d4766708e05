#pragma once
// Reading the data logs that this program writes back into trend samples.
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "Errors.h"
#include "TrendRing.h"

// A file that is not a data log, or a row that cannot be one: what() names the file and the line.
class EDataLogError : public EVelmorantError {
public:
    using EVelmorantError::EVelmorantError;
};

// The rows of one data log's text (header, then one row per line; CR LF or LF; empty fields are
// gaps; a quoted time stamp, or one split by commas of its own, is accepted). Name is only used in
// messages. Throws EDataLogError "<Name>, line <n>: <reason>" at the first line that is not a log's.
TTrendRing ParseDataLog(std::string_view Text, const std::string& Name);

// Reads the files and joins them into one timeline in the order of their first rows, with a gap
// wherever rows are missing, within a file or between files: two rows further apart than twice the
// rows' spacing around them (the median step of the nearest rows, so a change of logging interval
// is no hole). Throws EDataLogError (also for a file that cannot be read); returns early with what
// it has when Cancel turns true. Rows gets the number of rows kept, which the gaps are not.
TTrendRing ReadDataLogs(const std::vector<std::string>& Files, const std::atomic<bool>* Cancel = nullptr,
                        size_t* Rows = nullptr);

// A time stamp as the data logger writes it (see TDataLogger::FormatTimeStamp), quotes removed;
// false when Stamp is not one. Date formats tried: the locale's, then m/d/y, y-m-d, d.m.y.
bool ParseLogTimeStamp(std::string_view Stamp, TDateTime& Time);

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cmath>
#include <filesystem>

#include "DataLogger.h"
#include "Errors.h"
#include "TestFiles.h"

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace veltest;

namespace {

TDateTime At(int Year, unsigned Month, unsigned Day, unsigned Hour = 0, unsigned Min = 0, unsigned Sec = 0,
             unsigned MSec = 0) {
    auto days = sys_days{year{Year} / month{Month} / day{Day}} - sys_days{year{1899} / December / 30};
    return static_cast<double>(days.count()) + EncodeTime(Hour, Min, Sec, MSec);
}

const TDateTime SavedAt = At(2016, 8, 28, 14, 5, 9);  // the moment every save in these tests happens

class DataLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
    TDataLogger MakeLogger(TDataLogOptions Options, int Interval = 3600,
                           const std::string& Name = "log.csv") {
        return TDataLogger(
            FDir.Path(Name), "Time,A,B", Interval, Options, [this] { return FNow; },
            [this] { return std::llround(FNow * 86400000.0) + FClockStepMs; });
    }
    std::vector<std::string> Files() const { return SortedNames(FDir.Path()); }
    std::string Content(const std::string& Name) const { return ReadFile(FDir.Path(Name)); }

    TTempDir FDir{"datalogger"};
    TDateTime FNow = SavedAt;
    int64_t FClockStepMs = 0;  // how far the wall clock was stepped back: the monotonic clock was not
};

TEST(DataLoggerTimeStamp, LocaleFormatAndMidnight) {
    std::setlocale(LC_ALL, "C");  // %x is mm/dd/yy, %X is HH:MM:SS
    struct {
        TDateTime Time;
        const char* Expected;
    } cases[] = {
        {At(2016, 8, 28, 14, 5, 9), "08/28/16 14:05:09"},
        {At(2016, 8, 28), "08/28/16"},
        {At(2016, 8, 28, 0, 0, 0, 1), "08/28/16 00:00:00"},  // one millisecond is not midnight
        {At(2016, 8, 28, 23, 59, 59, 999), "08/28/16 23:59:59"},
        {At(2016, 2, 29, 12), "02/29/16 12:00:00"},
        {At(2000, 3, 1), "03/01/00"},
        {At(2100, 12, 31, 1), "12/31/00 01:00:00"},
        {0.0, "12/30/99"},
        {-1.25, "12/29/99 06:00:00"},  // before the epoch the day counts down, the time still up
    };
    for (const auto& c : cases) EXPECT_EQ(TDataLogger::FormatTimeStamp(c.Time), c.Expected) << c.Time;
}

TEST(DataLoggerTimeStamp, CommaOrQuoteInTheFormatIsQuoted) {
    struct {
        TDateTime Time;
        const char* Date;
        const char* Clock;
        const char* Expected;
    } cases[] = {
        {At(2016, 8, 28, 14, 5, 9), "%a, %d %b %Y", "%H:%M", "\"Sun, 28 Aug 2016 14:05\""},
        {At(2016, 8, 28), "%d.%m.%Y,", "%H:%M", "\"28.08.2016,\""},
        {At(2016, 8, 28, 14, 5, 9), "%d\"%m", "%H,%M", "\"28\"\"08 14,05\""},
        {At(2016, 8, 28, 14, 5, 9), "%Y-%m-%d", "%H:%M:%S", "2016-08-28 14:05:09"},
    };
    std::setlocale(LC_ALL, "C");
    for (const auto& c : cases) EXPECT_EQ(TDataLogger::FormatTimeStamp(c.Time, c.Date, c.Clock), c.Expected);
}

TEST(DataLoggerNames, TimeStampGoesBeforeTheExtension) {
    struct {
        const char* Target;
        int Copy;
        const char* Expected;
    } cases[] = {
        {"log", 1, "log 2016-08-28 14-05-09"},
        {"a.csv.csv", 1, "a 2016-08-28 14-05-09.csv"},
        {"Data.CSV", 1, "Data 2016-08-28 14-05-09.CSV"},
        {"x.CSV.csv", 1, "x 2016-08-28 14-05-09.csv"},
        {"/home/u/Velmorant Datalog.csv", 1, "/home/u/Velmorant Datalog 2016-08-28 14-05-09.csv"},
        {"/data.d/log", 1, "/data.d/log 2016-08-28 14-05-09"},
        {"C:\\Data\\log.csv", 1, "C:\\Data\\log 2016-08-28 14-05-09.csv"},
        {"log.csv", 2, "log 2016-08-28 14-05-09 (2).csv"},
        {"log", 11, "log 2016-08-28 14-05-09 (11)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TDataLogger::TimestampedName(c.Target, SavedAt, c.Copy), c.Expected) << c.Target;
    EXPECT_EQ(TDataLogger::TimestampedName("log.csv", At(2021, 1, 2, 3, 4, 5, 999)),
              "log 2021-01-02 03-04-05.csv");
}

TEST_F(DataLoggerTest, NewLoggerWritesTheHeaderAlone) {
    auto logger = MakeLogger({});
    EXPECT_EQ(logger.Count(), 0);
    EXPECT_EQ(logger.SaveToFile(), FDir.Path("log.csv"));
    EXPECT_EQ(Content("log.csv"), "Time,A,B\r\n");
}

TEST_F(DataLoggerTest, RowsCarryTheTimeAndTheEntryUnchanged) {
    auto logger = MakeLogger({});
    EXPECT_TRUE(logger.AddValue(At(2016, 8, 28, 14, 5, 9), "1,2,"));
    EXPECT_TRUE(logger.AddValue(At(2016, 8, 29), "3,\"4\","));
    EXPECT_EQ(logger.Count(), 2);
    logger.SaveToFile();
    EXPECT_EQ(Content("log.csv"), "Time,A,B\r\n08/28/16 14:05:09,1,2,\r\n08/29/16,3,\"4\",\r\n");
}

TEST_F(DataLoggerTest, ClearKeepsTheHeaderAndTheSaveTime) {
    auto logger = MakeLogger({});
    logger.AddValue(SavedAt, "1,");
    FNow += 0.5;
    logger.Clear();
    EXPECT_EQ(logger.Count(), 0);
    EXPECT_EQ(logger.LastSaveTime(), SavedAt);
    logger.SaveToFile();
    EXPECT_EQ(Content("log.csv"), "Time,A,B\r\n");
}

TEST_F(DataLoggerTest, ExplicitNameLeavesDataFilenameAlone) {
    auto logger = MakeLogger({});
    EXPECT_EQ(logger.SaveToFile(FDir.Path("other.csv")), FDir.Path("other.csv"));
    EXPECT_EQ(logger.DataFilename(), FDir.Path("log.csv"));
    EXPECT_EQ(Files(), std::vector<std::string>{"other.csv"});
}

// Two saves in a row, one row before the first: which files come out, holding what.
struct TOptionsCase {
    const char* Name;
    TDataLogOptions Options;
    std::vector<std::pair<std::string, std::string>> Files;
};

class DataLoggerOptionsTest : public DataLoggerTest, public ::testing::WithParamInterface<TOptionsCase> {};

TEST_P(DataLoggerOptionsTest, TwoSavesInARow) {
    auto logger = MakeLogger(GetParam().Options);
    logger.AddValue(SavedAt, "7,");
    logger.SaveToFile();
    logger.SaveToFile();
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string& name : Files()) files.emplace_back(name, Content(name));
    EXPECT_EQ(files, GetParam().Files);
}

const std::string Header = "Time,A,B\r\n";
const std::string Row = "08/28/16 14:05:09,7,\r\n";

INSTANTIATE_TEST_SUITE_P(Options, DataLoggerOptionsTest,
                         ::testing::Values(TOptionsCase{"None", {}, {{"log.csv", Header + Row}}},
                                           TOptionsCase{"Clear", {loClearWhenSaved}, {{"log.csv", Header}}},
                                           TOptionsCase{"Timestamp",
                                                        {loAppendTimestampToFilename},
                                                        {{"log 2016-08-28 14-05-09 (2).csv", Header + Row},
                                                         {"log 2016-08-28 14-05-09.csv", Header + Row}}},
                                           TOptionsCase{"TimestampAndClear",
                                                        {loAppendTimestampToFilename, loClearWhenSaved},
                                                        {{"log 2016-08-28 14-05-09 (2).csv", Header},
                                                         {"log 2016-08-28 14-05-09.csv", Header + Row}}}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(DataLoggerTest, TimestampedSaveNeverReplacesAFile) {
    WriteFile(FDir.Path("log 2016-08-28 14-05-09.csv"), "someone else's");
    auto logger = MakeLogger({loAppendTimestampToFilename});
    EXPECT_EQ(logger.SaveToFile(), FDir.Path("log 2016-08-28 14-05-09 (2).csv"));
    EXPECT_EQ(Content("log 2016-08-28 14-05-09.csv"), "someone else's");
}

TEST_F(DataLoggerTest, AutosaveOnlyOnceTheIntervalHasPassed) {
    auto logger = MakeLogger({loAutosaveAtIntervals, loAppendTimestampToFilename, loClearWhenSaved});
    const TDateTime start = FNow;
    struct {
        TDateTime Now;
        size_t FilesAfter;
        int CountAfter;
    } steps[] = {
        {start, 0, 1},
        {start + EncodeTime(0, 59, 59, 999), 0, 2},
        {start + EncodeTime(1, 0, 0, 1), 1, 0},  // this row is in the file it triggers
        {start + EncodeTime(1, 30, 0, 0), 1, 1},
        {start + EncodeTime(2, 0, 0, 2), 2, 0},
    };
    for (const auto& s : steps) {
        FNow = s.Now;
        EXPECT_TRUE(logger.AddValue(FNow, "r,"));
        EXPECT_EQ(Files().size(), s.FilesAfter);
        EXPECT_EQ(logger.Count(), s.CountAfter);
    }
    std::string first = Content("log 2016-08-28 15-05-09.csv");
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 4) << first;
    EXPECT_EQ(logger.LastSaveTime(), start + EncodeTime(2, 0, 0, 2));
}

TEST_F(DataLoggerTest, AWallClockStepBackDoesNotPutOffTheAutosave) {
    auto logger = MakeLogger({loAutosaveAtIntervals}, 3600);
    FNow -= EncodeTime(1, 0, 0, 0);  // the end of summer time
    FClockStepMs += 3600000;
    FNow += EncodeTime(1, 0, 0, 1);
    logger.AddValue(FNow, "r,");
    EXPECT_EQ(Files(), std::vector<std::string>{"log.csv"});
}

TEST_F(DataLoggerTest, IdleTimeCountsTowardsTheFirstAutosave) {
    auto logger = MakeLogger({loAutosaveAtIntervals}, 60);
    FNow += EncodeTime(5, 0, 0, 0);
    logger.AddValue(FNow, "only,");
    EXPECT_EQ(Files(), std::vector<std::string>{"log.csv"});
}

TEST_F(DataLoggerTest, NoAutosaveWithoutTheOption) {
    auto logger = MakeLogger({loAppendTimestampToFilename}, 0);
    FNow += 1.0;
    logger.AddValue(FNow, "r,");
    EXPECT_TRUE(Files().empty());
}

TEST_F(DataLoggerTest, IntervalOutOfRangeFailsAfterAddingTheRow) {
    auto logger = MakeLogger({loAutosaveAtIntervals}, 86400);
    EXPECT_THROW(logger.AddValue(FNow, "r,"), ERangeError);
    EXPECT_EQ(logger.Count(), 1);
    logger.SetOptions({});
    EXPECT_NO_THROW(logger.AddValue(FNow, "r,"));
}

TEST_F(DataLoggerTest, FailedSaveKeepsRowsAndSaveTime) {
    auto logger = MakeLogger({loAutosaveAtIntervals, loAppendTimestampToFilename, loClearWhenSaved}, 60,
                             "missing/log.csv");
    logger.AddValue(FNow, "1,");
    try {
        logger.SaveToFile();
        FAIL() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file \"" +
                                             FDir.Path("missing/log 2016-08-28 14-05-09.csv") +
                                             "\". No such file or directory");
    }
    EXPECT_EQ(logger.Count(), 1);
    EXPECT_EQ(logger.LastSaveTime(), SavedAt);

    FNow += EncodeTime(0, 2, 0, 0);
    EXPECT_THROW(logger.AddValue(FNow, "2,"), EFileError) << "a failing autosave";
    EXPECT_EQ(logger.Count(), 2);

    fs::create_directory(FDir.Path("missing"));
    FNow += EncodeTime(0, 2, 0, 0);
    logger.AddValue(FNow, "3,");
    EXPECT_EQ(logger.Count(), 0);
    EXPECT_EQ(logger.LastSaveTime(), FNow);
    std::string text = ReadFile(FDir.Path("missing/log 2016-08-28 14-09-09.csv"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
}

TEST_F(DataLoggerTest, WriteErrorAfterCreateIsAnError) {
    ASSERT_EQ(symlink("/dev/full", FDir.Path("full.csv").c_str()), 0);
    auto logger = MakeLogger({loClearWhenSaved}, 3600, "full.csv");
    logger.AddValue(FNow, "1,");
    try {
        logger.SaveToFile();
        FAIL() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot write file \"" + FDir.Path("full.csv") + "\". No space left on device");
    }
    EXPECT_EQ(logger.Count(), 1);
    struct stat st {};
    EXPECT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device the name led to stays";
}

TEST_F(DataLoggerTest, FullDiskLeavesNoPartialFile) {
    if (!FDir.MountSmallTmpfs()) GTEST_SKIP() << "cannot mount a tmpfs here";
    int fd = open(FDir.Path("filler").c_str(), O_WRONLY | O_CREAT, 0644);
    std::string block(4096, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
    auto logger = MakeLogger({loAppendTimestampToFilename});
    for (int i = 0; i < 50; ++i) logger.AddValue(FNow, std::string(100, 'r'));
    EXPECT_THROW(logger.SaveToFile(), EFileError);
    EXPECT_EQ(Files(), std::vector<std::string>{"filler"});
    EXPECT_EQ(logger.Count(), 50);
}

TEST_F(DataLoggerTest, TextIsWrittenInTheLocalesEncoding) {
    const std::string entry = "\xC3\xA9,\xE2\x82\xAC,x";  // é € x
    {
        auto logger = MakeLogger({}, 3600, "ascii.csv");
        logger.AddValue(At(2016, 8, 28), entry);
        logger.SaveToFile();
        EXPECT_EQ(Content("ascii.csv"), Header + "08/28/16,?,?,x\r\n");
    }
    if (!std::setlocale(LC_ALL, "C.UTF-8")) GTEST_SKIP() << "no UTF-8 locale";
    auto logger = MakeLogger({}, 3600, "utf8.csv");
    logger.AddValue(At(2016, 8, 28), entry);
    logger.SaveToFile();
    EXPECT_EQ(Content("utf8.csv"), Header + "08/28/16," + entry + "\r\n");
}

TEST_F(DataLoggerTest, DestroyingWritesNothing) {
    {
        auto logger = MakeLogger({loAutosaveAtIntervals, loAppendTimestampToFilename});
        logger.AddValue(FNow, "1,");
    }
    EXPECT_TRUE(Files().empty());
}

}  // namespace

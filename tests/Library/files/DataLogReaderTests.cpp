#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <cmath>
#include <cstdio>

#include "DataLogReader.h"
#include "DataLogger.h"
#include "TestFiles.h"

using namespace veltest;

namespace {

const std::string Header = std::string(DataLogHeader) + "\r\n";

// 2026-12-09 as a TDateTime day.
constexpr double Dec9 = 46365;

class DataLogReaderTest : public ::testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
    TTempDir FDir{"datalogreader"};
};

}  // namespace

TEST_F(DataLogReaderTest, ReadsBackWhatTheLoggerWrote) {
    TDataLogger Logger(FDir.Path("log.csv"), DataLogHeader, 3600, {}, [] { return Dec9; });
    TTickReadings Tick;
    Tick.Time = Dec9 + 0.5;
    Tick.Ports = {1, 2, std::nullopt, 4, 5, 6};
    Tick.Analog = {1023, 0, 7, std::nullopt, 300};
    Tick.Temperature = -3;
    Logger.AddValue(Tick.Time, LogRowOf(Tick));
    Logger.AddValue(Dec9 + 1, LogRowOf(Tick));  // midnight: the date alone
    const std::string Name = Logger.SaveToFile();

    const TTrendRing Ring = ReadDataLogs({Name});
    ASSERT_EQ(Ring.Size(), 2u);
    EXPECT_DOUBLE_EQ(Ring.Time(0), Dec9 + 0.5);
    EXPECT_DOUBLE_EQ(Ring.Time(1), Dec9 + 1);
    TTrendRing Expected(1);
    Expected.Add(Tick);
    for (int C = 0; C < tcColumnCount; ++C) {
        SCOPED_TRACE(C);
        const float Want = Expected.Value(0, C), Got = Ring.Value(0, C);
        EXPECT_TRUE(std::isnan(Want) ? std::isnan(Got) : Want == Got);
    }
}

TEST_F(DataLogReaderTest, AcceptsTheVariantsOfARow) {
    struct TCase {
        const char* Row;
        double Time;
        float A0;  // NaN: a gap
    };
    const double Noon = Dec9 + 0.5, Late = Dec9 + (15 * 3600 + 42 * 60 + 59) / 86400.0;
    const std::vector<TCase> Cases = {
        {"12/09/26 12:00:00,1,2,3,4,5,6,7,8,9,10,11,72,", Noon, 7},
        {"\"12/09/26 12:00:00\",1,2,3,4,5,6,7,8,9,10,11,72,", Noon, 7},
        {"12/09/26 12:00:00,1,2,3,4,5,6,,8,9,10,11,72,", Noon, NAN},
        {"12/09/26 12:00:00,1,2,3,4,5,6,7,8,9,10,11,72", Noon, 7},          // no trailing comma
        {"12/09/2026 03:42:59 PM,1,2,3,4,5,6,7,8,9,10,11,72,", Late, 7},    // en_US style
        {"2026-12-09 15:42:59,1,2,3,4,5,6,7,8,9,10,11,72,", Late, 7},       // ISO style
        {"\"Wed, 12/09/26\" 12:00:00,1,2,3,4,5,6,7,8,9,10,11,72,", -1, 7},  // not a date
        {"12/09/26, 12:00:00,1,2,3,4,5,6,7,8,9,10,11,72,", -1, 7},          // unquoted comma in the stamp
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Row);
        const std::string Text = Header + C.Row + "\n\n";
        if (C.Time < 0) {
            EXPECT_THROW(ParseDataLog(Text, "f.csv"), EDataLogError);
            continue;
        }
        const TTrendRing Ring = ParseDataLog(Text, "f.csv");
        ASSERT_EQ(Ring.Size(), 1u);
        EXPECT_NEAR(Ring.Time(0), C.Time, 1e-9);
        const float A0 = Ring.Value(0, tcAnalog0);
        EXPECT_TRUE(std::isnan(C.A0) ? std::isnan(A0) : A0 == C.A0) << A0;
    }
}

TEST_F(DataLogReaderTest, ABadFileNamesTheFileAndTheLine) {
    const std::string Row = "12/09/26 12:00:00,1,2,3,4,5,6,7,8,9,10,11,72,\r\n";
    struct TCase {
        std::string Text;
        std::string Message;  // part of the message after the file name
    };
    const std::vector<TCase> Cases = {
        {"", "line 1: the file is empty"},
        {"Name,Value\r\n1,2\r\n", "line 1: not a data log"},
        {"\x89PNG\r\n\x1a\n\0\0", "line 1: not a data log"},
        {Header + Row + "12/09/26 12:00:01,1,2,3\r\n", "line 3: 4 fields where a row has 14"},
        {Header + Row + Row + "13/13/26 12:00:00,1,2,3,4,5,6,7,8,9,10,11,72,\r\n",
         "line 4: \"13/13/26 12:00:00\" is not"},
        {Header + "12/09/26 25:00:00,1,2,3,4,5,6,7,8,9,10,11,72,\r\n",
         "line 2: \"12/09/26 25:00:00\" is not"},
        {Header + "12/09/26 12:00:00,1,2,3,4,5,6,x,8,9,10,11,72,\r\n",
         "line 2: \"x\" in column 8 is not a whole"},
        {Header + "12/09/26 12:00:00,1,2,3,4,5,6,7.5,8,9,10,11,72,\r\n", "line 2: \"7.5\" in column 8"},
        {Header + "12/09/26 12:00:00,1,2,3,4,5,6,99999999999,8,9,10,11,72,\r\n", "line 2: \"99999999999\""},
        {Header + "\"12/09/26 12:00:00,1,2,3,4,5,6,7,8,9,10,11,72,\r\n", "line 2: a quote in the time stamp"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Message);
        const std::string Path = FDir.Path("bad (2).csv");
        WriteFile(Path, C.Text);
        try {
            ReadDataLogs({Path});
            ADD_FAILURE() << "no error";
        } catch (const EDataLogError& E) {
            EXPECT_EQ(std::string(E.what()).rfind("\"" + Path + "\", " + C.Message, 0), 0u) << E.what();
        }
    }
    EXPECT_THROW(ReadDataLogs({FDir.Path("missing.csv")}), EDataLogError);
}

TEST_F(DataLogReaderTest, MissingRowsBreakTheLineWhereverTheyAre) {
    // The seconds after 12:00:00 of ranges {First, Last, Step (1 when left out)}.
    const auto Rows = [](std::initializer_list<std::array<int, 3>> Ranges) {
        std::vector<int> Seconds;
        for (const auto& R : Ranges)
            for (int S = R[0]; S <= R[1]; S += std::max(R[2], 1)) Seconds.push_back(S);
        return Seconds;
    };
    struct TCase {
        const char* Name;
        std::vector<std::vector<int>> Files;  // opened in this order, each its rows' seconds
        const char* Expected;                 // the timeline: '.' a row, '|' a gap
    };
    const std::vector<TCase> Cases = {
        {"a hole in one file", {Rows({{0, 4}, {41, 45}})}, ".....|....."},
        {"1 s rows, then 5 s rows", {Rows({{0, 5}, {10, 40, 5}})}, "............."},
        {"two holes side by side", {Rows({{0, 5}, {42, 42}, {58, 63}})}, "......|.|......"},
        {"a single row missing", {Rows({{0, 5}, {7, 12}})}, "............"},
        {"hourly files, a copy, an empty one and a pause",
         {{3600, 3660}, {7200}, {}, {3480, 3540}, {3480, 3540}},
         "....|."},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::string> Names;
        for (const std::vector<int>& File : C.Files) {
            std::string Text = Header;
            for (int S : File) {
                char Stamp[32];
                std::snprintf(Stamp, sizeof Stamp, "12/09/26 %02d:%02d:%02d", 12 + S / 3600, S / 60 % 60,
                              S % 60);
                Text += std::string(Stamp) + ",1,2,3,4,5,6,7,8,9,10,11,72,\r\n";
            }
            Names.push_back(FDir.Path("log" + std::to_string(Names.size()) + ".csv"));
            WriteFile(Names.back(), Text);
        }
        size_t RowsKept = 0;
        const TTrendRing Ring = ReadDataLogs(Names, nullptr, &RowsKept);
        std::string Timeline;
        for (size_t I = 0; I < Ring.Size(); ++I) {
            if (I > 0) {
                EXPECT_LT(Ring.Time(I - 1), Ring.Time(I));
            }
            Timeline += std::isnan(Ring.Value(I, tcTemperature)) ? '|' : '.';
        }
        EXPECT_EQ(Timeline, C.Expected);
        EXPECT_EQ(RowsKept, size_t(std::count(Timeline.begin(), Timeline.end(), '.')));
    }
}

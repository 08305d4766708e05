#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>

#include "DataLogger.h"
#include "Errors.h"
#include "TestFiles.h"

namespace fs = std::filesystem;
using namespace veltest;

namespace {

const TDateTime RecoveredAt = 42610.58691;  // 2016-08-28 14:05:09
const char* const Header = "Time,A,B";

class DataJournalTest : public ::testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
    std::string Journal() const { return FDir.Path("journals/datalog-1-1.journal"); }
    std::vector<TJournalRecovery> Recover() {
        return RecoverJournals(FDir.Path("journals/"), [] { return RecoveredAt; });
    }
    std::string Logs(const std::string& Name = "log 2016-08-28 14-05-09.csv") const {
        return ReadFile(FDir.Path("logs/" + Name));
    }

    TTempDir FDir{"datajournal"};
};

TEST_F(DataJournalTest, EachStretchGoesToItsTargetAndACutLineIsIgnored) {
    fs::create_directories(FDir.Path("journals"));
    fs::create_directories(FDir.Path("logs"));
    const std::string A = FDir.Path("logs/a.csv"), B = FDir.Path("logs/b.csv");
    WriteFile(Journal(), "T" + A + "\nHh1\nRr1\nRr2\nT" + B + "\nRr3\nHh2\nRr4\nRr5-cut");
    const auto Results = Recover();
    ASSERT_EQ(Results.size(), 1u);
    EXPECT_EQ(Results[0].Rows, 4);
    EXPECT_EQ(Results[0].Files.size(), 3u);
    EXPECT_EQ(Logs("a 2016-08-28 14-05-09.csv"), "h1\r\nr1\r\nr2\r\n");
    EXPECT_EQ(Logs("b 2016-08-28 14-05-09.csv"), "h1\r\nr3\r\n");
    EXPECT_EQ(Logs("b 2016-08-28 14-05-09 (2).csv"), "h2\r\nr4\r\n");
}

TEST_F(DataJournalTest, RowsThatCannotBeSavedStayForTheNextStart) {
    fs::create_directories(FDir.Path("journals"));
    {
        TDataLogger Logger(FDir.Path("logs/log.csv"), Header, 3600,
                           {loAppendTimestampToFilename, loClearWhenSaved});
        Logger.SetJournal(Journal());
        Logger.AddValue(RecoveredAt, "1,");
        EXPECT_THROW(Logger.SaveToFile(), EFileError) << "no logs folder";
        EXPECT_TRUE(Logger.JournalHoldsRows());
        EXPECT_TRUE(Recover().empty()) << "a running logger's journal is its own";
    }
    auto Results = Recover();
    ASSERT_EQ(Results.size(), 1u);
    EXPECT_TRUE(Results[0].Files.empty());
    EXPECT_NE(Results[0].Error.find("Cannot create file"), std::string::npos);
    fs::create_directories(FDir.Path("logs"));
    Results = Recover();
    ASSERT_EQ(Results.size(), 1u);
    EXPECT_EQ(Results[0].Error, "");
    EXPECT_EQ(Logs(), "Time,A,B\r\n08/28/16 14:05:09,1,\r\n");
}

TEST_F(DataJournalTest, ASavedOrClearedLoggerLeavesNoJournal) {
    fs::create_directories(FDir.Path("journals"));
    fs::create_directories(FDir.Path("logs"));
    for (bool Save : {true, false}) {
        TDataLogger Logger(FDir.Path("logs/log.csv"), Header, 3600, {loClearWhenSaved});
        Logger.SetJournal(Journal());
        Logger.AddValue(RecoveredAt, "1,");
        EXPECT_TRUE(fs::exists(Journal()));
        if (Save)
            Logger.SaveToFile();
        else
            Logger.Clear();
        Logger.AddValue(RecoveredAt, "2,");
        Logger.Clear();
    }
    EXPECT_TRUE(SortedNames(FDir.Path("journals")).empty());
}

}  // namespace

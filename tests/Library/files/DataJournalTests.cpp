#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <set>

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

// The drill: a logger runs until its disk is full (a file size limit stands in for the disk), is
// killed, and the disk is freed. Every row the journal had taken before the disk filled is found.
TEST_F(DataJournalTest, AFullDiskThenAKillLosesNoRowTheJournalHadTaken) {
    fs::create_directories(FDir.Path("journals"));
    fs::create_directories(FDir.Path("logs"));
    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    const pid_t Child = fork();
    if (Child == 0) {
        close(Pipe[0]);
        const rlimit Disk{8192, 8192};
        setrlimit(RLIMIT_FSIZE, &Disk);
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG, as on a full disk
        TDataLogger Logger(FDir.Path("logs/log.csv"), Header, 3600, {loAppendTimestampToFilename});
        Logger.SetJournal(Journal());
        int Failed = 0;
        for (int Row = 0; Failed < 50; ++Row) {
            Logger.AddValue(RecoveredAt, std::to_string(Row) + ",padding to fill the disk sooner");
            if (!Logger.JournalHoldsRows()) {
                ++Failed;
                continue;
            }
            const std::string Taken = std::to_string(Row) + "\n";
            if (write(Pipe[1], Taken.data(), Taken.size()) < 0) _exit(2);
        }
        if (write(Pipe[1], "full\n", 5) < 0) _exit(2);
        pause();  // until killed
        _exit(0);
    }
    close(Pipe[1]);
    std::set<std::string> Taken;
    FILE* From = fdopen(Pipe[0], "r");
    char Line[64];
    bool Full = false;
    while (!Full && fgets(Line, sizeof Line, From) != nullptr) {
        std::string Row(Line, strcspn(Line, "\n"));
        Full = Row == "full";
        if (!Full) Taken.insert(Row + ",padding to fill the disk sooner");
    }
    kill(Child, SIGKILL);
    waitpid(Child, nullptr, 0);
    fclose(From);
    ASSERT_TRUE(Full) << "the disk never filled";
    ASSERT_GT(Taken.size(), 20u);

    const auto Results = Recover();
    ASSERT_EQ(Results.size(), 1u);
    EXPECT_EQ(Results[0].Error, "");
    EXPECT_EQ(Results[0].Rows, static_cast<int>(Taken.size()));
    const std::string Log = Logs();
    for (const std::string& Row : Taken) EXPECT_NE(Log.find("," + Row + "\r\n"), std::string::npos) << Row;
}

TEST_F(DataJournalTest, ANewJournalNeverTakesAFileThatIsThere) {
    fs::create_directories(FDir.Path("journals"));
    const std::string Name = TDataJournal::NewName(FDir.Path("journals/"));
    EXPECT_NE(Name, TDataJournal::NewName(FDir.Path("journals/")));
    EXPECT_NE(Name.find("datalog-" + std::to_string(getpid()) + "-"), std::string::npos);
    WriteFile(Name, "Tlogs/left.csv\nHh\nRleft behind by an earlier run\n");
    {
        TDataJournal Journal(Name);
        Journal.Append(FDir.Path("logs/log.csv"), {Header, "new row"});
        EXPECT_TRUE(Journal.Holds());
        EXPECT_NE(Journal.Path(), Name);
    }
    EXPECT_EQ(ReadFile(Name), "Tlogs/left.csv\nHh\nRleft behind by an earlier run\n");
}

TEST_F(DataJournalTest, AJournalThisVersionCannotReadIsKeptAsideWithAMessage) {
    fs::create_directories(FDir.Path("journals"));
    const std::string Foreign = "V2\nTlog.csv\nRrow in a later format\n";
    WriteFile(Journal(), Foreign);
    auto Results = Recover();
    ASSERT_EQ(Results.size(), 1u);
    EXPECT_EQ(Results[0].KeptAside, Journal() + ".unreadable");
    EXPECT_NE(Results[0].Error.find("kept as"), std::string::npos);
    EXPECT_EQ(ReadFile(Results[0].KeptAside), Foreign);
    EXPECT_TRUE(Recover().empty());
}

}  // namespace

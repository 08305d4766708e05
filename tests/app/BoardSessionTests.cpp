// The board session, its link supervisor and the log recorder on the simulated board: stopping work
// at the next exchange, a user's action during a tick, a lost board's kept changes, rows from ticks.
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "BoardSession.h"
#include "LinkSupervisor.h"
#include "LogRecorder.h"
#include "SimFixture.h"

using velsim::TFault;
using TCommands = std::vector<std::string>;

namespace {

// GoogleTest owns main(), so the application is made at the first fixture and lives to the end.
QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "BoardSessionTests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

bool HasPrefix(const TCommands& Commands, const std::string& Prefix) {
    return std::any_of(Commands.begin(), Commands.end(),
                       [&](const std::string& c) { return c.rfind(Prefix, 0) == 0; });
}

// A session connected to the board with its settings read, and a supervisor following it as the
// window's does; the session does not tick, so the board hears only what a test asks.
class BoardSessionTest : public ::testing::Test {
protected:
    BoardSessionTest() {
        Session.SetUnsavedFolder(Fixture.Root() + "/");
        // What the user would be told: an error box or an error in the status bar.
        const auto told = [this](const QString& Text) { Errors.push_back(Text.toStdString()); };
        QObject::connect(&Session, &TBoardSession::Failed, told);
        QObject::connect(&Session, &TBoardSession::DeviceError, told);
        QObject::connect(&Supervisor, &TLinkSupervisor::Reconnected, [this] { ++Reconnects; });
        QObject::connect(&Supervisor, &TLinkSupervisor::OfferKeptChanges, [this] { ++KeptOffers; });
    }
    void SetUp() override {
        Session.Connect({Fixture.ComName()}, {});
        Session.Retrieve(false);
        ASSERT_TRUE(Settle());
        ASSERT_TRUE(Session.State().DevicePresent);
        Sim().ClearCommands();
    }
    velsim::TSimulator& Sim() { return Fixture.Sim(); }
    bool Settle() {
        return QTest::qWaitFor([this] { return Session.Idle(); }, 20000);
    }
    // At the real line rate a retrieval takes about a second: long enough to be interrupted.
    void SetLineRate() {
        auto lock = Sim().Lock();
        Sim().Board().Options.BaudRate = 19200;
    }
    // The user's Disconnect, as the window asks it.
    void Disconnect() {
        Supervisor.Stop();
        Session.Disconnect();
        ASSERT_TRUE(Settle());
    }
    // The window's close up to its autosave: the work is stopped, then the state is saved.
    void CloseAndAutosave() {
        Supervisor.SetClosing(true);
        Session.StopLongWork();
        ASSERT_TRUE(Settle());
        Session.Autosave(AutosaveFile(), {}, {});
        ASSERT_TRUE(Settle());
    }
    std::string AutosaveFile() const { return Fixture.Root() + "/autosave.velmor"; }
    // Unplugs the board while it has a change its EEPROM lacks (period 5), so that the change is kept.
    void LoseWithAKeptChange() {
        Session.SetUpdatePeriod(5);
        ASSERT_TRUE(Settle());
        Sim().HangUp();
        Session.Tick();
        ASSERT_TRUE(Settle());
        ASSERT_TRUE(Session.State().Lost);
    }
    // Plugs the board back in, as it comes after losing its power: with its EEPROM's settings.
    void ReplugAfterAPowerLoss() {
        {
            auto lock = Sim().Lock();
            Sim().Board().Recall();
        }
        Sim().ClearCommands();
        ASSERT_TRUE(Sim().Replug());
    }

    QCoreApplication& FApp = App();
    velsim::TSimFixture Fixture{"COM1"};
    TBoardSession Session;
    TLinkSupervisor Supervisor{Session};
    std::vector<std::string> Errors;
    int Reconnects = 0;
    int KeptOffers = 0;
};

struct TStopCase {
    const char* Name;
    bool Silent;  // a tick on a silent board, else a retrieval from the EEPROM
    bool Close;   // the window's close, else Disconnect
};

class StoppedAtTheNextExchange : public BoardSessionTest, public ::testing::WithParamInterface<TStopCase> {};

TEST_P(StoppedAtTheNextExchange, EndsTheWorkWithoutAnError) {
    const TStopCase& c = GetParam();
    SetLineRate();
    if (!c.Silent) {
        Session.Retrieve(true);
        ASSERT_TRUE(Sim().WaitForCommands(8, 10000));
        EXPECT_TRUE(Session.LongWorkPending());  // it cannot be started twice
    } else {
        // The ports answer, then each analog input keeps the tick waiting: seconds of work to stop.
        Sim().SetFaultFilter("ADC");
        Sim().SetFault(TFault::Silent);
        Session.Tick();
        ASSERT_TRUE(Sim().WaitForCommands(7, 10000));
    }
    EXPECT_FALSE(Session.Idle());
    if (c.Close)
        CloseAndAutosave();
    else
        Disconnect();

    const TCommands cmds = Sim().Commands();
    // The work ended at the next exchange: nothing of the retrieval's end, nothing of the tick's.
    EXPECT_FALSE(HasPrefix(cmds, "PLCRD59"));
    // (The autosave reads the port states on its own, as it always did.)
    EXPECT_FALSE(c.Silent && HasPrefix(cmds, "ADC1"));
    if (c.Close) {
        EXPECT_TRUE(std::filesystem::exists(AutosaveFile()));
    } else {
        EXPECT_FALSE(Session.State().DevicePresent || Session.State().Lost);
    }
    // An exchange the user ended is no error of the board's.
    EXPECT_TRUE(Errors.empty()) << Errors.front();
}

INSTANTIATE_TEST_SUITE_P(Session, StoppedAtTheNextExchange,
                         ::testing::Values(TStopCase{"DisconnectDuringARetrieval", false, false},
                                           TStopCase{"CloseDuringARetrieval", false, true},
                                           TStopCase{"DisconnectOnASilentBoard", true, false},
                                           TStopCase{"CloseOnASilentBoard", true, true}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(BoardSessionTest, ActionDuringATickRunsAfterIt) {
    SetLineRate();
    Session.Tick();
    ASSERT_TRUE(Sim().WaitForCommands(1, 10000));
    // The user switches two outputs while the tick still reads.
    Session.SetPinState(24, true);
    Session.SetPinState(25, true);
    ASSERT_TRUE(Settle());
    const TCommands expected{"PRTRD0", "PRTRD1", "PRTRD2", "PRTRD3", "PRTRD4", "PRTRD5",    "ADC0",
                             "ADC1",   "ADC2",   "ADC3",   "ADC4",   "TEMP",   "PINWR24 1", "PINWR25 1"};
    EXPECT_EQ(Sim().Commands(), expected);
}

TEST_F(BoardSessionTest, AChangeQueuedBehindARetrievalIsInItsRefresh) {
    SetLineRate();
    bool refreshedWithIt = false;
    QObject::connect(&Session, &TBoardSession::Refreshed,
                     [this, &refreshedWithIt] { refreshedWithIt = Session.State().Pullups[0]; });
    Session.Retrieve(true);
    ASSERT_TRUE(Sim().WaitForCommands(4, 10000));
    Session.SetPullups(true, false);
    ASSERT_TRUE(Settle());
    // The retrieval's display update shows the change that came after it, as the board has it.
    EXPECT_TRUE(refreshedWithIt);
    EXPECT_TRUE(Session.State().Pullups[0]);
    auto lock = Sim().Lock();
    EXPECT_TRUE(Sim().Board().Working.Pullups[0]);
}

TEST_F(BoardSessionTest, DisconnectBeforeAReconnectsResultDropsIt) {
    LoseWithAKeptChange();
    // The reconnect's last exchange is answered late, so that Disconnect comes before its result.
    Sim().SetFaultFilter("PLCRM");
    Sim().SetFault(TFault::Late, 1, std::chrono::milliseconds(400));
    ReplugAfterAPowerLoss();
    ASSERT_TRUE(QTest::qWaitFor([this] { return HasPrefix(Sim().Commands(), "PLCRM 0"); }, 15000));
    Disconnect();
    QTest::qWait(100);  // anything the dropped result would have started has had its turn
    ASSERT_TRUE(Settle());
    EXPECT_FALSE(Session.State().DevicePresent || Session.State().Lost);
    EXPECT_EQ(Reconnects, 0);
    EXPECT_EQ(KeptOffers, 0);
}

TEST_F(BoardSessionTest, KeptChangesDeclinedAreNotOfferedWhenLostAgain) {
    LoseWithAKeptChange();
    ReplugAfterAPowerLoss();
    ASSERT_TRUE(QTest::qWaitFor([this] { return KeptOffers == 1; }, 15000));
    Supervisor.KeptChangesOffered();  // declined: the window sends nothing
    ASSERT_TRUE(Settle());
    Sim().HangUp();
    Session.Tick();
    ASSERT_TRUE(Settle());
    ReplugAfterAPowerLoss();
    ASSERT_TRUE(QTest::qWaitFor([this] { return Reconnects == 2; }, 15000));
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(Session.State().DevicePresent);
    // No ends it for good: the old file is not offered again.
    EXPECT_EQ(KeptOffers, 1);
}

TEST_F(BoardSessionTest, CloseDuringARetrievalSavesTheLastWholeState) {
    // The board's EEPROM has period 0, the program's settings 5: a recall reads 0 first.
    Session.SetUpdatePeriod(5);
    ASSERT_TRUE(Settle());
    SetLineRate();
    Sim().ClearCommands();
    Session.Retrieve(true);
    ASSERT_TRUE(Sim().WaitForCommands(12, 10000));
    CloseAndAutosave();
    // The autosave holds the last whole state, not the period read before the work was cut short.
    EXPECT_NE(veltest::ReadFile(AutosaveFile()).find("Period=5"), std::string::npos);
}

// The board at its real line rate, the ticks on a stepped clock up to 120 ms early or late: 20 s
// give the log recorder a row for each of the ten 2-second intervals.
TEST_F(BoardSessionTest, EveryLogIntervalHasItsRowAtTheLineRate) {
    SetLineRate();
    int64_t clock = 0;  // outlives the recorder, which reads it
    TLogRecorder recorder(Fixture.Root() + "/log.csv", DataLogHeader, 3600);
    recorder.SetClock([&clock] { return clock; });
    QObject::connect(&Session, &TBoardSession::TickRead, &recorder, &TLogRecorder::AddTick);
    recorder.Start(2);
    for (int k = 0; k < 40; ++k) {
        clock = k * int64_t{StatusTickMs} + (k * 53) % 241;
        Session.Tick();
        ASSERT_TRUE(Settle());
    }
    ASSERT_TRUE(QTest::qWaitFor([&recorder] { return recorder.Idle(); }, 20000));
    EXPECT_EQ(recorder.Count(), 10);
}

TEST(KeptChangesFileName, IsOneFileInTheFolderWhateverThePortsName) {
    const struct {
        const char* Port;
        const char* Expected;
    } cases[] = {{"COM1", "COM1"},
                 {"socket://host.lan:4001", "socket___host.lan_4001"},
                 {"rfc2217://[::1]:7", "rfc2217______1__7"}};
    for (const auto& c : cases) {
        const std::string name = KeptChangesFileName("/kept/", c.Port, Now());
        SCOPED_TRACE(name);
        EXPECT_EQ(name.rfind("/kept/Unsaved changes " + std::string(c.Expected) + " ", 0), 0u);
        EXPECT_TRUE(name.ends_with(".velmor"));
        // No "/" to make folders, no ":".
        EXPECT_EQ(name.find_first_of("/:", 6), std::string::npos);
    }
}

}  // namespace

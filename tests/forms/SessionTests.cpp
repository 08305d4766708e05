// The board session under the window: Disconnect and Close during long work and on a silent
// board, and a user's action arriving while a tick runs.
#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <filesystem>

#include "FormsTestSupport.h"

using velsim::TFault;

namespace {

bool HasCommand(const TCommands& Commands, const std::string& Prefix) {
    return std::any_of(Commands.begin(), Commands.end(),
                       [&](const std::string& c) { return c.rfind(Prefix, 0) == 0; });
}

}  // namespace

class SessionTests : public QObject {
    Q_OBJECT
private slots:
    void StoppedAtTheNextExchange_data();
    void StoppedAtTheNextExchange();
    void ActionDuringATickRunsAfterIt();
};

void SessionTests::StoppedAtTheNextExchange_data() {
    QTest::addColumn<QString>("during");
    QTest::addColumn<QString>("action");
    QTest::newRow("Disconnect during a retrieval") << "retrieval" << "disconnect";
    QTest::newRow("Close during a retrieval") << "retrieval" << "close";
    QTest::newRow("Disconnect on a silent board") << "silent" << "disconnect";
    QTest::newRow("Close on a silent board") << "silent" << "close";
}

void SessionTests::StoppedAtTheNextExchange() {
    QFETCH(QString, during);
    QFETCH(QString, action);
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    {
        // At the real line rate a retrieval takes about a second: long enough to be interrupted.
        auto lock = fx.Sim().Lock();
        fx.Sim().Board().Options.BaudRate = 19200;
    }
    if (during == "retrieval") {
        fx.Ui().Answers = {mbYes};
        QTest::mouseClick(w.btnRecallFromEEPROM, Qt::LeftButton);
        QVERIFY(fx.Sim().WaitForCommands(8, 10000));
        QVERIFY(!w.btnRecallFromEEPROM->isEnabled());  // it cannot be started twice
    } else {
        fx.Sim().SetFault(TFault::Silent);
        w.timerStatusTimer();
        QVERIFY(fx.Sim().WaitForCommands(1, 10000));
    }
    QVERIFY(!w.Session().Idle());
    if (action == "disconnect")
        QTest::mouseClick(w.btnFind, Qt::LeftButton);
    else
        w.close();
    QVERIFY(fx.Settle());

    const TCommands cmds = fx.Sim().Commands();
    // The work ended at the next exchange: nothing of the retrieval's end, nothing of the tick's.
    QVERIFY(!HasCommand(cmds, "PLCRD59"));
    // (The autosave at closing reads the port states on its own, as it always did.)
    if (during == "silent") QVERIFY(!HasCommand(cmds, "ADC0"));
    if (action == "disconnect") {
        QCOMPARE(w.lblConnected->text(), QString("NOT CONNECTED"));
        QVERIFY(w.isVisible());
    } else {
        // The usual sequence ran: no question (nothing changed), the autosave, the window hidden.
        QVERIFY(!w.isVisible());
        QVERIFY(std::filesystem::exists(w.AutosaveFile()));
    }
    QCOMPARE(ErrorBoxes(fx.Ui()), 0);
}

void SessionTests::ActionDuringATickRunsAfterIt() {
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    {
        auto lock = fx.Sim().Lock();
        fx.Sim().Board().Options.BaudRate = 19200;
    }
    w.timerStatusTimer();
    QVERIFY(fx.Sim().WaitForCommands(1, 10000));
    // The user switches an output while the tick still reads, then a second time.
    w.gridPort[3]->item(0, pcState)->setData(Qt::DisplayRole, 0);
    ClickCell(w.gridPort[3], 0, pcState);
    w.gridPort[3]->item(1, pcState)->setData(Qt::DisplayRole, 0);
    ClickCell(w.gridPort[3], 1, pcState);
    QVERIFY(fx.Settle());
    TCommands expected = TickCommands();
    expected.push_back("PINWR24 1");
    expected.push_back("PINWR25 1");
    QCOMPARE(ToQt(fx.Sim().Commands()), ToQt(expected));
}

VELMORANT_QTEST_MAIN(SessionTests)
#include "SessionTests.moc"

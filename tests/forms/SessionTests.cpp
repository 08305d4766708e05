// The board session under the window: Disconnect and Close during long work and on a silent
// board, and a user's action arriving while a tick runs.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <filesystem>

#include "FormsTestSupport.h"
#include "GridInput.h"
#include "StatusLine.h"

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
    void InterleavedWithTheSessionsWork_data();
    void InterleavedWithTheSessionsWork();
    void KeptChangesFileNames_data();
    void KeptChangesFileNames();
};

void SessionTests::StoppedAtTheNextExchange_data() {
    QTest::addColumn<QString>("during");
    QTest::addColumn<QString>("action");
    QTest::newRow("Disconnect during a retrieval") << "retrieval"
                                                   << "disconnect";
    QTest::newRow("Close during a retrieval") << "retrieval"
                                              << "close";
    QTest::newRow("Disconnect on a silent board") << "silent"
                                                  << "disconnect";
    QTest::newRow("Close on a silent board") << "silent"
                                             << "close";
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
        QTest::mouseClick(btnRecallFromEEPROM(w), Qt::LeftButton);
        QVERIFY(fx.Sim().WaitForCommands(8, 10000));
        QVERIFY(!btnRecallFromEEPROM(w)->isEnabled());  // it cannot be started twice
    } else {
        // The ports answer, then each analog input keeps the tick waiting: seconds of work to stop.
        fx.Sim().SetFaultFilter("ADC");
        fx.Sim().SetFault(TFault::Silent);
        w.Session().Tick();
        QVERIFY(fx.Sim().WaitForCommands(7, 10000));
    }
    QVERIFY(!w.Session().Idle());
    if (action == "disconnect")
        QTest::mouseClick(btnFind(w), Qt::LeftButton);
    else
        w.close();
    QVERIFY(fx.Settle());

    const TCommands cmds = fx.Sim().Commands();
    // The work ended at the next exchange: nothing of the retrieval's end, nothing of the tick's.
    QVERIFY(!HasCommand(cmds, "PLCRD59"));
    // (The autosave at closing reads the port states on its own, as it always did.)
    if (during == "silent") QVERIFY(!HasCommand(cmds, "ADC1"));
    if (action == "disconnect") {
        QCOMPARE(lblConnected(w)->text(), QString("NOT CONNECTED"));
        QVERIFY(w.isVisible());
    } else {
        // The usual sequence ran: no question (nothing changed), the autosave, the window hidden.
        QVERIFY(!w.isVisible());
        QVERIFY(std::filesystem::exists(w.AutosaveFile()));
    }
    QCOMPARE(ErrorBoxes(fx.Ui()), 0);
    // An exchange the user ended is no error of the board's, in the status bar or its messages.
    for (const QString& message : w.findChild<TStatusLine*>()->History())
        QVERIFY2(!message.contains("Error"), qPrintable(message));
}

void SessionTests::ActionDuringATickRunsAfterIt() {
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    {
        auto lock = fx.Sim().Lock();
        fx.Sim().Board().Options.BaudRate = 19200;
    }
    w.Session().Tick();
    QVERIFY(fx.Sim().WaitForCommands(1, 10000));
    // The user switches two outputs while the tick still reads.
    ClickCell(PortGrids(w)[3], 0, pcState);
    ClickCell(PortGrids(w)[3], 1, pcState);
    QVERIFY(fx.Settle());
    TCommands expected = TickCommands();
    expected.push_back("PINWR24 1");
    expected.push_back("PINWR25 1");
    QCOMPARE(ToQt(fx.Sim().Commands()), ToQt(expected));
}

namespace {

void SetLineRate(TWindowFixture& Fx) {
    auto lock = Fx.Sim().Lock();
    Fx.Sim().Board().Options.BaudRate = 19200;
}

// Unplugs the board while it has a change its EEPROM lacks (period 5), so that the change is kept.
void LoseWithAKeptChange(TWindowFixture& Fx, TformMain& W) {
    cmbxPeriod(W)->setCurrentIndex(5);
    emit cmbxPeriod(W)->activated(5);
    QVERIFY(Fx.Settle());
    Fx.Sim().HangUp();
    W.Session().Tick();
    QVERIFY(Fx.Settle());
    QVERIFY(lblConnected(W)->text().startsWith("CONNECTION LOST"));
}

// Plugs the board back in, as it comes after losing its power: with its EEPROM's settings.
void ReplugAfterAPowerLoss(TWindowFixture& Fx) {
    {
        auto lock = Fx.Sim().Lock();
        Fx.Sim().Board().Recall();
    }
    Fx.Sim().ClearCommands();
    QVERIFY(Fx.Sim().Replug());
}

int KeptChangesQuestions(const TScriptedUi& Ui) {
    return int(std::count_if(Ui.Messages.begin(), Ui.Messages.end(), [](const TMessageRequest& m) {
        return m.Text.find("Velmorant is back") != std::string::npos;
    }));
}

}  // namespace

void SessionTests::InterleavedWithTheSessionsWork_data() {
    QTest::addColumn<QString>("interleaving");
    QTest::newRow("a click queued behind a retrieval") << "click behind retrieval";
    QTest::newRow("Disconnect before a reconnect's result") << "disconnect before reconnected";
    QTest::newRow("kept changes declined, board lost again") << "declined then lost again";
    QTest::newRow("Close during a retrieval") << "close during retrieval";
}

void SessionTests::InterleavedWithTheSessionsWork() {
    QFETCH(QString, interleaving);
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    auto& ui = fx.Ui();

    if (interleaving == "click behind retrieval") {
        SetLineRate(fx);
        ui.Answers = {mbYes};
        QTest::mouseClick(btnRecallFromEEPROM(w), Qt::LeftButton);
        QVERIFY(fx.Sim().WaitForCommands(4, 10000));
        QTest::mouseClick(chkPullupPort0(w), Qt::LeftButton);
        QVERIFY(fx.Settle());
        // The retrieval's display update shows the click that came after it, as the board has it.
        QVERIFY(chkPullupPort0(w)->isChecked());
        QVERIFY(w.Session().State().Pullups[0]);
        auto lock = fx.Sim().Lock();
        QVERIFY(fx.Sim().Board().Working.Pullups[0]);
    } else if (interleaving == "disconnect before reconnected") {
        LoseWithAKeptChange(fx, w);
        // The reconnect's last exchange is answered late, so that Disconnect comes before its result.
        fx.Sim().SetFaultFilter("PLCRM");
        fx.Sim().SetFault(TFault::Late, 1, std::chrono::milliseconds(400));
        ReplugAfterAPowerLoss(fx);
        QTRY_VERIFY_WITH_TIMEOUT(Contains(fx.Sim().Commands(), "PLCRM 0"), 15000);
        QTest::mouseClick(btnFind(w), Qt::LeftButton);
        QVERIFY(fx.Settle());
        QTest::qWait(100);  // anything the dropped result would have started has had its turn
        QVERIFY(fx.Settle());
        QCOMPARE(lblConnected(w)->text(), QString("NOT CONNECTED"));
        QVERIFY(!Q(w.StatusText()).contains("Connected again"));
        QCOMPARE(KeptChangesQuestions(ui), 0);
    } else if (interleaving == "declined then lost again") {
        LoseWithAKeptChange(fx, w);
        ui.Answers = {mbNo};
        ReplugAfterAPowerLoss(fx);
        QTRY_COMPARE_WITH_TIMEOUT(KeptChangesQuestions(ui), 1, 15000);
        QVERIFY(fx.Settle());
        w.Session().SetTicking(false);
        fx.Sim().HangUp();
        w.Session().Tick();
        QVERIFY(fx.Settle());
        ReplugAfterAPowerLoss(fx);
        QTRY_COMPARE_WITH_TIMEOUT(lblConnected(w)->text(), QString("CONNECTED to COM1"), 15000);
        QVERIFY(fx.Settle());
        // No ends it for good: the old file is not offered again.
        QCOMPARE(KeptChangesQuestions(ui), 1);
    } else {
        // The board's EEPROM has period 0, the program's settings 5: a recall reads 0 first.
        cmbxPeriod(w)->setCurrentIndex(5);
        emit cmbxPeriod(w)->activated(5);
        QVERIFY(fx.Settle());
        SetLineRate(fx);
        fx.Sim().ClearCommands();
        ui.Answers = {mbYes, mbNo};
        QTest::mouseClick(btnRecallFromEEPROM(w), Qt::LeftButton);
        QVERIFY(fx.Sim().WaitForCommands(12, 10000));
        w.close();
        QVERIFY(fx.Settle());
        QVERIFY(!w.isVisible());
        // The autosave holds the last whole state, not the period read before the work was cut short.
        QVERIFY(ReadFile(w.AutosaveFile()).find("Period=5") != std::string::npos);
    }
}

void SessionTests::KeptChangesFileNames_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("expected");
    QTest::newRow("serial") << "COM1"
                            << "COM1";
    QTest::newRow("raw TCP") << "socket://host.lan:4001"
                             << "socket___host.lan_4001";
    QTest::newRow("RFC 2217, IPv6") << "rfc2217://[::1]:7"
                                    << "rfc2217______1__7";
}

void SessionTests::KeptChangesFileNames() {
    QFETCH(QString, port);
    QFETCH(QString, expected);
    // A name of the folder's own, whatever the port's name holds: no "/" to make folders, no ":".
    const QString name = Q(KeptChangesFileName("/kept/", port.toStdString(), Now()));
    QVERIFY2(name.startsWith("/kept/Unsaved changes " + expected + " "), qPrintable(name));
    QVERIFY(name.endsWith(".velmor"));
    QVERIFY(!name.mid(6).contains('/') && !name.contains(':'));
}

VELMORANT_QTEST_MAIN(SessionTests)
#include "SessionTests.moc"

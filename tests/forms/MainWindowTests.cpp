// The main window's start-up, connection, close sequence and stored state, against the
// simulated board through the real serial layer.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

#include "CollapsiblePanel.h"
#include "Controls.h"
#include "FormsTestSupport.h"
#include "GridInput.h"
#include "IniFile.h"
#include "UnsavedOnBoard.h"

using velsim::TFault;

namespace {

std::string AutosavePath(const std::string& Root) {
    return Root + "/documents/Velmorant/Autosaved.velmor";
}

// The board on a port the first start does not try first.
const char* const BoardPort = "COM3";

}  // namespace

class TMainWindowTests : public QObject {
    Q_OBJECT
private slots:
    void StartUpTalksToTheBoardInOrder();
    void TickMakesTwelveExchangesAndTheTimerRuns();
    void ConnectButtonDisconnectsAndReconnects();
    void NotFoundIsReportedOnlyFromThePortList();
    void CloseAsksOnlyWhenConnectedAndChanged();
    void CloseAnswers_data();
    void CloseAnswers();
    void CloseWithoutQuestionStillWritesItsFiles();
    void AutosaveGivesTheNextStartItsCommentsOnly();
    void StartAsksBeforeRecallingOverUnsavedChanges_data();
    void StartAsksBeforeRecallingOverUnsavedChanges();
    void SecondRunRestoresPortPanelsAndPlacement();
    void SilentBoardShowsErrorsAndStaysUsable();
    void LogoOpensTheMakersAddress();
    void PluggedBoardIsFoundByItself();
    void DeclinedRecallIsMarkedUntilTheyAgree_data();
    void DeclinedRecallIsMarkedUntilTheyAgree();
};

void TMainWindowTests::StartUpTalksToTheBoardInOrder() {
    TWindowFixture fx(BoardPort);
    TformMain& f = fx.OpenKeepingStartUp();
    const TCommands cmds = fx.Sim().Commands();

    // Identification (after a lone CR that clears the board's line), the pause, the recall.
    QVERIFY(cmds.size() > 20);
    QCOMPARE(ToQt(TCommands(cmds.begin(), cmds.begin() + 5)), ToQt({"", "VER", "PC", "PLCRM 0", "RECALL"}));
    QVERIFY(Contains(cmds, "UR?"));
    QVERIFY(Contains(cmds, "PLCRD59"));
    // The full display update ends the start-up: the offset, then the twelve live readings.
    TCommands tail(cmds.end() - 13, cmds.end());
    TCommands expected{"AORD4"};
    for (const auto& c : TickCommands()) expected.push_back(c);
    QCOMPARE(ToQt(tail), ToQt(expected));

    QCOMPARE(lblConnected(f)->text(), QString("CONNECTED to COM3"));
    QCOMPARE(lblFirmware(f)->text(), QString("1.05"));
    QCOMPARE(btnFind(f)->text(), QString("Disconnect"));
    QVERIFY(btnFind(f)->isChecked());
    QVERIFY(!comboPort(f)->isEnabled());
    QCOMPARE(comboPort(f)->currentText(), QString("COM3"));
    QVERIFY(btnSaveToEEPROM(f)->isEnabled());
    QVERIFY(fx.Ui().Messages.empty());
}

void TMainWindowTests::TickMakesTwelveExchangesAndTheTimerRuns() {
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    f.Session().Tick();
    QVERIFY(Settle(f));
    QCOMPARE(ToQt(fx.Sim().Commands()), ToQt(TickCommands()));

    // Connected, the timer polls by itself.
    fx.Sim().ClearCommands();
    f.ShowConnectionState();
    QVERIFY(f.Session().Ticking());
    QTRY_VERIFY_WITH_TIMEOUT(fx.Sim().Commands().size() >= 12, 5000);

    // A tick after a disconnection only stops the timer.
    f.Session().SetTicking(false);
    QVERIFY(Settle(f));
    f.Velmorant().Disconnect();
    f.Session().Resync();  // the window learns the state from the session
    QVERIFY(Settle(f));
    f.Session().SetTicking(true);
    fx.Sim().ClearCommands();
    QTRY_VERIFY_WITH_TIMEOUT(!f.Session().Ticking(), 5000);
    QVERIFY(fx.Sim().Commands().empty());
}

void TMainWindowTests::ConnectButtonDisconnectsAndReconnects() {
    TWindowFixture fx(BoardPort);
    TformMain& f = fx.Open();

    QTest::mouseClick(btnFind(f), Qt::LeftButton);
    QVERIFY(Settle(f));
    QCOMPARE(lblConnected(f)->text(), QString("NOT CONNECTED"));
    QCOMPARE(lblFirmware(f)->text(), QString("?"));
    QCOMPARE(btnFind(f)->text(), QString("Connect"));
    QVERIFY(!btnFind(f)->isChecked());
    QVERIFY(comboPort(f)->isEnabled());
    QVERIFY(!f.Session().Ticking());
    QVERIFY(!btnRecallFromEEPROM(f)->isEnabled());
    QCOMPARE(f.Connection().CollapsedCaption(), QString("COM Port Connection (NOT CONNECTED)"));

    // Connecting again asks before it overwrites the window's values; No keeps them.
    fx.Sim().ClearCommands();
    fx.Ui().Answers = {mbNo};
    QTest::mouseClick(btnFind(f), Qt::LeftButton);
    QVERIFY(Settle(f));
    fx.StopPolling();
    QVERIFY(btnFind(f)->isChecked());
    QCOMPARE(lblConnected(f)->text(), QString("CONNECTED to COM3"));
    QCOMPARE(fx.Ui().Messages.size(), size_t(1));
    QVERIFY(fx.Ui().Messages[0].Text.rfind("Do you want to recall the settings from the Velmorant", 0) == 0);
    QVERIFY(!Contains(fx.Sim().Commands(), "RECALL"));
    QVERIFY(Contains(fx.Sim().Commands(), "PLCRM 0"));

    QTest::mouseClick(btnFind(f), Qt::LeftButton);
    QVERIFY(Settle(f));
    fx.Sim().ClearCommands();
    fx.Ui().Answers = {mbYes};
    QTest::mouseClick(btnFind(f), Qt::LeftButton);
    QVERIFY(Settle(f));
    fx.StopPolling();
    QVERIFY(Contains(fx.Sim().Commands(), "RECALL"));
}

void TMainWindowTests::NotFoundIsReportedOnlyFromThePortList() {
    TWindowFixture fx(BoardPort);
    fx.Sim().OverrideReply("VER", "no board here");
    TformMain& f = fx.Open();
    QCOMPARE(lblConnected(f)->text(), QString("NOT CONNECTED"));
    QVERIFY(fx.Ui().Messages.empty());

    // The button springs back without a word.
    QTest::mouseClick(btnFind(f), Qt::LeftButton);
    QVERIFY(Settle(f));
    QVERIFY(!btnFind(f)->isChecked());
    QVERIFY(fx.Ui().Messages.empty());

    // Picking a port in the list says so.
    comboPort(f)->setCurrentIndex(comboPort(f)->findText("COM3"));
    emit comboPort(f)->activated(comboPort(f)->currentIndex());
    QVERIFY(Settle(f));
    QCOMPARE(fx.Ui().Messages.size(), size_t(1));
    QCOMPARE(fx.Ui().Messages[0].Kind, mkError);
    QCOMPARE(QString::fromStdString(fx.Ui().Messages[0].Text).section('\n', 0, 0),
             QString("Velmorant not found."));
}

void TMainWindowTests::CloseAsksOnlyWhenConnectedAndChanged() {
    TWindowFixture fx(BoardPort);
    {
        TformMain& f = fx.Open();
        QVERIFY(!f.Velmorant().Changed());
        QVERIFY(CloseAndSettle(f));
        QVERIFY(fx.Ui().Messages.empty());
    }
    {
        TformMain& f = fx.Open();
        fx.StopPolling();
        f.Velmorant().Disconnect();
        f.Velmorant().SetChanged(true);
        QVERIFY(fx.Resync());
        QVERIFY(CloseAndSettle(f));
        QVERIFY(fx.Ui().Messages.empty());
    }
}

void TMainWindowTests::CloseAnswers_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("saveFails");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<bool>("saveSent");
    QTest::newRow("Yes saves and closes") << int(mbYes) << false << true << true;
    QTest::newRow("No closes unsaved") << int(mbNo) << false << true << false;
    QTest::newRow("Cancel stays open") << int(mbCancel) << false << false << false;
    QTest::newRow("Yes with a failed save stays open") << int(mbYes) << true << false << true;
}

void TMainWindowTests::CloseAnswers() {
    QFETCH(int, answer);
    QFETCH(bool, saveFails);
    QFETCH(bool, closes);
    QFETCH(bool, saveSent);
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    TScriptedUi& ui = fx.Ui();
    f.Velmorant().SetChanged(true);
    f.Session().Resync();
    QVERIFY(Settle(f));
    if (saveFails) {
        fx.Sim().SetFaultFilter("SAVE");
        fx.Sim().SetFault(TFault::Silent, 1);
    }
    ui.Answers = {static_cast<TMsgButton>(answer)};

    QCOMPARE(CloseAndSettle(f), closes);
    QCOMPARE(ui.Messages.front().Caption, std::string("Save Changes?"));
    QCOMPARE(ui.Messages.front().Buttons, (TMsgButtons{mbYes, mbNo, mbCancel}));
    QCOMPARE(Contains(fx.Sim().Commands(), "SAVE"), saveSent);
    QCOMPARE(std::filesystem::exists(AutosavePath(fx.Root())), closes);
    if (!closes) QVERIFY(f.Velmorant().DevicePresent());
    if (saveFails) {
        QCOMPARE(ui.Messages.size(), size_t(2));
        QCOMPARE(ui.Messages[1].Kind, mkError);
        QVERIFY(ui.Messages[1].Text.find("not saved in the EEPROM") != std::string::npos);
    }
}

void TMainWindowTests::CloseWithoutQuestionStillWritesItsFiles() {
    TWindowFixture fx(BoardPort);
    TformMain& f = fx.OpenWithoutPolling();
    f.Velmorant().SetChanged(true);
    f.CloseWithoutQuestion();
    QVERIFY(fx.Settle());
    QVERIFY(!f.isVisible());
    QVERIFY(fx.Ui().Messages.empty());
    QVERIFY(std::filesystem::exists(AutosavePath(fx.Root())));
    QVERIFY(std::filesystem::exists(fx.LinksFolder() + "Velmorant.ini"));
}

void TMainWindowTests::AutosaveGivesTheNextStartItsCommentsOnly() {
    TWindowFixture fx(BoardPort);
    fx.Sim().OverrideReply("VER", "?");
    {
        TformMain& f = fx.Open();
        QVERIFY(!f.Velmorant().DevicePresent());
        QCOMPARE(f.AutosaveFile(), AutosavePath(fx.Root()));
        QVERIFY(CloseAndSettle(f));
        fx.Destroy();
    }
    // Comments beside settings and a program line the board does not have.
    {
        TIniFile ini(AutosavePath(fx.Root()));
        ini.WriteString("PinComments", "Pin9", "Pump");
        ini.WriteString("Program", "Line2.comment", "start the pump");
        ini.WriteInteger("PortDirections", "Port0", 0);
        ini.WriteString("Program", "Line2", "set port4 = 1");
    }
    fx.Sim().OverrideReply("VER", "");
    TformMain& f = fx.OpenKeepingStartUp();
    QVERIFY(f.Velmorant().DevicePresent());
    QCOMPARE(PortGrids(f)[1]->item(1, pcComment)->text(), QString("Pump"));
    QCOMPARE(CellText(f.PLC().ProgramGrid(), 2, pgComments), QString("start the pump"));
    for (const std::string& cmd : fx.Sim().Commands())
        QVERIFY2(cmd.rfind("DIRWR", 0) != 0 && cmd.rfind("PLCWR", 0) != 0, cmd.c_str());
    QCOMPARE(f.Session().State().Directions[0], f.Velmorant().GetPortDirection(0));
    QVERIFY(f.Session().State().Directions[0] != 0);
    QVERIFY(!f.Session().State().Changed);
}

void TMainWindowTests::StartAsksBeforeRecallingOverUnsavedChanges_data() {
    QTest::addColumn<bool>("recall");
    QTest::addColumn<bool>("refused");  // the board answers RECALL with "?" (the simulator still recalls)
    QTest::newRow("No keeps the board's settings") << false << false;
    QTest::newRow("Yes recalls as every start does") << true << false;
    QTest::newRow("a refused recall keeps the record") << true << true;
}

// Closed with No to saving, the board keeps a change its EEPROM lacks: the next start asks before
// its RECALL would undo it, and the safe answer sends nothing but reads.
void TMainWindowTests::StartAsksBeforeRecallingOverUnsavedChanges() {
    QFETCH(bool, recall);
    QFETCH(bool, refused);
    TWindowFixture fx(BoardPort);
    {
        TformMain& f = fx.OpenWithoutPolling();
        cmbxPeriod(f)->setCurrentIndex(5);
        emit cmbxPeriod(f)->activated(5);
        QVERIFY(Settle(f));
        fx.Ui().Answers = {mbNo};
        QVERIFY(CloseAndSettle(f));
        fx.Destroy();
    }
    fx.Sim().ClearCommands();
    if (refused) fx.Sim().OverrideReply("RECALL", "?");
    TformMain& f = fx.Create();
    fx.Ui().Answers = {recall ? mbYes : mbNo};
    f.show();
    QVERIFY(Settle(f));
    f.Session().SetTicking(false);
    QVERIFY(Settle(f));
    QCOMPARE(fx.Ui().Messages.size(), size_t(1));
    QVERIFY(fx.Ui().Messages[0].Text.find("when it was last used: the update period.") != std::string::npos);
    QCOMPARE(Contains(fx.Sim().Commands(), "RECALL"), recall);
    if (!refused) {
        QCOMPARE(cmbxPeriod(f)->currentIndex() == 5, !recall);
        QCOMPARE(f.Session().State().Changed, !recall);
    }
    // The record goes only with a recall the board took.
    QCOMPARE(UnsavedOnBoard(f.Session().State().ComPortName) != 0, !recall || refused);
}

void TMainWindowTests::SecondRunRestoresPortPanelsAndPlacement() {
    TWindowFixture fx(BoardPort);
    QRect placed;
    int heightCollapsed = 0;
    {
        TformMain& f = fx.Open();
        QCOMPARE(comboPort(f)->currentText(), QString("COM3"));
        const int fullHeight = f.height();
        f.Analog().SetExpanded(false);
        f.PLC().SetExpanded(false);
        heightCollapsed = f.height();
        QVERIFY(heightCollapsed < fullHeight);
        f.move(f.pos() + QPoint(13, 7));
        placed = f.geometry();
        QVERIFY(CloseAndSettle(f));
        fx.Destroy();
    }
    const TIniFile ini(fx.LinksFolder() + "Velmorant.ini");
    QCOMPARE(ini.ReadString("formMain", "pnlAnalog.Expanded", ""), std::string("False"));

    TformMain& f = fx.Open();
    QCOMPARE(comboPort(f)->currentText(), QString("COM3"));
    QVERIFY(!f.Analog().Expanded());
    QVERIFY(f.Pins().Expanded());
    QVERIFY(!f.PLC().Expanded());
    QCOMPARE(f.geometry(), placed);
    // Opening a panel again gives its room back.
    f.PLC().SetExpanded(true);
    QVERIFY(f.height() > heightCollapsed);
}

void TMainWindowTests::SilentBoardShowsErrorsAndStaysUsable() {
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    // Each silent reply costs the full reply deadline, so only two.
    fx.Sim().SetFaultFilter("TEMP");
    fx.Sim().SetFault(TFault::Silent, 1);
    const QString before = lblTemp(f)->text();
    f.Session().Tick();
    QVERIFY(Settle(f));
    QCOMPARE(f.StatusText(), std::string("Error reading temperature"));
    // The failed read shows no value of its own: the last good one stays.
    QCOMPARE(lblTemp(f)->text(), before);
    QVERIFY(f.Velmorant().DevicePresent());
    QVERIFY(btnFind(f)->isChecked());

    fx.Sim().SetFaultFilter("PRTRD2");
    fx.Sim().SetFault(TFault::Silent, 1);
    f.Session().Tick();
    QVERIFY(Settle(f));
    QCOMPARE(f.StatusText(), std::string("Error reading port"));

    // The next tick goes through; the status keeps the last error.
    fx.Sim().ClearCommands();
    f.Session().Tick();
    QVERIFY(Settle(f));
    QCOMPARE(ToQt(fx.Sim().Commands()), ToQt(TickCommands()));
    QCOMPARE(f.StatusText(), std::string("Error reading port"));
    QVERIFY(fx.Ui().Messages.empty());
}

void TMainWindowTests::LogoOpensTheMakersAddress() {
    TWindowFixture fx(BoardPort);
    TformMain& f = fx.Open();
    QTest::mouseClick(imgLogo(f), Qt::LeftButton);
    QCOMPARE(fx.Ui().Urls, std::vector<std::string>{MakerWebAddress});
}

void TMainWindowTests::PluggedBoardIsFoundByItself() {
    TWindowFixture fx;
    // No board where the window looks first: it starts without one.
    std::filesystem::remove(fx.LinksFolder() + "ports/COM1");
    TformMain& w = fx.Open();
    QCOMPARE(lblConnected(w)->text(), QString("NOT CONNECTED"));
    fx.Ui().Answers = {mbNo};

    QVERIFY(fx.Sim().LinkAs("COM4", fx.LinksFolder()));
    QTRY_COMPARE_WITH_TIMEOUT(lblConnected(w)->text(), QString("CONNECTED to COM4"), 10000);
    QVERIFY(fx.Settle());
    // Connected as by the Connect button: the recall question, answered No here.
    QCOMPARE(fx.Ui().Messages.size(), size_t(1));
    QVERIFY(fx.Ui().Messages[0].Text.rfind("Do you want to recall the settings", 0) == 0);
}

void TMainWindowTests::DeclinedRecallIsMarkedUntilTheyAgree_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("sent");  // a command the way out sends
    QTest::newRow("send the program's settings") << "btnSendProgramSettings"
                                                 << "PLCWR0 00000000";
    QTest::newRow("read the board's") << "btnReadBoardSettings"
                                      << "PLCRD0";
}

void TMainWindowTests::DeclinedRecallIsMarkedUntilTheyAgree() {
    QFETCH(QString, button);
    QFETCH(QString, sent);
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    auto* mark = Control<QWidget>(w.EEPROM(), "pnlProgramSettings");
    QVERIFY(mark->isHidden());
    QTest::mouseClick(btnFind(w), Qt::LeftButton);
    QVERIFY(fx.Settle());
    fx.Ui().Answers = {mbNo};
    QTest::mouseClick(btnFind(w), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QVERIFY(!mark->isHidden());
    fx.Sim().ClearCommands();

    QTest::mouseClick(Control<QPushButton>(w.EEPROM(), qPrintable(button)), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QVERIFY2(Contains(fx.Traffic(), sent.toStdString()), qPrintable(ToQt(fx.Traffic()).join(", ")));
    QVERIFY(!Contains(fx.Traffic(), "RECALL"));
    QVERIFY(mark->isHidden());
    // What was sent is not in the board's EEPROM yet.
    QCOMPARE(w.Session().State().Changed, button == "btnSendProgramSettings");
}

VELMORANT_QTEST_MAIN(TMainWindowTests)
#include "MainWindowTests.moc"

// What the window tells the user after each action that changes the board or a file, and how it
// shows readings and ports it no longer has.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QToolButton>
#include <QtTest>

#include "Controls.h"
#include "FormsTestSupport.h"
#include "GeneralLib.h"
#include "GridDelegates.h"
#include "GridInput.h"
#include "IniFile.h"
#include "NetPort.h"
#include "SharedPorts.h"

class FeedbackTests : public QObject {
    Q_OBJECT
private slots:
    void StatusAfterEachAction_data();
    void StatusAfterEachAction();
    void UnsavedMarkFollowsTheEEPROM();
    void DisconnectedReadingsAreFaded();
    void NetworkPortIsKeptAndTried();
    void SharedBoardIsListedAndReachedAtItsService();
    void Pictures();
    void FirstHourPictures();
    void SecondHourPictures();
    void LongStatusIsWholeOnHoverAndInTheMessages();
    void SmallWindowScrolls();
};

void FeedbackTests::StatusAfterEachAction_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("status");  // the status text's start; <file> is the file used
    QTest::newRow("EEPROM save") << "save eeprom"
                                 << "Settings saved in the EEPROM on the Velmorant";
    QTest::newRow("EEPROM recall") << "recall eeprom"
                                   << "Settings recalled from the EEPROM on the Velmorant";
    QTest::newRow("file saved") << "save file"
                                << "Settings saved in <file>";
    QTest::newRow("file recalled") << "recall file"
                                   << "Settings recalled from <file>, 60 program lines sent to the Velmorant";
    QTest::newRow("log written") << "log"
                                 << "Data log written to ";
}

void FeedbackTests::StatusAfterEachAction() {
    QFETCH(QString, action);
    QFETCH(QString, status);
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    const std::string file = ApplicationFolders.UserDataPath + "feedback.velmor";
    if (action == "save eeprom") {
        QTest::mouseClick(btnSaveToEEPROM(w), Qt::LeftButton);
    } else if (action == "recall eeprom") {
        fx.Ui().Answers = {mbYes};
        QTest::mouseClick(btnRecallFromEEPROM(w), Qt::LeftButton);
    } else if (action == "log") {
        QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
        w.Logging().LogRow(TTickReadings{});
        QVERIFY(Settle(w));
        QVERIFY(w.findChild<QLabel*>("lblLogging")->text().startsWith("Logging: 1 row taken"));
        QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    } else {
        fx.Ui().FileNames = {file};
        if (action == "recall file") {
            fx.Ui().FileNames.push_front(file);
            miSavetoFile(w)->trigger();
            QVERIFY(fx.Settle());
        }
        (action == "save file" ? miSavetoFile(w) : miRecallfromFile(w))->trigger();
    }
    QVERIFY(fx.Settle());
    status.replace("<file>", Q(file));
    QVERIFY2(Q(w.StatusText()).startsWith(status), qPrintable(Q(w.StatusText())));
    QCOMPARE(ErrorBoxes(fx.Ui()), 0);
}

void FeedbackTests::UnsavedMarkFollowsTheEEPROM() {
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    auto* mark = w.findChild<QLabel*>("lblUnsaved");
    QVERIFY(mark != nullptr && mark->isHidden());
    cmbxPeriod(w)->setCurrentIndex(3);
    emit cmbxPeriod(w)->activated(3);
    QVERIFY(fx.Settle());
    QVERIFY(!mark->isHidden());
    QTest::mouseClick(btnSaveToEEPROM(w), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QVERIFY(mark->isHidden());
    QCOMPARE(w.windowTitle(), QString("Velmorant"));  // the caption stays as it is
}

void FeedbackTests::DisconnectedReadingsAreFaded() {
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    const QVariant shown = gridAnalog1(w)->item(0, acValue)->data(Qt::DisplayRole);
    QVERIFY(!gridAnalog1(w)->item(0, acValue)->data(StaleRole).toBool());
    QTest::mouseClick(btnFind(w), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QCOMPARE(lblConnected(w)->text(), QString("NOT CONNECTED"));
    // The last readings stay to be read, marked as no longer live.
    QCOMPARE(gridAnalog1(w)->item(0, acValue)->data(Qt::DisplayRole), shown);
    QVERIFY(gridAnalog1(w)->item(0, acValue)->data(StaleRole).toBool());
    QVERIFY(PortGrids(w)[0]->item(0, pcState)->data(StaleRole).toBool());
}

void FeedbackTests::NetworkPortIsKeptAndTried() {
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    QTest::mouseClick(btnFind(w), Qt::LeftButton);
    QVERIFY(fx.Settle());
    fx.Sim().ClearCommands();
    // A malformed name is refused with its reason and asked again; port 1 on the loopback refuses.
    fx.Ui().TextAnswers = {"socket://127.0.0.1:70000", "socket://127.0.0.1:1"};
    const int add = comboPort(w)->findText(AddNetworkPortItem);
    QCOMPARE(add, comboPort(w)->count() - 1);
    comboPort(w)->setCurrentIndex(add);
    emit comboPort(w)->activated(add);
    QVERIFY(fx.Settle());
    QCOMPARE(comboPort(w)->currentText(), QString("socket://127.0.0.1:1"));
    QCOMPARE(ErrorBoxes(fx.Ui()), 2);  // the malformed name, then "Velmorant not found."
    QVERIFY(Q(fx.Ui().Messages.back().Text).startsWith("Velmorant not found."));
    QVERIFY(fx.Sim().Commands().empty());  // the local board was not tried instead
    QCOMPARE(lblConnected(w)->text(), QString("NOT CONNECTED"));
    const TIniFile ini(ApplicationFolders.AppSettingsPath + "Velmorant.ini");
    QCOMPARE(ReadNetworkPortNames(ini), std::vector<std::string>{"socket://127.0.0.1:1"});
}

// With VELMORANT_FEEDBACK_PICTURES=<folder> (under Xvfb, -platform xcb): the window logging, and
// the window after Disconnect with its readings faded.
// A board a service on this machine shares is listed by its own port and reached at the service's
// address, alone; the notice of a service that is gone is passed over.
void FeedbackTests::SharedBoardIsListedAndReachedAtItsService() {
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    QTest::mouseClick(btnFind(w), Qt::LeftButton);
    QVERIFY(fx.Settle());
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(fx.Root() + "/run"));
    std::string error;
    QVERIFY(!PublishSharedPort(fx.Root() + "/run/velmorant/COM7", {"COM7", "socket://127.0.0.1:1"}, error)
                 .empty());
    veltest::WriteFile(fx.Root() + "/run/velmorant/COM8.share",
                       "[Shared port]\nBoard=COM8\nAddress=socket://127.0.0.1:2\nProcess=2147483647\n");
    w.Connection().comboPortDropDown();
    QVERIFY(fx.Settle());
    qputenv("XDG_RUNTIME_DIR", runtime);
    QCOMPARE(comboPort(w)->findText("COM8 (shared by velmorant serve)"), -1);
    const int shared = comboPort(w)->findText("COM7 (shared by velmorant serve)");
    QVERIFY(shared >= 0);
    fx.Sim().ClearCommands();
    comboPort(w)->setCurrentIndex(shared);
    emit comboPort(w)->activated(shared);
    QVERIFY(fx.Settle());
    QVERIFY(Q(fx.Ui().Messages.back().Text).startsWith("Velmorant not found."));
    QVERIFY(fx.Sim().Commands().empty());  // the local board was not tried instead
    QCOMPARE(comboPort(w)->currentText(), QString("COM7 (shared by velmorant serve)"));
}

void FeedbackTests::Pictures() {
    const QString folder = qEnvironmentVariable("VELMORANT_FEEDBACK_PICTURES");
    if (folder.isEmpty()) QSKIP("no picture folder given");
    TWindowFixture fx;
    TformMain& w = fx.Open();
    spinLogInterval(w)->setValue(1);
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w.Logging().DataLogger().Count() >= 3, 15000);
    QVERIFY(w.grab().save(folder + "/screenshot-logging.png"));
    QTest::mouseClick(btnFind(w), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QVERIFY(w.grab().save(folder + "/screenshot-disconnected.png"));
}

// With VELMORANT_FEEDBACK_PICTURES as above: comments kept from the last close, the focus on an
// output pin in a window smaller than its panels, text after a complete line, and whole messages.
void FeedbackTests::FirstHourPictures() {
    const QString folder = qEnvironmentVariable("VELMORANT_FEEDBACK_PICTURES");
    if (folder.isEmpty()) QSKIP("no picture folder given");
    TWindowFixture fx;
    const std::string userData = fx.Root() + "/documents/Velmorant/";
    QVERIFY(ForceDirectories(userData));
    {
        TIniFile ini(userData + "Autosaved.velmor");
        for (const auto& [pin, comment] : {std::pair{"Pin0", "Start button"},
                                           {"Pin1", "Stop button"},
                                           {"Pin8", "Pump"},
                                           {"Pin9", "Valve"},
                                           {"Pin16", "Alarm lamp"}})
            ini.WriteString("PinComments", pin, comment);
        ini.WriteString("Program", "Line0.comment", "start the pump");
    }
    TformMain& w = fx.OpenWithoutPolling();
    w.resize(840, 520);
    QTableWidget* port1 = PortGrids(w)[1];
    QVERIFY(ChooseInCell(port1, 0, pcDirection, "Output"));
    QVERIFY(fx.Settle() && fx.Activate());
    port1->setFocus();
    port1->setCurrentCell(0, pcState);
    QTest::keyClick(port1, Qt::Key_Space);
    w.Session().Tick();  // the pin as the board now has it
    QVERIFY(fx.Settle());
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(w.grab().save(folder + "/screenshot-keyboard-and-comments.png"));

    w.resize(840, 760);
    QVERIFY(EditCellByClick(w.PLC().ProgramGrid(), 0, pgCode, "if PIN3 = 1 goto 2 extra"));
    QVERIFY(fx.Settle());
    Control<QScrollArea>(w, "scrollPanels")->ensureWidgetVisible(w.PLC().ProgramGrid());
    for (const char* text :
         {"The Velmorant on COM1 does not answer", "Connected again to the Velmorant on COM1",
          "Error reading port The settings were not saved in the EEPROM on the Velmorant."})
        w.SetStatusText(text);
    w.SetStatusText("Settings saved in " + userData + "a rather long folder name/pump station 3.velmor");
    QVERIFY(w.grab().save(folder + "/screenshot-line-hint-and-status.png"));

    QTest::mouseClick(Control<QToolButton>(w, "btnStatusHistory"), Qt::LeftButton);
    auto* history = w.findChild<QDialog*>("dlgStatusHistory");
    QVERIFY(history != nullptr && QTest::qWaitForWindowExposed(history));
    QVERIFY(history->grab().save(folder + "/screenshot-messages.png"));
    history->close();
}

void FeedbackTests::SecondHourPictures() {
    const QString folder = qEnvironmentVariable("VELMORANT_FEEDBACK_PICTURES");
    if (folder.isEmpty()) QSKIP("no picture folder given");
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    w.resize(840, 760);
    QVERIFY(EditCellByClick(w.PLC().ProgramGrid(), 0, pgCode, "goto 3 extra"));
    QVERIFY(EditCellByClick(w.PLC().ProgramGrid(), 1, pgCode, "if AIN0 > 300 goto 2"));
    QVERIFY(EditCellByClick(w.PLC().ProgramGrid(), 2, pgCode, "delay 20"));
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    for (int tick = 0; tick < 3; ++tick) w.Logging().LogRow(TTickReadings{});
    QVERIFY(fx.Settle());
    Control<QScrollArea>(w, "scrollPanels")->ensureWidgetVisible(w.PLC().ProgramGrid());
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(w.grab().save(folder + "/screenshot-second-hour.png"));
    Control<QAction>(w, "miHelpProgramLines")->trigger();
    auto* help = w.findChild<QDialog*>("dlgHelp");
    QVERIFY(help != nullptr && QTest::qWaitForWindowExposed(help));
    QVERIFY(help->grab().save(folder + "/screenshot-help-program-lines.png"));
}

void FeedbackTests::LongStatusIsWholeOnHoverAndInTheMessages() {
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    const std::string text = "Settings saved in " + std::string(300, 'x') + "/the end.velmor";
    w.SetStatusText(text);
    auto* status = Control<QLabel>(w, "sbarStatus");
    QVERIFY(status->text().size() < int(text.size()));
    QVERIFY(status->text().startsWith("Settings saved in ") && status->text().endsWith("the end.velmor"));
    QCOMPARE(status->toolTip(), Q(text));
    w.SetStatusText("Disconnected");
    QVERIFY(status->toolTip().isEmpty());

    QTest::mouseClick(Control<QToolButton>(w, "btnStatusHistory"), Qt::LeftButton);
    auto* messages = Control<QPlainTextEdit>(*w.findChild<QDialog*>("dlgStatusHistory"), "textStatusHistory");
    const QStringList lines = messages->toPlainText().split('\n', Qt::SkipEmptyParts);
    QVERIFY(lines.size() >= 2);
    QVERIFY(lines[0].endsWith("  Disconnected"));
    QVERIFY(lines[1].endsWith("  " + Q(text)));
    // The start-up's retrieval showed its progress, which is no message to keep.
    QVERIFY(!messages->toPlainText().contains("Reading program line"));
}

void FeedbackTests::SmallWindowScrolls() {
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    auto* scroller = Control<QScrollArea>(w, "scrollPanels");
    QVERIFY(!scroller->verticalScrollBar()->isVisible());
    w.resize(w.width(), 420);
    QTRY_VERIFY(scroller->verticalScrollBar()->isVisible());
    // The bottom bar is still there to be scrolled to.
    scroller->ensureWidgetVisible(btnSaveToEEPROM(w));
    QVERIFY(btnSaveToEEPROM(w)->visibleRegion().boundingRect().height() > 0);
}

VELMORANT_QTEST_MAIN(FeedbackTests)
#include "FeedbackTests.moc"

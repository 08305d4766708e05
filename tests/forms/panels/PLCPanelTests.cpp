// The PLC program panel against a simulated board: typing lines and comments into the program
// grid and the marks of a line in error, run, stop and single step by button and key, PLC mode,
// the update period, and a typed program that runs on the board.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>
#include <QToolBar>
#include <QtTest>

#include "Controls.h"
#include "FormsTestSupport.h"
#include "GridInput.h"
#include "TestProgramLines.h"

using veltest::Parsed;

class TPLCPanelTests : public QObject {
    Q_OBJECT
private slots:
    void init() { FFixture = std::make_unique<TWindowFixture>(); }
    void cleanup() { FFixture.reset(); }

    void CodeEdit_data();
    void CodeEdit();
    void CommentEditIsStoredNotSent();
    void FirstClickOnAnotherCellDoesNotEdit();
    void ErrorTextGoesWhenTheLineIsReplaced();
    void MarksShowAndClear_data();
    void MarksShowAndClear();
    void RunAndStop_data();
    void RunAndStop();
    void SingleStep_data();
    void SingleStep();
    void Keys_data();
    void Keys();
    void EditingStartsWhereTheUserChose_data();
    void EditingStartsWhereTheUserChose();
    void PLCModeSwitchesEditing();
    void RecallOfBoardWithPLCOffSendsItBack();
    void PeriodIsSentForTheUsersChoiceOnly_data();
    void PeriodIsSentForTheUsersChoiceOnly();
    void TypedProgramRunsOnBoard();

private:
    std::unique_ptr<TWindowFixture> FFixture;
};

void TPLCPanelTests::CodeEdit_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("traffic");
    QTest::addColumn<QString>("shownAfterUpdate");  // empty: the line as it was before

    QTest::newRow("set port") << "set port0 = 5"
                              << "" << QStringList{"PLCWR3 1B00403B"} << "set PORT0 = 5 OR 0";
    QTest::newRow("set pin") << "set pin3 = 1"
                             << "" << QStringList{"PLCWR3 1B093C3B"} << "set PIN3 = 1 OR 0";
    QTest::newRow("missing =") << "set port0 5"
                               << "Missing \"=\" in SET statement" << QStringList{} << "";
    QTest::newRow("unknown word") << "jump 4"
                                  << "" << QStringList{} << "";
}

void TPLCPanelTests::CodeEdit() {
    QFETCH(QString, typed);
    QFETCH(QString, error);
    QFETCH(QStringList, traffic);
    QFETCH(QString, shownAfterUpdate);
    TformMain& w = FFixture->OpenWithoutPolling();
    QTableWidget* grid = w.PLC().ProgramGrid();
    w.Velmorant().SetProgramLine(3, Parsed("goto 7", "pump"));
    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    const QString before = CellText(grid, 3, pgCode);
    // A stale message from an earlier edit must go when the line is typed again.
    grid->item(3, pgErrors)->setText("old message");
    FFixture->Sim().ClearCommands();

    QVERIFY(EditCellByClick(grid, 3, pgCode, typed));

    const bool valid = traffic.size() > 0;
    if (valid) {
        QCOMPARE(CellText(grid, 3, pgErrors), error);
    } else {
        QVERIFY(!CellText(grid, 3, pgErrors).isEmpty());
        QVERIFY(CellText(grid, 3, pgErrors) != "old message");
        if (!error.isEmpty()) QCOMPARE(CellText(grid, 3, pgErrors), error);
    }
    QCOMPARE(ToQt(FFixture->Traffic()), traffic);
    QCOMPARE(CellText(grid, 3, pgCode), typed);
    const TProgramLine stored = w.Velmorant().GetProgramLine(3);
    QCOMPARE(Q(stored.Comment), QString("pump"));
    QCOMPARE(Q(ProgramLineToText(stored)), valid ? shownAfterUpdate : before);

    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    QCOMPARE(CellText(grid, 3, pgCode), valid ? shownAfterUpdate : before);
}

void TPLCPanelTests::CommentEditIsStoredNotSent() {
    TformMain& w = FFixture->OpenWithoutPolling();
    QTableWidget* grid = w.PLC().ProgramGrid();
    w.Velmorant().SetProgramLine(3, Parsed("set port4 = 1"));
    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    FFixture->Sim().ClearCommands();

    QVERIFY(EditCellByClick(grid, 3, pgComments, "pump on"));

    QCOMPARE(ToQt(FFixture->Traffic()), QStringList{});
    QCOMPARE(Q(w.Velmorant().GetProgramLine(3).Comment), QString("pump on"));
    QCOMPARE(Q(ProgramLineToText(w.Velmorant().GetProgramLine(3))), QString("set PORT4 = 1 OR 0"));
    // The next code edit keeps the comment beside it.
    QVERIFY(EditCellByClick(grid, 3, pgCode, "set port4 = 2"));
    QCOMPARE(Q(w.Velmorant().GetProgramLine(3).Comment), QString("pump on"));
    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    QCOMPARE(CellText(grid, 3, pgComments), QString("pump on"));
}

void TPLCPanelTests::FirstClickOnAnotherCellDoesNotEdit() {
    TformMain& w = FFixture->Open();
    QTableWidget* grid = w.PLC().ProgramGrid();
    QCOMPARE(grid->editTriggers() & QAbstractItemView::SelectedClicked, QAbstractItemView::SelectedClicked);
    QCOMPARE(grid->editTriggers() & QAbstractItemView::CurrentChanged, QAbstractItemView::NoEditTriggers);
    grid->setCurrentCell(1, pgCode);
    ClickCell(grid, 2, pgCode);
    QCOMPARE(w.PLC().CurrentLine(), 2);
    QVERIFY(CellEditor(grid) == nullptr);
    // The line number and error columns are not the user's to type into.
    for (int col : {pgLineNo, pgErrors}) QVERIFY(!(grid->item(2, col)->flags() & Qt::ItemIsEditable));
}

void TPLCPanelTests::ErrorTextGoesWhenTheLineIsReplaced() {
    TformMain& w = FFixture->Open();
    QTableWidget* grid = w.PLC().ProgramGrid();
    QVERIFY(EditCellByClick(grid, 5, pgCode, "if ain9 > 3 goto 1"));
    QVERIFY(!CellText(grid, 5, pgErrors).isEmpty());
    // The board's line 5 comes back from the board: a message about the typed text would be stale.
    w.EEPROM().RecallFromDevice(false, false);
    QVERIFY(FFixture->Settle());
    QCOMPARE(CellText(grid, 5, pgErrors), QString());
    QCOMPARE(CellText(grid, 5, pgCode), QString("nop"));
}

void TPLCPanelTests::MarksShowAndClear_data() {
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("taller");
    QTest::newRow("long error wraps") << QString("Invalid rvalue specifier (X). ").repeated(4) << true;
    QTest::newRow("short error") << "Missing GOTO" << false;
    QTest::newRow("cleared") << "" << false;
}

// Each case follows a long error on the same line, so a short one or a clearing must undo it.
void TPLCPanelTests::MarksShowAndClear() {
    QFETCH(QString, error);
    QFETCH(bool, taller);
    TformMain& w = FFixture->OpenWithoutPolling();
    QVERIFY(FFixture->Activate());
    QTableWidget* grid = w.PLC().ProgramGrid();
    const int rowHeight = grid->rowHeight(3);
    grid->item(3, pgCode)->setText("set port0 5");

    MarkProgramLineError(grid, 3, std::string(200, 'x') + " and more");
    MarkProgramLineError(grid, 3, error.toStdString());

    const bool marked = !error.isEmpty();
    QCOMPARE(grid->item(3, pgErrors)->text(), error);
    QCOMPARE(grid->item(3, pgErrors)->data(Qt::BackgroundRole).isValid(), marked);
    QCOMPARE(grid->item(3, pgCode)->text(), QString("set port0 5"));
    QCOMPARE(grid->item(3, pgCode)->data(Qt::ForegroundRole).isValid(), marked);
    QCOMPARE(grid->item(3, pgCode)->font().italic(), marked);
    QCOMPARE(grid->rowHeight(3) > rowHeight, taller);
    QVERIFY(!grid->item(4, pgCode)->data(Qt::ForegroundRole).isValid());
}

void TPLCPanelTests::RunAndStop_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("boardRunMode");
    QTest::addColumn<bool>("runPressed");
    QTest::addColumn<bool>("stopPressed");
    QTest::newRow("run") << "tbtnRun"
                         << "PLCRM 2" << 2 << true << false;
    QTest::newRow("stop") << "tbtnStop"
                          << "PLCRM 0" << 0 << false << true;
}

void TPLCPanelTests::RunAndStop() {
    QFETCH(QString, button);
    QFETCH(QString, command);
    QFETCH(int, boardRunMode);
    QFETCH(bool, runPressed);
    QFETCH(bool, stopPressed);
    TformMain& w = FFixture->OpenWithoutPolling();
    // Start from the other state, so that the click has something to change.
    w.Velmorant().SetPLCRunMode(runPressed ? rmPaused : rmRun);
    QVERIFY(FFixture->Resync());
    w.PLC().ShowPLCState(true, w.Session().State().PLCRunMode);
    FFixture->Sim().ClearCommands();

    auto* b = w.findChild<TPressedToolButton*>(button);
    QVERIFY(b != nullptr && b->isEnabled());
    QTest::mouseClick(b, Qt::LeftButton);
    QVERIFY(FFixture->Settle());

    QCOMPARE(ToQt(FFixture->Traffic()), QStringList{command});
    {
        auto lock = FFixture->Sim().Lock();  // the simulator's thread keeps board time
        QCOMPARE(FFixture->Sim().Board().RunMode, boardRunMode);
    }
    QCOMPARE(tbtnRun(w)->Pressed(), runPressed);
    QCOMPARE(tbtnStop(w)->Pressed(), stopPressed);
    QCOMPARE(tbtnSingleStep(w)->Pressed(), false);
    // A second click on a pressed button leaves it pressed.
    QTest::mouseClick(b, Qt::LeftButton);
    QVERIFY(FFixture->Settle());
    QVERIFY(b->Pressed());
}

void TPLCPanelTests::SingleStep_data() {
    QTest::addColumn<int>("selected");   // -1: none
    QTest::addColumn<QString>("reply");  // empty: the board's own answer
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("selectedAfter");
    QTest::newRow("next line") << 4 << "5"
                               << "PLCEX 4" << 5;
    QTest::newRow("board's own answer") << 4 << ""
                                        << "PLCEX 4" << 5;
    QTest::newRow("no selection") << -1 << ""
                                  << "PLCEX -1" << 1;
    QTest::newRow("minus one") << 4 << "-1"
                               << "PLCEX 4" << 4;
    QTest::newRow("not a number") << 4 << "end"
                                  << "PLCEX 4" << 4;
    QTest::newRow("hex is not decimal") << 4 << "$A"
                                        << "PLCEX 4" << 4;
    QTest::newRow("beyond the last row") << 4 << "60"
                                         << "PLCEX 4" << 4;
    QTest::newRow("last row") << 4 << "59"
                              << "PLCEX 4" << 59;
    QTest::newRow("row 0") << 7 << "0"
                           << "PLCEX 7" << 0;
}

void TPLCPanelTests::SingleStep() {
    QFETCH(int, selected);
    QFETCH(QString, reply);
    QFETCH(QString, command);
    QFETCH(int, selectedAfter);
    TformMain& w = FFixture->OpenWithoutPolling();
    w.PLC().SetCurrentLine(selected);
    QCOMPARE(w.PLC().CurrentLine(), selected);
    if (!reply.isEmpty()) FFixture->Sim().OverrideReply("PLCEX", reply.toStdString());
    FFixture->Sim().ClearCommands();

    QTest::mouseClick(tbtnSingleStep(w), Qt::LeftButton);
    QVERIFY(FFixture->Settle());

    QCOMPARE(ToQt(FFixture->Traffic()), QStringList{command});
    QCOMPARE(w.PLC().CurrentLine(), selectedAfter);
    // Stepping does not change the run mode the buttons show.
    QVERIFY(tbtnStop(w)->Pressed());
    QVERIFY(!tbtnSingleStep(w)->Pressed());
    QCOMPARE(w.Velmorant().PLCRunMode(), rmPaused);
}

void TPLCPanelTests::Keys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("command");  // the command the key sends, or "" for a dialog
    QTest::addColumn<QString>("dialog");   // the title of the dialog it opens
    QTest::newRow("F5 runs") << int(Qt::Key_F5) << int(Qt::NoModifier) << "PLCRM 2"
                             << "";
    QTest::newRow("Shift+F5 stops") << int(Qt::Key_F5) << int(Qt::ShiftModifier) << "PLCRM 0"
                                    << "";
    QTest::newRow("F10 steps the current line") << int(Qt::Key_F10) << int(Qt::NoModifier) << "PLCEX 2"
                                                << "";
    QTest::newRow("Ctrl+O recalls") << int(Qt::Key_O) << int(Qt::ControlModifier) << ""
                                    << "Recall Settings";
    QTest::newRow("Ctrl+S saves") << int(Qt::Key_S) << int(Qt::ControlModifier) << ""
                                  << "Save Settings";
}

void TPLCPanelTests::Keys() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, command);
    QFETCH(QString, dialog);
    TformMain& w = FFixture->OpenWithoutPolling();
    QVERIFY(FFixture->Activate());
    QVERIFY(tbarProgram(w)->isEnabled());
    w.PLC().ProgramGrid()->setCurrentCell(2, pgCode);
    FFixture->Sim().ClearCommands();

    QTest::keyClick(&w, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    if (!command.isEmpty()) {
        QTRY_VERIFY2(Contains(FFixture->Traffic(), command.toStdString()),
                     qPrintable(ToQt(FFixture->Traffic()).join(", ")));
    } else {
        QTRY_COMPARE(FFixture->Ui().FileRequests.size(), size_t(1));
        QCOMPARE(Q(FFixture->Ui().FileRequests.front().Title), dialog);
    }
}

void TPLCPanelTests::EditingStartsWhereTheUserChose_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<bool>("opens");
    QTest::newRow("Enter") << int(Qt::Key_Return) << true << true;
    QTest::newRow("F2") << int(Qt::Key_F2) << true << true;
    QTest::newRow("a letter") << int(Qt::Key_S) << true << true;
    QTest::newRow("a letter, cell not selected") << int(Qt::Key_S) << false << false;
}

void TPLCPanelTests::EditingStartsWhereTheUserChose() {
    QFETCH(int, key);
    QFETCH(bool, selected);
    QFETCH(bool, opens);
    TformMain& w = FFixture->OpenWithoutPolling();
    QTableWidget* grid = w.PLC().ProgramGrid();
    grid->setCurrentCell(2, pgCode);
    if (!selected) grid->clearSelection();
    QTest::keyClick(grid, Qt::Key(key));
    QCOMPARE(CellEditor(grid) != nullptr, opens);
}

void TPLCPanelTests::PLCModeSwitchesEditing() {
    TformMain& w = FFixture->OpenWithoutPolling();
    QVERIFY(chkPLCEnabled(w)->isChecked());
    QVERIFY(tbarProgram(w)->isEnabled() && w.PLC().ProgramGrid()->isEnabled());

    struct TStep {
        bool Checked;
        const char* Command;
    };
    for (const TStep& step : {TStep{false, "PLCEN 0"}, TStep{true, "PLCEN 1"}}) {
        FFixture->Sim().ClearCommands();
        QTest::mouseClick(chkPLCEnabled(w), Qt::LeftButton);
        QVERIFY(FFixture->Settle());
        QCOMPARE(chkPLCEnabled(w)->isChecked(), step.Checked);
        QCOMPARE(ToQt(FFixture->Traffic()), QStringList{step.Command});
        QCOMPARE(w.Velmorant().PLCEnabled(), step.Checked);
        QCOMPARE(tbarProgram(w)->isEnabled(), step.Checked);
        QCOMPARE(w.PLC().ProgramGrid()->isEnabled(), step.Checked);
        auto lock = FFixture->Sim().Lock();
        QCOMPARE(FFixture->Sim().Board().Working.PLCEnabled, step.Checked);
    }
}

void TPLCPanelTests::RecallOfBoardWithPLCOffSendsItBack() {
    TformMain& w = FFixture->OpenWithoutPolling();
    {
        auto lock = FFixture->Sim().Lock();
        FFixture->Sim().Board().EEPROM.PLCEnabled = false;
    }
    w.EEPROM().RecallFromDevice(true, false);
    QVERIFY(FFixture->Settle());
    const TCommands traffic = FFixture->Traffic();
    QVERIFY(!traffic.empty());
    QCOMPARE(Q(traffic.back()), QString("PLCEN 0"));
    QVERIFY(!chkPLCEnabled(w)->isChecked());
    QVERIFY(!w.PLC().ProgramGrid()->isEnabled());
    QVERIFY(!tbarProgram(w)->isEnabled());
}

void TPLCPanelTests::PeriodIsSentForTheUsersChoiceOnly_data() {
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("expected");
    QTest::newRow("1/8") << "1/8"
                         << "UR 3";
    QTest::newRow("Full Speed") << "Full Speed"
                                << "UR 0";
    QTest::newRow("1/32768") << "1/32768"
                             << "UR 15";
}

void TPLCPanelTests::PeriodIsSentForTheUsersChoiceOnly() {
    QFETCH(QString, item);
    QFETCH(QString, expected);
    TformMain& f = FFixture->OpenWithoutPolling();
    QCOMPARE(cmbxPeriod(f)->count(), 16);
    FFixture->Sim().ClearCommands();

    const int index = cmbxPeriod(f)->findText(item);
    cmbxPeriod(f)->setCurrentIndex(index);
    QVERIFY(FFixture->Sim().Commands().empty());
    emit cmbxPeriod(f)->activated(index);
    QVERIFY(FFixture->Settle());
    QCOMPARE(ToQt(FFixture->Sim().Commands()), QStringList{expected});

    // Showing the driver's period does not send it back.
    cmbxPeriod(f)->setCurrentIndex(index == 0 ? 1 : 0);
    FFixture->Sim().ClearCommands();
    f.RefreshDisplay(true, false);
    QVERIFY(FFixture->Settle());
    QCOMPARE(cmbxPeriod(f)->currentIndex(), index);
    QVERIFY(!HasPrefix(FFixture->Sim().Commands(), "UR"));
}

// The user types a program line by line, Enter taking the cursor down, comments it and runs it.
void TPLCPanelTests::TypedProgramRunsOnBoard() {
    TformMain& w = FFixture->Open();
    QVERIFY(FFixture->Activate());
    QTableWidget* grid = w.PLC().ProgramGrid();
    grid->setCurrentCell(0, pgCode);
    // The last line is one the board never sees: the program runs without it.
    const QStringList lines{"set port4 = port4 + 1", "if port4 = 170 goto 3", "goto 0", "goto 3",
                            "set port0 5"};
    for (int row = 0; row < lines.size(); ++row) {
        QVERIFY(EditCurrentCellByTyping(grid, lines[row]));
        QCOMPARE(grid->item(row, pgCode)->text(), lines[row]);
        QCOMPARE(grid->currentRow(), row + 1);
        QCOMPARE(grid->currentColumn(), int(pgCode));
    }
    QVERIFY(EditCellByClick(grid, 0, pgComments, "count port 4 up"));
    QVERIFY(EditCellByClick(grid, 3, pgComments, "hold at 170"));
    // On the last line Enter commits and stays.
    const int last = grid->rowCount() - 1;
    grid->setCurrentCell(last, pgComments);
    QVERIFY(EditCurrentCellByTyping(grid, "the end"));
    QCOMPARE(grid->item(last, pgComments)->text(), QString("the end"));
    QCOMPARE(grid->currentRow(), last);
    QVERIFY(FFixture->Settle());
    for (int row = 0; row < 4; ++row) QCOMPARE(CellText(grid, row, pgErrors), QString());
    QVERIFY(!CellText(grid, 4, pgErrors).isEmpty());

    // Run under Xvfb (-platform xcb) with a file name here to keep a picture of a line in error.
    const QString errorPicture = qEnvironmentVariable("VELMORANT_LINE_ERROR_PICTURE");
    if (!errorPicture.isEmpty()) {
        PortGrids(w)[0]->setCurrentCell(0, pcComment);
        QVERIFY(EditCurrentCellByTyping(PortGrids(w)[0], "Pump relay left"));
        grid->setCurrentCell(4, pgLineNo);
        grid->scrollToTop();
        QVERIFY(w.grab().save(errorPicture));
    }

    QTest::mouseClick(tbtnRun(w), Qt::LeftButton);
    QVERIFY(FFixture->Settle());
    QVERIFY(tbtnRun(w)->Pressed());

    // The program counts port 4 up to 170 (pins 33, 35, 37, 39) and stays there; a tick shows it.
    QTRY_COMPARE_WITH_TIMEOUT(ShownPortState(w, 4), 170, 10000);
    for (int pin = 0; pin < 8; ++pin)
        QCOMPARE(PortGrids(w)[4]->item(pin, pcState)->data(Qt::DisplayRole).toInt(), 170 & (1 << pin));

    // Run with a file name here to keep a picture of the window (under Xvfb with -platform xcb).
    const QString picture = qEnvironmentVariable("VELMORANT_PROGRAM_PICTURE");
    if (!picture.isEmpty()) QVERIFY(w.grab().save(picture));
}

VELMORANT_QTEST_MAIN(TPLCPanelTests)
#include "PLCPanelTests.moc"

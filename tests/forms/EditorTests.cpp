// The PLC program editor against a simulated board: typing lines and comments into the grid,
// run, stop, single step, PLC mode, and a typed program that runs on the board.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QToolBar>
#include <QtTest>

#include "Controls.h"
#include "FormsTestSupport.h"
#include "TestProgramLines.h"

using veltest::Parsed;

namespace {

// The cell editor the grid has open, or null.
QLineEdit* OpenEditor(QTableWidget* Grid) {
    for (QLineEdit* e : Grid->viewport()->findChildren<QLineEdit*>())
        if (e->isVisible()) return e;
    return nullptr;
}

QPoint CellCentre(QTableWidget* Grid, int Row, int Col) {
    return Grid->visualRect(Grid->model()->index(Row, Col)).center();
}

// Types Text into a cell as a user does: the cell is selected, a second click on it opens the
// editor, Return ends the edit.
bool TypeIntoCell(QTableWidget* Grid, int Row, int Col, const QString& Text) {
    Grid->scrollTo(Grid->model()->index(Row, Col));
    Grid->setCurrentCell(Row, Col);
    QTest::mouseClick(Grid->viewport(), Qt::LeftButton, {}, CellCentre(Grid, Row, Col));
    if (!QTest::qWaitFor([Grid] { return OpenEditor(Grid) != nullptr; }, 5000)) return false;
    QLineEdit* editor = OpenEditor(Grid);
    editor->selectAll();
    QTest::keyClicks(editor, Text);
    // The delegate ends the edit from the event loop.
    QTest::keyClick(editor, Qt::Key_Return);
    if (!QTest::qWaitFor([Grid] { return OpenEditor(Grid) == nullptr; }, 5000)) return false;
    auto* window = qobject_cast<TformMain*>(Grid->window());
    return window == nullptr || Settle(*window);
}

QString CellText(QTableWidget* Grid, int Row, int Col) {
    const QTableWidgetItem* item = Grid->item(Row, Col);
    return item != nullptr ? item->text() : QString();
}

}  // namespace

class EditorTests : public QObject {
    Q_OBJECT

private slots:
    void init() { FFixture = std::make_unique<TWindowFixture>(); }
    void cleanup() { FFixture.reset(); }

    void codeEdit_data();
    void codeEdit();
    void commentEditIsStoredNotSent();
    void firstClickOnAnotherCellDoesNotEdit();
    void errorTextGoesWhenTheLineIsReplaced();
    void runAndStop_data();
    void runAndStop();
    void singleStep_data();
    void singleStep();
    void plcModeSwitchesEditing();
    void recallOfBoardWithPLCOffSendsItBack();
    void typedProgramRunsOnBoard();

private:
    std::unique_ptr<TWindowFixture> FFixture;
};

void EditorTests::codeEdit_data() {
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

void EditorTests::codeEdit() {
    QFETCH(QString, typed);
    QFETCH(QString, error);
    QFETCH(QStringList, traffic);
    QFETCH(QString, shownAfterUpdate);
    TformMain& w = FFixture->OpenWithoutPolling();
    w.Velmorant().SetProgramLine(3, Parsed("goto 7", "pump"));
    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    const QString before = CellText(w.PLC().ProgramGrid(), 3, pgCode);
    // A stale message from an earlier edit must go when the line is typed again.
    w.PLC().ProgramGrid()->item(3, pgErrors)->setText("old message");
    FFixture->Sim().ClearCommands();

    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 3, pgCode, typed));

    const bool valid = traffic.size() > 0;
    if (valid) {
        QCOMPARE(CellText(w.PLC().ProgramGrid(), 3, pgErrors), error);
    } else {
        QVERIFY(!CellText(w.PLC().ProgramGrid(), 3, pgErrors).isEmpty());
        QVERIFY(CellText(w.PLC().ProgramGrid(), 3, pgErrors) != "old message");
        if (!error.isEmpty()) QCOMPARE(CellText(w.PLC().ProgramGrid(), 3, pgErrors), error);
    }
    QCOMPARE(ToQt(FFixture->Traffic()), traffic);
    QCOMPARE(CellText(w.PLC().ProgramGrid(), 3, pgCode), typed);
    const TProgramLine stored = w.Velmorant().GetProgramLine(3);
    QCOMPARE(Q(stored.Comment), QString("pump"));
    QCOMPARE(Q(ProgramLineToText(stored)), valid ? shownAfterUpdate : before);

    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    QCOMPARE(CellText(w.PLC().ProgramGrid(), 3, pgCode), valid ? shownAfterUpdate : before);
}

void EditorTests::commentEditIsStoredNotSent() {
    TformMain& w = FFixture->OpenWithoutPolling();
    w.Velmorant().SetProgramLine(3, Parsed("set port4 = 1"));
    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    FFixture->Sim().ClearCommands();

    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 3, pgComments, "pump on"));

    QCOMPARE(ToQt(FFixture->Traffic()), QStringList{});
    QCOMPARE(Q(w.Velmorant().GetProgramLine(3).Comment), QString("pump on"));
    QCOMPARE(Q(ProgramLineToText(w.Velmorant().GetProgramLine(3))), QString("set PORT4 = 1 OR 0"));
    // The next code edit keeps the comment beside it.
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 3, pgCode, "set port4 = 2"));
    QCOMPARE(Q(w.Velmorant().GetProgramLine(3).Comment), QString("pump on"));
    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    QCOMPARE(CellText(w.PLC().ProgramGrid(), 3, pgComments), QString("pump on"));
}

void EditorTests::firstClickOnAnotherCellDoesNotEdit() {
    TformMain& w = FFixture->Open();
    QCOMPARE(w.PLC().ProgramGrid()->editTriggers() & QAbstractItemView::SelectedClicked,
             QAbstractItemView::SelectedClicked);
    QCOMPARE(w.PLC().ProgramGrid()->editTriggers() & QAbstractItemView::CurrentChanged,
             QAbstractItemView::NoEditTriggers);
    w.PLC().ProgramGrid()->setCurrentCell(1, pgCode);
    QTest::mouseClick(w.PLC().ProgramGrid()->viewport(), Qt::LeftButton, {}, CellCentre(w.PLC().ProgramGrid(), 2, pgCode));
    QCOMPARE(w.PLC().CurrentLine(), 2);
    QVERIFY(OpenEditor(w.PLC().ProgramGrid()) == nullptr);
    // The line number and error columns are not the user's to type into.
    for (int col : {pgLineNo, pgErrors})
        QVERIFY(!(w.PLC().ProgramGrid()->item(2, col)->flags() & Qt::ItemIsEditable));
}

void EditorTests::errorTextGoesWhenTheLineIsReplaced() {
    TformMain& w = FFixture->Open();
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 5, pgCode, "if ain9 > 3 goto 1"));
    QVERIFY(!CellText(w.PLC().ProgramGrid(), 5, pgErrors).isEmpty());
    // The board's line 5 comes back from the board: a message about the typed text would be stale.
    w.EEPROM().RecallFromDevice(false, false);
    QVERIFY(FFixture->Settle());
    QCOMPARE(CellText(w.PLC().ProgramGrid(), 5, pgErrors), QString());
    QCOMPARE(CellText(w.PLC().ProgramGrid(), 5, pgCode), QString("nop"));
}

void EditorTests::runAndStop_data() {
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

void EditorTests::runAndStop() {
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

void EditorTests::singleStep_data() {
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

void EditorTests::singleStep() {
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

void EditorTests::plcModeSwitchesEditing() {
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

void EditorTests::recallOfBoardWithPLCOffSendsItBack() {
    TformMain& w = FFixture->OpenWithoutPolling();
    {
        auto lock = FFixture->Sim().Lock();
        FFixture->Sim().Board().EEPROM.PLCEnabled = false;
    }
    w.EEPROM().RecallFromDevice(true, false);
    QVERIFY(FFixture->Settle());
    const std::vector<std::string> traffic = FFixture->Traffic();
    QVERIFY(!traffic.empty());
    QCOMPARE(Q(traffic.back()), QString("PLCEN 0"));
    QVERIFY(!chkPLCEnabled(w)->isChecked());
    QVERIFY(!w.PLC().ProgramGrid()->isEnabled());
    QVERIFY(!tbarProgram(w)->isEnabled());
}

void EditorTests::typedProgramRunsOnBoard() {
    TformMain& w = FFixture->Open();
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 0, pgCode, "set port4 = port4 + 1"));
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 1, pgCode, "if port4 = 170 goto 3"));
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 2, pgCode, "goto 0"));
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 3, pgCode, "goto 3"));
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 0, pgComments, "count port 4 up"));
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 3, pgComments, "hold at 170"));
    // A line the board never sees: the program runs without it.
    QVERIFY(TypeIntoCell(w.PLC().ProgramGrid(), 4, pgCode, "set port0 5"));
    for (int row = 0; row < 4; ++row) QCOMPARE(CellText(w.PLC().ProgramGrid(), row, pgErrors), QString());
    QVERIFY(!CellText(w.PLC().ProgramGrid(), 4, pgErrors).isEmpty());

    QTest::mouseClick(tbtnRun(w), Qt::LeftButton);
    QVERIFY(FFixture->Settle());
    QVERIFY(tbtnRun(w)->Pressed());

    // The program counts port 4 up to 170 (pins 33, 35, 37, 39) and stays there; a tick shows it.
    const auto shownPort4 = [&w] {
        int value = 0;
        for (int pin = 0; pin < 8; ++pin)
            value |= PortGrids(w)[4]->item(pin, pcState)->data(Qt::DisplayRole).toInt();
        return value;
    };
    QTRY_COMPARE_WITH_TIMEOUT(shownPort4(), 170, 10000);
    for (int pin = 0; pin < 8; ++pin)
        QCOMPARE(PortGrids(w)[4]->item(pin, pcState)->data(Qt::DisplayRole).toInt(), 170 & (1 << pin));

    // Run with a file name here to keep a picture of the window (under Xvfb with -platform xcb).
    const QString picture = qEnvironmentVariable("VELMORANT_PROGRAM_PICTURE");
    if (!picture.isEmpty()) QVERIFY(w.grab().save(picture));
}

VELMORANT_QTEST_MAIN(EditorTests)
#include "EditorTests.moc"

// The program grid's marks for a line in error, Enter in the grid, the keys of the File menu and
// the PLC toolbar, the pointing hand over the pins a click changes, and whole comments on hover.
#include <QLineEdit>
#include <QMouseEvent>
#include <QToolBar>
#include <QToolTip>
#include <QtTest>

#include "FormsTestSupport.h"
#include "ProgramGridMarks.h"

namespace {

constexpr int DefaultRowHeight = 18;

QLineEdit* OpenEditor(QTableWidget* Grid) {
    for (QLineEdit* e : Grid->viewport()->findChildren<QLineEdit*>())
        if (e->isVisible()) return e;
    return nullptr;
}

// Types Text into the current cell as a user does: the first key opens the editor, Enter ends it.
bool TypeAndEnter(QTableWidget* Grid, const QString& Text) {
    QTest::keyClick(Grid, Text.at(0).toLatin1());
    QLineEdit* editor = OpenEditor(Grid);
    if (editor == nullptr) return false;
    QTest::keyClicks(editor, Text.mid(1));
    QTest::keyClick(editor, Qt::Key_Return);
    return OpenEditor(Grid) == nullptr;
}

QPoint CellCentre(QTableWidget* Grid, int Row, int Col) {
    return Grid->visualRect(Grid->model()->index(Row, Col)).center();
}

void MoveMouseTo(QTableWidget* Grid, int Row, int Col) {
    const QPoint at = CellCentre(Grid, Row, Col);
    QMouseEvent move(QEvent::MouseMove, at, Grid->viewport()->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(Grid->viewport(), &move);
}

bool StartsWith(const TCommands& Commands, const std::string& Prefix) {
    return std::any_of(Commands.begin(), Commands.end(),
                       [&](const std::string& c) { return c.rfind(Prefix, 0) == 0; });
}

}  // namespace

class TGridMarksTests : public QObject {
    Q_OBJECT
private slots:
    void MarksShowAndClear_data();
    void MarksShowAndClear();
    void EnterCommitsAndMovesToTheNextLine();
    void Keys_data();
    void Keys();
    void PointingHandOverClickablePins_data();
    void PointingHandOverClickablePins();
    void CutCommentShowsWholeOnHover_data();
    void CutCommentShowsWholeOnHover();
};

void TGridMarksTests::MarksShowAndClear_data() {
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("marked");
    QTest::addColumn<bool>("taller");
    const QString longError =
        "Invalid rvalue specifier (PORTX). Invalid operation (PLUS). Invalid comparison "
        "operation (=>). Missing GOTO";
    QTest::newRow("long error wraps") << longError << true << true;
    QTest::newRow("short error") << "Missing GOTO" << true << false;
    QTest::newRow("cleared") << "" << false << false;
}

// Each case follows a long error on the same line, so that a short one and a clearing must also
// undo what the long one did.
void TGridMarksTests::MarksShowAndClear() {
    QFETCH(QString, error);
    QFETCH(bool, marked);
    QFETCH(bool, taller);
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    QTableWidget* grid = f.gridProgram;
    grid->item(3, pgCode)->setText("set port0 5");

    MarkProgramLineError(grid, 3, std::string(200, 'x') + " and more");
    MarkProgramLineError(grid, 3, error.toStdString());

    const QTableWidgetItem* errors = grid->item(3, pgErrors);
    const QTableWidgetItem* code = grid->item(3, pgCode);
    QCOMPARE(errors->text(), error);
    QCOMPARE(code->text(), QString("set port0 5"));
    QCOMPARE(errors->data(Qt::BackgroundRole).isValid(), marked);
    QCOMPARE(code->data(Qt::ForegroundRole).isValid(), marked);
    QCOMPARE(code->font().italic(), marked);
    QCOMPARE(grid->rowHeight(3) > DefaultRowHeight, taller);
    // The neighbours keep their look.
    QCOMPARE(grid->rowHeight(2), DefaultRowHeight);
    QVERIFY(!grid->item(4, pgCode)->data(Qt::ForegroundRole).isValid());
}

void TGridMarksTests::EnterCommitsAndMovesToTheNextLine() {
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    QTableWidget* grid = f.gridProgram;
    QVERIFY(grid->isEnabled());

    grid->setCurrentCell(0, pgCode);
    const QStringList lines{"set port4 = port4 + 1", "if port4 = 170 goto 3", "goto 0", "set port0 5"};
    for (int row = 0; row < lines.size(); ++row) {
        QVERIFY(TypeAndEnter(grid, lines[row]));
        QCOMPARE(grid->item(row, pgCode)->text(), lines[row]);
        QCOMPARE(grid->currentRow(), row + 1);
        QCOMPARE(grid->currentColumn(), int(pgCode));
    }
    QTRY_VERIFY(StartsWith(fx.Traffic(), "PLCWR2 "));

    // On the last line Enter commits and stays.
    const int last = grid->rowCount() - 1;
    grid->setCurrentCell(last, pgComments);
    QVERIFY(TypeAndEnter(grid, "the end"));
    QCOMPARE(grid->item(last, pgComments)->text(), QString("the end"));
    QCOMPARE(grid->currentRow(), last);

    // Run with a file name here to keep a picture of the window with a line in error.
    const QString picture = qEnvironmentVariable("VELMORANT_LINE_ERROR_PICTURE");
    if (!picture.isEmpty()) {
        f.gridPort[0]->setCurrentCell(0, pcComment);
        QVERIFY(TypeAndEnter(f.gridPort[0], "Pump relay left"));
        grid->setCurrentCell(3, pgLineNo);
        grid->scrollToTop();
        QVERIFY(f.grab().save(picture));
    }
}

void TGridMarksTests::Keys_data() {
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

void TGridMarksTests::Keys() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, command);
    QFETCH(QString, dialog);
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    QVERIFY(f.tbarProgram->isEnabled());
    f.gridProgram->setCurrentCell(2, pgCode);
    fx.Sim().ClearCommands();

    QTest::keyClick(&f, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    if (!command.isEmpty()) {
        QTRY_VERIFY2(Contains(fx.Traffic(), command.toStdString()),
                     qPrintable(ToQt(fx.Traffic()).join(", ")));
    } else {
        QTRY_COMPARE(fx.Ui().FileRequests.size(), size_t(1));
        QCOMPARE(Q(fx.Ui().FileRequests.front().Title), dialog);
    }
}

void TGridMarksTests::PointingHandOverClickablePins_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("direction");  // "" leaves the cell alone (virtual ports have none)
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("pointing");
    QTest::newRow("output pin's State") << 0 << "Output" << int(pcState) << true;
    QTest::newRow("input pin's State") << 1 << "Input" << int(pcState) << false;
    QTest::newRow("output pin's Comment") << 2 << "Output" << int(pcComment) << false;
    QTest::newRow("virtual pin's State") << 4 << "" << int(pcState) << true;
    QTest::newRow("virtual pin's number") << 5 << "" << int(pcPin) << false;
}

void TGridMarksTests::PointingHandOverClickablePins() {
    QFETCH(int, port);
    QFETCH(QString, direction);
    QFETCH(int, column);
    QFETCH(bool, pointing);
    velsim::TSimFixture folders;
    TWindowUnderTest w(false);
    QTableWidget* grid = w.Form->gridPort[port];
    if (!direction.isEmpty()) grid->item(5, pcDirection)->setText(direction);
    // A hand left over from the cell before must go where a click does nothing.
    grid->viewport()->setCursor(Qt::PointingHandCursor);

    MoveMouseTo(grid, 5, column);
    QCOMPARE(grid->viewport()->cursor().shape(), pointing ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

void TGridMarksTests::CutCommentShowsWholeOnHover_data() {
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("hint");
    QTest::newRow("cut off") << "Pump relay left, north tank"
                             << "Pump relay left, north tank";
    QTest::newRow("fits") << "Fan"
                          << "";
}

void TGridMarksTests::CutCommentShowsWholeOnHover() {
    QFETCH(QString, comment);
    QFETCH(QString, hint);
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    QTableWidget* grid = f.gridPort[1];
    grid->item(2, pcComment)->setText(comment);
    QToolTip::hideText();

    const QPoint at = CellCentre(grid, 2, pcComment);
    QHelpEvent help(QEvent::ToolTip, at, grid->viewport()->mapToGlobal(at));
    QApplication::sendEvent(grid->viewport(), &help);
    QCOMPARE(QToolTip::text(), hint);
}

VELMORANT_QTEST_MAIN(TGridMarksTests)
#include "GridMarksTests.moc"

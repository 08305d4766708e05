// The program grid's marks for a line in error and Enter in it, the File and PLC keys, and the
// port grids' pointing hand and whole comments on hover.
#include <QLineEdit>
#include <QToolBar>
#include <QToolTip>
#include <QtTest>

#include "FormsTestSupport.h"
#include "ProgramGridMarks.h"

namespace {

// Types Text into the current cell as a user does: the first key opens the editor, Enter ends it.
bool TypeAndEnter(QTableWidget* Grid, const QString& Text) {
    QTest::keyClick(Grid, Text.at(0).toLatin1());
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    if (editor == nullptr) return false;
    QTest::keyClicks(editor, Text.mid(1));
    QTest::keyClick(editor, Qt::Key_Return);
    return !editor->isVisible();
}

}  // namespace

class TGridMarksTests : public QObject {
    Q_OBJECT
private slots:
    void init() {
        FFixture = std::make_unique<TWindowFixture>();
        FForm = &FFixture->OpenWithoutPolling();
        FForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(FForm));
    }
    void cleanup() { FFixture.reset(); }

    void MarksShowAndClear_data();
    void MarksShowAndClear();
    void EnterCommitsAndMovesToTheNextLine();
    void Keys_data();
    void Keys();
    void PortGridHover_data();
    void PortGridHover();

private:
    std::unique_ptr<TWindowFixture> FFixture;
    TformMain* FForm = nullptr;
};

void TGridMarksTests::MarksShowAndClear_data() {
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("taller");
    QTest::newRow("long error wraps") << QString("Invalid rvalue specifier (X). ").repeated(4) << true;
    QTest::newRow("short error") << "Missing GOTO" << false;
    QTest::newRow("cleared") << "" << false;
}

// Each case follows a long error on the same line, so a short one or a clearing must undo it.
void TGridMarksTests::MarksShowAndClear() {
    QFETCH(QString, error);
    QFETCH(bool, taller);
    QTableWidget* grid = FForm->PLC().ProgramGrid();
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

void TGridMarksTests::EnterCommitsAndMovesToTheNextLine() {
    QTableWidget* grid = FForm->PLC().ProgramGrid();
    grid->setCurrentCell(0, pgCode);
    const QStringList lines{"set port4 = port4 + 1", "if port4 = 170 goto 3", "goto 0", "set port0 5"};
    for (int row = 0; row < lines.size(); ++row) {
        QVERIFY(TypeAndEnter(grid, lines[row]));
        QCOMPARE(grid->item(row, pgCode)->text(), lines[row]);
        QCOMPARE(grid->currentRow(), row + 1);
        QCOMPARE(grid->currentColumn(), int(pgCode));
    }
    const auto sentLine2 = [this] {
        for (const std::string& c : FFixture->Traffic())
            if (c.rfind("PLCWR2 ", 0) == 0) return true;
        return false;
    };
    QTRY_VERIFY(sentLine2());
    // On the last line Enter commits and stays.
    const int last = grid->rowCount() - 1;
    grid->setCurrentCell(last, pgComments);
    QVERIFY(TypeAndEnter(grid, "the end"));
    QCOMPARE(grid->item(last, pgComments)->text(), QString("the end"));
    QCOMPARE(grid->currentRow(), last);

    // Run under Xvfb (-platform xcb) with a file name here to keep a picture of the window.
    const QString picture = qEnvironmentVariable("VELMORANT_LINE_ERROR_PICTURE");
    if (!picture.isEmpty()) {
        PortGrids(*FForm)[0]->setCurrentCell(0, pcComment);
        QVERIFY(TypeAndEnter(PortGrids(*FForm)[0], "Pump relay left"));
        grid->setCurrentCell(3, pgLineNo);
        grid->scrollToTop();
        QVERIFY(FForm->grab().save(picture));
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
    QVERIFY(tbarProgram(*FForm)->isEnabled());
    FForm->PLC().ProgramGrid()->setCurrentCell(2, pgCode);
    FFixture->Sim().ClearCommands();

    QTest::keyClick(FForm, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    if (!command.isEmpty()) {
        QTRY_VERIFY2(Contains(FFixture->Traffic(), command.toStdString()),
                     qPrintable(ToQt(FFixture->Traffic()).join(", ")));
    } else {
        QTRY_COMPARE(FFixture->Ui().FileRequests.size(), size_t(1));
        QCOMPARE(Q(FFixture->Ui().FileRequests.front().Title), dialog);
    }
}

void TGridMarksTests::PortGridHover_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("direction");  // "" leaves the cell alone (virtual ports have none)
    QTest::addColumn<QString>("comment");
    QTest::addColumn<bool>("pointing");
    QTest::addColumn<QString>("hint");
    QTest::newRow("output pin's State") << 0 << int(pcState) << "Output"
                                        << "" << true << "";
    QTest::newRow("input pin's State") << 1 << int(pcState) << "Input"
                                       << "" << false << "";
    QTest::newRow("virtual pin's State") << 4 << int(pcState) << ""
                                         << "" << true << "";
    QTest::newRow("comment cut off") << 2 << int(pcComment) << "Output"
                                     << "Pump relay left, north tank" << false
                                     << "Pump relay left, north tank";
}

void TGridMarksTests::PortGridHover() {
    QFETCH(int, port);
    QFETCH(int, column);
    QFETCH(QString, direction);
    QFETCH(QString, comment);
    QFETCH(bool, pointing);
    QFETCH(QString, hint);
    QTableWidget* grid = PortGrids(*FForm)[port];
    if (!direction.isEmpty()) grid->item(5, pcDirection)->setText(direction);
    grid->item(5, pcComment)->setText(comment);
    // A hand left over from the cell before must go where a click does nothing.
    grid->viewport()->setCursor(Qt::PointingHandCursor);
    QToolTip::hideText();

    const QPoint at = grid->visualRect(grid->model()->index(5, column)).center();
    const QPoint global = grid->viewport()->mapToGlobal(at);
    QMouseEvent move(QEvent::MouseMove, at, global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(grid->viewport(), &move);
    QHelpEvent help(QEvent::ToolTip, at, global);
    QApplication::sendEvent(grid->viewport(), &help);
    QCOMPARE(grid->viewport()->cursor().shape(), pointing ? Qt::PointingHandCursor : Qt::ArrowCursor);
    QCOMPARE(QToolTip::text(), hint);
}

VELMORANT_QTEST_MAIN(TGridMarksTests)
#include "GridMarksTests.moc"

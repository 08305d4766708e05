// A program line typed with text after its statement: the line goes to the board, and the user is
// told what it left unread.
#include <QLineEdit>
#include <QtTest>

#include "FormsTestSupport.h"
#include "ProgramGridMarks.h"

class ProgramLineHintTests : public QObject {
    Q_OBJECT
private slots:
    void typedLine_data();
    void typedLine();
};

void ProgramLineHintTests::typedLine_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("text after the line") << "if PIN3 = 1 goto 2 extra"
                                         << "Text after the line is ignored (extra). ";
    QTest::newRow("complete line") << "if PIN3 = 1 goto 2"
                                   << "";
}

void ProgramLineHintTests::typedLine() {
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    TWindowFixture fixture;
    TformMain& w = fixture.OpenWithoutPolling();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTableWidget* grid = w.gridProgram;
    grid->setCurrentCell(5, pgCode);
    // As a user types: the first key opens the editor, Enter ends it.
    QTest::keyClick(grid, typed.at(0).toLatin1());
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor != nullptr);
    QTest::keyClicks(editor, typed.mid(1));
    QTest::keyClick(editor, Qt::Key_Return);

    QCOMPARE(grid->item(5, pgErrors)->text(), shown);
    QVERIFY(!grid->item(5, pgErrors)->data(Qt::BackgroundRole).isValid());
    QVERIFY(!grid->item(5, pgCode)->font().italic());
    QVERIFY(fixture.Settle());
    // The same line either way.
    QVERIFY2(Contains(fixture.Traffic(), "PLCWR5 0202093C"), qPrintable(ToQt(fixture.Traffic()).join(' ')));
}

VELMORANT_QTEST_MAIN(ProgramLineHintTests)
#include "ProgramLineHintTests.moc"

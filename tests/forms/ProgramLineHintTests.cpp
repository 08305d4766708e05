// A program line typed with text after its statement goes to the board, and the user is told what
// it left unread.
#include <QLineEdit>
#include <QtTest>

#include "FormsTestSupport.h"

class ProgramLineHintTests : public QObject {
    Q_OBJECT
private slots:
    void typedTextAfterTheLine() {
        TWindowFixture fixture;
        TformMain& w = fixture.OpenWithoutPolling();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.gridProgram->setCurrentCell(5, pgCode);
        const QString typed = "if PIN3 = 1 goto 2 extra";
        QTest::keyClick(w.gridProgram, typed.at(0).toLatin1());  // opens the editor
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(editor != nullptr);
        QTest::keyClicks(editor, typed.mid(1));
        QTest::keyClick(editor, Qt::Key_Return);

        QCOMPARE(w.gridProgram->item(5, pgErrors)->text(),
                 QString("Text after the line is ignored (extra). "));
        QVERIFY(!w.gridProgram->item(5, pgErrors)->data(Qt::BackgroundRole).isValid());  // no error
        QVERIFY(fixture.Settle());
        QVERIFY(Contains(fixture.Traffic(), "PLCWR5 0202093C"));  // as "if PIN3 = 1 goto 2"
    }
};

VELMORANT_QTEST_MAIN(ProgramLineHintTests)
#include "ProgramLineHintTests.moc"

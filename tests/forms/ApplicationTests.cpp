// The application object: errors that reach the event loop, SIGINT and SIGTERM, hint timing.
#include <QStyle>
#include <csignal>

#include "Application.h"
#include "Errors.h"
#include "FormsTestSupport.h"

namespace {

// Throws from its event handler, as a handler deep in a click would.
class TThrower : public QObject {
public:
    bool Std = false;
    bool event(QEvent* Event) override {
        if (Event->type() != QEvent::User) return QObject::event(Event);
        if (Std) throw std::out_of_range("Program line 99 is outside 0..59");
        throw ERangeError("Range check error");
    }
};

}  // namespace

class TApplicationTests : public QObject {
    Q_OBJECT
private slots:
    void ErrorsReachingTheLoopAreShown_data();
    void ErrorsReachingTheLoopAreShown();
    void TerminationSignalsCloseThroughTheLoop_data();
    void TerminationSignalsCloseThroughTheLoop();
    void HintsWakeUpAfter300ms();
};

void TApplicationTests::ErrorsReachingTheLoopAreShown_data() {
    QTest::addColumn<bool>("std");
    QTest::addColumn<QString>("text");
    QTest::newRow("our error") << false << "Range check error";
    QTest::newRow("standard error") << true << "Program line 99 is outside 0..59";
}

void TApplicationTests::ErrorsReachingTheLoopAreShown() {
    QFETCH(bool, std);
    QFETCH(QString, text);
    TScriptedUi ui;
    SetErrorBoxServices(&ui);
    TThrower thrower;
    thrower.Std = std;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTRY_COMPARE(ui.Messages.size(), size_t(1));
    QCOMPARE(ui.Messages[0].Kind, mkError);
    QCOMPARE(QString::fromStdString(ui.Messages[0].Text), text);
    SetErrorBoxServices(nullptr);
}

void TApplicationTests::TerminationSignalsCloseThroughTheLoop_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void TApplicationTests::TerminationSignalsCloseThroughTheLoop() {
    QFETCH(int, signal);
    auto* app = static_cast<TVelmorantApplication*>(QCoreApplication::instance());
    static int calls = 0;
    calls = 0;
    QVERIFY(app->InstallTerminationHandlers([] { ++calls; }));
    std::raise(signal);
    // Nothing runs inside the handler; the loop does the work.
    QCOMPARE(calls, 0);
    QTRY_COMPARE(calls, 1);
}

void TApplicationTests::HintsWakeUpAfter300ms() {
    QCOMPARE(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 300);
}

VELMORANT_QTEST_MAIN_IN(TApplicationTests, TVelmorantApplication)
#include "ApplicationTests.moc"

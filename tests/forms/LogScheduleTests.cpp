// When data-log rows are taken: one per interval at the tick nearest its due time, whatever the
// ticks' jitter, and no burst after ticks stopped for a while. On a stepped clock, never a sleep.
#include <QCheckBox>
#include <QSpinBox>
#include <QtTest>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "FormsTestSupport.h"
#include "LogSchedule.h"

namespace {

// The status timer's tick k: every 500 ms, up to 120 ms early or late.
int64_t TickTime(int K) {
    return K * int64_t{StatusTickMs} + (K * 53) % 241 - 120;
}

}  // namespace

class LogScheduleTests : public QObject {
    Q_OBJECT
private slots:
    void OneRowPerInterval_data();
    void OneRowPerInterval();
    void SwitchingOnAgain();
    void WindowTakesARowEveryInterval();
};

void LogScheduleTests::OneRowPerInterval_data() {
    QTest::addColumn<int>("intervalSecs");
    QTest::addColumn<int>("gapFromMs");  // no ticks from here ...
    QTest::addColumn<int>("gapToMs");    // ... to here (no board)
    QTest::addColumn<int>("rows");
    QTest::newRow("1 s") << 1 << 0 << 0 << 60;
    QTest::newRow("2 s") << 2 << 0 << 0 << 30;
    QTest::newRow("5 s") << 5 << 0 << 0 << 12;
    // 0..10 s, then from the first boundary after the gap that a tick can still be nearest to.
    QTest::newRow("1 s, 7 s without ticks") << 1 << 10200 << 17300 << 11 + 42;
    QTest::newRow("5 s, 21 s without ticks") << 5 << 12200 << 33300 << 3 + 5;
}

void LogScheduleTests::OneRowPerInterval() {
    QFETCH(int, intervalSecs);
    QFETCH(int, gapFromMs);
    QFETCH(int, gapToMs);
    QFETCH(int, rows);
    const int64_t interval = intervalSecs * int64_t{1000};
    TLogSchedule schedule;
    schedule.Start(interval, StatusTickMs, 0);
    std::vector<int64_t> taken;
    for (int k = 0; k < 120; ++k) {  // a minute
        const int64_t now = TickTime(k);
        if (now >= gapFromMs && now < gapToMs) continue;
        if (schedule.TakeRow(now)) taken.push_back(now);
    }
    QCOMPARE(int(taken.size()), rows);
    // Each row within a tick of its own boundary, no two rows for one boundary: no drift, no burst.
    int64_t lastBoundary = -1;
    for (const int64_t t : taken) {
        const int64_t boundary = (t - taken.front() + interval / 2) / interval;
        QVERIFY2(std::abs(t - taken.front() - boundary * interval) < StatusTickMs,
                 qPrintable(QString("row at %1 ms").arg(t)));
        QVERIFY2(boundary > lastBoundary, qPrintable(QString("second row for %1 s").arg(boundary)));
        lastBoundary = boundary;
    }
}

// Switched off after the first row (at 0, interval 5 s) and on again: within the interval the next
// row waits for it, after it the row comes at once.
void LogScheduleTests::SwitchingOnAgain() {
    for (const auto& [onAgain, firstRow] : {std::pair<int64_t, int64_t>{1000, 5000}, {7000, 7000}}) {
        TLogSchedule schedule;
        schedule.Start(5000, StatusTickMs, 0);
        QVERIFY(schedule.TakeRow(0));
        schedule.Start(5000, StatusTickMs, onAgain);
        int64_t now = onAgain;
        while (!schedule.TakeRow(now)) now += StatusTickMs;
        QCOMPARE(now, firstRow);
    }
}

// The window against the board at its real line rate, its ticks on a stepped clock: 20 s give a
// row for each of the ten 2-second intervals.
void LogScheduleTests::WindowTakesARowEveryInterval() {
    int64_t clock = 0;  // outlives the window, which reads it
    velsim::TSimBoardOptions options;
    options.BaudRate = 19200;
    TWindowFixture fx("COM1", options);
    TformMain& w = fx.OpenWithoutPolling();
    QVERIFY(w.Session().State().DevicePresent);
    w.Logging().DataLogger().SetClock([&clock] { return clock; });
    spinLogInterval(w)->setValue(2);
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    for (int k = 0; k < 40; ++k) {
        clock = TickTime(k);
        w.timerStatusTimer();
        QVERIFY(Settle(w));
    }
    QCOMPARE(w.Logging().DataLogger().Count(), 10);
}

VELMORANT_QTEST_MAIN(LogScheduleTests)
#include "LogScheduleTests.moc"

// The trends window: live ticks with gaps, the display-only pause, logs opened off the window's
// thread, the CSV export, a live run against the simulated board with a program running, and fast
// captures through the board session.
// With VELMORANT_TRENDS_SHOTS=<folder> the last test runs ten minutes of board time and saves
// the pictures of the README there.
#include <qcustomplot.h>

#include <QCheckBox>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <cmath>

#include "BoardSession.h"
#include "DataLogReader.h"
#include "DataLogger.h"
#include "FormsTestSupport.h"
#include "TrendsWnd.h"

namespace {

constexpr double Second = 1.0 / 86400;

TTickReadings Tick(double Time, std::optional<int> A0) {
    TTickReadings R;
    R.Time = Time;
    R.Ports = {1, 2, 3, 4, 5, 6};
    R.Analog = {A0, 100, 200, 300, 400};
    R.Temperature = 72;
    return R;
}

// A session connected to the simulated board, its inputs held at known values.
struct TCaptureBench {
    velsim::TSimFixture Fixture{"COM6"};
    TBoardSession Session;
    TCaptureBench() {
        {
            auto Lock = Fixture.Sim().Lock();
            Fixture.Sim().Board().InputsFrozen = true;
            Fixture.Sim().Board().Analog = {111, 222, 333, 444, 555};
            Fixture.Sim().Board().PortState[4] = 0x5A;
        }
        Session.Connect({Fixture.ComName()}, {});
        Settle();
        Fixture.Sim().ClearCommands();
    }
    bool Settle() {
        return QTest::qWaitFor([&] { return Session.Idle(); }, 20000);
    }
    std::vector<std::string> Commands() { return Fixture.Sim().Commands(); }
};

bool Opened(TformTrends& Trends, const QStringList& Files) {
    QSignalSpy Spy(&Trends, &TformTrends::LogLoaded);
    Trends.OpenLogFiles(Files);
    return Spy.wait(20000) && Spy.front().front().toString().isEmpty();
}

std::string LogText(std::initializer_list<const char*> Rows) {
    std::string Text = std::string(DataLogHeader) + "\r\n";
    for (const char* Row : Rows) Text += std::string(Row) + "\r\n";
    return Text;
}

}  // namespace

class TTrendsTests : public QObject {
    Q_OBJECT
private slots:
    void init() { std::setlocale(LC_ALL, "C"); }
    void LiveTicksDrawGapsAndFollowTheTenBitsBox();
    void PauseFreezesThePictureButNotTheHistory();
    void LogsOpenJoinedExportAndFailByName();
    void LiveFromTheSimulatedBoard();
    void HistoryIsKeptFromTheConnectionWhileTheWindowIsClosed();
    void CaptureReadsOnlyItsInputsShowsAndExportsThem();
    void CaptureFromTheControlsStopsAndShowsASilentReplyAsAGap();
};

void TTrendsTests::LiveTicksDrawGapsAndFollowTheTenBitsBox() {
    TformTrends Trends;
    Trends.show();
    const double T0 = Now();
    Trends.AddTick(Tick(T0, 800));
    Trends.AddTick(Tick(T0 + 0.5 * Second, std::nullopt));
    Trends.AddTick(Tick(T0 + 1.0 * Second, 801));
    Trends.Redraw();
    QCPGraph* A0 = Trends.Plot()->graph(0);
    std::vector<double> Values;
    for (auto It = A0->data()->constBegin(); It != A0->data()->constEnd(); ++It) Values.push_back(It->value);
    QCOMPARE(Values.size(), size_t(3));
    QCOMPARE(Values[0], 800.0);
    QVERIFY(std::isnan(Values[1]));  // the failed read: a break in the line, not a 0
    Trends.SetTenBits(false);
    QCOMPARE(A0->data()->constBegin()->value, 200.0);

    // Pins are named as the main window's pin grid names them.
    Trends.ShowPin(0, 1, true);  // port 0 reads 1: pin 1 is low
    Trends.ShowPin(3, 0, true);  // port 3 reads 4
    QCOMPARE(Trends.Plot()->graphCount(), 8);
    QCOMPARE(Trends.Plot()->graph(6)->lineStyle(), QCPGraph::lsStepLeft);
    Trends.ShowReadOutAt(Trends.Plot()->xAxis->range().upper);
    QVERIFY(Trends.ReadOut().contains("A0 200"));
    QVERIFY2(Trends.ReadOut().endsWith("   Pin 1 (PORT0) 0   Pin 24 (PORT3) 0"),
             qPrintable(Trends.ReadOut()));
    const auto* Pins = Trends.findChild<QListWidget*>();
    QCOMPARE(Pins->item(1)->text(), QString("Pin 1 (PORT0)"));
    QCOMPARE(Pins->item(24)->text(), QString("Pin 24 (PORT3)"));
}

void TTrendsTests::PauseFreezesThePictureButNotTheHistory() {
    TformTrends Trends;
    Trends.show();
    const double T0 = Now();
    Trends.AddTick(Tick(T0, 1));
    QCoreApplication::processEvents();
    Trends.SetPaused(true);
    const QCPRange Before = Trends.Plot()->xAxis->range();
    Trends.AddTick(Tick(T0 + 30 * Second, 2));
    QCoreApplication::processEvents();
    QCOMPARE(Trends.Plot()->xAxis->range(), Before);
    QCOMPARE(Trends.Live().Size(), size_t(2));
    Trends.SetPaused(false);
    QCoreApplication::processEvents();
    QVERIFY(std::fabs(Trends.Plot()->xAxis->range().upper - Before.upper - 30) < 1e-3);
}

void TTrendsTests::LogsOpenJoinedExportAndFailByName() {
    QTemporaryDir Dir;
    const QString First = Dir.filePath("Velmorant Datalog 2026-12-09 13-00-00.csv");
    const QString Second = Dir.filePath("Velmorant Datalog 2026-12-09 13-00-00 (2).csv");
    WriteFile(First.toStdString(), LogText({"12/09/26 12:00:00,1,2,3,4,5,6,7,8,9,10,11,72,",
                                            "12/09/26 12:00:01,1,2,3,4,5,6,,8,9,10,11,72,"}));
    WriteFile(Second.toStdString(), LogText({"\"12/09/26 12:00:02\",1,2,3,4,5,6,9,8,9,10,11,73,"}));
    TScriptedUi Ui;
    TformTrends Trends;
    Trends.SetUiServices(&Ui);
    Trends.show();
    Trends.AddTick(Tick(Now(), 5));
    QVERIFY(Opened(Trends, {Second, First}));
    QVERIFY(Trends.ShowingLog());
    QCOMPARE(Trends.Shown().Size(), size_t(3));
    QVERIFY(Trends.windowTitle().contains("and 1 more"));

    // The export of the whole log reads back as the same rows.
    const QString Exported = Dir.filePath("export.csv");
    Trends.ExportCsv(Exported);
    const TTrendRing Back = ReadDataLogs({Exported.toStdString()});
    QCOMPARE(Back.Size(), size_t(3));
    QCOMPARE(Back.Time(2), Trends.Shown().Time(2));
    QVERIFY(std::isnan(Back.Value(1, tcAnalog0)));
    QCOMPARE(Back.Value(2, tcTemperature), 73.0f);
    QVERIFY(Trends.ExportPng(Dir.filePath("export.png")));

    // A bad file: the error box names it and the line; what was shown stays.
    const QString Bad = Dir.filePath("notes.csv");
    WriteFile(Bad.toStdString(), LogText({"12/09/26 12:00:00,1,2"}));
    QVERIFY(!Opened(Trends, {First, Bad}));
    QCOMPARE(Ui.Messages.size(), size_t(1));
    QCOMPARE(QString::fromStdString(Ui.Messages[0].Text),
             "\"" + Bad + "\", line 2: 3 fields where a row has 14");
    QCOMPARE(Trends.Shown().Size(), size_t(3));

    // Dropped files open the same way.
    QMimeData Data;
    Data.setUrls({QUrl::fromLocalFile(First)});
    QDragEnterEvent Enter(QPoint(10, 10), Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&Trends, &Enter);
    QVERIFY(Enter.isAccepted());
    QDropEvent Drop(QPointF(10, 10), Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
    QSignalSpy Spy(&Trends, &TformTrends::LogLoaded);
    QCoreApplication::sendEvent(&Trends, &Drop);
    QVERIFY(Spy.wait(20000));
    QCOMPARE(Trends.Shown().Size(), size_t(2));
    Trends.ShowLive();
    QCOMPARE(Trends.Shown().Size(), size_t(1));
}

void TTrendsTests::LiveFromTheSimulatedBoard() {
    const QString Shots = qEnvironmentVariable("VELMORANT_TRENDS_SHOTS");
    const int Ticks = Shots.isEmpty() ? 40 : 1200;
    velsim::TSimFixture Fixture("COM5");
    TVelmorant Driver;
    bool Failed = false;
    Driver.SetOnError([&](const TFailure&) { Failed = true; });
    QVERIFY(Driver.FindDevice(Fixture.ComName()));
    // A binary counter on port 3 every half second of board time.
    const char* const Program[] = {"set port3 = port3 + 1", "delay 50", "goto 0"};
    for (int I = 0; I < 3; ++I) {
        TProgramLine Line;
        TextToProgramLine(Line, Program[I]);
        Driver.SetProgramLine(I, Line);
        QVERIFY(Driver.DownloadProgramLine(I));
    }
    Driver.SetPLCRunMode(rmRun);

    TformTrends Trends;
    Trends.resize(1100, 680);
    Trends.show();
    Trends.StartConnection();
    for (int Pin : {2, 3, 4, 5}) Trends.ShowPin(3, Pin, true);
    Trends.ShowPin(0, 5, true);
    // Board time runs at the ticks' pace, so minutes of readings take seconds.
    const double T0 = Now();
    for (int I = 0; I < Ticks; ++I) {
        {
            auto Lock = Fixture.Sim().Lock();
            Fixture.Sim().Board().Tick(500);
        }
        if (I == Ticks / 2) {  // a few silent replies: gaps in A2
            Fixture.Sim().SetFaultFilter("ADC2");
            Fixture.Sim().SetFault(velsim::TFault::Silent, 3);
        }
        TTickReadings R;
        R.Time = T0 + I * 0.5 * Second;
        const auto Read = [&](auto Reader) -> std::optional<int> {
            Failed = false;
            const int Value = Reader();
            return Failed ? std::nullopt : std::optional<int>(Value);
        };
        for (int P = 0; P < 6; ++P) R.Ports[P] = Read([&] { return Driver.ReadPortStateOrZero(P); });
        for (int A = 0; A < 5; ++A) R.Analog[A] = Read([&] { return Driver.ReadAnalogInputValueOrZero(A); });
        R.Temperature = Read([&] { return Driver.ReadTemperatureOrZero(); });
        Trends.AddTick(R);
    }
    QCoreApplication::processEvents();
    const TTrendRing& Live = Trends.Live();
    QCOMPARE(Live.Size(), size_t(Ticks));
    int Gaps = 0, Changes = 0;
    for (size_t I = 1; I < Live.Size(); ++I) {
        Gaps += std::isnan(Live.Value(I, tcAnalog0 + 2));
        Changes += Live.Value(I, tcPort0 + 3) != Live.Value(I - 1, tcPort0 + 3);
    }
    QCOMPARE(Gaps, 3);
    QVERIFY(Changes > Ticks / 2);  // the program counts
    if (Shots.isEmpty()) return;

    Trends.SetTimeWindow(TformTrends::twTenMinutes);
    const QCPRange Range = Trends.Plot()->xAxis->range();
    Trends.ShowReadOutAt(Range.lower + 0.8 * Range.size());
    Trends.Plot()->replot();
    QVERIFY(Trends.grab().save(Shots + "/screenshot-trends-live.png"));

    // The same readings as log files: Keep says which ticks are rows.
    QTemporaryDir Dir;
    const auto LogFile = [&](const QString& Name, size_t First, size_t End, const auto& Keep) {
        std::string Text = std::string(DataLogHeader) + "\r\n";
        for (size_t I = First; I < End; ++I) {
            if (!Keep(I)) continue;
            Text += TDataLogger::FormatTimeStamp(Live.Time(I)) + ",";
            for (int C = 0; C < tcColumnCount; ++C)
                Text += (std::isnan(Live.Value(I, C)) ? "" : std::to_string(int(Live.Value(I, C)))) + ",";
            Text += "\r\n";
        }
        WriteFile(Dir.filePath(Name).toStdString(), Text);
        return Dir.filePath(Name);
    };
    // Two hourly files of every tick, opened together.
    const size_t Half = Live.Size() / 2;
    const auto Every = [](size_t) { return true; };
    QVERIFY(Opened(Trends, {LogFile("Velmorant Datalog part 1.csv", 0, Half, Every),
                            LogFile("Velmorant Datalog part 2.csv", Half, Live.Size(), Every)}));
    Trends.ShowCurve(tcAnalog0 + 3, false);
    Trends.ShowPin(0, 5, false);
    Trends.Plot()->xAxis->setRange(Range.lower + 0.3 * Range.size(), Range.lower + 0.7 * Range.size());
    Trends.Redraw();
    Trends.ShowReadOutAt(Range.lower + 0.5 * Range.size());
    Trends.Plot()->replot();
    QVERIFY(Trends.grab().save(Shots + "/screenshot-trends-log.png"));

    // A row a second, with the logger stopped for 37 s and, a few rows later, for 16 s.
    const auto Holes = [](size_t I) { return I % 2 == 0 && (I < 500 || I >= 574) && (I < 590 || I >= 622); };
    QVERIFY(Opened(Trends, {LogFile("Velmorant Datalog holes.csv", 0, Live.Size(), Holes)}));
    Trends.ShowPin(0, 5, true);
    Trends.Plot()->xAxis->setRange(Range.lower + 0.35 * Range.size(), Range.lower + 0.65 * Range.size());
    Trends.Redraw();
    Trends.ShowReadOutAt(Range.lower + 0.4 * Range.size());
    Trends.Plot()->replot();
    QVERIFY(Trends.grab().save(Shots + "/screenshot-trends-breaks-and-pins.png"));
}

void TTrendsTests::HistoryIsKeptFromTheConnectionWhileTheWindowIsClosed() {
    TWindowFixture Fixture;
    TformMain& Main = Fixture.OpenWithoutPolling();
    const auto Tick = [&] {
        Main.Session().Tick();
        return Fixture.Settle();
    };
    QVERIFY(Tick());
    // Connecting again (keeping the window's values) begins a new "since connecting".
    QTest::mouseClick(btnFind(Main), Qt::LeftButton);
    QVERIFY(Fixture.Settle());
    Fixture.Ui().Answers = {mbNo};
    QTest::mouseClick(btnFind(Main), Qt::LeftButton);
    Fixture.StopPolling();
    QVERIFY(Tick());
    const TTrendHistory& History = Main.TrendHistory();
    QVERIFY(History.Ring().Time(0) < History.ConnectedAt());
    QVERIFY(Main.findChild<TformTrends*>() == nullptr);

    miTrends(Main)->trigger();
    TformTrends& Trends = Main.Trends();
    QVERIFY(Trends.isVisible() && &Trends.Live() == &History.Ring());
    Trends.SetTimeWindow(TformTrends::twSinceConnecting);
    double From, To;
    Trends.VisibleRange(From, To);
    QVERIFY(std::fabs(From - History.ConnectedAt()) < 1e-3 * Second);
    // Ticks go on into the same history, and the window redraws for them.
    QVERIFY(Tick());
    QTRY_VERIFY(Trends.statusBar()->findChildren<QLabel*>().front()->text().startsWith(
        QString("Live: %1 samples").arg(History.Ring().Size())));
}

void TTrendsTests::CaptureReadsOnlyItsInputsShowsAndExportsThem() {
    TCaptureBench Bench;
    const auto TwoTicks = [&] {
        Bench.Fixture.Sim().ClearCommands();
        for (int I = 0; I < 2; ++I) {
            QVERIFY(Bench.Session.Tick());
            QVERIFY(Bench.Settle());
        }
        std::vector<std::string> Expected = TickCommands(), Second = TickCommands();
        Expected.insert(Expected.end(), Second.begin(), Second.end());
        QCOMPARE(Bench.Commands(), Expected);
    };
    TwoTicks();  // no capture: the monitor's traffic as it always was

    TformTrends Trends;
    Trends.SetSession(Bench.Session);
    Trends.show();
    QSignalSpy Progress(&Bench.Session, &TBoardSession::Progress);
    QSignalSpy Ended(&Bench.Session, &TBoardSession::CaptureEnded);
    Bench.Fixture.Sim().ClearCommands();
    QVERIFY(Trends.StartCapture({{{false, 0}, {true, 4}}, 0, 50}));
    QVERIFY(!Bench.Session.Tick());  // the ticks wait for the capture
    QVERIFY(Ended.wait(20000));
    QCOMPARE(Ended.front().front().value<TCaptureEnd>(), ceCount);
    QVERIFY(Progress.front().front().toString().startsWith("Capturing A0, VPort1"));
    QVERIFY(Progress.back().front().toString().isEmpty());

    // Nothing but the capture's reads went out, and every sample holds what the board holds.
    std::vector<std::string> Expected;
    for (int I = 0; I < 50; ++I) Expected.insert(Expected.end(), {"ADC0", "PRTRD4"});
    QCOMPARE(Bench.Commands(), Expected);
    const TCaptureData& Data = Trends.Capture();
    QCOMPARE(Data.Size(0), size_t(50));
    QCOMPARE(Data.Size(1), size_t(50));
    for (size_t I = 0; I < 50; ++I) {
        QCOMPARE(Data.Value(0, I), 111.0f);
        QCOMPARE(Data.Value(1, I), float(0x5A));
        QVERIFY(Data.Time(1, I) > Data.Time(0, I));
        if (I > 0) QVERIFY(Data.Time(0, I) > Data.Time(1, I - 1));
    }
    QVERIFY(Trends.ShowingCapture());
    QVERIFY(Trends.windowTitle().endsWith("capture of A0, VPort1"));
    QCOMPARE(Trends.Plot()->graph(6)->name(), QString("A0"));
    QVERIFY(!Trends.Plot()->graph(6)->data()->isEmpty());
    Trends.ShowReadOutAt(Data.Time(1, 10));
    QVERIFY(Trends.ReadOut().contains("A0 111   VPort1 90"));

    // Zoomed in: the export holds what is shown, and says where it went.
    QTemporaryDir Dir;
    Trends.Plot()->xAxis->setRange(Data.Time(0, 10) - 1e-6, Data.Time(0, 19) + 1e-6);
    const QString Csv = Dir.filePath("capture.csv");
    QCOMPARE(Trends.ExportCsv(Csv), size_t(10));
    QVERIFY(Trends.statusBar()->currentMessage().contains(Csv));
    const std::vector<std::string> Rows = Lines(ReadFile(Csv.toStdString()));
    QCOMPARE(Rows.size(), size_t(11));
    QCOMPARE(Rows[0], std::string("Time (ms),A0,VPort1"));
    QVERIFY(QString::fromStdString(Rows[1]).endsWith(",111,90"));
    const QString Png = Dir.filePath("capture.png");
    QVERIFY(Trends.ExportPng(Png));
    QVERIFY(Trends.statusBar()->currentMessage().contains(Png));

    Trends.ShowLive();
    QVERIFY(!Trends.ShowingCapture());
    QCOMPARE(Trends.Plot()->graph(6)->visible(), false);
    TwoTicks();  // and after it, as it always was
}

void TTrendsTests::CaptureFromTheControlsStopsAndShowsASilentReplyAsAGap() {
    TCaptureBench Bench;
    TformTrends Trends;
    auto* Start = Trends.findChild<QPushButton*>();
    QVERIFY(!Start->isEnabled());  // no session: nothing to capture with
    Trends.SetSession(Bench.Session);
    Trends.show();
    // A1 alone, until stopped, from the window's own controls.
    for (QCheckBox* Box : Trends.findChildren<QCheckBox*>()) Box->setChecked(Box->text() == "A1");
    Trends.findChild<QSpinBox*>()->setValue(0);
    QVERIFY(Start->isEnabled());
    QTest::mouseClick(Start, Qt::LeftButton);
    QVERIFY(Trends.Capturing());
    QCOMPARE(Start->text(), QString("Stop Capture"));

    // One reply the board does not send: a gap, and the capture goes on after it.
    const TCaptureData& Data = Trends.Capture();
    QVERIFY(QTest::qWaitFor([&] { return Data.Samples() >= 5; }, 20000));
    Bench.Fixture.Sim().SetFault(velsim::TFault::Silent, 1);
    QVERIFY(QTest::qWaitFor([&] { return Data.Stats(0).Failed == 1; }, 20000));
    const size_t AtGap = Data.Samples();
    QVERIFY(std::isnan(Data.Value(0, AtGap - 1)));
    QVERIFY(QTest::qWaitFor([&] { return Data.Samples() >= AtGap + 5; }, 20000));

    QSignalSpy Ended(&Bench.Session, &TBoardSession::CaptureEnded);
    QTest::mouseClick(Start, Qt::LeftButton);
    QVERIFY(Ended.wait(20000));
    QCOMPARE(Ended.front().front().value<TCaptureEnd>(), ceStopped);
    const size_t Sent = Bench.Commands().size();
    QVERIFY(Bench.Settle());
    QCOMPARE(Bench.Commands().size(), Sent);  // nothing after the end
    QCOMPARE(Data.Stats(0).Failed, size_t(1));
    QVERIFY(Data.Size(0) + 1 >= Sent);  // a read the stop ended leaves no sample, any other one does
    QCOMPARE(Start->text(), QString("Start Capture"));
    QVERIFY(Start->isEnabled());
    QVERIFY(Trends.statusBar()->findChildren<QLabel*>().front()->text().contains("ended: stopped"));
}

QTEST_MAIN(TTrendsTests)
#include "TrendsTests.moc"

// A crash while logging, captions, repeated termination signals and the log browse dialog.
#include <unistd.h>

#include <QCheckBox>
#include <QMessageBox>
#include <QProcess>
#include <QSpinBox>
#include <QTimer>
#include <csignal>

#include "Application.h"
#include "FileDialog.h"
#include "FormsTestSupport.h"
#include "TestFiles.h"

class TReliabilityTests : public QObject {
    Q_OBJECT
private slots:
    void RowsOfAKilledRunAreRecoveredAtTheNextStart();
    void LoggingGoesOnAcrossAClockStepBack();
    void LoggingUntilKilled();  // the child of the tests above; skipped on its own
    void CaptionsGetNothingAppended();
    void LaterSignalsDuringTheCloseAreIgnored();
    void BrowseDialogRequiresAnExistingFolder_data();
    void BrowseDialogRequiresAnExistingFolder();
};

namespace {

const std::string LogHeader = "Time,Port0,Port1,Port2,VPort0,VPort1,VPort2,A0,A1,A2,A3,A4,Temp,Counter";
const char* const ChildVariable = "VELMORANT_LOGGING_UNTIL_KILLED";

const char* const FakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

// The rows in the journals of Folder.
std::vector<std::string> JournalRowLines(const std::string& Folder) {
    std::vector<std::string> rows;
    for (const std::string& name : TWindowFixture::Files(Folder, "datalog-")) {
        const std::string text = ReadFile(name);
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            if (text[start] == 'R') rows.push_back(text.substr(start + 1, end - start - 1));
    }
    return rows;
}

int JournalRows(const std::string& Folder) {
    return static_cast<int>(JournalRowLines(Folder).size());
}

// Starts this test program as the logging child, with Extra in its environment.
void StartLoggingChild(QProcess& Child, const QProcessEnvironment& Extra = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(ChildVariable, "1");
    env.insert(Extra);
    Child.setProcessEnvironment(env);
    Child.start(QCoreApplication::applicationFilePath(), {"LoggingUntilKilled"});
}

}  // namespace

void TReliabilityTests::RowsOfAKilledRunAreRecoveredAtTheNextStart() {
    TWindowFixture fixture;
    QProcess child;
    StartLoggingChild(child);
    const std::string settings = fixture.Root() + "/config/Tarnwick/Velmorant/";
    QTRY_VERIFY_WITH_TIMEOUT(JournalRows(settings) >= 3, 30000);
    child.kill();
    QVERIFY(child.waitForFinished());
    const int rows = JournalRows(settings);

    TformMain& next = fixture.Create();
    QVERIFY(fixture.Settle());  // the recovery runs beside the window
    const auto files = TWindowFixture::Files(fixture.Documents(), "Velmorant Datalog ");
    QCOMPARE(files.size(), size_t(1));
    const auto lines = Lines(ReadFile(files[0]));
    QCOMPARE(int(lines.size()), rows + 1);
    QCOMPARE(Q(lines[0]), Q(LogHeader));
    const QString note = Q("Data log: " + std::to_string(rows) + " rows of an earlier run recovered into " +
                           std::filesystem::path(files[0]).filename().string());
    QCOMPARE(Q(next.StatusText()), note);
    next.show();  // the connection's texts replace the note; it is said again after them
    QVERIFY(fixture.Settle());
    QTRY_COMPARE_WITH_TIMEOUT(Q(next.StatusText()), note, 15000);
    QCOMPARE(JournalRows(settings), 0);
}

void TReliabilityTests::LoggingGoesOnAcrossAClockStepBack() {
    if (access(FakeTime, R_OK) != 0) QSKIP("needs libfaketime (Debian package faketime)");
    TWindowFixture fixture;
    const std::string offset = fixture.Root() + "/clock-offset";
    WriteFile(offset, "+0\n");
    QProcessEnvironment env;
    env.insert("LD_PRELOAD", FakeTime);
    env.insert("FAKETIME_TIMESTAMP_FILE", Q(offset));
    env.insert("FAKETIME_NO_CACHE", "1");
    env.insert("DONT_FAKE_MONOTONIC", "1");
    env.insert("ASAN_OPTIONS", "verify_asan_link_order=0");  // the sanitizer build wants its runtime first
    QProcess child;
    StartLoggingChild(child, env);
    const std::string settings = fixture.Root() + "/config/Tarnwick/Velmorant/";
    QTRY_VERIFY_WITH_TIMEOUT(JournalRows(settings) >= 2, 30000);
    WriteFile(offset, "-1h\n");  // the end of summer time, as the program sees it
    const size_t before = JournalRowLines(settings).size();
    QTRY_VERIFY_WITH_TIMEOUT(JournalRowLines(settings).size() >= before + 3, 20000);
    child.kill();
    QVERIFY(child.waitForFinished());
    // The stamps went back by the hour, the rows went on at their interval.
    const auto rows = JournalRowLines(settings);
    const auto stamp = [](const std::string& Row) { return Row.substr(0, Row.find(',')); };
    QVERIFY2(stamp(rows.back()) < stamp(rows.front()),
             (stamp(rows.front()) + " " + stamp(rows.back())).c_str());
}

void TReliabilityTests::LoggingUntilKilled() {
    if (!qEnvironmentVariableIsSet(ChildVariable)) QSKIP("runs as the child of the crash drill");
    // The parent's board and folders, which this process inherits with its environment.
    TformMain w(std::make_unique<TScriptedUi>());
    w.show();
    QVERIFY(Settle(w));
    spinLogInterval(w)->setValue(1);
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    QTest::qWait(600000);  // until the parent kills it
}

void TReliabilityTests::CaptionsGetNothingAppended() {
    // A display name of its own is what Qt appends to captions ("About — Velmorant"); without one
    // the display name follows the application name.
    const QString saved = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName("Renamed");
    QCOMPARE(QGuiApplication::applicationDisplayName(), QString("Renamed"));
    QCoreApplication::setApplicationName(saved);
    QCOMPARE(QGuiApplication::applicationDisplayName(), QString("Velmorant"));
}

void TReliabilityTests::LaterSignalsDuringTheCloseAreIgnored() {
    auto* app = static_cast<TVelmorantApplication*>(QCoreApplication::instance());
    static int calls = 0;
    QVERIFY(app->InstallTerminationHandlers([] { ++calls; }));
    std::raise(SIGTERM);
    QTRY_COMPARE(calls, 1);
    std::raise(SIGINT);
    std::raise(SIGTERM);
    // The handler has written both to the notifier's socket before raise returns: one pass of the
    // loop sees them.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(calls, 1);
}

void TReliabilityTests::BrowseDialogRequiresAnExistingFolder_data() {
    QTest::addColumn<bool>("pathMustExist");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("existing folder") << true << "log.csv" << true;
    QTest::newRow("missing folder") << true << "missing/log.csv" << false;
    QTest::newRow("missing folder, no check") << false << "missing/log.csv" << true;
}

void TReliabilityTests::BrowseDialogRequiresAnExistingFolder() {
    QFETCH(bool, pathMustExist);
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    veltest::TTempDir dir("browse");
    TFileDialogRequest request;
    request.InitialFolder = dir.Path();
    request.PathMustExist = pathMustExist;
    TFileDialog dialog(nullptr, request);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.selectFile(QString::fromStdString(dir.Path()) + "/" + name);
    bool warned = false;
    QTimer closer;  // closes the warning from inside its own loop
    closer.setSingleShot(true);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            warned = box->windowTitle() == dialog.windowTitle();
            box->close();
        }
    });
    closer.start(0);
    dialog.accept();
    QCOMPARE(dialog.result() == QDialog::Accepted, accepted);
    QCOMPARE(warned, !accepted);
}

VELMORANT_QTEST_MAIN_IN(TReliabilityTests, TVelmorantApplication)

#include "ReliabilityTests.moc"

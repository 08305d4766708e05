// Captions, repeated termination signals and the log browse dialog's folder check.
#include <QMessageBox>
#include <QTimer>
#include <csignal>

#include "Application.h"
#include "FileDialog.h"
#include "FormsTestSupport.h"
#include "TestFiles.h"

class TReliabilityTests : public QObject {
    Q_OBJECT
private slots:
    void CaptionsGetNothingAppended();
    void LaterSignalsDuringTheCloseAreIgnored();
    void BrowseDialogRequiresAnExistingFolder_data();
    void BrowseDialogRequiresAnExistingFolder();
};

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

// The settings-file commands, data logging and the firmware update, against a simulated board.
#include <sys/stat.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include "Controls.h"
#include "FormsTestSupport.h"
#include "GeneralLib.h"
#include "GridInput.h"
#include "SharedPorts.h"

namespace {

const std::string LogHeader = "Time,Port0,Port1,Port2,VPort0,VPort1,VPort2,A0,A1,A2,A3,A4,Temp,Counter";
const char* const UpdateModeText =
    "The Velmorant will now be rebooted in \"update mode\" so that\n\ryou can load new firmware using the "
    "HIDBootloader program.";
const char* const RunUpdaterText =
    "Now run the HIDBootloader program to update the firmware on the Velmorant.";

// Checks one data row: a time stamp, twelve readings in their ranges, an empty counter.
void CheckRow(const std::string& Row) {
    QCOMPARE(std::count(Row.begin(), Row.end(), ','), 13);
    QVERIFY(Row.back() == ',');
    const QStringList fields = Q(Row).split(',');
    QVERIFY(!fields[0].isEmpty());
    for (int i = 1; i <= 12; ++i) {
        bool ok = false;
        const int value = fields[i].toInt(&ok);
        QVERIFY2(ok && fields[i] == QString::number(value), qPrintable(Q(Row)));
        const int max = i <= 6 ? 255 : i <= 11 ? 1023 : 400;
        QVERIFY2(value >= 0 && value <= max, qPrintable(Q(Row)));
    }
}

// The updater's place: <program files>Tarnwick/Velmorant/Firmware/HIDBootloader, made and
// removed by the test (the program-files folder is the lib folder beside the test's own).
class TUpdaterPlace {
public:
    TUpdaterPlace() {
        FBase = GetSpecialFolderPath(sfProgramFiles);
        FFolder = FBase + "Tarnwick/Velmorant/Firmware/";
        FCreatedBase = !std::filesystem::exists(FBase);
        std::filesystem::create_directories(FFolder);
    }
    ~TUpdaterPlace() {
        std::error_code error;
        std::filesystem::remove(Updater(), error);
        std::filesystem::remove(FFolder + "real-updater", error);
        for (std::string dir : {FFolder, FBase + "Tarnwick/Velmorant/", FBase + "Tarnwick/"})
            std::filesystem::remove(dir, error);  // only when empty
        if (FCreatedBase) std::filesystem::remove(FBase, error);
    }
    std::string Folder() const { return FFolder; }
    std::string Updater() const { return FFolder + "HIDBootloader"; }
    void MakeScript(const std::string& Path) const {
        WriteFile(Path, "#!/bin/sh\nexit 0\n");
        ::chmod(Path.c_str(), 0755);
    }

private:
    std::string FBase, FFolder;
    bool FCreatedBase = false;
};

}  // namespace

class FilesLoggingTests : public QObject {
    Q_OBJECT

private slots:
    void init() { FFixture = std::make_unique<TWindowFixture>(); }
    void cleanup() { FFixture.reset(); }

    void SaveAndRecallSettings();
    void SavingAsksFirstWhenLinesAreInError_data();
    void SavingAsksFirstWhenLinesAreInError();
    void ClosingAsksAndKeepsLinesInError_data();
    void ClosingAsksAndKeepsLinesInError();
    void CancelledDialogChangesNothing_data();
    void CancelledDialogChangesNothing();
    void FailedFileCommands_data();
    void FailedFileCommands();
    void RecallWithoutBoardSendsNothing();

    void LoggingOnAndOffWritesHeaderAlone();
    void RowsComeOncePerInterval();
    void ClosingWritesWaitingRows_data();
    void ClosingWritesWaitingRows();
    void ChosenLogFileIsUsedAtNextSwitchOn();
    void FailingLogSaveIsReportedOnce();
    void FailingSwitchOffKeepsLoggingOn();

    void FirmwareUpdate_data();
    void FirmwareUpdate();
    void FirmwareUpdateWithoutBoardDoesNothing();
    void FirmwareUpdateOfASharedBoardIsRefused();
    void NoRowsAfterFirmwareUpdate();

private:
    std::unique_ptr<TWindowFixture> FFixture;

    // Switches logging on with a one-second interval and waits for Rows rows.
    void LogRows(TformMain& W, int Rows) {
        spinLogInterval(W)->setValue(1);
        if (!chkEnableDataLogging(W)->isChecked()) QTest::mouseClick(chkEnableDataLogging(W), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(W.Logging().DataLogger().Count() >= Rows, 15000);
    }
};

// ---------------------------------------------------------------------------------------------
// Settings files

void FilesLoggingTests::SavingAsksFirstWhenLinesAreInError_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("saved");
    QTest::newRow("No keeps the typed text on the screen") << int(mbNo) << false;
    QTest::newRow("Yes saves what the program holds") << int(mbYes) << true;
}

void FilesLoggingTests::SavingAsksFirstWhenLinesAreInError() {
    QFETCH(int, answer);
    QFETCH(bool, saved);
    TformMain& w = FFixture->OpenWithoutPolling();
    auto& ui = FFixture->Ui();
    QVERIFY(EditCellByClick(w.PLC().ProgramGrid(), 3, pgCode, "set port0 5"));
    QVERIFY(EditCellByClick(w.PLC().ProgramGrid(), 6, pgCode, "goto"));
    const std::string file = ApplicationFolders.UserDataPath + "typed.velmor";
    ui.Answers.push_back(TMsgButton(answer));
    ui.FileNames.push_back(file);
    miSavetoFile(w)->trigger();
    QVERIFY(FFixture->Settle());

    QCOMPARE(ui.Messages.size(), size_t(1));
    QVERIFY(Q(ui.Messages[0].Text).startsWith("Program lines 3 and 6 have errors."));
    QCOMPARE(std::filesystem::exists(file), saved);
    QCOMPARE(CellText(w.PLC().ProgramGrid(), 3, pgCode), QString("set port0 5"));
}

void FilesLoggingTests::ClosingAsksAndKeepsLinesInError_data() {
    QTest::addColumn<int>("answer");
    QTest::newRow("No stays open") << int(mbNo);
    QTest::newRow("Yes closes, the typed text comes back") << int(mbYes);
}

void FilesLoggingTests::ClosingAsksAndKeepsLinesInError() {
    QFETCH(int, answer);
    TformMain& w = FFixture->OpenWithoutPolling();
    QVERIFY(EditCellByClick(w.PLC().ProgramGrid(), 6, pgCode, "goto 3 extra"));
    FFixture->Ui().Answers.push_back(TMsgButton(answer));
    QCOMPARE(CloseAndSettle(w), answer == mbYes);
    QCOMPARE(FFixture->Ui().Messages.size(), size_t(1));
    QVERIFY(Q(FFixture->Ui().Messages[0].Text).startsWith("Program line 6 has an error,"));
    if (answer != mbYes) return;

    FFixture->Destroy();
    TformMain& again = FFixture->OpenKeepingStartUp();
    QCOMPARE(CellText(again.PLC().ProgramGrid(), 6, pgCode), QString("goto 3 extra"));
    QCOMPARE(again.PLC().LinesInError(), std::vector<int>{6});
    for (const std::string& cmd : FFixture->Sim().Commands())
        QVERIFY2(cmd.rfind("PLCWR", 0) != 0, cmd.c_str());
}

void FilesLoggingTests::SaveAndRecallSettings() {
    TformMain& w = FFixture->OpenWithoutPolling();
    auto& ui = FFixture->Ui();
    const std::string userData = ApplicationFolders.UserDataPath;
    const std::string file = userData + "Bench test.velmor";
    QCOMPARE(w.windowTitle(), QString("Velmorant"));

    TProgramLine line;
    TextToProgramLine(line, "set port4 = 9");
    line.Comment = "pump on";
    w.Velmorant().SetProgramLine(2, line);
    w.Velmorant().SetPinComment(5, "valve");
    ui.FileNames.push_back(file);
    miSavetoFile(w)->trigger();
    QVERIFY(FFixture->Settle());

    QCOMPARE(ui.FileRequests.size(), size_t(1));
    const TFileDialogRequest& save = ui.FileRequests[0];
    QVERIFY(save.Save && save.OverwritePrompt);
    QCOMPARE(Q(save.Title), QString("Save Settings"));
    QCOMPARE(Q(save.Filter), QString("Velmorant Settings (*.velmor)|*.velmor"));
    QCOMPARE(Q(save.DefaultSuffix), QString(".velmor"));
    QCOMPARE(Q(save.InitialFolder), Q(userData));
    QVERIFY(std::filesystem::exists(file));
    QCOMPARE(w.windowTitle(), QString("Bench test.velmor - Velmorant"));
    QCOMPARE(ErrorBoxes(ui), 0);

    // Change what the file holds, then recall it: driver, board and grid get it back.
    w.Velmorant().SetProgramLine(2, TProgramLine());
    w.Velmorant().SetPinComment(5, "");
    w.RefreshDisplay(true, true);
    QVERIFY(FFixture->Settle());
    w.setWindowTitle("Velmorant");
    FFixture->Sim().ClearCommands();
    ui.FileNames.push_back(file);
    miRecallfromFile(w)->trigger();
    QVERIFY(FFixture->Settle());

    QCOMPARE(ui.FileRequests.size(), size_t(2));
    const TFileDialogRequest& open = ui.FileRequests[1];
    QVERIFY(!open.Save && open.FileMustExist);
    QCOMPARE(Q(open.Title), QString("Recall Settings"));
    QCOMPARE(Q(open.Filter), QString("Velmorant Settings (*.velmor)|*.velmor"));
    QCOMPARE(Q(open.DefaultSuffix), QString(".velmor"));
    QCOMPARE(Q(open.InitialFolder), Q(userData));
    QCOMPARE(Q(open.FileName), QString("Bench test.velmor"));  // follows the save dialog, without folder
    QCOMPARE(w.windowTitle(), QString("Bench test.velmor - Velmorant"));
    QCOMPARE(Q(w.Velmorant().GetProgramLine(2).Comment), QString("pump on"));
    QCOMPARE(Q(w.Velmorant().GetPinComment(5)), QString("valve"));
    QCOMPARE(w.PLC().ProgramGrid()->item(2, pgCode)->text(), QString("set PORT4 = 9 OR 0"));
    QCOMPARE(w.PLC().ProgramGrid()->item(2, pgComments)->text(), QString("pump on"));
    QCOMPARE(PortGrids(w)[0]->item(5, pcComment)->text(), QString("valve"));
    const auto traffic = FFixture->Traffic();
    QVERIFY(Contains(traffic, "PLCWR2 1B04443B"));
    QVERIFY(Contains(traffic, "AORD4"));  // the full update after the recall

    // And the next save offers the recalled name, without its folder.
    ui.FileNames.push_back("");
    miSavetoFile(w)->trigger();
    QVERIFY(FFixture->Settle());
    QCOMPARE(Q(ui.FileRequests.back().FileName), QString("Bench test.velmor"));
}

void FilesLoggingTests::CancelledDialogChangesNothing_data() {
    QTest::addColumn<bool>("save");
    QTest::newRow("recall") << false;
    QTest::newRow("save") << true;
}

void FilesLoggingTests::CancelledDialogChangesNothing() {
    QFETCH(bool, save);
    TformMain& w = FFixture->OpenWithoutPolling();
    auto& ui = FFixture->Ui();
    w.SettingsFileDialog(false).FileName = ApplicationFolders.UserDataPath + "a.velmor";
    w.SettingsFileDialog(true).FileName = ApplicationFolders.UserDataPath + "b.velmor";
    w.setWindowTitle("x.velmor - Velmorant");

    ui.FileNames.push_back("");
    (save ? miSavetoFile(w) : miRecallfromFile(w))->trigger();
    QVERIFY(FFixture->Settle());

    QCOMPARE(ui.FileRequests.size(), size_t(1));
    // The dialog shown offers its own name without the folder; the other keeps its name.
    QCOMPARE(Q(ui.FileRequests[0].FileName), QString(save ? "b.velmor" : "a.velmor"));
    QCOMPARE(Q((save ? w.SettingsFileDialog(false) : w.SettingsFileDialog(true)).FileName),
             Q(ApplicationFolders.UserDataPath + (save ? "a.velmor" : "b.velmor")));
    QCOMPARE(w.windowTitle(), QString("x.velmor - Velmorant"));
    QVERIFY(FFixture->Sim().Commands().empty());
    QVERIFY(!std::filesystem::exists(ApplicationFolders.UserDataPath + "b.velmor"));
    QVERIFY(ui.Messages.empty());
}

void FilesLoggingTests::FailedFileCommands_data() {
    QTest::addColumn<bool>("save");
    QTest::addColumn<QString>("file");      // in the user data folder
    QTest::addColumn<QString>("contents");  // written first unless empty
    QTest::addColumn<QString>("message");   // a part of the error text
    QTest::newRow("not a settings file") << false << "notes.velmor"
                                         << "shopping list\r\n"
                                         << "notes.velmor";
    QTest::newRow("missing file") << false << "gone.velmor"
                                  << ""
                                  << "gone.velmor";
    QTest::newRow("direction out of range") << false << "bad.velmor"
                                            << "[PortDirections]\r\nPort0=7\r\nPort1=300\r\n"
                                            << "300";
    QTest::newRow("unwritable") << true << "no such folder/x.velmor"
                                << ""
                                << "Unable to write to";
}

void FilesLoggingTests::FailedFileCommands() {
    QFETCH(bool, save);
    QFETCH(QString, file);
    QFETCH(QString, contents);
    QFETCH(QString, message);
    TformMain& w = FFixture->OpenWithoutPolling();
    auto& ui = FFixture->Ui();
    const std::string path = ApplicationFolders.UserDataPath + file.toStdString();
    if (!contents.isEmpty()) WriteFile(path, contents.toStdString());

    ui.FileNames.push_back(path);
    (save ? miSavetoFile(w) : miRecallfromFile(w))->trigger();
    QVERIFY(FFixture->Settle());

    QCOMPARE(ErrorBoxes(ui), 1);
    QVERIFY2(Q(ui.Messages[0].Text).contains(message), qPrintable(Q(ui.Messages[0].Text)));
    QCOMPARE(w.windowTitle(), QString("Velmorant"));
    QVERIFY(!Contains(FFixture->Traffic(), "AORD4"));  // no full update after a failed recall
}

void FilesLoggingTests::RecallWithoutBoardSendsNothing() {
    TformMain& w = FFixture->Open();
    auto& ui = FFixture->Ui();
    const std::string file = ApplicationFolders.UserDataPath + "program.velmor";
    WriteFile(file,
              "[Program]\r\nLine4=set port3 = 2\r\nLine4.comment=blink\r\n[PinComments]\r\nPin1=led\r\n");
    QTest::mouseClick(btnFind(w), Qt::LeftButton);  // disconnect
    QVERIFY(FFixture->Settle());
    QVERIFY(!w.Velmorant().DevicePresent());
    FFixture->Sim().ClearCommands();

    ui.FileNames.push_back(file);
    miRecallfromFile(w)->trigger();
    QVERIFY(FFixture->Settle());

    QCOMPARE(ErrorBoxes(ui), 0);
    QVERIFY(FFixture->Sim().Commands().empty());
    QCOMPARE(w.PLC().ProgramGrid()->item(4, pgCode)->text(), QString("set PORT3 = 2 OR 0"));
    QCOMPARE(w.PLC().ProgramGrid()->item(4, pgComments)->text(), QString("blink"));
    QCOMPARE(PortGrids(w)[0]->item(1, pcComment)->text(), QString("led"));
    QCOMPARE(w.windowTitle(), QString("program.velmor - Velmorant"));
}

// ---------------------------------------------------------------------------------------------
// Data logging

void FilesLoggingTests::LoggingOnAndOffWritesHeaderAlone() {
    TformMain& w = FFixture->Open();
    const std::string docs = FFixture->Documents();
    QCOMPARE(editLogFilename(w)->Text(), QString("Velmorant Datalog.csv"));
    QCOMPARE(editLogFilename(w)->toolTip(), QString("Velmorant Datalog.csv"));
    QCOMPARE(Q(editLogFilename(w)->Dialog().InitialFolder), Q(ApplicationFolders.UserDataPath));
    QCOMPARE(spinLogInterval(w)->value(), 60);
    // No tick may come between switching on and off.
    w.Session().SetTicking(false);

    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);

    QVERIFY(Settle(w));
    QVERIFY(w.Logging().DataLoggingEnabled());
    QVERIFY(!spinLogInterval(w)->isEnabled() && !editLogFilename(w)->isEnabled());
    QVERIFY(TWindowFixture::Files(docs, "Velmorant Datalog").empty());
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    QVERIFY(Settle(w));
    QVERIFY(!w.Logging().DataLoggingEnabled());
    QVERIFY(spinLogInterval(w)->isEnabled() && editLogFilename(w)->isEnabled());

    const auto files = TWindowFixture::Files(docs, "Velmorant Datalog ");
    QCOMPARE(files.size(), size_t(1));
    QCOMPARE(Q(ReadFile(files[0])), Q(LogHeader + "\r\n"));
    QVERIFY(QRegularExpression(R"(Velmorant Datalog \d{4}-\d\d-\d\d \d\d-\d\d-\d\d\.csv$)")
                .match(Q(files[0]))
                .hasMatch());
}

void FilesLoggingTests::RowsComeOncePerInterval() {
    // Run with a file name here to keep a longer log as an example.
    const QString example = qEnvironmentVariable("VELMORANT_EXAMPLE_DATALOG");
    TformMain& w = FFixture->Open();
    LogRows(w, example.isEmpty() ? 3 : 10);
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    QVERIFY(Settle(w));

    const auto files = TWindowFixture::Files(FFixture->Documents(), "Velmorant Datalog ");
    QCOMPARE(files.size(), size_t(1));
    const auto lines = Lines(ReadFile(files[0]));
    QVERIFY(lines.size() >= 4);
    QCOMPARE(Q(lines[0]), Q(LogHeader));
    for (size_t i = 1; i < lines.size(); ++i) CheckRow(lines[i]);
    // A row every second: stamps, which show whole seconds of the board's reading time, never skip
    // a second's row (the stepped-clock tests hold the exact schedule).
    const auto secondOf = [](const std::string& Row) {
        const std::string time = Row.substr(Row.find(' ') + 1, 8);
        return std::stoi(time.substr(0, 2)) * 3600 + std::stoi(time.substr(3, 2)) * 60 +
               std::stoi(time.substr(6, 2));
    };
    for (size_t i = 2; i < lines.size(); ++i)
        QVERIFY2((secondOf(lines[i]) - secondOf(lines[i - 1]) + 86400) % 86400 <= 2, lines[i].c_str());
    if (!example.isEmpty()) WriteFile(example.toStdString(), ReadFile(files[0]));
}

void FilesLoggingTests::ClosingWritesWaitingRows_data() {
    QTest::addColumn<bool>("rowsWaiting");
    QTest::newRow("rows waiting") << true;
    QTest::newRow("no rows") << false;
}

void FilesLoggingTests::ClosingWritesWaitingRows() {
    QFETCH(bool, rowsWaiting);
    TformMain& w = FFixture->Open();
    if (rowsWaiting) {
        LogRows(w, 1);
    } else {
        w.Session().SetTicking(false);
        QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
        QVERIFY(Settle(w));
        QVERIFY(w.Logging().DataLoggingEnabled());
    }
    const int rows = w.Logging().DataLogger().Count();
    FFixture->Destroy();

    const auto files = TWindowFixture::Files(FFixture->Documents(), "Velmorant Datalog ");
    QCOMPARE(files.size(), size_t(rowsWaiting ? 1 : 0));
    if (rowsWaiting) QCOMPARE(Lines(ReadFile(files[0])).size(), size_t(rows + 1));
}

void FilesLoggingTests::ChosenLogFileIsUsedAtNextSwitchOn() {
    TformMain& w = FFixture->Open();
    auto& ui = FFixture->Ui();
    const std::string chosen = FFixture->Root() + "/logs/run.CSV";
    std::filesystem::create_directories(FFixture->Root() + "/logs");
    ui.FileNames.push_back(chosen);
    QTest::mouseClick(editLogFilename(w)->BrowseButton(), Qt::LeftButton);

    const TFileDialogRequest& browse = ui.FileRequests.at(0);
    QCOMPARE(Q(browse.Title), QString("Log File Name"));
    QCOMPARE(Q(browse.Filter), QString("All files (*.*)|*.*|CSV (*.CSV)|*.CSV"));
    QCOMPARE(browse.FilterIndex, 2);
    QCOMPARE(Q(browse.DefaultSuffix), QString(".CSV"));
    QCOMPARE(Q(browse.InitialFolder), Q(ApplicationFolders.UserDataPath));
    QCOMPARE(editLogFilename(w)->Text(), Q(chosen));
    QCOMPARE(editLogFilename(w)->toolTip(), Q(chosen));

    w.Session().SetTicking(false);
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    QVERIFY(Settle(w));
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    QVERIFY(Settle(w));
    QCOMPARE(TWindowFixture::Files(FFixture->Root() + "/logs", "run ").size(), size_t(1));
    QVERIFY(TWindowFixture::Files(FFixture->Documents(), "Velmorant Datalog").empty());
}

void FilesLoggingTests::FailingLogSaveIsReportedOnce() {
    TformMain& w = FFixture->Open();
    auto& ui = FFixture->Ui();
    // A folder that goes away while logging runs (root may write into read-only folders).
    const std::string folder = FFixture->Root() + "/stick";
    std::filesystem::create_directories(folder);
    ui.FileNames.push_back(folder + "/log.csv");
    QVERIFY(editLogFilename(w)->Browse());
    std::filesystem::remove(folder);
    w.Logging().DataLogger().SetAutosaveInterval(0);  // every row is due for a save

    LogRows(w, 3);
    QVERIFY(Settle(w));  // the recorder's word on the failed saves has arrived

    QCOMPARE(ErrorBoxes(ui), 1);
    QVERIFY(Q(ui.Messages[0].Text).contains(Q(folder + "/log ")));
    QVERIFY(w.Logging().DataLoggingEnabled());
    QVERIFY(QRegularExpression("^Data log: \\d+ rows waiting, last save failed$")
                .match(Q(w.StatusText()))
                .hasMatch());

    std::filesystem::create_directories(folder);
    QTRY_COMPARE_WITH_TIMEOUT(w.Logging().DataLogger().Count(), 0, 15000);
    w.Session().SetTicking(false);  // with no autosave interval, every later row makes a file of its own
    QVERIFY(Settle(w));
    QCOMPARE(ErrorBoxes(ui), 1);
    const auto files = TWindowFixture::Files(folder, "log ");
    QCOMPARE(files.size(), size_t(1));
    const auto lines = Lines(ReadFile(files[0]));
    QVERIFY(lines.size() >= 5);  // the header, the three rows kept and the row that saved them
    for (size_t i = 1; i < lines.size(); ++i) CheckRow(lines[i]);
    QCOMPARE(Q(w.StatusText()), QString("Data log: saved again"));
}

void FilesLoggingTests::FailingSwitchOffKeepsLoggingOn() {
    TformMain& w = FFixture->Open();
    auto& ui = FFixture->Ui();
    const std::string folder = FFixture->Root() + "/stick";
    std::filesystem::create_directories(folder);
    ui.FileNames.push_back(folder + "/log.csv");
    QVERIFY(editLogFilename(w)->Browse());
    LogRows(w, 1);
    w.Session().SetTicking(false);
    std::filesystem::remove(folder);
    const int rows = w.Logging().DataLogger().Count();

    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);

    QVERIFY(Settle(w));

    QCOMPARE(ErrorBoxes(ui), 1);
    QVERIFY(chkEnableDataLogging(w)->isChecked());
    QVERIFY(w.Logging().DataLoggingEnabled());
    QVERIFY(!spinLogInterval(w)->isEnabled());
    QCOMPARE(w.Logging().DataLogger().Count(), rows);
    QVERIFY(Q(w.StatusText()).contains("waiting"));

    std::filesystem::create_directories(folder);
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    QVERIFY(Settle(w));
    QVERIFY(!w.Logging().DataLoggingEnabled());
    QCOMPARE(ErrorBoxes(ui), 1);
    const auto files = TWindowFixture::Files(folder, "log ");
    QCOMPARE(files.size(), size_t(1));
    QCOMPARE(Lines(ReadFile(files[0])).size(), size_t(rows + 1));
}

// ---------------------------------------------------------------------------------------------
// Firmware update

void FilesLoggingTests::FirmwareUpdate_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("updater");  // "", "script", "link", "dangling link"
    QTest::addColumn<bool>("started");
    QTest::newRow("abort") << int(mbAbort) << "script" << false;
    QTest::newRow("box closed") << int(mbCancel) << "script" << false;
    QTest::newRow("ok, no updater") << int(mbOK) << "" << false;
    QTest::newRow("ok, updater") << int(mbOK) << "script" << true;
    QTest::newRow("ok, link to updater") << int(mbOK) << "link" << true;
    QTest::newRow("ok, dangling link") << int(mbOK) << "dangling link" << false;
}

void FilesLoggingTests::FirmwareUpdate() {
    QFETCH(int, answer);
    QFETCH(QString, updater);
    QFETCH(bool, started);
    TUpdaterPlace place;
    if (updater == "script") place.MakeScript(place.Updater());
    if (updater == "link" || updater == "dangling link") {
        if (updater == "link") place.MakeScript(place.Folder() + "real-updater");
        std::filesystem::create_symlink(place.Folder() + "real-updater", place.Updater());
    }
    TformMain& w = FFixture->OpenWithoutPolling();
    auto& ui = FFixture->Ui();
    QVERIFY(miUpdateFirmware(w)->isEnabled());
    ui.Answers.push_back(TMsgButton(answer));

    miUpdateFirmware(w)->trigger();
    QVERIFY(FFixture->Settle());

    const bool ok = answer == mbOK;
    QVERIFY(!ui.Messages.empty());
    QCOMPARE(ui.Messages[0].Kind, mkInformation);
    QCOMPARE(Q(ui.Messages[0].Text), QString(UpdateModeText));
    QVERIFY(ui.Messages[0].Buttons == (TMsgButtons{mbOK, mbAbort}));
    // The board's command goes out without a reply to wait for.
    if (ok) QVERIFY(FFixture->Sim().WaitForCommands(1, 5000));
    QCOMPARE(ToQt(FFixture->Traffic()), ok ? QStringList{"BTLDR"} : QStringList{});
    QCOMPARE(w.Velmorant().DevicePresent(), !ok);
    QCOMPARE(lblConnected(w)->text(), QString(ok ? "NOT CONNECTED" : "CONNECTED to COM1"));
    QCOMPARE(miUpdateFirmware(w)->isEnabled(), !ok);
    QCOMPARE(ui.Programs.size(), size_t(started ? 1 : 0));
    if (started) {
        QCOMPARE(Q(ui.Programs[0].first), Q(place.Updater()));
        QCOMPARE(Q(ui.Programs[0].second), Q(place.Folder()));
    }
    const bool toldToRun = ok && !started;
    QCOMPARE(ui.Messages.size(), size_t(toldToRun ? 2 : 1));
    if (toldToRun) QCOMPARE(Q(ui.Messages[1].Text), QString(RunUpdaterText));
}

// A board a service shares is not sent into its update mode through the service: the user is told
// to stop it first.
void FilesLoggingTests::FirmwareUpdateOfASharedBoardIsRefused() {
    TformMain& w = FFixture->OpenWithoutPolling();
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(FFixture->Root() + "/run"));
    std::string error;
    QVERIFY(!PublishSharedPort(FFixture->Root() + "/run/velmorant", {"COM9", "COM1"}, error).empty());
    FFixture->Sim().ClearCommands();
    w.miUpdateFirmwareClick();
    qputenv("XDG_RUNTIME_DIR", runtime);
    QVERIFY(FFixture->Settle());
    QCOMPARE(FFixture->Ui().Messages.size(), size_t(1));
    QVERIFY(Q(FFixture->Ui().Messages[0].Text).contains("stop the service, then connect to COM9"));
    QVERIFY(FFixture->Sim().Commands().empty());
    QVERIFY(w.Velmorant().DevicePresent());
}

void FilesLoggingTests::FirmwareUpdateWithoutBoardDoesNothing() {
    TformMain& w = FFixture->Open();
    QTest::mouseClick(btnFind(w), Qt::LeftButton);  // disconnect
    QVERIFY(FFixture->Settle());
    QVERIFY(!miUpdateFirmware(w)->isEnabled());
    FFixture->Sim().ClearCommands();
    w.miUpdateFirmwareClick();
    QVERIFY(FFixture->Settle());
    QVERIFY(FFixture->Ui().Messages.empty());
    QVERIFY(FFixture->Sim().Commands().empty());
}

void FilesLoggingTests::NoRowsAfterFirmwareUpdate() {
    TformMain& w = FFixture->Open();
    LogRows(w, 1);
    FFixture->Ui().Answers.push_back(mbOK);
    miUpdateFirmware(w)->trigger();
    QVERIFY(FFixture->Settle());
    const int rows = w.Logging().DataLogger().Count();
    QVERIFY(!w.Session().Ticking());
    // Longer than the interval: a running timer would have logged another row by now.
    QTest::qWait(1500);
    QCOMPARE(w.Logging().DataLogger().Count(), rows);
    QVERIFY(w.Logging().DataLoggingEnabled());
}

VELMORANT_QTEST_MAIN(FilesLoggingTests)
#include "FilesLoggingTests.moc"

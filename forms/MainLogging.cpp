// Data logging: the logger's set-up, the rows of the status timer and the logging controls.
#include <QCheckBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>
#include <iostream>
#include <utility>

#include "Controls.h"
#include "Errors.h"
#include "GeneralLib.h"
#include "Main.h"

namespace {

const char* const LogHeader = "Time,Port0,Port1,Port2,VPort0,VPort1,VPort2,A0,A1,A2,A3,A4,Temp,Counter";
const char* const DefaultLogName = "Velmorant Datalog.csv";
constexpr int LogAutosaveSecs = 3600;

std::string NameWithoutFolder(const std::string& Path) {
    const size_t slash = Path.find_last_of('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// A bare name (the default one) goes to the documents folder, where the logger was set up to write.
std::string LogFileTarget(const std::string& BoxText) {
    if (BoxText.find('/') != std::string::npos) return BoxText;
    return GetSpecialFolderPath(sfPersonal) + BoxText;
}

std::string RowsText(int Rows) {
    return std::to_string(Rows) + (Rows == 1 ? " row" : " rows");
}

// The status line about rows a crash left behind, empty when there were none.
std::string RecoveryText(const std::vector<TJournalRecovery>& Recoveries) {
    int rows = 0, unsaved = 0;
    std::vector<std::string> files;
    std::string error;
    for (const TJournalRecovery& r : Recoveries) {
        rows += r.Rows;
        for (const std::string& f : r.Files) files.push_back(NameWithoutFolder(f));
        if (!r.Error.empty()) {
            unsaved += 1;
            error = r.Error;
        }
    }
    if (rows == 0 && unsaved == 0) return std::string();
    if (unsaved > 0)
        return "Data log: rows of an earlier run are kept to be saved at the next start. " + error;
    return "Data log: " + RowsText(rows) + " of an earlier run recovered into " +
           (files.size() == 1 ? files.front() : std::to_string(files.size()) + " files");
}

std::string LogBacklogText(int Rows) {
    return "Data log: " + RowsText(Rows) + " waiting, last save failed";
}

}  // namespace

void TformMain::SetUpLogging() {
    // Rows that a crash or a kill left in a journal are saved first, under their own names.
    const std::string recovered = RecoveryText(RecoverJournals(ApplicationFolders.AppSettingsPath));
    FDataLogger = std::make_unique<TDataLogger>(
        GetSpecialFolderPath(sfPersonal) + DefaultLogName, LogHeader, LogAutosaveSecs,
        TDataLogOptions{loAppendTimestampToFilename, loAutosaveAtIntervals, loClearWhenSaved});
    FDataLogger->SetJournal(TDataJournal::NewName(ApplicationFolders.AppSettingsPath));
    FLastLogTime = 0;
    editLogFilename->Dialog().InitialFolder = ApplicationFolders.UserDataPath;
    editLogFilename->Dialog().PathMustExist = true;
    const QString name = QString::fromStdString(NameWithoutFolder(FDataLogger->DataFilename()));
    editLogFilename->SetText(name);
    editLogFilename->setToolTip(name);
    FLogRecoveryNote = recovered;
    if (!recovered.empty()) SetStatusText(recovered);
}

void TformMain::LogRow(const std::string& Row) {
    // The connection's own texts replace the note; the first tick comes after them.
    if (!FLogRecoveryNote.empty()) SetStatusText(std::exchange(FLogRecoveryNote, std::string()));
    if (!DataLoggingEnabled) return;
    FLogInterval = SecsToTime(spinLogInterval->value());
    // Measured on the monotonic clock: a wall-clock step back would otherwise stop logging for its length.
    const std::optional<int64_t> since = FDataLogger->MillisecsSinceLastRow();
    if (since && *since < spinLogInterval->value() * int64_t{1000}) return;
    try {
        FDataLogger->AddValue(Now(), Row);
        ++FRowsTaken;
        ShowLoggingProgress();
        // A failed save at switching off is retried here; a failed autosave retries by itself.
        if (FLogSaveFailed && FDataLogger->Count() > 0) FDataLogger->SaveToFile();
    } catch (const EFileError& e) {
        // The next row waits a whole interval as usual: no row, no retry and no box every tick.
        FLastLogTime = Now();
        LogSaveFailed(e.what(), false);
        return;
    }
    FLastLogTime = Now();
    if (FLogSaveFailed && FDataLogger->Count() == 0) LogSaveRecovered();
}

void TformMain::FinishLogging() {
    if (!FDataLogger || !DataLoggingEnabled || FDataLogger->Count() == 0) return;
    try {
        FDataLogger->SaveToFile();
    } catch (const EFileError& e) {
        if (FDataLogger->JournalHoldsRows()) {
            // Nothing is lost, and a box here would hold up a shut-down: the next start saves the rows.
            std::cerr << e.what() << "\nThe data log rows are kept and will be saved at the next start.\n";
            return;
        }
        FUi->ShowError(
            this, std::string(e.what()) + "\n\nThe data log rows gathered since the last save are lost.");
    }
}

void TformMain::chkEnableDataLoggingClick() {
    const bool on = chkEnableDataLogging->isChecked();
    if (DataLoggingEnabled && !on) {
        std::string written;
        try {
            written = FDataLogger->SaveToFile();
        } catch (const EFileError& e) {
            // Switching off would leave the rows with no one to write them: stay on, say so.
            {
                const QSignalBlocker blocker(chkEnableDataLogging);
                chkEnableDataLogging->setChecked(true);
            }
            LogSaveFailed(e.what(), true);
            return;
        }
        if (FLogSaveFailed) LogSaveRecovered();
        SetStatusText("Data log written to " + written);
    }
    FDataLogger->SetDataFilename(LogFileTarget(editLogFilename->Text().toStdString()));
    DataLoggingEnabled = on;
    FRowsTaken = 0;
    ShowLoggingProgress();
    spinLogInterval->setEnabled(!on);
    editLogFilename->setEnabled(!on);
}

void TformMain::ShowLoggingProgress() {
    lblLogging->setVisible(DataLoggingEnabled);
    if (!DataLoggingEnabled) return;
    // The file gets its time stamp when it is written; until then the name the box chose.
    const std::string target = FDataLogger->DataFilename();
    lblLogging->setText(
        QString::fromStdString("Logging: " + RowsText(FRowsTaken) + " taken for " + NameWithoutFolder(target)));
    lblLogging->setToolTip(QString::fromStdString("Rows are saved hourly, and when logging is switched off, to " +
                                                  target + " with the time of the save added to the name"));
}

void TformMain::editLogFilenameAfterDialog(std::string& AName, bool&) {
    editLogFilename->setToolTip(QString::fromStdString(AName));
}

TDataLogger& TformMain::DataLogger() {
    return *FDataLogger;
}

void TformMain::LogSaveFailed(const std::string& Reason, bool SwitchingOff) {
    FLogSaveFailed = true;
    SetStatusText(LogBacklogText(FDataLogger->Count()));
    if (SwitchingOff) {
        FLogFailureReported = true;
        FUi->ShowError(this, Reason +
                                 "\n\nLogging stays switched on and keeps its rows. Switch it off again "
                                 "once the file can be written.");
    } else if (!FLogFailureReported) {
        // Set first: the timer goes on ticking while the box is open.
        FLogFailureReported = true;
        FUi->ShowError(this, Reason +
                                 "\n\nThe data log keeps its rows and tries again at every log interval; "
                                 "this message is not repeated.");
    }
}

void TformMain::LogSaveRecovered() {
    FLogSaveFailed = false;
    FLogFailureReported = false;
    SetStatusText("Data log: saved again");
}

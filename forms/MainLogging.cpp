// Data logging: the logger's set-up, the rows of the status timer and the logging controls.
#include <QCheckBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>

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

std::string LogBacklogText(int Rows) {
    return "Data log: " + std::to_string(Rows) + (Rows == 1 ? " row" : " rows") +
           " waiting, last save failed";
}

}  // namespace

void TformMain::SetUpLogging() {
    FDataLogger = std::make_unique<TDataLogger>(
        GetSpecialFolderPath(sfPersonal) + DefaultLogName, LogHeader, LogAutosaveSecs,
        TDataLogOptions{loAppendTimestampToFilename, loAutosaveAtIntervals, loClearWhenSaved});
    FLastLogTime = 0;
    editLogFilename->Dialog().InitialFolder = ApplicationFolders.UserDataPath;
    const QString name = QString::fromStdString(NameWithoutFolder(FDataLogger->DataFilename()));
    editLogFilename->SetText(name);
    editLogFilename->setToolTip(name);
}

void TformMain::LogRow(const std::string& Row) {
    if (!DataLoggingEnabled) return;
    FLogInterval = SecsToTime(spinLogInterval->value());
    const TDateTime now = Now();
    if (now - FLastLogTime < FLogInterval) return;
    try {
        FDataLogger->AddValue(now, Row);
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
        FUi->ShowError(
            this, std::string(e.what()) + "\n\nThe data log rows gathered since the last save are lost.");
    }
}

void TformMain::chkEnableDataLoggingClick() {
    const bool on = chkEnableDataLogging->isChecked();
    if (DataLoggingEnabled && !on) {
        try {
            FDataLogger->SaveToFile();
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
    }
    FDataLogger->SetDataFilename(LogFileTarget(editLogFilename->Text().toStdString()));
    DataLoggingEnabled = on;
    spinLogInterval->setEnabled(!on);
    editLogFilename->setEnabled(!on);
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

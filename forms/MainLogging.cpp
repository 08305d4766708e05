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

std::string LogBacklogText(int Rows) {
    return "Data log: " + RowsText(Rows) + " waiting, last save failed";
}

}  // namespace

void TformMain::SetUpLogging() {
    FRecorder = std::make_unique<TLogRecorder>(GetSpecialFolderPath(sfPersonal) + DefaultLogName,
                                               DataLogHeader, LogAutosaveSecs);
    connect(FRecorder.get(), &TLogRecorder::Recovered, this, [this](const QString& Note) {
        // Said again at the first tick, after the connection's own texts.
        FLogRecoveryNote = Note.toStdString();
        SetStatusText(FLogRecoveryNote);
    });
    connect(FRecorder.get(), &TLogRecorder::RowTaken, this, [this](int Taken) {
        FRowsTaken = Taken;
        ShowLoggingProgress();
    });
    connect(FRecorder.get(), &TLogRecorder::SaveFailed, this,
            Guarded([this](const QString& Reason, int Waiting) {
                LogSaveFailed(Reason.toStdString(), Waiting, false);
            }));
    connect(FRecorder.get(), &TLogRecorder::SaveRecovered, this, [this] { LogSaveRecovered(); });
    FRecorder->RecoverAndJournal(ApplicationFolders.AppSettingsPath);
    editLogFilename->Dialog().InitialFolder = ApplicationFolders.UserDataPath;
    editLogFilename->Dialog().PathMustExist = true;
    const QString name = QString::fromStdString(NameWithoutFolder(FRecorder->Target()));
    editLogFilename->SetText(name);
    editLogFilename->setToolTip(name);
}

void TformMain::LogRow(const TTickReadings& Readings) {
    // The connection's own texts replace the note; the first tick comes after them.
    if (!FLogRecoveryNote.empty()) SetStatusText(std::exchange(FLogRecoveryNote, std::string()));
    if (DataLoggingEnabled) FRecorder->AddTick(Readings);
}

void TformMain::FinishLogging() {
    if (!FRecorder || !DataLoggingEnabled) return;
    bool journalHolds = false;
    const std::string error = FRecorder->Finish(journalHolds);
    if (error.empty()) return;
    if (journalHolds) {
        // Nothing is lost, and a box here would hold up a shut-down: the next start saves the rows.
        std::cerr << error << "\nThe data log rows are kept and will be saved at the next start.\n";
        return;
    }
    FUi->ShowError(this, error + "\n\nThe data log rows gathered since the last save are lost.");
}

void TformMain::chkEnableDataLoggingClick() {
    const bool on = chkEnableDataLogging->isChecked();
    if (DataLoggingEnabled && !on) {
        // Until the rows are saved, logging is neither on nor off: the box waits for the answer.
        chkEnableDataLogging->setEnabled(false);
        FRecorder->Stop([this](bool Saved, const std::string& FileOrReason) {
            chkEnableDataLogging->setEnabled(true);
            if (!Saved) {
                // Switching off would leave the rows with no one to write them: stay on, say so.
                {
                    const QSignalBlocker blocker(chkEnableDataLogging);
                    chkEnableDataLogging->setChecked(true);
                }
                LogSaveFailed(FileOrReason, FRecorder->Count(), true);
                return;
            }
            SetStatusText("Data log written to " + FileOrReason);
            SwitchLogging(false);
        });
        return;
    }
    if (on && !DataLoggingEnabled) SwitchLogging(true);
}

void TformMain::SwitchLogging(bool On) {
    FRecorder->SetTarget(LogFileTarget(editLogFilename->Text().toStdString()));
    if (On) FRecorder->Start(spinLogInterval->value());
    DataLoggingEnabled = On;
    FRowsTaken = 0;
    ShowLoggingProgress();
    spinLogInterval->setEnabled(!On);
    editLogFilename->setEnabled(!On);
}

void TformMain::ShowLoggingProgress() {
    lblLogging->setVisible(DataLoggingEnabled);
    if (!DataLoggingEnabled) return;
    // The file gets its time stamp when it is written; until then the name the box chose.
    const std::string& target = FRecorder->Target();
    lblLogging->setText(QString::fromStdString("Logging: " + RowsText(FRowsTaken) + " taken for " +
                                               NameWithoutFolder(target)));
    lblLogging->setToolTip(
        QString::fromStdString("Rows are saved hourly, and when logging is switched off, to " + target +
                               " with the time of the save added to the name"));
}

void TformMain::editLogFilenameAfterDialog(std::string& AName, bool&) {
    editLogFilename->setToolTip(QString::fromStdString(AName));
}

TLogRecorder& TformMain::DataLogger() {
    return *FRecorder;
}

void TformMain::LogSaveFailed(const std::string& Reason, int Waiting, bool SwitchingOff) {
    FLogSaveFailed = true;
    SetStatusText(LogBacklogText(Waiting));
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

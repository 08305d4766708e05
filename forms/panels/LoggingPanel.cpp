#include "LoggingPanel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <algorithm>
#include <iostream>
#include <utility>

#include "Controls.h"
#include "DataLogger.h"
#include "GeneralLib.h"
#include "LogRecorder.h"
#include "PanelSupport.h"
#include "StatusLine.h"

using panels::Named;

namespace {

const char* const DefaultLogName = "Velmorant Datalog.csv";
constexpr int LogAutosaveSecs = 3600;

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

TDataLoggingPanel::TDataLoggingPanel(TUiServices& Ui, TStatusLine& Status, QWidget* Parent)
    : QGroupBox("Data Logging", Parent), FUi(Ui), FStatus(Status) {
    setObjectName("grpLogging");
    auto* log = new QGridLayout(this);
    log->setContentsMargins(8, 4, 8, 6);
    log->setVerticalSpacing(5);
    chkEnableDataLogging = Named(new QCheckBox("Enable Logging", this), "chkEnableDataLogging");
    lblInterval = Named(new QLabel("Interval:", this), "lblInterval");
    spinLogInterval = Named(new QSpinBox(this), "spinLogInterval");
    spinLogInterval->setRange(1, 3600);
    spinLogInterval->setSingleStep(10);
    spinLogInterval->setValue(60);
    spinLogInterval->setSuffix(" secs");
    spinLogInterval->setMinimumWidth(84);
    editLogFilename = Named(new TFileNameEdit(this), "editLogFilename");
    editLogFilename->BrowseButton()->setToolTip("Browse for file..");
    editLogFilename->setMinimumWidth(170);
    TFileDialogRequest& browse = editLogFilename->Dialog();
    browse.Title = "Log File Name";
    browse.Filter = "All files (*.*)|*.*|CSV (*.CSV)|*.CSV";
    browse.FilterIndex = 2;
    browse.DefaultSuffix = ".CSV";
    log->addWidget(chkEnableDataLogging, 0, 0, 1, 3);
    log->addWidget(lblInterval, 1, 0);
    log->addWidget(spinLogInterval, 1, 1);
    log->setColumnStretch(2, 1);
    log->addWidget(editLogFilename, 2, 0, 1, 3);

    lblLogging = new QLabel;
    lblLogging->setObjectName("lblLogging");
    FStatus.AddPermanent(lblLogging);
    lblLogging->hide();

    connect(chkEnableDataLogging, &QCheckBox::toggled, this,
            Guarded(FUi, this, [this] { chkEnableDataLoggingClick(); }));
    editLogFilename->SetDialogRunner([this](const TFileDialogRequest& Request, std::string& Name) {
        return FUi.FileDialog(window(), Request, Name);
    });
    editLogFilename->SetAfterDialog(
        [this](std::string& Name, bool& Action) { editLogFilenameAfterDialog(Name, Action); });
}

TDataLoggingPanel::~TDataLoggingPanel() = default;

void TDataLoggingPanel::SetUpLogging() {
    FRecorder = std::make_unique<TLogRecorder>(GetSpecialFolderPath(sfPersonal) + DefaultLogName,
                                               DataLogHeader, LogAutosaveSecs);
    connect(FRecorder.get(), &TLogRecorder::Recovered, this, [this](const QString& Note) {
        // Said again at the first tick, after the connection's own texts.
        FLogRecoveryNote = Note.toStdString();
        FStatus.SetText(FLogRecoveryNote);
    });
    connect(FRecorder.get(), &TLogRecorder::RowTaken, this, [this](int Taken) {
        FRowsTaken = Taken;
        ShowLoggingProgress();
    });
    connect(FRecorder.get(), &TLogRecorder::SaveFailed, this,
            Guarded(FUi, this, [this](const QString& Reason, int Waiting) {
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

bool TDataLoggingPanel::Idle() const {
    return !FRecorder || FRecorder->Idle();
}

void TDataLoggingPanel::LogRow(const TTickReadings& Readings) {
    // The connection's own texts replace the note; the first tick comes after them.
    if (!FLogRecoveryNote.empty()) FStatus.SetText(std::exchange(FLogRecoveryNote, std::string()));
    if (FEnabled) FRecorder->AddTick(Readings);
}

void TDataLoggingPanel::FinishLogging() {
    if (!FRecorder) return;
    std::unique_ptr<TLogRecorder> recorder = std::move(FRecorder);
    if (!FEnabled) return;
    bool journalHolds = false;
    const std::string error = recorder->Finish(journalHolds);
    if (error.empty()) return;
    if (journalHolds) {
        // Nothing is lost, and a box here would hold up a shut-down: the next start saves the rows.
        std::cerr << error << "\nThe data log rows are kept and will be saved at the next start.\n";
        return;
    }
    FUi.ShowError(window(), error + "\n\nThe data log rows gathered since the last save are lost.");
}

void TDataLoggingPanel::chkEnableDataLoggingClick() {
    const bool on = chkEnableDataLogging->isChecked();
    if (FEnabled && !on) {
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
            FStatus.SetText("Data log written to " + FileOrReason);
            SwitchLogging(false);
        });
        return;
    }
    if (on && !FEnabled) SwitchLogging(true);
}

void TDataLoggingPanel::SwitchLogging(bool On) {
    FRecorder->SetTarget(LogFileTarget(editLogFilename->Text().toStdString()));
    if (On) FRecorder->Start(spinLogInterval->value());
    FEnabled = On;
    FRowsTaken = 0;
    ShowLoggingProgress();
    spinLogInterval->setEnabled(!On);
    editLogFilename->setEnabled(!On);
}

void TDataLoggingPanel::ShowLoggingProgress() {
    lblLogging->setVisible(FEnabled);
    if (!FEnabled) return;
    // The file gets its time stamp when it is written: the name says where it goes, the hint when.
    // Short, as the status text beside it may be the news of a lost board.
    const std::string& target = FRecorder->Target();
    std::string name = NameWithoutFolder(target);
    name.insert(std::min(name.rfind('.'), name.size()), " <time of saving>");
    lblLogging->setText(
        QString::fromStdString("Logging: " + RowsText(FRowsTaken) + " taken, saved hourly as " + name));
    lblLogging->setToolTip(
        QString::fromStdString("Rows are saved hourly, and when logging is switched off, to " + target +
                               " with the time of the save added to the name"));
}

void TDataLoggingPanel::editLogFilenameAfterDialog(std::string& AName, bool&) {
    editLogFilename->setToolTip(QString::fromStdString(AName));
}

void TDataLoggingPanel::LogSaveFailed(const std::string& Reason, int Waiting, bool SwitchingOff) {
    FStatus.SetText(LogBacklogText(Waiting));
    if (SwitchingOff) {
        FLogFailureReported = true;
        FUi.ShowError(window(), Reason +
                                    "\n\nLogging stays switched on and keeps its rows. Switch it off again "
                                    "once the file can be written.");
    } else if (!FLogFailureReported) {
        // Set first: the timer goes on ticking while the box is open.
        FLogFailureReported = true;
        FUi.ShowError(window(), Reason +
                                    "\n\nThe data log keeps its rows and tries again at every log interval; "
                                    "this message is not repeated.");
    }
}

void TDataLoggingPanel::LogSaveRecovered() {
    FLogFailureReported = false;
    FStatus.SetText("Data log: saved again");
}

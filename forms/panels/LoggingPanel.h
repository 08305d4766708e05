#pragma once
// The data logging box: logging on or off, its interval and file, and the log recorder that takes
// and saves the rows; its progress shows in the status bar.
#include <QGroupBox>
#include <memory>
#include <string>

class QCheckBox;
class QLabel;
class QSpinBox;
class TFileNameEdit;
class TLogRecorder;
class TStatusLine;
class TUiServices;
struct TTickReadings;

class TDataLoggingPanel : public QGroupBox {
    Q_OBJECT
public:
    TDataLoggingPanel(TUiServices& Ui, TStatusLine& Status, QWidget* Parent = nullptr);
    ~TDataLoggingPanel() override;

    // Makes the recorder, which saves the rows of a run that ended without saving them.
    void SetUpLogging();
    // Offered the readings of every tick while a board is present.
    void LogRow(const TTickReadings& Readings);
    // Saves the rows not yet saved, at the program's end; the recorder is gone afterwards.
    void FinishLogging();
    bool DataLoggingEnabled() const { return FEnabled; }
    // Tests shorten its autosave interval through it.
    TLogRecorder& DataLogger() { return *FRecorder; }
    bool Idle() const;

    void chkEnableDataLoggingClick();
    // Logging is on or off from now on, to the file the box names.
    void SwitchLogging(bool On);
    void editLogFilenameAfterDialog(std::string& AName, bool& AAction);

private:
    // A save of the data log failed: rows are waiting. Reported once per run of failures.
    void LogSaveFailed(const std::string& Reason, int Waiting, bool SwitchingOff);
    void LogSaveRecovered();
    void ShowLoggingProgress();

    TUiServices& FUi;
    TStatusLine& FStatus;
    std::unique_ptr<TLogRecorder> FRecorder;
    QCheckBox* chkEnableDataLogging;
    QLabel* lblInterval;
    QSpinBox* spinLogInterval;
    TFileNameEdit* editLogFilename;
    // In the status bar: how many rows were taken for which file.
    QLabel* lblLogging;
    bool FEnabled = false;
    int FRowsTaken = 0;
    bool FLogFailureReported = false;
    // Rows of a crashed run saved at start: said again at the first tick, after the connection's texts.
    std::string FLogRecoveryNote;
};

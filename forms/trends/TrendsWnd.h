#pragma once
// The trends window: live curves of the board's readings as the ticks arrive, step traces of the
// pins the user picks, recorded data logs plotted afterwards, and fast captures of a few inputs or
// ports, drawn as they come.
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "CaptureData.h"
#include "TrendRing.h"

class QAction;
class QCheckBox;
class QComboBox;
class QCPAxisRect;
class QCPGraph;
class QCPItemStraightLine;
class QCPRange;
class QCustomPlot;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMouseEvent;
class QPushButton;
class QSpinBox;
class QTimer;
class TBoardSession;
class TUiServices;

class TformTrends : public QMainWindow {
    Q_OBJECT
public:
    enum TTimeWindow : int { twOneMinute, twTenMinutes, twOneHour, twSinceConnecting };

    // Draws History, which its owner feeds (see TickAdded, ConnectionStarted); without one the window
    // keeps its own, fed through AddTick and StartConnection.
    explicit TformTrends(QWidget* Parent = nullptr, std::shared_ptr<TTrendHistory> History = nullptr);
    // Stops a log still being read (waits for its thread).
    ~TformTrends() override;

    // Records one tick in the live history (a failed read as a gap) and redraws unless paused.
    void AddTick(const TTickReadings& Readings);
    // The history gained a tick: redraws unless paused, hidden or showing something else.
    void TickAdded();
    // Analog curves as the raw 0..1023 (true) or shifted right by 2 to 0..255 (false).
    void SetTenBits(bool TenBits);
    // A new connection begins: "since connecting" counts from now, and no line joins across the break.
    void StartConnection();
    // The history's connection began anew: the live view starts over from it.
    void ConnectionStarted();
    // Reads the data logs on a thread of their own and shows them as one timeline when done (the
    // live history goes on filling); a bad file ends in the error box, naming the file and the line.
    void OpenLogFiles(const QStringList& Files);

    // Where Open Log starts: the folder the data logs are saved in.
    void SetLogFolder(const std::string& Folder) { FLogFolder = Folder; }
    // Message boxes go through Ui from now on (not owned; nullptr: the real ones).
    void SetUiServices(TUiServices* Ui);
    // The board session that takes captures (not owned); the capture controls work once it is set.
    void SetSession(TBoardSession& Session);
    // The history on screen: the opened log, or the live one.
    const TTrendRing& Shown() const;
    const TTrendRing& Live() const { return FHistory->Ring(); }
    bool ShowingLog() const { return FLog != nullptr && FShowLog && !FShowCapture; }
    // True while a log is being read.
    bool Loading() const { return FLoader.joinable(); }
    // Back to the live history (the opened log and the capture stay available until replaced).
    void ShowLive();

    // Starts a capture through the session and shows it as it comes; false when the session does
    // not start it (no session, no board, a capture running, a request with a problem).
    bool StartCapture(const TCaptureRequest& Request);
    // Starts a capture of what the capture box asks for.
    bool StartCaptureFromControls();
    // Ends this window's capture at once.
    void StopCapture();
    // This window's capture runs.
    bool Capturing() const { return FCapturing; }
    // The last capture's samples: the one running, or the last to end.
    const TCaptureData& Capture() const { return FCapture; }
    bool ShowingCapture() const { return FShowCapture; }
    // Shows the last capture again.
    void ShowCapture();
    void SetTimeWindow(TTimeWindow Window);
    // Freezes the picture only; ticks keep arriving in the history.
    void SetPaused(bool Paused);
    bool Paused() const { return FPaused; }
    // Shows pin Bit (0..7) of port Port (0..5) as a step trace, or hides it.
    void ShowPin(int Port, int Bit, bool Show);
    // Shows or hides curve Column (an analog input or the temperature).
    void ShowCurve(int Column, bool Show);
    // Zooms to the time window again and follows new ticks.
    void ResetView();
    // The time range on screen: TDateTime, or seconds since its start for a capture.
    void VisibleRange(double& From, double& To) const;
    // The rows of the visible range, in the data log's format or a capture's; throws EFileError when it
    // cannot write. The status bar says where they went. Returns the number of rows.
    size_t ExportCsv(const QString& File);
    // The picture as shown; false when it cannot be written. The status bar says where it went.
    bool ExportPng(const QString& File);
    // Decimates the history into the curves and repaints at once (ticks repaint through the queue).
    void Redraw();
    QCustomPlot* Plot() const { return FPlot; }
    // The text of the read-out under the mouse ("" when none).
    QString ReadOut() const;
    // Updates the read-out for the time under plot position X, as a mouse move would.
    void ShowReadOutAt(double X);

signals:
    // A log was opened (Error empty) or failed to open.
    void LogLoaded(const QString& Error);
    // A file was written (an export), for the main window's list of messages.
    void Noted(const QString& Text);

protected:
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;

private:
    struct TCurve {
        int Column;
        QCPGraph* Graph;
        QCheckBox* Box;
    };
    struct TPinTrace {
        int Port, Bit;
        QCPGraph* Graph;
    };
    // Of a pin's lane, so that neighbouring traces never touch.
    static constexpr double LaneHeight = 0.7;

    void BuildPlot();
    void BuildControls();
    void BuildMenus();
    void ApplyRange();
    void ScheduleRedraw();
    void RangeChanged(const QCPRange& Range);
    void LayOutPins();
    void LoadFinished(unsigned Job, std::shared_ptr<TTrendRing> Ring, const QString& Error, size_t Rows);
    void StopLoader();
    void PinItemChanged(QListWidgetItem* Item);
    void UpdateTitle();
    void UpdateStatus();
    void OpenLogDialog();
    void ExportPngDialog();
    void ExportCsvDialog();
    double WindowSeconds() const;
    double ShownValue(size_t Index, int Column) const;
    void ApplyValueAxis();
    // The capture (TrendsCapture.cpp).
    QWidget* BuildCaptureControls();
    void SetCaptureView(bool On);
    void ApplyCaptureRange();
    void RedrawCapture();
    void CaptureReadOutAt(double X);
    QString CaptureStatus() const;
    void CaptureSamples(const std::vector<TCaptureSample>& Samples);
    void CaptureEnded(TCaptureEnd End);
    void UpdateCaptureControls();
    double CaptureValue(size_t Channel, double Value) const;

    std::shared_ptr<TTrendHistory> FHistory;  // shared with the main window, which may outlive us or not
    std::unique_ptr<TTrendRing> FLog;
    size_t FLogRows = 0;  // the log's rows, without the gaps between them
    QStringList FLogFiles;
    bool FShowLog = false;
    std::string FLogFolder;
    bool FShowCapture = false;
    bool FTenBits = true;
    bool FCelsius = false;
    bool FPaused = false;
    bool FFollow = true;         // the view tracks the time window's end
    bool FSettingRange = false;  // the range change is ours, not the user's
    bool FRedrawQueued = false;
    TTimeWindow FWindow = twTenMinutes;

    QCustomPlot* FPlot = nullptr;
    QCPAxisRect* FPinRect = nullptr;
    QCPItemStraightLine* FCursor = nullptr;
    std::vector<TCurve> FCurves;
    std::vector<TPinTrace> FPins;
    std::vector<TTrendPoint> FScratch;
    QComboBox* FWindowBox = nullptr;
    QAction* FPauseAction = nullptr;
    QAction* FLiveAction = nullptr;
    QCheckBox* FCelsiusBox = nullptr;
    QListWidget* FPinList = nullptr;
    QLabel* FReadOut = nullptr;
    QLabel* FStatus = nullptr;

    QPointer<TBoardSession> FSession;
    TCaptureData FCapture;
    TCaptureRequest FCaptureRequest;
    std::vector<QCPGraph*> FCaptureGraphs;
    bool FCapturing = false;
    bool FCaptureChanged = false;  // samples came since the last redraw
    TCaptureEnd FCaptureEnd = ceRunning;
    QTimer* FCaptureTimer = nullptr;
    QAction* FCaptureAction = nullptr;
    std::vector<QCheckBox*> FCaptureBoxes;  // A0..A4, then ports 0..5
    QSpinBox* FCaptureSeconds = nullptr;
    QPushButton* FCaptureButton = nullptr;
    QLabel* FCaptureInfo = nullptr;

    std::unique_ptr<TUiServices> FOwnUi;
    TUiServices* FUi = nullptr;
    std::thread FLoader;
    std::atomic<bool> FCancelLoad{false};
    unsigned FLoadJob = 0;
};

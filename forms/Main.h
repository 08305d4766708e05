#pragma once
// The main window: finds the board, shows its live state, lets the user change its settings
// and program, and keeps the window's state between runs.
#include <QMainWindow>
#include <array>
#include <memory>
#include <string>
#include <type_traits>

#include "BoardSession.h"
#include "Device_VL.h"
#include "LinkSupervisor.h"
#include "LogRecorder.h"
#include "PortProber.h"
#include "TickReadings.h"
#include "TimeoutMgr.h"
#include "UiServices.h"
#include "WindowStateStore.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;
class QToolBar;
class TCaptionPanel;
class TClickableLabel;
class TCollapsiblePanel;
class TDropDownComboBox;
class TDropDownDelegate;
class TFileNameEdit;
class TMarkupList;
class TNotifyingTextDelegate;
class TPressedToolButton;
class TformAbout;
class TformTempTable;
class TformTrends;

// The port list's last item, which asks for a network port name.
inline constexpr const char* AddNetworkPortItem = "Add network port...";

// The maker's web address, opened from the logo.
inline constexpr const char* MakerWebAddress = "https://www.tarnwick.example/velmorant";

// Columns of the port grids. The virtual ports have the same columns with Direction and
// Comment hidden, so one handler serves all six grids.
enum TPortColumn : int { pcPin = 0, pcState = 1, pcDirection = 2, pcComment = 3 };
enum TAnalogColumn : int { acInput = 0, acValue = 1, acGauge = 2 };
enum TProgramColumn : int { pgLineNo = 0, pgCode = 1, pgComments = 2, pgErrors = 3 };

// True when bit Bit (0..7) of Value is 1.
bool IsBitSet(uint8_t Value, int Bit);
// Sets bit Bit (0..7) of Value when State, clears it otherwise; the other bits stay.
void SetBitInByte(int Bit, bool State, uint8_t& Value);
// "Temperature = %dF (%.1fC)" for a reading in whole degrees Fahrenheit.
std::string TemperatureText(int DegF);
// How to mend a serial port the user may not open, one line.
extern const char* const PermissionHelpText;

class TformMain : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window and runs its creation steps; Ui null means the real dialogs.
    explicit TformMain(std::unique_ptr<TUiServices> Ui = nullptr, QWidget* Parent = nullptr);
    // Ends the board session (closing the port), then finishes the data log.
    ~TformMain() override;

    // Nothing asked of the session, the log recorder or the port prober is still on its way.
    bool BackgroundIdle() const { return FSession->Idle() && FRecorder->Idle() && FProber->Idle(); }
    // The board session that owns the driver; every exchange goes through it.
    TBoardSession& Session() { return *FSession; }
    // The driver itself, for tests and only while Session().Idle().
    TVelmorant& Velmorant() { return FSession->DriverWhileIdle(); }
    TUiServices& Ui() { return *FUi; }
    // The two dialogs made beside the window at program start.
    void SetDialogs(TformTempTable* TempTable, TformAbout* About);
    // Closes through the close sequence without the save question (SIGINT, SIGTERM).
    void CloseWithoutQuestion();
    // The status bar's one text.
    std::string StatusText() const;
    void SetStatusText(const std::string& Text);
    const std::string& AutosaveFile() const { return FAutosaveFile; }

    bool DataLoggingEnabled = false;

    // Menu
    QMenu* miFile = nullptr;
    QAction* miRecallfromFile = nullptr;
    QAction* miSavetoFile = nullptr;
    QAction* miExit = nullptr;
    QAction* miOpenDataLog = nullptr;
    QAction* miTrends = nullptr;
    QMenu* miOptions = nullptr;
    QAction* miUpdateFirmware = nullptr;
    QMenu* miHelp = nullptr;
    QAction* miAbout = nullptr;

    // COM port connection
    TCollapsiblePanel* pnlComm = nullptr;
    QLabel* lblStatus = nullptr;
    QLabel* lblConnected = nullptr;
    TClickableLabel* imgLogo = nullptr;
    QWidget* pnlCOM = nullptr;
    TDropDownComboBox* comboPort = nullptr;
    QPushButton* btnFind = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblFirmware = nullptr;

    // Analog inputs and data logging
    TCollapsiblePanel* pnlAnalog = nullptr;
    QCheckBox* chkShowTenBits = nullptr;
    QTableWidget* gridAnalog1 = nullptr;
    QTableWidget* gridAnalog2 = nullptr;
    QLabel* lblTemp = nullptr;
    QLabel* lblThermOffset = nullptr;
    QSpinBox* spinThermOffset = nullptr;
    QPushButton* btnTempTable = nullptr;
    QGroupBox* grpLogging = nullptr;
    QCheckBox* chkEnableDataLogging = nullptr;
    QLabel* lblInterval = nullptr;
    QSpinBox* spinLogInterval = nullptr;
    TFileNameEdit* editLogFilename = nullptr;

    // Digital I/O pins
    TCollapsiblePanel* pnlPins = nullptr;
    std::array<TCaptionPanel*, TVelmorant::PortCountConst> pnlPort{};
    std::array<QTableWidget*, TVelmorant::PortCountConst> gridPort{};
    QCheckBox* chkPullupPort0 = nullptr;
    QCheckBox* chkPullupPort2 = nullptr;

    // PLC program
    TCollapsiblePanel* pnlPLC = nullptr;
    QCheckBox* chkPLCEnabled = nullptr;
    QLabel* lblPeriod = nullptr;
    QComboBox* cmbxPeriod = nullptr;
    QToolBar* tbarProgram = nullptr;
    TPressedToolButton* tbtnStop = nullptr;
    TPressedToolButton* tbtnSingleStep = nullptr;
    TPressedToolButton* tbtnRun = nullptr;
    QTableWidget* gridProgram = nullptr;
    TMarkupList* listSyntax = nullptr;

    // Bottom bar, status bar, timer, dialogs, window state
    QWidget* pnlBottom = nullptr;
    QPushButton* btnRecallFromEEPROM = nullptr;
    QPushButton* btnSaveToEEPROM = nullptr;
    QLabel* sbarStatus = nullptr;
    QTimer* timerStatus = nullptr;
    TFileDialogRequest dlgOpen;
    TFileDialogRequest dlgSave;
    TWindowStateStore fsFormStorage;

    // Start-up, connection and shut-down
    void FormCreate();
    void FormShow();
    // Asks "Save Changes?" when it applies (saving on Yes), then tells Then whether to close.
    void FormCloseQuery(std::function<void(bool CanClose)> Then);
    // Writes the autosave file and the window state, then runs Then.
    void FormClose(std::function<void()> Then);
    void FormDestroy();
    void btnFindClick();
    void comboPortClick();
    void comboPortDropDown();
    void imgLogoClick();
    void miExitClick();
    void miAboutClick();
    // Seeks the board on the chosen port, then on every other; Connected runs once one answered.
    void ConnectToDevice(bool ShowError, std::function<void()> Connected = {});
    // Asks (when Ask), then reads the board's settings and program and shows them.
    // DoneText goes to the status bar after a good retrieval that reported no error.
    void RecallFromDevice(bool FromEEPROM, bool Ask, const std::string& DoneText = std::string());
    void ShowConnectionState();
    void EnableConnectedControls(bool Connected);
    // Probes the ports beside the window, then fills the list and runs Then.
    void FillPortList(std::function<void()> Then = {});
    // Asks for a network port name, keeps it in Velmorant.ini and selects it; false when cancelled.
    bool AddNetworkPort();
    void HandleDeviceError(const std::string& Text, bool DevicePresent);
    // Asks once whether to send the changes kept in File when the board was lost.
    void OfferUnsavedChanges(const std::string& File);
    // Sends a settings file's settings and program to the board and shows them.
    void RecallSettingsFile(const std::string& FileName);

    // Monitor
    void timerStatusTimer();
    // Shows a tick's readings (and the cached settings and program when asked); the log row.
    std::string UpdateDisplay(const TTickReadings& Readings, bool ShowSettings, bool ShowProgram);
    // Reads the board (with the thermistor offset when ShowSettings) and shows everything.
    void RefreshDisplay(bool ShowSettings, bool ShowProgram);
    // Shows a tick's readings, logs them and hands them to the trends.
    void ShowTick(const TTickReadings& Readings);
    // After a change the board did not take: the settings and PLC state as they stand again.
    void ShowTakenBack();
    // Shows what a refresh read, with the settings and program as it asks.
    void ShowRefresh(const TRefresh& Refresh);
    // Shows the settings as the session holds them, without sending them back.
    void PaintSettings();
    void ShowPLCState(bool PLCEnabled, TPLCRunMode RunMode);
    void ShowProgramLine(int Index);

    // Port, pin and analog panels
    void gridPort0CellClick(QTableWidget* Sender, int ACol, int ARow);
    void gridPort0AfterEdit(QTableWidget* Sender, int ACol, int ARow, const std::string& Value);
    void colDir0CloseUp(QTableWidget* Sender, QWidget* Editor);
    // Port is the port of the box the user clicked (0 or 2).
    void chkPullupPort0Click(int Port, bool Checked);
    void cmbxPeriodChange();
    void spinThermOffsetChange();
    void spinThermOffsetExit();
    void btnRecallFromEEPROMClick();
    void btnSaveToEEPROMClick();
    void btnTempTableClick();

    // PLC editor, settings files, data logging, firmware update
    void gridProgramEndEditing(int ACol, int ARow, const std::string& Value);
    void tbtnRunClick();
    void tbtnStopClick();
    void tbtnSingleStepClick();
    void chkPLCEnabledClick();
    // The program grid's selected row, -1 when none.
    int CurrentLine() const;
    // Selects Value; -1 clears the selection, a row that does not exist is ignored.
    void SetCurrentLine(int Value);
    void miRecallfromFileClick();
    void miSavetoFileClick();
    void SetUpLogging();
    // Offered the readings of every tick while a board is present.
    void LogRow(const TTickReadings& Readings);
    void FinishLogging();
    void chkEnableDataLoggingClick();
    // Logging is on or off from now on, to the file the box names.
    void SwitchLogging(bool On);
    void editLogFilenameAfterDialog(std::string& AName, bool& AAction);
    void miUpdateFirmwareClick();
    // The trends window, made on first use; it plots every tick from then on.
    TformTrends& Trends();
    void miTrendsClick();
    void miOpenDataLogClick();
    // Starts the updater from its folder, or tells the user to run it.
    void StartFirmwareUpdater();
    // The window's log recorder (tests shorten its autosave interval through it).
    TLogRecorder& DataLogger();

private:
    // A save of the data log failed: rows are waiting. Reported once per run of failures.
    void LogSaveFailed(const std::string& Reason, int Waiting, bool SwitchingOff);
    void LogSaveRecovered();
    bool FLogSaveFailed = false;
    bool FLogFailureReported = false;
    // Rows of a crashed run saved at start: said again at the first tick, after the connection's texts.
    std::string FLogRecoveryNote;

signals:
    // The close sequence has run; the window is about to hide.
    void Closed();

protected:
    void showEvent(QShowEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    // Data logs dropped on the window open in the trends window.
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;

private:
    // Layout (MainLayout.cpp)
    void CreateControls();
    void CreateMenu();
    QWidget* CreateCommPanel();
    QWidget* CreateAnalogPanel();
    QWidget* CreatePinsPanel();
    QWidget* CreatePLCPanel();
    QWidget* CreateBottomPanel();
    QTableWidget* CreatePortGrid(int Port);
    QTableWidget* CreateAnalogGrid(const char* Name);
    void BindHandlers();
    void PanelHeightChanged(int HeightDelta);
    void SetUpWindowStore();
    void BindSession();
    // The port whose grid Grid is (0..5).
    int PortOfGrid(const QTableWidget* Grid) const;

    // Runs Then once every posted job has run (at once when none is pending).
    void WhenSessionIdle(std::function<void()> Then);
    // The close sequence after the question: the autosave, the window state, then the close.
    void FinishClose();
    // Marks the panels fed by the board as out of date (no board, or a read failed).
    void ShowLongWork(bool Running);

    // Wraps a handler so that an exception it throws ends in the error box.
    template <typename F>
    auto Guarded(F Handler) {
        return [this, Handler](auto&&... Args) {
            RunGuarded(*FUi, this, [&] {
                // Signals may carry more than a handler wants (checked states, private tags).
                if constexpr (std::is_invocable_v<const F&, decltype(Args)...>)
                    Handler(Args...);
                else
                    Handler();
            });
        };
    }

    std::unique_ptr<TUiServices> FUi;
    std::string FAutosaveFile;
    std::unique_ptr<TLogRecorder> FRecorder;
    std::unique_ptr<TBoardSession> FSession;
    TLinkSupervisor* FSupervisor = nullptr;
    TPortProber* FProber = nullptr;
    bool FShownOnce = false;
    bool FPlacementRestored = false;
    bool FAskOnClose = true;
    bool FClosing = false;
    bool FCloseDone = false;
    std::vector<std::function<void()>> FWhenIdle;
    // Beside the status text: changes not yet in the EEPROM, and logging's progress.
    QLabel* lblUnsaved = nullptr;
    QLabel* lblLogging = nullptr;
    int FRowsTaken = 0;
    void ShowUnsavedMark();
    void ShowLoggingProgress();
    // The progress text the status bar shows, and whether an error replaced it until the work ends.
    std::string FProgressShown;
    bool FProgressReplaced = false;
    TformTempTable* FTempTable = nullptr;
    TformTrends* FTrends = nullptr;
    TformAbout* FAbout = nullptr;
};

#pragma once
// The main window: assembles the panels, the menus and the status bar around the board session,
// which it keeps ticking while connected, and keeps the window's state between runs.
#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AnalogPanel.h"
#include "BoardSession.h"
#include "ConnectionPanel.h"
#include "EEPROMBar.h"
#include "LoggingPanel.h"
#include "PLCPanel.h"
#include "PinsPanel.h"
#include "TrendRing.h"
#include "UiServices.h"
#include "WindowStateStore.h"

class QAction;
class QTimer;
class TLinkSupervisor;
class TPortProber;
class TStatusLine;
class TformAbout;
class TformTempTable;
class TformTrends;

class TformMain : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window and runs its creation steps; Ui null means the real dialogs.
    explicit TformMain(std::unique_ptr<TUiServices> Ui = nullptr, QWidget* Parent = nullptr);
    // Ends the board session (closing the port), then finishes the data log.
    ~TformMain() override;

    // Nothing asked of the session, the log recorder or the port prober is still on its way.
    bool BackgroundIdle() const;
    // The board session that owns the driver; every exchange goes through it.
    TBoardSession& Session() { return *FSession; }
    // The driver itself, for tests and only while Session().Idle().
    TVelmorant& Velmorant() { return FSession->DriverWhileIdle(); }
    TUiServices& Ui() { return *FUi; }
    // The two dialogs made beside the window at program start.
    void SetDialogs(TformTempTable* TempTable, TformAbout* About);
    // Closes through the close sequence without the save question (SIGINT, SIGTERM).
    void CloseWithoutQuestion();
    std::string StatusText() const;
    void SetStatusText(const std::string& Text);
    const std::string& AutosaveFile() const { return FAutosaveFile; }

    TConnectionPanel& Connection() { return *FConnection; }
    TAnalogPanel& Analog() { return *FAnalog; }
    TDataLoggingPanel& Logging() { return *FLogging; }
    TPinsPanel& Pins() { return *FPins; }
    TPLCPanel& PLC() { return *FPLC; }
    TEEPROMBar& EEPROM() { return *FEEPROM; }

    // Start-up and shut-down
    void FormCreate();
    void FormShow();
    // Asks "Save Changes?" when it applies (saving on Yes), then tells Then whether to close.
    void FormCloseQuery(std::function<void(bool CanClose)> Then);
    // Writes the autosave file and the window state, then runs Then.
    void FormClose(std::function<void()> Then);
    void FormDestroy();

    // What the board session tells
    void ShowConnectionState();
    void EnableConnectedControls(bool Connected);
    void HandleDeviceError(const std::string& Text, bool DevicePresent);
    // Asks once whether to send the changes kept in File when the board was lost.
    void OfferUnsavedChanges(const std::string& File);
    // Shows a tick's readings (and the cached settings and program when asked).
    void UpdateDisplay(const TTickReadings& Readings, bool ShowSettings, bool ShowProgram);
    // Reads the board (with the thermistor offset when ShowSettings) and shows everything.
    void RefreshDisplay(bool ShowSettings, bool ShowProgram);
    // Shows the settings as the session holds them, without sending them back.
    void PaintSettings();

    // Menu commands
    void miRecallfromFileClick();
    void miSavetoFileClick();
    // The start's recall of the EEPROM, asked first where an earlier run left changes unsaved.
    void StartUpRecall();
    // "Program line 3 has an error", "Program lines 3 and 5 have errors".
    static std::string LinesInErrorText(const std::vector<int>& Lines);
    // Sends a settings file's settings and program to the board and shows them; with KeptChanges,
    // the changes kept for a lost board (the caption stays, the outputs stay as the board has them).
    void RecallSettingsFile(const std::string& FileName, bool KeptChanges = false);
    void miUpdateFirmwareClick();
    // Starts the updater from its folder, or tells the user to run it.
    void StartFirmwareUpdater();
    // The trends window, made on first use; it draws the history kept from the program's start.
    TformTrends& Trends();
    std::string LogFolder() const;  // where the data logs go
    const TTrendHistory& TrendHistory() const { return *FTrendHistory; }
    void miTrendsClick();
    void miOpenDataLogClick();
    void miExitClick();
    void miAboutClick();
    // A text of the Help menu in a window of its own, left open beside the main one.
    void ShowHelpText(const QString& Title, const char* Text);
    // The settings files' open and save dialogs, which remember the last name between them.
    TFileDialogRequest& SettingsFileDialog(bool Save) { return Save ? dlgSave : dlgOpen; }

signals:
    // The close sequence has run; the window is about to hide.
    void Closed();

protected:
    void showEvent(QShowEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    // Data logs dropped on the window open in the trends window.
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;

private:
    void CreateControls();
    void CreateMenu();
    void SetUpWindowStore();
    void BindSession();
    void PanelHeightChanged(int HeightDelta);
    // Runs Then once every posted job has run (at once when none is pending).
    void WhenSessionIdle(std::function<void()> Then);
    // The close sequence after the question: the autosave, the window state, then the close.
    void FinishClose();

    enum class TCloseStage { Open, Running, Done };

    std::unique_ptr<TUiServices> FUi;
    std::string FAutosaveFile;
    // Lines typed in error before the last close, shown again once the start-up has read the board.
    TTypedLines FTypedAtStart;
    TTypedLines FTypedWhileAway;  // lines in error when a lost board came back
    std::unique_ptr<TBoardSession> FSession;
    TLinkSupervisor* FSupervisor = nullptr;
    TPortProber* FProber = nullptr;
    TStatusLine* FStatus = nullptr;
    TConnectionPanel* FConnection = nullptr;
    TAnalogPanel* FAnalog = nullptr;
    TDataLoggingPanel* FLogging = nullptr;
    TPinsPanel* FPins = nullptr;
    TPLCPanel* FPLC = nullptr;
    TEEPROMBar* FEEPROM = nullptr;
    QAction* miRecallfromFile = nullptr;
    QAction* miUpdateFirmware = nullptr;
    TWindowStateStore fsFormStorage;
    // The settings files' dialogs remember the last name between them.
    TFileDialogRequest dlgOpen;
    TFileDialogRequest dlgSave;
    // Fed from the first tick on; the trends window shares it, and as a Qt child outlives our members.
    std::shared_ptr<TTrendHistory> FTrendHistory = std::make_shared<TTrendHistory>();
    TformTrends* FTrends = nullptr;
    TformAbout* FAbout = nullptr;
    bool FShownOnce = false;
    bool FPlacementRestored = false;
    bool FAskOnClose = true;
    TCloseStage FCloseStage = TCloseStage::Open;
    std::vector<std::function<void()>> FWhenIdle;
};

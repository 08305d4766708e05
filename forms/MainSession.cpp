// What the board session tells the window.
#include "LinkSupervisor.h"
#include "LoggingPanel.h"
#include "Main.h"
#include "PanelSupport.h"
#include "StatusLine.h"
#include "TimeoutMgr.h"
#include "TrendsWnd.h"

void TformMain::BindSession() {
    connect(FSession.get(), &TBoardSession::DeviceError, this, [this](const QString& Text, bool Present) {
        // The error says more than the progress of the work it interrupted.
        if (FSession->LongWorkPending()) FStatus->ErrorDuringWork();
        HandleDeviceError(Text.toStdString(), Present);
    });
    connect(FSession.get(), &TBoardSession::Failed, this,
            [this](const QString& Text) { FUi->ShowError(this, Text.toStdString()); });
    connect(FSession.get(), &TBoardSession::Progress, this,
            [this](const QString& Text) { FStatus->ShowProgress(Text.toStdString()); });
    connect(FSession.get(), &TBoardSession::LongWorkChanged, this,
            [this] { EnableConnectedControls(FSession->State().DevicePresent); });
    connect(FSession.get(), &TBoardSession::StateChanged, this, [this] {
        const TBoardState& state = FSession->State();
        FStatus->ShowUnsaved(state.DevicePresent && state.Changed);
    });
    // The display, the data log and the trends each follow the session's ticks.
    connect(FSession.get(), &TBoardSession::TickRead, this,
            Guarded(*FUi, this, [this](const TTickReadings& R) { UpdateDisplay(R, false, false); }));
    connect(FSession.get(), &TBoardSession::TickRead, this,
            Guarded(*FUi, this, [this](const TTickReadings& R) { FLogging->LogRow(R); }));
    connect(FSession.get(), &TBoardSession::TickRead, this, [this](const TTickReadings& R) {
        FTrendHistory->Add(R);
        if (FTrends != nullptr) FTrends->TickAdded();
    });
    connect(FSession.get(), &TBoardSession::Refreshed, this, Guarded(*FUi, this, [this](const TRefresh& R) {
                UpdateDisplay(R.Readings, R.ShowSettings, R.ShowProgram);
            }));
    connect(FSession.get(), &TBoardSession::ChangeTakenBack, this, [this] {
        // The settings and PLC state as they stand again.
        PaintSettings();
        FPLC->ShowPLCState(FSession->State().PLCEnabled, FSession->State().PLCRunMode, false);
        FStatus->Append("The change was not made on the Velmorant.");
    });
    connect(FSupervisor, &TLinkSupervisor::NewConnection, this, [this] {
        // A new connection starts the trends' "since connecting"; a board answering again does not.
        FTrendHistory->StartConnection(Now());
        if (FTrends != nullptr) FTrends->ConnectionStarted();
    });
    connect(FSupervisor, &TLinkSupervisor::Lost, this, [this](const QString& Port, const QString& Kept) {
        SetStatusText("The connection to the Velmorant on " + Port.toStdString() +
                      " was lost; it connects again by itself once the board is back." +
                      (Kept.isEmpty()
                           ? std::string()
                           : " Changes not saved in its EEPROM are kept in " + Kept.toStdString()));
    });
    connect(FSupervisor, &TLinkSupervisor::Silent, this, [this](const QString& Port) {
        SetStatusText("The Velmorant on " + Port.toStdString() + " does not answer");
    });
    // Lines typed in error never reached the board, so reading it back would drop them: they are
    // taken first and shown again over what it has.
    connect(FSupervisor, &TLinkSupervisor::ReadingBack, this,
            [this] { FTypedWhileAway = FPLC->TypedLinesInError(); });
    connect(FSupervisor, &TLinkSupervisor::Reconnected, this, [this](const QString& Port) {
        if (StatusText().empty()) SetStatusText("Connected again to the Velmorant on " + Port.toStdString());
        WhenSessionIdle([this] { FPLC->ShowTypedLines(FTypedWhileAway); });
    });
    connect(FSupervisor, &TLinkSupervisor::OfferKeptChanges, this,
            Guarded(*FUi, this, [this](const QString& File) { OfferUnsavedChanges(File.toStdString()); }));
    connect(FSession.get(), &TBoardSession::BecameIdle, this, [this] {
        // Taken out first: a step may post work and wait again.
        std::vector<std::function<void()>> waiting;
        waiting.swap(FWhenIdle);
        for (auto& then : waiting) RunGuarded(*FUi, this, then);
    });
}

void TformMain::ShowConnectionState() {
    const TBoardState& state = FSession->State();
    FConnection->ShowState(state);
    // Without a board there is nothing for the program's settings to differ from.
    if (!state.DevicePresent) FEEPROM->ShowProgramSettingsMark(false);
    EnableConnectedControls(state.DevicePresent);
    if (!state.DevicePresent) UpdateDisplay(TTickReadings{}, false, false);
    SetStatusText(std::string());
}

void TformMain::EnableConnectedControls(bool Connected) {
    FConnection->EnableConnected(Connected);
    // A lost board is the supervisor's to find again; a closing window looks for none.
    FConnection->WatchForBoards(!Connected && !FSession->State().Lost && FCloseStage == TCloseStage::Open);
    // Long work cannot be started twice; Disconnect and the panels stay live meanwhile.
    const bool free = !FSession->LongWorkPending();
    FEEPROM->EnableConnected(Connected, free);
    miRecallfromFile->setEnabled(free);
    FSession->SetTicking(Connected && FCloseStage == TCloseStage::Open);
    miUpdateFirmware->setEnabled(Connected && free);
    FPLC->EnableConnected(Connected);
}

void TformMain::HandleDeviceError(const std::string& Text, bool DevicePresent) {
    ShowConnectionState();
    if (DevicePresent) {
        SetStatusText(Text);
    } else {
        SetStatusText("Disconnected");
        FConnection->FillPortList();
    }
}

void TformMain::OfferUnsavedChanges(const std::string& File) {
    const std::string question =
        "The Velmorant is back. The changes made before the connection was lost were not saved in its "
        "EEPROM, so the board no longer has them. They were kept in \"" +
        File + "\".\r\nDo you want to send them to the Velmorant now?";
    // Asked once: No ends it for good.
    FSupervisor->KeptChangesOffered();
    if (FUi->Ask(this, "Confirm", question, {mbYes, mbNo}) != mbYes) return;
    RecallSettingsFile(File, true);
    // The kept file has only what the board had.
    WhenSessionIdle([this] { FPLC->ShowTypedLines(FTypedWhileAway); });
}

void TformMain::UpdateDisplay(const TTickReadings& Readings, bool ShowSettings, bool ShowProgram) {
    const TBoardState& state = FSession->State();
    if (ShowSettings) PaintSettings();
    FPins->ShowReadings(Readings);
    FAnalog->ShowReadings(Readings);
    // A user's change still on its way to the board would be undone by showing the state before it.
    if (FSession->Idle() || ShowSettings) FPLC->ShowPLCState(state.PLCEnabled, state.PLCRunMode);
    if (ShowProgram) FPLC->ShowProgram(state);
}

void TformMain::RefreshDisplay(bool ShowSettings, bool ShowProgram) {
    FSession->Refresh(ShowSettings, ShowProgram);
}

void TformMain::PaintSettings() {
    const TBoardState& state = FSession->State();
    FPins->ShowSettings(state);
    FPLC->ShowPeriod(state.UpdatePeriod);
    FAnalog->ShowOffset(state.ADCOffsets[4]);
}

// The main window's life: creation, first showing, the close sequence and destruction.
#include "Main.h"

#include <QCloseEvent>
#include <QFocusEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <iostream>

#include "AboutDlg.h"
#include "CollapsiblePanel.h"
#include "Controls.h"
#include "GeneralLib.h"
#include "TempTableDlg.h"
#include "TrendsWnd.h"

namespace {

const char* const SaveChangesText =
    "Changes have been made to the Velmorant configuration and/or \r\nPLC program, but not saved in the "
    "memory "
    "(EEPROM) on the Velmorant.\r\n(Changes not saved in EEPROM will be \r\nlost if the Velmorant is "
    "unplugged).\r\nDo you want to save changes in EEPOM?";

const char* const NotSavedText =
    "The settings were not saved in the EEPROM on the Velmorant.\n"
    "The window stays open; save again, or close and answer No to leave them unsaved.";

}  // namespace

TformMain::TformMain(std::unique_ptr<TUiServices> Ui, QWidget* Parent)
    : QMainWindow(Parent), FUi(Ui ? std::move(Ui) : std::make_unique<TRealUiServices>()) {
    SetErrorBoxServices(FUi.get());
    CreateControls();
    BindHandlers();
    FormCreate();
}

void TformMain::BindSession() {
    connect(FSession.get(), &TBoardSession::DeviceError, this, [this](const QString& Text, bool Present) {
        // The error says more than the progress of the work it interrupted.
        if (FSession->LongWorkPending()) FProgressReplaced = true;
        HandleDeviceError(Text.toStdString(), Present);
    });
    connect(FSession.get(), &TBoardSession::Failed, this,
            [this](const QString& Text) { FUi->ShowError(this, Text.toStdString()); });
    connect(FSession.get(), &TBoardSession::Progress, this, [this](const QString& Text) {
        if (Text.isEmpty()) {
            // The work ended: its last progress text would read as if it still ran.
            if (!FProgressReplaced && StatusText() == FProgressShown) SetStatusText(std::string());
            FProgressShown.clear();
            FProgressReplaced = false;
        } else if (!FProgressReplaced) {
            FProgressShown = Text.toStdString();
            SetStatusText(FProgressShown);
        }
    });
    connect(FSession.get(), &TBoardSession::LongWorkChanged, this,
            [this](bool Running) { ShowLongWork(Running); });
    connect(FSession.get(), &TBoardSession::StateChanged, this, [this] { ShowUnsavedMark(); });
    connect(FSession.get(), &TBoardSession::TickRead, this,
            Guarded([this](const TTickReadings& R) { ShowTick(R); }));
    connect(FSession.get(), &TBoardSession::Refreshed, this,
            Guarded([this](const TRefresh& R) { ShowRefresh(R); }));
    connect(FSession.get(), &TBoardSession::ChangeTakenBack, this, [this] {
        ShowTakenBack();
        SetStatusText(StatusText() + (StatusText().empty() ? "" : " ") +
                      "The change was not made on the Velmorant.");
    });
    // The window shows the new link first; what the supervisor then says comes after it.
    connect(FSession.get(), &TBoardSession::LinkChanged, this, Guarded([this] { ShowConnectionState(); }));
    FSupervisor = new TLinkSupervisor(*FSession, this);
    connect(FSupervisor, &TLinkSupervisor::NewConnection, this, [this] {
        // A new connection starts the trends' "since connecting"; a board answering again does not.
        if (FTrends != nullptr) FTrends->StartConnection();
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
    connect(FSupervisor, &TLinkSupervisor::Reconnected, this, [this](const QString& Port) {
        if (StatusText().empty()) SetStatusText("Connected again to the Velmorant on " + Port.toStdString());
    });
    connect(FSupervisor, &TLinkSupervisor::OfferKeptChanges, this,
            Guarded([this](const QString& File) { OfferUnsavedChanges(File.toStdString()); }));
    connect(FSession.get(), &TBoardSession::BecameIdle, this, [this] {
        // Taken out first: a step may post work and wait again.
        std::vector<std::function<void()>> waiting;
        waiting.swap(FWhenIdle);
        for (auto& then : waiting) RunGuarded(*FUi, this, then);
    });
}

void TformMain::ShowUnsavedMark() {
    const TBoardState& state = FSession->State();
    const bool unsaved = state.DevicePresent && state.Changed;
    lblUnsaved->setText(unsaved ? "Not saved in the EEPROM" : QString());
    lblUnsaved->setVisible(unsaved);
}

void TformMain::WhenSessionIdle(std::function<void()> Then) {
    if (FSession->Idle())
        Then();
    else
        FWhenIdle.push_back(std::move(Then));
}

TformMain::~TformMain() {
    // Child widgets still send signals while Qt takes them down; none may reach a handler.
    timerStatus->stop();
    FWhenIdle.clear();
    spinThermOffset->removeEventFilter(this);
    for (QObject* child : findChildren<QObject*>()) child->blockSignals(true);
    FormDestroy();
    if (ErrorBoxServices() == FUi.get()) SetErrorBoxServices(nullptr);
}

void TformMain::SetDialogs(TformTempTable* TempTable, TformAbout* About) {
    FTempTable = TempTable;
    FAbout = About;
}

void TformMain::CloseWithoutQuestion() {
    FAskOnClose = false;
    close();
}

std::string TformMain::StatusText() const {
    return sbarStatus->text().toStdString();
}

void TformMain::SetStatusText(const std::string& Text) {
    sbarStatus->setText(QString::fromStdString(Text));
}

void TformMain::SetUpWindowStore() {
    // The key keeps the name earlier versions stored the last port under.
    fsFormStorage.AddProperty(
        "lblPort.Caption", [this] { return FSupervisor->PortName(); },
        [this](const std::string& Value) { FSupervisor->SetPortName(Value); });
    fsFormStorage.AddBoolProperty(
        "pnlAnalog.Expanded", [this] { return pnlAnalog->Expanded(); },
        [this](bool Value) { pnlAnalog->SetExpanded(Value); });
    fsFormStorage.AddBoolProperty(
        "pnlPins.Expanded", [this] { return pnlPins->Expanded(); },
        [this](bool Value) { pnlPins->SetExpanded(Value); });
    fsFormStorage.AddBoolProperty(
        "pnlPLC.Expanded", [this] { return pnlPLC->Expanded(); },
        [this](bool Value) { pnlPLC->SetExpanded(Value); });
}

void TformMain::FormCreate() {
    InitApplicationFolders();
    FAutosaveFile = ApplicationFolders.UserDataPath + "Autosaved.velmor";
    dlgOpen.InitialFolder = ApplicationFolders.UserDataPath;
    dlgSave.InitialFolder = ApplicationFolders.UserDataPath;

    FProber = new TPortProber(this);
    FSession = std::make_unique<TBoardSession>();
    FSession->SetUnsavedFolder(ApplicationFolders.UserDataPath);
    BindSession();

    // The design size first, so that panels restored as collapsed shrink it as they do later.
    resize(792, 710 + menuBar()->sizeHint().height());
    SetUpWindowStore();
    fsFormStorage.SetFileName(ApplicationFolders.AppSettingsPath + "Velmorant.ini");
    if (auto placement = fsFormStorage.Restore()) {
        TWindowStateStore::ApplyPlacement(this, *placement);
        FPlacementRestored = true;
    } else if (QScreen* s = screen()) {
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), s->availableGeometry()));
    }

    lblUnsaved = new QLabel(this);
    lblUnsaved->setObjectName("lblUnsaved");
    lblUnsaved->setStyleSheet("color: rgb(205, 110, 0);");
    lblUnsaved->setToolTip(
        "The Velmorant's settings or program differ from what its EEPROM holds; "
        "\"Save Settings in EEPROM on Velmorant\" keeps them.");
    lblLogging = new QLabel(this);
    lblLogging->setObjectName("lblLogging");
    statusBar()->addPermanentWidget(lblLogging);
    statusBar()->addPermanentWidget(lblUnsaved);
    lblLogging->hide();
    lblUnsaved->hide();

    gridAnalog1->setRowCount(3);
    gridAnalog2->setRowCount(2);
    for (int port = 0; port < TVelmorant::PortCountConst; ++port)
        for (int row = 0; row < 8; ++row)
            gridPort[port]->item(row, pcPin)->setText(QString::number(port * 8 + row));
    for (int input = 0; input < TVelmorant::AnalogInputCount; ++input) {
        QTableWidget* grid = input < 3 ? gridAnalog1 : gridAnalog2;
        const int row = input < 3 ? input : input - 3;
        for (int col = 0; col < 3; ++col) {
            auto* item = new QTableWidgetItem;
            item->setFlags(Qt::ItemIsEnabled);
            item->setTextAlignment(col == acValue ? Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter)
                                                  : Qt::Alignment(Qt::AlignCenter));
            grid->setItem(row, col, item);
        }
        grid->item(row, acInput)->setText(QString::number(input));
        grid->item(row, acValue)->setData(Qt::DisplayRole, 0);
        grid->item(row, acGauge)->setData(Qt::DisplayRole, 0);
    }
    // No board yet: the driver's start values, and no reading to show.
    UpdateDisplay(TTickReadings{}, true, true);
    SetUpLogging();
}

void TformMain::FormShow() {
    ShowConnectionState();
    const bool first = !FShownOnce;
    FShownOnce = true;
    FillPortList([this, first] {
        if (first) ConnectToDevice(false, [this] { RecallFromDevice(true, false); });
    });
}

void TformMain::FormCloseQuery(std::function<void(bool CanClose)> Then) {
    const TBoardState& state = FSession->State();
    if (!state.DevicePresent || !state.Changed) return Then(true);
    const TMsgButton answer = FUi->Message(
        nullptr, TMessageRequest{mkQuestion, "Save Changes?", SaveChangesText, {mbYes, mbNo, mbCancel}});
    if (answer == mbNo) return Then(true);
    if (answer != mbYes) return Then(false);
    FSession->SaveToEEPROM([this, Then](bool Saved) {
        // Closing after a failed save would lose the changes the user just chose to keep.
        if (!Saved) FUi->ShowError(this, NotSavedText);
        Then(Saved);
    });
}

void TformMain::FormClose(std::function<void()> Then) {
    FSession->Autosave(FAutosaveFile, [this, Then] {
        try {
            fsFormStorage.Save(TWindowStateStore::PlacementOf(this));
        } catch (const std::exception& e) {
            std::cerr << e.what() << '\n';
        }
        Then();
    });
}

void TformMain::FormDestroy() {
    if (!FSession) return;
    FSupervisor->Stop();
    FSession.reset();
    RunGuarded(*FUi, this, [this] { FinishLogging(); });
    FRecorder.reset();
}

void TformMain::showEvent(QShowEvent* Event) {
    QMainWindow::showEvent(Event);
    if (Event->spontaneous()) return;
    if (!FShownOnce && !FPlacementRestored && !pnlPLC->Expanded()) {
        // Panels stored without a placement: nothing below them takes up the design height.
        resize(width(), sizeHint().height());
    }
    RunGuarded(*FUi, this, [this] { FormShow(); });
}

void TformMain::closeEvent(QCloseEvent* Event) {
    if (FCloseDone) {
        Event->accept();
        return;
    }
    // The sequence waits for the board, so the window stays until it has run.
    Event->ignore();
    if (FClosing) return;
    FClosing = true;
    FSupervisor->SetClosing(true);
    timerStatus->stop();
    FSession->StopLongWork();
    WhenSessionIdle([this] {
        const bool ask = FAskOnClose;
        FAskOnClose = true;
        const auto decided = [this](bool CanClose) {
            if (CanClose) return FinishClose();
            FClosing = false;
            FSupervisor->SetClosing(false);
            EnableConnectedControls(FSession->State().DevicePresent);
        };
        if (!ask) return decided(true);
        if (!RunGuarded(*FUi, this, [&] { FormCloseQuery(decided); })) decided(false);
    });
}

void TformMain::FinishClose() {
    FormClose([this] {
        FCloseDone = true;
        close();
        emit Closed();
    });
}

bool TformMain::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == spinThermOffset && Event->type() == QEvent::FocusOut) {
        // Focus that goes to another window or a menu comes back without the box being left.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(Event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason && FSession)
            RunGuarded(*FUi, this, [this] { spinThermOffsetExit(); });
    }
    return QMainWindow::eventFilter(Watched, Event);
}

void TformMain::imgLogoClick() {
    FUi->OpenUrl(MakerWebAddress);
}

void TformMain::miExitClick() {
    close();
}

void TformMain::miAboutClick() {
    if (FAbout != nullptr) FAbout->exec();
}

void TformMain::btnTempTableClick() {
    if (FTempTable != nullptr && !FTempTable->isVisible()) FTempTable->show();
}

// The main window's life: its controls, creation, first showing, the close sequence and destruction.
#include "Main.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeySequence>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyle>
#include <QVBoxLayout>
#include <iostream>
#include <utility>

#include "GeneralLib.h"
#include "HelpTexts.h"
#include "LinkSupervisor.h"
#include "PanelSupport.h"
#include "Pictures.h"
#include "PortProber.h"
#include "StatusLine.h"
#include "UnsavedOnBoard.h"

using panels::Named;

namespace {

const char* const SaveChangesText =
    "Changes have been made to the Velmorant configuration and/or \r\nPLC program, but not saved in the "
    "memory "
    "(EEPROM) on the Velmorant.\r\n(Changes not saved in EEPROM will be \r\nlost if the Velmorant is "
    "unplugged).\r\nDo you want to save changes in EEPOM?";

const char* const NotSavedText =
    "The settings were not saved in the EEPROM on the Velmorant.\n"
    "The window stays open; save again, or close and answer No to leave them unsaved.";

// Scrolls the panels when the window is smaller than they are, and otherwise asks for their whole
// size, as the panels alone would (a plain scroll area caps its hint at a few hundred pixels).
class TPanelScroller : public QScrollArea {
public:
    explicit TPanelScroller(QWidget* Parent) : QScrollArea(Parent) {
        setObjectName("scrollPanels");
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
    }
    QSize sizeHint() const override {
        return widget() != nullptr ? widget()->sizeHint() : QScrollArea::sizeHint();
    }
    QSize minimumSizeHint() const override { return QSize(0, 0); }
};

}  // namespace

TformMain::TformMain(std::unique_ptr<TUiServices> Ui, QWidget* Parent)
    : QMainWindow(Parent),
      FUi(Ui ? std::move(Ui) : std::make_unique<TRealUiServices>()),
      FSession(std::make_unique<TBoardSession>()) {
    SetErrorBoxServices(FUi.get());
    // The window shows the new link first; what the supervisor then says comes after it.
    connect(FSession.get(), &TBoardSession::LinkChanged, this,
            Guarded(*FUi, this, [this] { ShowConnectionState(); }));
    FProber = new TPortProber(this);
    FSupervisor = new TLinkSupervisor(*FSession, this);
    CreateControls();
    FormCreate();
}

TformMain::~TformMain() {
    // Child widgets still send signals while Qt takes them down; none may reach a handler.
    if (FSession) FSession->SetTicking(false);
    FWhenIdle.clear();
    for (QObject* child : findChildren<QObject*>()) child->blockSignals(true);
    FormDestroy();
    if (ErrorBoxServices() == FUi.get()) SetErrorBoxServices(nullptr);
}

bool TformMain::BackgroundIdle() const {
    return FSession->Idle() && FLogging->Idle() && FProber->Idle();
}

void TformMain::CreateControls() {
    setObjectName("formMain");
    setWindowTitle("Velmorant");
    setWindowIcon(ApplicationIcon());
    // System menu and minimize only: the layout is made for one height per panel state.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont font("DejaVu Sans");
    font.setPointSize(8);
    setFont(font);

    CreateMenu();
    FStatus = new TStatusLine(statusBar());

    auto* central = new QWidget(this);
    central->setObjectName("central");
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(3, 3, 3, 0);
    layout->setSpacing(3);
    FConnection = new TConnectionPanel(*FSession, *FSupervisor, *FProber, *FUi, *FStatus);
    FAnalog = new TAnalogPanel(*FSession, *FUi);
    FLogging = new TDataLoggingPanel(*FUi, *FStatus);
    FAnalog->AddLoggingBox(FLogging);
    FPins = new TPinsPanel(*FSession, *FUi);
    connect(FPins, &TPinsPanel::Refused, this,
            [this](const QString& Why) { SetStatusText(Why.toStdString()); });
    FPLC = new TPLCPanel(*FSession, *FUi);
    FEEPROM = new TEEPROMBar(*FSession, *FUi, *FStatus);
    layout->addWidget(FConnection);
    layout->addWidget(FAnalog);
    layout->addWidget(FPins);
    layout->addWidget(FPLC, 1);
    // Takes the room the PLC panel leaves while it is collapsed.
    layout->addStretch(0);
    layout->addWidget(FEEPROM);
    auto* scroller = new TPanelScroller(this);
    scroller->setWidget(central);
    setCentralWidget(scroller);
    setAcceptDrops(true);

    connect(FConnection, &TConnectionPanel::AttemptEnded, this, [this] { ShowConnectionState(); });
    connect(FConnection, &TConnectionPanel::UserConnected, this,
            Guarded(*FUi, this, [this] { FEEPROM->RecallFromDevice(true, true, std::string(), true); }));
    connect(FConnection, &TConnectionPanel::DisconnectRequested, this, [this] {
        FSupervisor->Stop();
        FSession->Disconnect([this] { ShowConnectionState(); });
    });
    for (TCollapsiblePanel* panel :
         {static_cast<TCollapsiblePanel*>(FConnection), static_cast<TCollapsiblePanel*>(FAnalog),
          static_cast<TCollapsiblePanel*>(FPins), static_cast<TCollapsiblePanel*>(FPLC)})
        connect(panel, &TCollapsiblePanel::ExpandedChanged, this,
                [this](bool, int HeightDelta) { PanelHeightChanged(HeightDelta); });

    dlgOpen = TFileDialogRequest{false,
                                 "Recall Settings",
                                 "Velmorant Settings (*.velmor)|*.velmor",
                                 1,
                                 ".velmor",
                                 std::string(),
                                 std::string(),
                                 false,
                                 true};
    dlgSave = TFileDialogRequest{true,
                                 "Save Settings",
                                 "Velmorant Settings (*.velmor)|*.velmor",
                                 1,
                                 ".velmor",
                                 std::string(),
                                 std::string(),
                                 true,
                                 false};

    panels::LengthenHints(this);
    // The window's frame takes the rest of 800 by 300. Set on the scroller, so that the panels can
    // still ask for more than that, and scroll when they get less.
    centralWidget()->setMinimumSize(784,
                                    262 - menuBar()->sizeHint().height() - statusBar()->sizeHint().height());
}

void TformMain::CreateMenu() {
    menuBar()->setObjectName("menuMain");
    QMenu* miFile = Named(menuBar()->addMenu("&File"), "miFile");
    miRecallfromFile = Named(miFile->addAction("Recall from File.."), "miRecallfromFile");
    QAction* miSavetoFile = Named(miFile->addAction("Save to File.."), "miSavetoFile");
    miRecallfromFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    miSavetoFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    // Added beside the settings-file commands; the specified items keep their places.
    QAction* miOpenDataLog = Named(miFile->addAction("Open Data Log.."), "miOpenDataLog");
    miFile->addSeparator();
    QAction* miExit = Named(miFile->addAction("E&xit"), "miExit");
    QMenu* miOptions = Named(menuBar()->addMenu("&Options"), "miOptions");
    miUpdateFirmware = Named(miOptions->addAction("&Update firmware on Velmorant.."), "miUpdateFirmware");
    QAction* miTrends = Named(miOptions->addAction("&Trends.."), "miTrends");
    miTrends->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    QMenu* miHelp = Named(menuBar()->addMenu("&Help"), "miHelp");
    // A machine without a browser has the manual page; the window has the same texts.
    connect(Named(miHelp->addAction("&Program Lines.."), "miHelpProgramLines"), &QAction::triggered, this,
            [this] { ShowHelpText("Program Lines", HelpProgramLines); });
    connect(Named(miHelp->addAction("&Keys.."), "miHelpKeys"), &QAction::triggered, this,
            [this] { ShowHelpText("Keys", HelpKeys); });
    miHelp->addSeparator();
    QAction* miAbout = Named(miHelp->addAction("&About.."), "miAbout");

    connect(miRecallfromFile, &QAction::triggered, this,
            Guarded(*FUi, this, [this] { miRecallfromFileClick(); }));
    connect(miSavetoFile, &QAction::triggered, this, Guarded(*FUi, this, [this] { miSavetoFileClick(); }));
    connect(miExit, &QAction::triggered, this, Guarded(*FUi, this, [this] { miExitClick(); }));
    connect(miTrends, &QAction::triggered, this, Guarded(*FUi, this, [this] { miTrendsClick(); }));
    connect(miOpenDataLog, &QAction::triggered, this, Guarded(*FUi, this, [this] { miOpenDataLogClick(); }));
    connect(miUpdateFirmware, &QAction::triggered, this,
            Guarded(*FUi, this, [this] { miUpdateFirmwareClick(); }));
    connect(miAbout, &QAction::triggered, this, Guarded(*FUi, this, [this] { miAboutClick(); }));
}

void TformMain::PanelHeightChanged(int HeightDelta) {
    // Before the first showing the stored placement already holds the height for the stored panels.
    if (!isVisible() || isMaximized() || HeightDelta == 0) return;
    resize(width(), std::max(minimumHeight(), height() + HeightDelta));
}

void TformMain::SetDialogs(TformTempTable* TempTable, TformAbout* About) {
    FAnalog->SetTempTable(TempTable);
    FAbout = About;
}

void TformMain::CloseWithoutQuestion() {
    FAskOnClose = false;
    close();
}

std::string TformMain::StatusText() const {
    return FStatus->Text();
}

void TformMain::SetStatusText(const std::string& Text) {
    FStatus->SetText(Text);
}

void TformMain::SetUpWindowStore() {
    // The key keeps the name earlier versions stored the last port under.
    fsFormStorage.AddProperty(
        "lblPort.Caption", [this] { return FSupervisor->PortName(); },
        [this](const std::string& Value) { FSupervisor->SetPortName(Value); });
    fsFormStorage.AddBoolProperty(
        "pnlAnalog.Expanded", [this] { return FAnalog->Expanded(); },
        [this](bool Value) { FAnalog->SetExpanded(Value); });
    fsFormStorage.AddBoolProperty(
        "pnlPins.Expanded", [this] { return FPins->Expanded(); },
        [this](bool Value) { FPins->SetExpanded(Value); });
    fsFormStorage.AddBoolProperty(
        "pnlPLC.Expanded", [this] { return FPLC->Expanded(); },
        [this](bool Value) { FPLC->SetExpanded(Value); });
}

void TformMain::FormCreate() {
    InitApplicationFolders();
    FAutosaveFile = ApplicationFolders.UserDataPath + "Autosaved.velmor";
    dlgOpen.InitialFolder = ApplicationFolders.UserDataPath;
    dlgSave.InitialFolder = ApplicationFolders.UserDataPath;

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

    // No board yet: the driver's start values, and no reading to show.
    UpdateDisplay(TTickReadings{}, true, true);
    // Comments live only in the program and its files: the last close kept them in the autosave.
    FSession->RestoreComments(FAutosaveFile, [this](bool Restored, const TTypedLines& Typed) {
        if (!Restored) return;
        FPins->ShowSettings(FSession->State());
        FPLC->ShowProgram(FSession->State());
        // Shown once the start-up has read the board's program, which replaces the grid.
        FTypedAtStart = Typed;
    });
    FLogging->SetUpLogging();
}

void TformMain::FormShow() {
    ShowConnectionState();
    const bool first = !FShownOnce;
    FShownOnce = true;
    FConnection->FillPortList([this, first] {
        if (!first) return;
        FConnection->ConnectToDevice(false, [this] { StartUpRecall(); });
        // The program the start-up reads replaces the grid: the typed lines go back over it.
        WhenSessionIdle([this] { FPLC->ShowTypedLines(std::exchange(FTypedAtStart, {})); });
    });
}

void TformMain::StartUpRecall() {
    // Every start reads the board's EEPROM back; where this program left the board with changes the
    // EEPROM lacks, that would undo them unasked.
    const std::string port = FSession->State().ComPortName;
    const uint8_t unsaved = UnsavedOnBoard(port);
    if (unsaved == 0) return FEEPROM->RecallFromDevice(true, false);
    const std::string question = "The Velmorant on " + port +
                                 " was left with changes not saved in its EEPROM when it was last used: " +
                                 ChangedSettingsText(unsaved) +
                                 ". Recalling the settings from the EEPROM, as a start does, would undo them."
                                 "\r\nRecall them anyway? No keeps the board's settings.";
    if (FUi->Ask(this, "Confirm", question, {mbYes, mbNo}) == mbYes)
        return FEEPROM->RecallFromDevice(true, false);
    FEEPROM->RecallFromDevice(false, false,
                              "The Velmorant's settings are shown; they are not saved in its EEPROM");
    FSession->MarkNotInEEPROM();
}

void TformMain::FormCloseQuery(std::function<void(bool CanClose)> Then) {
    // As when saving a file: lines in error are on neither the board nor a file. The autosave keeps
    // their text for the next start.
    if (const std::vector<int> inError = FPLC->LinesInError(); !inError.empty()) {
        const std::string question = LinesInErrorText(inError) +
                                     ", so the Velmorant does not have what you typed. It is kept and "
                                     "comes back at the next start.\r\nClose anyway?";
        if (FUi->Ask(this, "Confirm", question, {mbYes, mbNo}) != mbYes) return Then(false);
    }
    const TBoardState& state = FSession->State();
    if (!state.DevicePresent || !state.Changed) return Then(true);
    const TMsgButton answer = FUi->Message(
        nullptr, TMessageRequest{mkQuestion, "Save Changes?", SaveChangesText, {mbYes, mbNo, mbCancel}});
    if (answer == mbNo) {
        // The board keeps them until it loses power: the next start must not recall over them unasked.
        RecordUnsavedOnBoard(state.ComPortName, state.ChangedSettings);
        return Then(true);
    }
    if (answer != mbYes) return Then(false);
    FSession->SaveToEEPROM([this, Then](bool Saved) {
        // Closing after a failed save would lose the changes the user just chose to keep.
        if (!Saved) FUi->ShowError(this, NotSavedText);
        Then(Saved);
    });
}

void TformMain::FormClose(std::function<void()> Then) {
    FSession->Autosave(FAutosaveFile, FPLC->TypedLinesInError(), [this, Then] {
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
    RunGuarded(*FUi, this, [this] { FLogging->FinishLogging(); });
}

void TformMain::showEvent(QShowEvent* Event) {
    QMainWindow::showEvent(Event);
    if (Event->spontaneous()) return;
    if (!FShownOnce && !FPlacementRestored && !FPLC->Expanded()) {
        // Panels stored without a placement: nothing below them takes up the design height.
        resize(width(), sizeHint().height());
    }
    RunGuarded(*FUi, this, [this] { FormShow(); });
}

void TformMain::closeEvent(QCloseEvent* Event) {
    if (FCloseStage == TCloseStage::Done) {
        Event->accept();
        return;
    }
    // The sequence waits for the board, so the window stays until it has run.
    Event->ignore();
    if (FCloseStage == TCloseStage::Running) return;
    FCloseStage = TCloseStage::Running;
    FSupervisor->SetClosing(true);
    FSession->SetTicking(false);
    FSession->StopLongWork();
    WhenSessionIdle([this] {
        const bool ask = FAskOnClose;
        FAskOnClose = true;
        const auto decided = [this](bool CanClose) {
            if (CanClose) return FinishClose();
            FCloseStage = TCloseStage::Open;
            FSupervisor->SetClosing(false);
            EnableConnectedControls(FSession->State().DevicePresent);
        };
        if (!ask) return decided(true);
        if (!RunGuarded(*FUi, this, [&] { FormCloseQuery(decided); })) decided(false);
    });
}

void TformMain::FinishClose() {
    FormClose([this] {
        FCloseStage = TCloseStage::Done;
        close();
        emit Closed();
    });
}

void TformMain::WhenSessionIdle(std::function<void()> Then) {
    if (FSession->Idle())
        Then();
    else
        FWhenIdle.push_back(std::move(Then));
}

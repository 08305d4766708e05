// The main window's life: creation, first showing, the close sequence and destruction.
#include "Main.h"

#include <QCloseEvent>
#include <QFocusEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QSpinBox>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <iostream>

#include "AboutDlg.h"
#include "CollapsiblePanel.h"
#include "Controls.h"
#include "GeneralLib.h"
#include "TempTableDlg.h"

namespace {

const char* const SaveChangesText =
    "Changes have been made to the Velmorant configuration and/or \r\nPLC program, but not saved in the "
    "memory "
    "(EEPROM) on the Velmorant.\r\n(Changes not saved in EEPROM will be \r\nlost if the Velmorant is "
    "unplugged).\r\nDo you want to save changes in EEPOM?";

const char* const NotSavedText =
    "The settings were not saved in the EEPROM on the Velmorant.\n"
    "The window stays open; save again, or close and answer No to leave them unsaved.";

// Clears the busy mark however the block ends.
struct TTagReset {
    int& Tag;
    ~TTagReset() { Tag = 0; }
};

}  // namespace

TformMain::TformMain(std::unique_ptr<TUiServices> Ui, QWidget* Parent)
    : QMainWindow(Parent), FUi(Ui ? std::move(Ui) : std::make_unique<TRealUiServices>()) {
    SetErrorBoxServices(FUi.get());
    CreateControls();
    BindHandlers();
    FormCreate();
}

TformMain::~TformMain() {
    // Child widgets still send signals while Qt takes them down; none may reach a handler.
    timerStatus->stop();
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
    fsFormStorage.AddProperty(
        "lblPort.Caption", [this] { return lblPort->text().toStdString(); },
        [this](const std::string& Value) { lblPort->setText(QString::fromStdString(Value)); });
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

    FVelmorant = std::make_unique<TVelmorant>();
    FVelmorant->SetOnError([this](const std::string& Text) { HandleDeviceError(Text); });

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
    gridProgram->setRowCount(FVelmorant->ProgramLineCount());

    RefreshDisplay(true, true);
    SetUpLogging();
}

void TformMain::FormShow() {
    if (FTag != 0) return;
    FTag = 1;
    TTagReset reset{FTag};
    FillPortList();
    ShowConnectionState();
    if (!FShownOnce) {
        FShownOnce = true;
        if (ConnectToDevice(false)) RecallFromDevice(true, false);
    }
}

void TformMain::FormCloseQuery(bool& CanClose) {
    CanClose = true;
    if (!FVelmorant->DevicePresent() || !FVelmorant->Changed()) return;
    const TMsgButton answer = FUi->Message(
        nullptr, TMessageRequest{mkQuestion, "Save Changes?", SaveChangesText, {mbYes, mbNo, mbCancel}});
    if (answer == mbYes) {
        // Closing after a failed save would lose the changes the user just chose to keep.
        if (!FVelmorant->SaveSettingsInEEPROM()) {
            CanClose = false;
            FUi->ShowError(this, NotSavedText);
        }
    } else if (answer != mbNo) {
        CanClose = false;
    }
}

void TformMain::FormClose() {
    try {
        FVelmorant->SaveSettingsInFile(FAutosaveFile, true);
    } catch (const std::exception&) {
        // The autosave is a convenience; a folder that cannot be written must not stop the close.
    }
    try {
        fsFormStorage.Save(TWindowStateStore::PlacementOf(this));
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
    }
}

void TformMain::FormDestroy() {
    if (!FVelmorant) return;
    FVelmorant.reset();
    RunGuarded(*FUi, this, [this] { FinishLogging(); });
    FDataLogger.reset();
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
    bool canClose = true;
    if (FAskOnClose && !RunGuarded(*FUi, this, [&] { FormCloseQuery(canClose); })) canClose = false;
    FAskOnClose = true;
    if (!canClose) {
        Event->ignore();
        return;
    }
    timerStatus->stop();
    FormClose();
    FCloseDone = true;
    Event->accept();
    emit Closed();
}

bool TformMain::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == spinThermOffset && Event->type() == QEvent::FocusOut) {
        // Focus that goes to another window or a menu comes back without the box being left.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(Event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason && FVelmorant)
            RunGuarded(*FUi, this, [this] { spinThermOffsetExit(); });
    }
    return QMainWindow::eventFilter(Watched, Event);
}

void TformMain::imgLogoClick() {
    FUi->OpenUrl(imgLogo->toolTip().toStdString());
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

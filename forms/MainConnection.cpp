// Finding the board, connecting and disconnecting, and showing the connection's state.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cerrno>
#include <memory>
#include <vector>

#include "CollapsiblePanel.h"
#include "Controls.h"
#include "Main.h"

const char* const PermissionHelpText =
    "A serial port could not be opened for lack of permission. Add your user to the \"dialout\" group "
    "(sudo usermod -aG dialout $USER), then log out and in again.";

namespace {

const char* const RecallQuestion =
    "Do you want to recall the settings from the Velmorant into the software? \r\nThis will overwrite any "
    "changes you've made in the software.";

}  // namespace

void TformMain::ConnectToDevice(bool ShowError, std::function<void()> Connected) {
    // The selected port first, then every other in list order.
    std::vector<std::string> names;
    const int selected = comboPort->currentIndex();
    if (selected >= 0) names.push_back(comboPort->itemText(selected).toStdString());
    for (int i = 0; i < comboPort->count(); ++i)
        if (i != selected) names.push_back(comboPort->itemText(i).toStdString());

    struct TOutcome {
        std::string Found;
        bool PermissionDenied = false;
    };
    auto outcome = std::make_shared<TOutcome>();
    TBoardSession* session = FSession.get();
    FSession->Post(
        [session, names, outcome](TVelmorant& V) {
            for (const std::string& name : names) {
                emit session->Progress(QString::fromStdString("Checking for Velmorant on " + name));
                errno = 0;
                if (V.FindDevice(name)) {
                    outcome->Found = name;
                    V.SetPLCRunMode(rmPaused);
                    return;
                }
                if (errno == EACCES || errno == EPERM) outcome->PermissionDenied = true;
            }
        },
        [this, ShowError, Connected, outcome] {
            if (!outcome->Found.empty()) {
                FPortName = outcome->Found;
                comboPort->setCurrentIndex(comboPort->findText(QString::fromStdString(FPortName)));
            }
            ShowConnectionState();
            if (FSession->State().DevicePresent) {
                if (Connected) Connected();
                return;
            }
            const bool permissionDenied = outcome->PermissionDenied || LastEnumerationHadPermissionDenied();
            if (permissionDenied) SetStatusText(std::string("Velmorant not found. ") + PermissionHelpText);
            if (ShowError)
                FUi->ShowError(this, permissionDenied ? std::string("Velmorant not found.\n\n") + PermissionHelpText
                                                      : std::string("Velmorant not found."));
        },
        jkLong);
}

void TformMain::RecallFromDevice(bool FromEEPROM, bool Ask) {
    if (!FSession->State().DevicePresent) return;
    if (Ask && FUi->Ask(this, "Confirm", RecallQuestion, {mbYes, mbNo}) != mbYes) return;
    // A failed retrieval leaves the panels as they were; the full update belongs to a good one.
    PostAndRefresh([FromEEPROM](TVelmorant& V) { return V.RetreiveSettings(FromEEPROM); }, nullptr, jkLong);
}

void TformMain::ShowConnectionState() {
    const TBoardState& state = FSession->State();
    const bool present = state.DevicePresent;
    lblConnected->setText(present ? QString("CONNECTED to %1").arg(QString::fromStdString(state.ComPortName))
                                  : QString("NOT CONNECTED"));
    lblConnected->setStyleSheet(present ? "color: rgb(0, 128, 0);" : "color: rgb(255, 0, 0);");
    lblFirmware->setText(present ? QString::fromStdString(state.Version) : QString("?"));
    btnFind->setText(present ? "Disconnect" : "Connect");
    pnlComm->SetCollapsedCaption(QString("COM Port Connection (%1)").arg(lblConnected->text()));
    EnableConnectedControls(present);
    SetStatusText(std::string());
}

void TformMain::EnableConnectedControls(bool Connected) {
    btnFind->setChecked(Connected);
    comboPort->setEnabled(!Connected);
    // Long work cannot be started twice; Disconnect and the panels stay live meanwhile.
    const bool free = !FSession->LongWorkPending();
    btnRecallFromEEPROM->setEnabled(Connected && free);
    btnSaveToEEPROM->setEnabled(Connected && free);
    miRecallfromFile->setEnabled(free);
    // Restarting a running timer would put its next tick off.
    if (!Connected || FClosing)
        timerStatus->stop();
    else if (!timerStatus->isActive())
        timerStatus->start();
    miUpdateFirmware->setEnabled(Connected && free);
    tbtnRun->setEnabled(Connected);
    tbtnSingleStep->setEnabled(Connected);
    tbtnStop->setEnabled(Connected);
}

void TformMain::ShowLongWork(bool Running) {
    EnableConnectedControls(FSession->State().DevicePresent);
    if (Running) return;
    // The work's last progress text would otherwise stay as if it still ran.
    if (StatusText().rfind("Checking for Velmorant on ", 0) != 0) return;
    SetStatusText(std::string());
}

void TformMain::FillPortList() {
    comboPort->clear();
    TSerialPortSet ports;
    EnumerateSerialPorts(true, ports);
    for (size_t n = 0; n < ports.size(); ++n)
        if (ports[n]) comboPort->addItem(QString::fromStdString(SerialPortName(static_cast<uint8_t>(n))));
    comboPort->setCurrentIndex(comboPort->findText(QString::fromStdString(FPortName)));
    btnFind->setEnabled(comboPort->count() > 0);
}

void TformMain::HandleDeviceError(const std::string& Text, bool DevicePresent) {
    ShowConnectionState();
    if (DevicePresent) {
        SetStatusText(Text);
    } else {
        SetStatusText("Disconnected");
        FillPortList();
    }
}

void TformMain::btnFindClick() {
    if (btnFind->isChecked()) {
        ConnectToDevice(false, [this] { RecallFromDevice(true, true); });
    } else {
        // A retrieval or a tick on a silent board ends at its next exchange instead of finishing.
        FSession->StopLongWork();
        FSession->Post([](TVelmorant& V) { V.Disconnect(); }, [this] { ShowConnectionState(); });
    }
}

void TformMain::comboPortClick() {
    if (comboPort->currentIndex() < 0) return;
    ConnectToDevice(true, [this] { RecallFromDevice(true, true); });
}
void TformMain::comboPortDropDown() {
    FillPortList();
}

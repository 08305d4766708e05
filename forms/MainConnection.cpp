// Finding the board, connecting and disconnecting, and showing the connection's state.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cerrno>

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

// The hourglass for as long as the attempt lasts, however it ends.
struct TWaitCursor {
    TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
};

}  // namespace

bool TformMain::ConnectToDevice(bool ShowError) {
    const int selected = comboPort->currentIndex();
    bool found = false;
    bool permissionDenied = false;
    {
        TWaitCursor wait;
        const auto tryPort = [&](int Index) {
            const std::string name = comboPort->itemText(Index).toStdString();
            SetStatusText("Checking for Velmorant on " + name);
            // The window is blocked while a port is tried; show which one.
            sbarStatus->repaint();
            errno = 0;
            const bool ok = FVelmorant->FindDevice(name);
            if (!ok && (errno == EACCES || errno == EPERM)) permissionDenied = true;
            return ok;
        };
        if (selected >= 0) found = tryPort(selected);
        for (int i = 0; !found && i < comboPort->count(); ++i) {
            if (i == selected) continue;
            if (tryPort(i)) {
                comboPort->setCurrentIndex(i);
                found = true;
            }
        }
        if (found) {
            lblPort->setText(comboPort->currentText());
            FVelmorant->SetPLCRunMode(rmPaused);
        }
        ShowConnectionState();
    }
    if (!found) {
        permissionDenied = permissionDenied || LastEnumerationHadPermissionDenied();
        if (permissionDenied) SetStatusText(std::string("Velmorant not found. ") + PermissionHelpText);
        if (ShowError)
            FUi->ShowError(this, permissionDenied
                                     ? std::string("Velmorant not found.\n\n") + PermissionHelpText
                                     : std::string("Velmorant not found."));
    }
    return FVelmorant->DevicePresent();
}

bool TformMain::RecallFromDevice(bool FromEEPROM, bool Ask) {
    if (!FVelmorant->DevicePresent()) return false;
    if (Ask && FUi->Ask(this, "Confirm", RecallQuestion, {mbYes, mbNo}) != mbYes) return false;
    if (!FVelmorant->RetreiveSettings(FromEEPROM)) return false;
    RefreshDisplay(true, true);
    return true;
}

void TformMain::ShowConnectionState() {
    const bool present = FVelmorant->DevicePresent();
    lblConnected->setText(
        present ? QString("CONNECTED to %1").arg(QString::fromStdString(FVelmorant->ComPortName()))
                : QString("NOT CONNECTED"));
    lblConnected->setStyleSheet(present ? "color: rgb(0, 128, 0);" : "color: rgb(255, 0, 0);");
    lblFirmware->setText(present ? QString::fromStdString(FVelmorant->Version()) : QString("?"));
    btnFind->setText(present ? "Disconnect" : "Connect");
    pnlComm->SetCollapsedCaption(QString("COM Port Connection (%1)").arg(lblConnected->text()));
    EnableConnectedControls(present);
    SetStatusText(std::string());
}

void TformMain::EnableConnectedControls(bool Connected) {
    btnFind->setChecked(Connected);
    comboPort->setEnabled(!Connected);
    btnRecallFromEEPROM->setEnabled(Connected);
    btnSaveToEEPROM->setEnabled(Connected);
    // Restarting a running timer would put its next tick off.
    if (!Connected)
        timerStatus->stop();
    else if (!timerStatus->isActive())
        timerStatus->start();
    miUpdateFirmware->setEnabled(Connected);
    tbtnRun->setEnabled(Connected);
    tbtnSingleStep->setEnabled(Connected);
    tbtnStop->setEnabled(Connected);
}

void TformMain::FillPortList() {
    comboPort->clear();
    TSerialPortSet ports;
    EnumerateSerialPorts(true, ports);
    for (size_t n = 0; n < ports.size(); ++n)
        if (ports[n]) comboPort->addItem(QString::fromStdString(SerialPortName(static_cast<uint8_t>(n))));
    comboPort->setCurrentIndex(comboPort->findText(lblPort->text()));
    btnFind->setEnabled(comboPort->count() > 0);
}

void TformMain::HandleDeviceError(const std::string& Text) {
    ShowConnectionState();
    if (FVelmorant->DevicePresent()) {
        SetStatusText(Text);
    } else {
        SetStatusText("Disconnected");
        FillPortList();
    }
}

void TformMain::btnFindClick() {
    if (btnFind->isChecked()) {
        if (ConnectToDevice(false)) RecallFromDevice(true, true);
    } else {
        FVelmorant->Disconnect();
        ShowConnectionState();
    }
}

void TformMain::comboPortClick() {
    if (comboPort->currentIndex() < 0) return;
    if (ConnectToDevice(true)) RecallFromDevice(true, true);
}

void TformMain::comboPortDropDown() {
    FillPortList();
}

// Finding the board, connecting and disconnecting, and showing the connection's state.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <vector>

#include "CollapsiblePanel.h"
#include "Controls.h"
#include "GeneralLib.h"
#include "IniFile.h"
#include "Main.h"
#include "NetPort.h"
#include "TrendsWnd.h"

const char* const PermissionHelpText =
    "A serial port could not be opened for lack of permission. Add your user to the \"dialout\" group "
    "(sudo usermod -aG dialout $USER), then log out and in again.";

namespace {

const char* const RecallQuestion =
    "Do you want to recall the settings from the Velmorant into the software? \r\nThis will overwrite any "
    "changes you've made in the software.";

}  // namespace

void TformMain::ConnectToDevice(bool ShowError, std::function<void()> Connected) {
    // The selected port first, then every other local one in list order. A network port is only
    // tried when chosen, and alone: the user asked for that machine's board, not for any board.
    std::vector<std::string> names;
    const int selected = comboPort->currentIndex();
    const auto usable = [this](int Index) { return comboPort->itemText(Index) != AddNetworkPortItem; };
    if (selected >= 0 && usable(selected)) names.push_back(comboPort->itemText(selected).toStdString());
    const bool networkChosen = !names.empty() && IsNetworkPortName(names.front());
    for (int i = 0; i < comboPort->count() && !networkChosen; ++i) {
        const std::string name = comboPort->itemText(i).toStdString();
        if (i != selected && usable(i) && !IsNetworkPortName(name)) names.push_back(name);
    }

    FSession->Connect(names, [this, ShowError, Connected](const TConnectOutcome& Outcome) {
        if (!Outcome.Found.empty()) {
            FSupervisor->SetPortName(Outcome.Found);
            comboPort->setCurrentIndex(comboPort->findText(QString::fromStdString(Outcome.Found)));
        }
        ShowConnectionState();
        if (FSession->State().DevicePresent) {
            if (Connected) Connected();
            return;
        }
        const bool permissionDenied = Outcome.PermissionDenied || FProber->PermissionDenied();
        if (permissionDenied) SetStatusText(std::string("Velmorant not found. ") + PermissionHelpText);
        if (ShowError)
            FUi->ShowError(this, permissionDenied
                                     ? std::string("Velmorant not found.\n\n") + PermissionHelpText
                                     : std::string("Velmorant not found."));
    });
}

void TformMain::RecallFromDevice(bool FromEEPROM, bool Ask, const std::string& DoneText) {
    if (!FSession->State().DevicePresent) return;
    if (Ask && FUi->Ask(this, "Confirm", RecallQuestion, {mbYes, mbNo}) != mbYes) return;
    FSession->Retrieve(FromEEPROM, [this, DoneText](bool Retrieved) {
        if (Retrieved && !DoneText.empty() && StatusText().empty()) SetStatusText(DoneText);
    });
}

void TformMain::ShowConnectionState() {
    const TBoardState& state = FSession->State();
    const bool present = state.DevicePresent;
    const QString port = QString::fromStdString(present ? state.ComPortName : state.LostPort);
    // Amber for a link in trouble: neither the connected green nor the idle red.
    const char* const troubleColour = "color: rgb(205, 110, 0);";
    if (state.Lost) {
        lblConnected->setText(QString("CONNECTION LOST: waiting for %1").arg(port));
        lblConnected->setStyleSheet(troubleColour);
    } else if (present && state.NoResponse) {
        lblConnected->setText(QString("NO RESPONSE from %1").arg(port));
        lblConnected->setStyleSheet(troubleColour);
    } else {
        lblConnected->setText(present ? QString("CONNECTED to %1").arg(port) : QString("NOT CONNECTED"));
        lblConnected->setStyleSheet(present ? "color: rgb(0, 128, 0);" : "color: rgb(255, 0, 0);");
    }
    lblFirmware->setText(present ? QString::fromStdString(state.Version) : QString("?"));
    // While waiting, the button ends the wait as it ends a connection.
    btnFind->setText(present || state.Lost ? "Disconnect" : "Connect");
    pnlComm->SetCollapsedCaption(QString("COM Port Connection (%1)").arg(lblConnected->text()));
    EnableConnectedControls(present);
    if (!present) UpdateDisplay(TTickReadings{}, false, false);
    SetStatusText(std::string());
}

void TformMain::OfferUnsavedChanges(const std::string& File) {
    const std::string question =
        "The Velmorant is back. The changes made before the connection was lost were not saved in its "
        "EEPROM, so the board no longer has them. They were kept in \"" +
        File + "\".\r\nDo you want to send them to the Velmorant now?";
    // Asked once: No ends it for good.
    FSupervisor->KeptChangesOffered();
    if (FUi->Ask(this, "Confirm", question, {mbYes, mbNo}) != mbYes) return;
    RecallSettingsFile(File);
}

void TformMain::EnableConnectedControls(bool Connected) {
    // While a lost board is awaited the button ends the wait and the port stays the one awaited.
    const bool awaited = FSession->State().Lost;
    btnFind->setChecked(Connected || awaited);
    comboPort->setEnabled(!Connected && !awaited);
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

void TformMain::ShowLongWork(bool) {
    EnableConnectedControls(FSession->State().DevicePresent);
}

void TformMain::FillPortList(std::function<void()> Then) {
    FProber->Probe([this, Then](const std::vector<std::string>& Names) {
        comboPort->clear();
        for (const std::string& name : Names) comboPort->addItem(QString::fromStdString(name));
        // Network ports are not probed: each would cost a connection, and a server may be far away.
        for (const std::string& name :
             ReadNetworkPortNames(TIniFile(ApplicationFolders.AppSettingsPath + "Velmorant.ini")))
            comboPort->addItem(QString::fromStdString(name));
        const bool anyPort = comboPort->count() > 0;
        comboPort->addItem(AddNetworkPortItem);
        comboPort->setCurrentIndex(comboPort->findText(QString::fromStdString(FSupervisor->PortName())));
        btnFind->setEnabled(anyPort);
        if (Then) Then();
    });
}

bool TformMain::AddNetworkPort() {
    const std::string& last = FSupervisor->PortName();
    std::string name = IsNetworkPortName(last) ? last : std::string("socket://");
    for (;;) {
        if (!FUi->AskText(this, "Add network port",
                          "A port served over the network, as socket://HOST:PORT (raw TCP) or "
                          "rfc2217://HOST:PORT.\nNeither has a password or encryption: over an untrusted "
                          "network, use an SSH tunnel to localhost.",
                          name))
            return false;
        TNetworkPortName parsed;
        std::string error;
        if (ParseNetworkPortName(name, parsed, error)) break;
        FUi->ShowError(this, error);
    }
    TIniFile ini(ApplicationFolders.AppSettingsPath + "Velmorant.ini");
    std::vector<std::string> names = ReadNetworkPortNames(ini);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    WriteNetworkPortNames(ini, names);
    FSupervisor->SetPortName(name);
    // The local ports are as they were: only the new name joins the list, before the last item.
    if (comboPort->findText(QString::fromStdString(name)) < 0)
        comboPort->insertItem(comboPort->count() - 1, QString::fromStdString(name));
    comboPort->setCurrentIndex(comboPort->findText(QString::fromStdString(name)));
    btnFind->setEnabled(true);
    return true;
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
        FSupervisor->Stop();
        FSession->Disconnect([this] { ShowConnectionState(); });
    }
}

void TformMain::comboPortClick() {
    if (comboPort->currentIndex() < 0) return;
    if (comboPort->currentText() == AddNetworkPortItem) {
        if (!AddNetworkPort()) {
            comboPort->setCurrentIndex(comboPort->findText(QString::fromStdString(FSupervisor->PortName())));
            return;
        }
    }
    ConnectToDevice(true, [this] { RecallFromDevice(true, true); });
}
void TformMain::comboPortDropDown() {
    FillPortList();
}

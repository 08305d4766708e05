#include "ConnectionPanel.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <vector>

#include "BoardSession.h"
#include "Controls.h"
#include "GeneralLib.h"
#include "IniFile.h"
#include "LinkSupervisor.h"
#include "Maker.h"
#include "NetPort.h"
#include "PanelSupport.h"
#include "Pictures.h"
#include "PlugWatcher.h"
#include "PortProber.h"
#include "SharedPorts.h"
#include "StatusLine.h"

using panels::BoldLabel;
using panels::Named;

TConnectionPanel::TConnectionPanel(TBoardSession& Session, TLinkSupervisor& Supervisor, TPortProber& Prober,
                                   TUiServices& Ui, TStatusLine& Status, QWidget* Parent)
    : TCollapsiblePanel("COM Port Connection", Parent),
      FSession(Session),
      FSupervisor(Supervisor),
      FProber(Prober),
      FUi(Ui),
      FStatus(Status),
      FPlugWatcher(new TPlugWatcher(this)) {
    setObjectName("pnlComm");
    SetColor(QColor(222, 230, 238));
    QWidget* body = Body();
    auto* grid = new QGridLayout(body);
    grid->setContentsMargins(8, 2, 8, 4);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(4);

    lblStatus = Named(new QLabel("Status:", body), "lblStatus");
    lblConnected = BoldLabel(" NOT CONNECTED", "lblConnected", body);
    lblConnected->setStyleSheet("color: rgb(255, 0, 0);");
    imgLogo = Named(new TClickableLabel(body), "imgLogo", MakerWebAddress);
    imgLogo->setPixmap(LogoPixmap(QSize(190, 48)));
    imgLogo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    pnlCOM = Named(new QWidget(body), "pnlCOM");
    auto* row = new QHBoxLayout(pnlCOM);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    comboPort = Named(new TDropDownComboBox(pnlCOM), "comboPort");
    comboPort->setEditable(false);
    comboPort->setMinimumWidth(90);
    // A shared board's name is long: the list is as wide as its longest entry.
    comboPort->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    btnFind = Named(new QPushButton("Connect", pnlCOM), "btnFind",
                    "Click to try to connect to the Velmorant on the specified port.");
    btnFind->setCheckable(true);
    btnFind->setMinimumWidth(90);
    lblVersion = Named(new QLabel("Firmware Version:", pnlCOM), "lblVersion");
    lblFirmware = BoldLabel("?.?", "lblFirmware", pnlCOM);
    row->addWidget(comboPort);
    row->addWidget(btnFind);
    row->addSpacing(16);
    row->addWidget(lblVersion);
    row->addWidget(lblFirmware);
    row->addStretch(1);

    auto* status = new QHBoxLayout;
    status->setSpacing(4);
    status->addWidget(lblStatus);
    status->addWidget(lblConnected);
    status->addStretch(1);
    grid->addLayout(status, 0, 0);
    grid->addWidget(pnlCOM, 1, 0);
    grid->addWidget(imgLogo, 0, 1, 2, 1);
    grid->setColumnStretch(0, 1);

    connect(imgLogo, &TClickableLabel::Clicked, this, Guarded(FUi, this, [this] { imgLogoClick(); }));
    connect(btnFind, &QPushButton::clicked, this, Guarded(FUi, this, [this] { btnFindClick(); }));
    connect(comboPort, &QComboBox::activated, this, Guarded(FUi, this, [this] { comboPortClick(); }));
    connect(comboPort, &TDropDownComboBox::DropDown, this,
            Guarded(FUi, this, [this] { comboPortDropDown(); }));
    connect(FPlugWatcher, &TPlugWatcher::Plugged, this,
            Guarded(FUi, this, [this](const QStringList& Names) { TryPlugged(Names); }));
}

void TConnectionPanel::WatchForBoards(bool On) {
    FPlugWatcher->SetWatching(On);
}

void TConnectionPanel::TryPlugged(const QStringList& Names) {
    if (FSession.State().DevicePresent || FSession.State().Lost || !FSession.Idle()) return;
    std::vector<std::string> names;
    for (const QString& name : Names)
        if (name.toStdString() != FLeftPort) names.push_back(name.toStdString());
    if (names.empty()) return;
    // Only the new ports: the others were there before and had no board, or one the user left.
    FillPortList([this, names] {
        // The user may have connected while the list was made.
        if (FSession.State().DevicePresent || FSession.State().Lost) return;
        FSession.Connect(names, [this](const TConnectOutcome& Outcome) {
            if (Outcome.Found.empty()) return;
            FSupervisor.SetPortName(Outcome.Found);
            comboPort->setCurrentIndex(IndexOfPort(Outcome.Found));
            emit AttemptEnded();
            if (FSession.State().DevicePresent) emit UserConnected();
        });
    });
}

void TConnectionPanel::ConnectToDevice(bool ShowError, std::function<void()> Connected) {
    FLeftPort.clear();
    // The selected port first, then every other local one in list order. A network port is only
    // tried when chosen, and alone: the user asked for that machine's board, not for any board.
    std::vector<std::string> names;
    const int selected = comboPort->currentIndex();
    const auto usable = [this](int Index) { return comboPort->itemText(Index) != AddNetworkPortItem; };
    if (selected >= 0 && usable(selected)) names.push_back(PortOfItem(selected));
    const bool networkChosen = !names.empty() && IsNetworkPortName(names.front());
    for (int i = 0; i < comboPort->count() && !networkChosen; ++i) {
        const std::string name = PortOfItem(i);
        if (i != selected && usable(i) && !IsNetworkPortName(name)) names.push_back(name);
    }

    FSession.Connect(names, [this, ShowError, Connected](const TConnectOutcome& Outcome) {
        if (!Outcome.Found.empty()) {
            FSupervisor.SetPortName(Outcome.Found);
            comboPort->setCurrentIndex(IndexOfPort(Outcome.Found));
        }
        emit AttemptEnded();
        if (FSession.State().DevicePresent) {
            // The lamp says it; the list of messages keeps when, and which board.
            FStatus.Note("Connected to the Velmorant on " + FSession.State().ComPortName + ", firmware " +
                         FSession.State().Version);
            if (Connected) Connected();
            return;
        }
        const bool permissionDenied = Outcome.PermissionDenied || FProber.PermissionDenied();
        if (permissionDenied) FStatus.SetText(std::string("Velmorant not found. ") + SerialPermissionAdvice);
        if (ShowError)
            FUi.ShowError(window(), permissionDenied
                                        ? std::string("Velmorant not found.\n\n") + SerialPermissionAdvice
                                        : std::string("Velmorant not found."));
    });
}

void TConnectionPanel::ShowState(const TBoardState& State) {
    const bool present = State.DevicePresent;
    // A shared board by its own port and its service, as the list names it.
    const std::string name = present ? State.ComPortName : State.LostPort;
    const auto shared =
        std::find_if(FShared.begin(), FShared.end(),
                     [&name](const TSharedPortNotice& Notice) { return Notice.Address == name; });
    const QString port = QString::fromStdString(shared != FShared.end() ? SharedPortCaption(*shared) : name);
    // Amber for a link in trouble: neither the connected green nor the idle red.
    const char* const troubleColour = "color: rgb(205, 110, 0);";
    if (State.Lost) {
        lblConnected->setText(QString("CONNECTION LOST: waiting for %1").arg(port));
        lblConnected->setStyleSheet(troubleColour);
    } else if (present && State.NoResponse) {
        lblConnected->setText(QString("NO RESPONSE from %1").arg(port));
        lblConnected->setStyleSheet(troubleColour);
    } else {
        lblConnected->setText(present ? QString("CONNECTED to %1").arg(port) : QString("NOT CONNECTED"));
        lblConnected->setStyleSheet(present ? "color: rgb(0, 128, 0);" : "color: rgb(255, 0, 0);");
    }
    lblFirmware->setText(present ? QString::fromStdString(State.Version) : QString("?"));
    // While waiting, the button ends the wait as it ends a connection.
    btnFind->setText(present || State.Lost ? "Disconnect" : "Connect");
    SetCollapsedCaption(QString("COM Port Connection (%1)").arg(lblConnected->text()));
}

void TConnectionPanel::EnableConnected(bool Connected) {
    // While a lost board is awaited the button ends the wait and the port stays the one awaited.
    const bool awaited = FSession.State().Lost;
    btnFind->setChecked(Connected || awaited);
    comboPort->setEnabled(!Connected && !awaited);
}

void TConnectionPanel::FillPortList(std::function<void()> Then) {
    FProber.Probe([this, Then](const std::vector<std::string>& Names) {
        comboPort->clear();
        for (const std::string& name : Names) comboPort->addItem(QString::fromStdString(name));
        // Network ports are not probed: each would cost a connection, and a server may be far away.
        for (const std::string& name :
             ReadNetworkPortNames(TIniFile(ApplicationFolders.AppSettingsPath + "Velmorant.ini")))
            comboPort->addItem(QString::fromStdString(name));
        // A board a service on this machine shares: listed by its own port, reached at the service's.
        FShared = FindSharedPorts(SharedPortFolders());
        for (const TSharedPortNotice& shared : FShared)
            if (IndexOfPort(shared.Address) < 0)
                comboPort->addItem(QString::fromStdString(SharedPortCaption(shared)),
                                   QString::fromStdString(shared.Address));
        const bool anyPort = comboPort->count() > 0;
        comboPort->addItem(AddNetworkPortItem);
        comboPort->setCurrentIndex(IndexOfPort(FSupervisor.PortName()));
        btnFind->setEnabled(anyPort);
        if (Then) Then();
    });
}

std::string TConnectionPanel::PortOfItem(int Index) const {
    const QVariant shared = comboPort->itemData(Index);
    return (shared.isValid() ? shared.toString() : comboPort->itemText(Index)).toStdString();
}

int TConnectionPanel::IndexOfPort(const std::string& Name) const {
    const int shared = comboPort->findData(QString::fromStdString(Name));
    return shared >= 0 ? shared : comboPort->findText(QString::fromStdString(Name));
}

bool TConnectionPanel::AddNetworkPort() {
    const std::string& last = FSupervisor.PortName();
    std::string name = IsNetworkPortName(last) ? last : std::string("socket://");
    for (;;) {
        if (!FUi.AskText(window(), "Add network port",
                         "A port served over the network, as socket://HOST:PORT (raw TCP) or "
                         "rfc2217://HOST:PORT.\nNeither has a password or encryption: over an untrusted "
                         "network, use an SSH tunnel to localhost.",
                         name))
            return false;
        TNetworkPortName parsed;
        std::string error;
        if (ParseNetworkPortName(name, parsed, error)) break;
        FUi.ShowError(window(), error);
    }
    TIniFile ini(ApplicationFolders.AppSettingsPath + "Velmorant.ini");
    std::vector<std::string> names = ReadNetworkPortNames(ini);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    WriteNetworkPortNames(ini, names);
    FSupervisor.SetPortName(name);
    // The local ports are as they were: only the new name joins the list, before the last item.
    if (IndexOfPort(name) < 0) comboPort->insertItem(comboPort->count() - 1, QString::fromStdString(name));
    comboPort->setCurrentIndex(IndexOfPort(name));
    btnFind->setEnabled(true);
    return true;
}

void TConnectionPanel::btnFindClick() {
    if (btnFind->isChecked())
        ConnectToDevice(false, [this] { emit UserConnected(); });
    else {
        FLeftPort = FSupervisor.PortName();
        emit DisconnectRequested();
    }
}

void TConnectionPanel::comboPortClick() {
    if (comboPort->currentIndex() < 0) return;
    if (comboPort->currentText() == AddNetworkPortItem) {
        if (!AddNetworkPort()) {
            comboPort->setCurrentIndex(IndexOfPort(FSupervisor.PortName()));
            return;
        }
    }
    ConnectToDevice(true, [this] { emit UserConnected(); });
}

void TConnectionPanel::comboPortDropDown() {
    FillPortList();
}

void TConnectionPanel::imgLogoClick() {
    FUi.OpenUrl(MakerWebAddress);
}

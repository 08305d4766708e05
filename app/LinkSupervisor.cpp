// The link supervisor: lost, silent, waiting and connecting again.
#include "LinkSupervisor.h"

#include <unistd.h>

#include <QTimer>
#include <algorithm>

#include "BoardSession.h"
#include "NetPort.h"
#include "SerialPort.h"

TLinkSupervisor::TLinkSupervisor(TBoardSession& Session, QObject* Parent)
    : QObject(Parent), FSession(Session), FTimer(new QTimer(this)) {
    // About once a second: cheap (a look at the port's node) and soon enough for a replugged cable.
    FTimer->setInterval(1000);
    connect(FTimer, &QTimer::timeout, this, &TLinkSupervisor::TryReconnect);
    connect(&FSession, &TBoardSession::LinkChanged, this, &TLinkSupervisor::LinkChanged);
    FReread = new QTimer(this);
    FReread->setSingleShot(true);
    connect(FReread, &QTimer::timeout, this, [this] {
        const TBoardState& state = FSession.State();
        if (!state.DevicePresent || state.SettingsKnown || FClosing) return;
        FSession.Retrieve(false, [this](bool) { RereadLater(); });
    });
}

void TLinkSupervisor::RereadLater() {
    if (!FRereads || FSession.State().SettingsKnown) return;
    FReread->start(FReread->interval() == 0 ? FirstRereadMs
                                            : std::min(FReread->interval() * 2, LastRereadMs));
}

void TLinkSupervisor::Stop() {
    FTimer->stop();
    FReread->stop();
    FReconnecting = false;
    FKeptFile.clear();
}

void TLinkSupervisor::KeptChangesOffered() {
    FKeptFile.clear();
    FSession.ForgetKeptChanges();
}

void TLinkSupervisor::LinkChanged(const TBoardState& State) {
    if (State.DevicePresent && !FWasPresent) emit NewConnection();
    FWasPresent = State.DevicePresent;
    if (State.Lost) {
        // An attempt that Disconnect dropped never reported back.
        FReconnecting = false;
        if (!State.UnsavedFile.empty()) FKeptFile = State.UnsavedFile;
        FTimer->start();
        FAwaySaid = false;
        FAwayReason.clear();
        emit Lost(QString::fromStdString(State.LostPort), QString::fromStdString(FKeptFile));
        return;
    }
    FTimer->stop();
    if (State.NoResponse) emit Silent(QString::fromStdString(State.ComPortName));
}

void TLinkSupervisor::TryReconnect() {
    const TBoardState& state = FSession.State();
    if (!state.Lost || FReconnecting || FClosing) return;
    // Only the port the board was on, and only once its node is there again: other devices' ports
    // are never opened.
    const std::string& port = state.LostPort;
    if (!IsNetworkPortName(port) && access(SerialDevicePath(port).c_str(), F_OK) != 0) return Away(port, {});
    FReconnecting = true;
    // A Disconnect meanwhile drops the result, and with it everything that would follow.
    FSession.Reconnect([this, port](bool Found, const std::string& Reason) {
        FReconnecting = false;
        if (!Found) return Away(port, Reason);
        FPortName = FSession.State().ComPortName;
        ReadBack();
    });
}

void TLinkSupervisor::ReadBack() {
    emit ReadingBack();
    // As it is, without "RECALL": a board that never lost power still has the changes not saved in
    // its EEPROM, and reloading the EEPROM would wipe them.
    FSession.Retrieve(false, [this](bool) {
        const QString port = QString::fromStdString(FPortName);
        FReread->setInterval(0);
        RereadLater();
        emit Reconnected(port);
        if (FKeptFile.empty()) return;
        FSession.DiffersFromFile(FKeptFile, [this](bool Differs) {
            if (Differs)
                emit OfferKeptChanges(QString::fromStdString(FKeptFile));
            else
                KeptChangesOffered();
        });
    });
}

void TLinkSupervisor::Away(const std::string& Port, const std::string& Reason) {
    if (FAwaySaid && (Reason.empty() || Reason == FAwayReason)) return;
    FAwaySaid = true;
    if (!Reason.empty()) FAwayReason = Reason;
    emit StillAway(QString::fromStdString(Port), QString::fromStdString(Reason));
}

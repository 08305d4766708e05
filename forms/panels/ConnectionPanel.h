#pragma once
// The COM port connection panel: the port list, Connect/Disconnect, the link's state and the
// board's firmware version.
#include <functional>
#include <string>
#include <vector>

#include "CollapsiblePanel.h"
#include "SharedPorts.h"

class QLabel;
class QPushButton;
class TBoardSession;
struct TBoardState;
class TClickableLabel;
class TDropDownComboBox;
class TLinkSupervisor;
class TPlugWatcher;
class TPortProber;
class TStatusLine;
class TUiServices;

// The port list's last item, which asks for a network port name.
inline constexpr const char* AddNetworkPortItem = "Add network port...";

class TConnectionPanel : public TCollapsiblePanel {
    Q_OBJECT
public:
    TConnectionPanel(TBoardSession& Session, TLinkSupervisor& Supervisor, TPortProber& Prober,
                     TUiServices& Ui, TStatusLine& Status, QWidget* Parent = nullptr);

    // Seeks the board on the chosen port, then on every other; Connected runs once one answered.
    void ConnectToDevice(bool ShowError, std::function<void()> Connected = {});
    // Probes the ports beside the window, then fills the list and runs Then.
    void FillPortList(std::function<void()> Then = {});
    // Asks for a network port name, keeps it in Velmorant.ini and selects it; false when cancelled.
    bool AddNetworkPort();
    // The link's state as the session holds it.
    void ShowState(const TBoardState& State);
    void EnableConnected(bool Connected);
    // While on, a port that appears is tried at once, and a board on it connects as by Connect.
    void WatchForBoards(bool On);

    void btnFindClick();
    void comboPortClick();
    void comboPortDropDown();
    void imgLogoClick();

signals:
    // A connection attempt has its answer, before what follows from it.
    void AttemptEnded();
    // The user connected to a board: its settings may be recalled into the program.
    void UserConnected();
    // The user ended the connection (or the wait for a lost board).
    void DisconnectRequested();

private:
    void TryPlugged(const QStringList& Names);
    // The port an item of the list stands for: a shared board's item names its board and holds the
    // service's address.
    std::string PortOfItem(int Index) const;
    int IndexOfPort(const std::string& Name) const;

    TBoardSession& FSession;
    TLinkSupervisor& FSupervisor;
    TPortProber& FProber;
    TUiServices& FUi;
    TStatusLine& FStatus;
    TPlugWatcher* FPlugWatcher;
    // The boards services on this machine share, as the list was last filled.
    std::vector<TSharedPortNotice> FShared;
    // The port the user disconnected from: a board there comes back only when the user asks.
    std::string FLeftPort;
    QLabel* lblStatus;
    QLabel* lblConnected;
    TClickableLabel* imgLogo;
    QWidget* pnlCOM;
    TDropDownComboBox* comboPort;
    QPushButton* btnFind;
    QLabel* lblVersion;
    QLabel* lblFirmware;
};

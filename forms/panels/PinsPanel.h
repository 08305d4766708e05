#pragma once
// The digital I/O pins panel: six ports of eight pins, their states, directions and comments, and
// the pull-ups of ports 0 and 2.
#include <array>
#include <cstdint>
#include <string>

#include "CollapsiblePanel.h"
#include "Device_VL.h"

class QCheckBox;
class QTableWidget;
class TBoardSession;
class TCaptionPanel;
class TUiServices;
struct TBoardState;
struct TTickReadings;

// Columns of the port grids. The virtual ports have the same columns with Direction and
// Comment hidden, so one handler serves all six grids.
enum TPortColumn : int { pcPin = 0, pcState = 1, pcDirection = 2, pcComment = 3 };

// True when bit Bit (0..7) of Value is 1.
bool IsBitSet(uint8_t Value, int Bit);
// Sets bit Bit (0..7) of Value when State, clears it otherwise; the other bits stay.
void SetBitInByte(int Bit, bool State, uint8_t& Value);

class TPinsPanel : public TCollapsiblePanel {
    Q_OBJECT
public:
    TPinsPanel(TBoardSession& Session, TUiServices& Ui, QWidget* Parent = nullptr);

    // The pins' states of a tick; a failed port keeps its last good states, marked as out of date.
    void ShowReadings(const TTickReadings& Readings);
    // Directions, comments and pull-ups as the session holds them, without sending them back.
    void ShowSettings(const TBoardState& State);
    // The grid of port Port (0..5), for the window's layout and its tests.
    QTableWidget* PortGrid(int Port) const { return gridPort.at(static_cast<size_t>(Port)); }

    void PortGridCellClick(QTableWidget* Sender, int ACol, int ARow);
    void PortGridAfterEdit(QTableWidget* Sender, int ACol, int ARow, const std::string& Value);
    void DirectionListCloseUp(QTableWidget* Sender, QWidget* Editor);
    // Port is the port of the box the user clicked (0 or 2).
    void PullupBoxClick(int Port, bool Checked);

signals:
    // A click that cannot do what it asks, and why, for the status bar.
    void Refused(const QString& Why);

protected:
    // Space on a State cell toggles its pin, as a click does.
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    QTableWidget* CreatePortGrid(int Port);
    // The port whose grid Grid is (0..5).
    int PortOfGrid(const QTableWidget* Grid) const;

    TBoardSession& FSession;
    TUiServices& FUi;
    std::array<TCaptionPanel*, TVelmorant::PortCountConst> pnlPort{};
    std::array<QTableWidget*, TVelmorant::PortCountConst> gridPort{};
    QCheckBox* chkPullupPort0;
    QCheckBox* chkPullupPort2;
};

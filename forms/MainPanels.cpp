// What the user's actions in the port, pin and analog panels send to the board.
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTableWidget>
#include <algorithm>

#include "GridDelegates.h"
#include "Main.h"

namespace {

TDropDownDelegate* DirectionColumn(const QTableWidget* Grid) {
    return qobject_cast<TDropDownDelegate*>(Grid->itemDelegateForColumn(pcDirection));
}

// Index of a Direction cell's text among the column's items ("Output" 0, "Input" 1), -1 for none:
// what the user just chose in the cell's list.
int DirectionIndex(const QTableWidget* Grid, int Row) {
    const TDropDownDelegate* column = DirectionColumn(Grid);
    return column != nullptr ? column->Items().indexOf(Grid->item(Row, pcDirection)->text()) : -1;
}

}  // namespace

int TformMain::PortOfGrid(const QTableWidget* Grid) const {
    return static_cast<int>(std::find(gridPort.begin(), gridPort.end(), Grid) - gridPort.begin());
}

void TformMain::gridPort0CellClick(QTableWidget* Sender, int ACol, int ARow) {
    if (ACol != pcState) return;
    const TBoardState& state = FSession->State();
    const int port = PortOfGrid(Sender);
    // The virtual ports have no direction: every pin of theirs can be written.
    if (port <= 2 && IsBitSet(state.Directions[port], ARow)) return;
    // A pin whose state the board did not tell cannot be toggled.
    const std::optional<int>& reading = state.Readings.Ports[port];
    if (!reading) return;
    const int pin = port * 8 + ARow;
    FSession->SetPinState(pin, !IsBitSet(static_cast<uint8_t>(*reading), ARow));
}

void TformMain::gridPort0AfterEdit(QTableWidget* Sender, int ACol, int ARow, const std::string& Value) {
    if (ACol != pcComment) return;
    FSession->SetPinComment(PortOfGrid(Sender) * 8 + ARow, Value);
}

void TformMain::colDir0CloseUp(QTableWidget* Sender, QWidget* Editor) {
    if (TDropDownDelegate* column = DirectionColumn(Sender)) column->CommitAndClose(Editor);
    const int pin = Sender->currentRow();
    if (pin < 0 || pin > 7) return;
    FSession->SetDirection(PortOfGrid(Sender), pin, DirectionIndex(Sender, pin) != 0);
}

void TformMain::chkPullupPort0Click(int Port, bool Checked) {
    // Both ports' pull-ups go out, the other as the session holds it.
    const TBoardState& state = FSession->State();
    FSession->SetPullups(Port == 0 ? Checked : state.Pullups[0], Port == 2 ? Checked : state.Pullups[2]);
}

void TformMain::cmbxPeriodChange() {
    FSession->SetUpdatePeriod(cmbxPeriod->currentIndex());
}

void TformMain::spinThermOffsetChange() {
    // Typing alone sends nothing; the offset goes out when the box is left.
}

void TformMain::spinThermOffsetExit() {
    spinThermOffset->interpretText();
    FSession->SetADCOffset(4, spinThermOffset->value());
}

void TformMain::btnRecallFromEEPROMClick() {
    if (FSession->LongWorkPending()) return;
    RecallFromDevice(true, true, "Settings recalled from the EEPROM on the Velmorant");
}

void TformMain::btnSaveToEEPROMClick() {
    if (FSession->LongWorkPending()) return;
    FSession->SaveToEEPROM([this](bool Saved) {
        if (Saved) SetStatusText("Settings saved in the EEPROM on the Velmorant");
    });
}

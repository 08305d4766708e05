// What the user's actions in the port, pin and analog panels send to the board.
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTableWidget>

#include "GridDelegates.h"
#include "Main.h"

namespace {

int PortOf(const QTableWidget* Grid) {
    return Grid->property("Tag").toInt();
}

TDropDownDelegate* DirectionColumn(const QTableWidget* Grid) {
    return qobject_cast<TDropDownDelegate*>(Grid->itemDelegateForColumn(pcDirection));
}

// Index of a Direction cell's text among the column's items ("Output" 0, "Input" 1), -1 for none.
int DirectionIndex(const QTableWidget* Grid, int Row) {
    const TDropDownDelegate* column = DirectionColumn(Grid);
    return column != nullptr ? column->Items().indexOf(Grid->item(Row, pcDirection)->text()) : -1;
}

}  // namespace

void TformMain::gridPort0CellClick(QTableWidget* Sender, int ACol, int ARow) {
    if (ACol != pcState) return;
    const int port = PortOf(Sender);
    // The virtual ports have no direction: every pin of theirs can be written.
    const int direction = port <= 2 ? DirectionIndex(Sender, ARow) : 0;
    if (direction != 0) return;
    const bool on = Sender->item(ARow, pcState)->data(Qt::DisplayRole).toInt() != 0;
    FVelmorant->SetPinState(port * 8 + ARow, !on);
}

void TformMain::gridPort0AfterEdit(QTableWidget* Sender, int ACol, int ARow, const std::string&) {
    if (ACol != pcComment) return;
    FVelmorant->SetPinComment(PortOf(Sender) * 8 + ARow, Sender->item(ARow, pcComment)->text().toStdString());
}

void TformMain::colDir0CloseUp(QTableWidget* Sender, QWidget* Editor) {
    if (TDropDownDelegate* column = DirectionColumn(Sender)) column->CommitAndClose(Editor);
    const int port = PortOf(Sender);
    const int pin = Sender->currentRow();
    if (pin < 0 || pin > 7) return;
    const int index = DirectionIndex(Sender, pin);
    // The whole byte goes out, also when the item chosen is the one shown before.
    uint8_t direction = FVelmorant->GetPortDirection(port);
    SetBitInByte(pin, index != 0, direction);
    FVelmorant->SetPortDirection(port, direction);
}

void TformMain::chkPullupPort0Click() {
    if (FTag != 0) return;
    FVelmorant->SetPullupsEnabled(0, chkPullupPort0->isChecked());
    FVelmorant->SetPullupsEnabled(2, chkPullupPort2->isChecked());
}

void TformMain::cmbxPeriodChange() {
    FVelmorant->SetUpdatePeriod(cmbxPeriod->currentIndex());
}

void TformMain::spinThermOffsetChange() {
    // Typing alone sends nothing; the offset goes out when the box is left.
}

void TformMain::spinThermOffsetExit() {
    spinThermOffset->interpretText();
    FVelmorant->SetADCOffset(4, spinThermOffset->value());
}

void TformMain::btnRecallFromEEPROMClick() {
    RecallFromDevice(true, true);
}

void TformMain::btnSaveToEEPROMClick() {
    FVelmorant->SaveSettingsInEEPROM();
}

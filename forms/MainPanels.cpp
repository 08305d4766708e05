// What the user's actions in the port, pin and analog panels send to the board.
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTableWidget>
#include <memory>

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
    const int pin = port * 8 + ARow;
    FSession->Post([pin, on](TVelmorant& V) { V.SetPinState(pin, !on); });
}

void TformMain::gridPort0AfterEdit(QTableWidget* Sender, int ACol, int ARow, const std::string&) {
    if (ACol != pcComment) return;
    const int pin = PortOf(Sender) * 8 + ARow;
    const std::string comment = Sender->item(ARow, pcComment)->text().toStdString();
    FSession->Post([pin, comment](TVelmorant& V) { V.SetPinComment(pin, comment); });
}

void TformMain::colDir0CloseUp(QTableWidget* Sender, QWidget* Editor) {
    if (TDropDownDelegate* column = DirectionColumn(Sender)) column->CommitAndClose(Editor);
    const int port = PortOf(Sender);
    const int pin = Sender->currentRow();
    if (pin < 0 || pin > 7) return;
    const int index = DirectionIndex(Sender, pin);
    // The whole byte goes out, also when the item chosen is the one shown before. It is formed on the
    // board's side, after the changes posted before this one.
    FSession->Post([port, pin, index](TVelmorant& V) {
        uint8_t direction = V.GetPortDirection(port);
        SetBitInByte(pin, index != 0, direction);
        V.SetPortDirection(port, direction);
    });
}

void TformMain::chkPullupPort0Click() {
    const bool port0 = chkPullupPort0->isChecked();
    const bool port2 = chkPullupPort2->isChecked();
    FSession->Post([port0, port2](TVelmorant& V) {
        V.SetPullupsEnabled(0, port0);
        V.SetPullupsEnabled(2, port2);
    });
}

void TformMain::cmbxPeriodChange() {
    const int period = cmbxPeriod->currentIndex();
    FSession->Post([period](TVelmorant& V) { V.SetUpdatePeriod(period); });
}

void TformMain::spinThermOffsetChange() {
    // Typing alone sends nothing; the offset goes out when the box is left.
}

void TformMain::spinThermOffsetExit() {
    spinThermOffset->interpretText();
    const int offset = spinThermOffset->value();
    FSession->Post([offset](TVelmorant& V) { V.SetADCOffset(4, offset); });
}

void TformMain::btnRecallFromEEPROMClick() {
    if (FSession->LongWorkPending()) return;
    RecallFromDevice(true, true, "Settings recalled from the EEPROM on the Velmorant");
}

void TformMain::btnSaveToEEPROMClick() {
    if (FSession->LongWorkPending()) return;
    auto saved = std::make_shared<bool>(false);
    FSession->Post([saved](TVelmorant& V) { *saved = V.SaveSettingsInEEPROM(); },
                   [this, saved] {
                       if (*saved) SetStatusText("Settings saved in the EEPROM on the Velmorant");
                   },
                   jkLong);
}

// The live monitor: the status timer and the display update that reads the board.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <cstdio>

#include "Controls.h"
#include "Main.h"

namespace {

// Clears the busy mark however the update ends.
struct TTagReset {
    int& Tag;
    ~TTagReset() { Tag = 0; }
};

QTableWidgetItem* CellOf(QTableWidget* Grid, int Row, int Col, bool Editable) {
    QTableWidgetItem* item = Grid->item(Row, Col);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        if (!Editable) item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        Grid->setItem(Row, Col, item);
    }
    return item;
}

}  // namespace

bool IsBitSet(uint8_t Value, int Bit) {
    return ((Value >> Bit) & 1u) != 0;
}

void SetBitInByte(int Bit, bool State, uint8_t& Value) {
    const auto mask = static_cast<uint8_t>(1u << Bit);
    Value = State ? static_cast<uint8_t>(Value | mask) : static_cast<uint8_t>(Value & ~mask);
}

std::string TemperatureText(int DegF) {
    // The product in integers, the division in floating point; the decimal separator is the locale's.
    char text[64];
    std::snprintf(text, sizeof text, "Temperature = %dF (%.1fC)", DegF, ((DegF - 32) * 5) / 9.0);
    return text;
}

void TformMain::timerStatusTimer() {
    if (!FVelmorant->DevicePresent()) {
        timerStatus->stop();
        return;
    }
    const std::string row = UpdateDisplay(false, false);
    LogRow(row);
}

std::string TformMain::UpdateDisplay(bool ShowSettings, bool ShowProgram) {
    FTag = 1;
    TTagReset reset{FTag};
    std::string row;
    const auto append = [&row](int Value) { row += std::to_string(Value) + ","; };

    if (ShowSettings) {
        chkPullupPort0->setChecked(FVelmorant->GetPullupsEnabled(0));
        chkPullupPort2->setChecked(FVelmorant->GetPullupsEnabled(2));
        cmbxPeriod->setCurrentIndex(FVelmorant->UpdatePeriod());
        for (int port = 0; port <= 2; ++port) {
            const uint8_t direction = FVelmorant->GetPortDirection(port);
            for (int pin = 0; pin < 8; ++pin)
                gridPort[port]
                    ->item(pin, pcDirection)
                    ->setText(IsBitSet(direction, pin) ? "Input" : "Output");
            for (int pin = 0; pin < 8; ++pin)
                gridPort[port]
                    ->item(pin, pcComment)
                    ->setText(QString::fromStdString(FVelmorant->GetPinComment(port * 8 + pin)));
        }
        spinThermOffset->setValue(FVelmorant->GetADCOffset(4));
    }

    for (int port = 0; port < TVelmorant::PortCountConst; ++port) {
        const int state = FVelmorant->GetPortState(port);
        append(state);
        for (int pin = 0; pin < 8; ++pin)
            gridPort[port]->item(pin, pcState)->setData(Qt::DisplayRole, state & (1 << pin));
    }

    const bool tenBits = chkShowTenBits->isChecked();
    for (int input = 0; input < TVelmorant::AnalogInputCount; ++input) {
        const int raw = FVelmorant->GetAnalogInputValue(input);
        append(raw);
        QTableWidget* grid = input < 3 ? gridAnalog1 : gridAnalog2;
        const int gridRow = input < 3 ? input : input - 3;
        grid->item(gridRow, acValue)->setData(Qt::DisplayRole, tenBits ? raw : raw >> 2);
        grid->item(gridRow, acGauge)->setData(Qt::DisplayRole, raw);
    }

    const int temperature = FVelmorant->Temperature();
    append(temperature);
    lblTemp->setText(QString::fromStdString(TemperatureText(temperature)));

    ShowPLCState(FVelmorant->PLCEnabled(), FVelmorant->PLCRunMode());
    if (ShowProgram) {
        gridProgram->setRowCount(FVelmorant->ProgramLineCount());
        for (int line = 0; line < gridProgram->rowCount(); ++line) ShowProgramLine(line);
    }
    return row;
}

void TformMain::RefreshDisplay(bool ShowSettings, bool ShowProgram) {
    UpdateDisplay(ShowSettings, ShowProgram);
}

void TformMain::ShowPLCState(bool PLCEnabled, TPLCRunMode RunMode) {
    tbtnRun->SetPressed(RunMode == rmRun);
    tbtnSingleStep->SetPressed(RunMode == rmStep);
    tbtnStop->SetPressed(RunMode == rmPaused);
    chkPLCEnabled->setChecked(PLCEnabled);
    tbarProgram->setEnabled(PLCEnabled);
    gridProgram->setEnabled(PLCEnabled);
}

void TformMain::ShowProgramLine(int Index) {
    const TProgramLine line = FVelmorant->GetProgramLine(Index);
    CellOf(gridProgram, Index, pgLineNo, false)->setText(QString::number(Index));
    CellOf(gridProgram, Index, pgCode, true)->setText(QString::fromStdString(ProgramLineToText(line)));
    CellOf(gridProgram, Index, pgComments, true)->setText(QString::fromStdString(line.Comment));
    CellOf(gridProgram, Index, pgErrors, false);
    // The row header is the current-line indicator, not a second line number.
    if (gridProgram->verticalHeaderItem(Index) == nullptr)
        gridProgram->setVerticalHeaderItem(Index, new QTableWidgetItem(QString()));
}

// The live monitor: the status timer and the display update that reads the board.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <cstdio>

#include "Controls.h"
#include "Conversions.h"
#include "GridDelegates.h"
#include "Main.h"
#include "ProgramGridMarks.h"
#include "TrendsWnd.h"

namespace {

// Shows whether a cell holds a live reading or the last good one.
void MarkStale(QTableWidgetItem* Item, bool Stale) {
    Item->setData(StaleRole, Stale);
    Item->setForeground(Stale ? QBrush(QColor(150, 150, 150)) : QBrush());
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
    // The decimal separator is the locale's.
    char text[64];
    std::snprintf(text, sizeof text, "Temperature = %dF (%.1fC)", DegF, CelsiusOf(DegF));
    return text;
}

void TformMain::timerStatusTimer() {
    if (!FSession->State().DevicePresent) {
        timerStatus->stop();
        return;
    }
    // A tick still waiting on a slow board makes this one unnecessary.
    FSession->Tick();
}

void TformMain::ShowTick(const TTickReadings& Readings) {
    UpdateDisplay(Readings, false, false);
    LogRow(Readings);
    if (FTrends != nullptr) FTrends->AddTick(Readings);
}

std::string TformMain::UpdateDisplay(const TTickReadings& Readings, bool ShowSettings, bool ShowProgram) {
    const TBoardState& state = FSession->State();
    if (ShowSettings) PaintSettings();

    // A read that failed leaves the last good value in place, marked as out of date.
    for (int port = 0; port < TVelmorant::PortCountConst; ++port) {
        const std::optional<int>& value = Readings.Ports[port];
        for (int pin = 0; pin < 8; ++pin) {
            QTableWidgetItem* cell = gridPort[port]->item(pin, pcState);
            if (value) cell->setData(Qt::DisplayRole, *value & (1 << pin));
            MarkStale(cell, !value);
        }
    }

    const bool tenBits = chkShowTenBits->isChecked();
    for (int input = 0; input < TVelmorant::AnalogInputCount; ++input) {
        const std::optional<int>& raw = Readings.Analog[input];
        QTableWidget* grid = input < 3 ? gridAnalog1 : gridAnalog2;
        const int gridRow = input < 3 ? input : input - 3;
        if (raw) {
            grid->item(gridRow, acValue)->setData(Qt::DisplayRole, tenBits ? *raw : EightBitsOf(*raw));
            grid->item(gridRow, acGauge)->setData(Qt::DisplayRole, *raw);
        }
        MarkStale(grid->item(gridRow, acValue), !raw);
        MarkStale(grid->item(gridRow, acGauge), !raw);
    }

    if (Readings.Temperature)
        lblTemp->setText(QString::fromStdString(TemperatureText(*Readings.Temperature)));
    // A style sheet set again restyles the label even when it is the same: only on a change, not every tick.
    const QString temperatureStyle = Readings.Temperature ? QString() : QString("color: rgb(150, 150, 150);");
    if (lblTemp->styleSheet() != temperatureStyle) lblTemp->setStyleSheet(temperatureStyle);

    // A user's change still on its way to the board would be undone by showing the state before it.
    if (FSession->Idle() || ShowSettings) ShowPLCState(state.PLCEnabled, state.PLCRunMode);
    if (ShowProgram) {
        gridProgram->setRowCount(static_cast<int>(state.ProgramLines.size()));
        for (int line = 0; line < gridProgram->rowCount(); ++line) ShowProgramLine(line);
    }
    return LogRowOf(Readings);
}

void TformMain::PaintSettings() {
    const TBoardState& state = FSession->State();
    // Showing the board's settings is not the user changing them: nothing goes back to the board.
    const QSignalBlocker blockPullup0(chkPullupPort0);
    const QSignalBlocker blockPullup2(chkPullupPort2);
    const QSignalBlocker blockPeriod(cmbxPeriod);
    const QSignalBlocker blockOffset(spinThermOffset);
    chkPullupPort0->setChecked(state.Pullups[0]);
    chkPullupPort2->setChecked(state.Pullups[2]);
    cmbxPeriod->setCurrentIndex(state.UpdatePeriod);
    for (int port = 0; port <= 2; ++port) {
        for (int pin = 0; pin < 8; ++pin)
            gridPort[port]
                ->item(pin, pcDirection)
                ->setText(IsBitSet(state.Directions[port], pin) ? "Input" : "Output");
        for (int pin = 0; pin < 8; ++pin)
            gridPort[port]
                ->item(pin, pcComment)
                ->setText(QString::fromStdString(state.PinComments[port * 8 + pin]));
    }
    spinThermOffset->setValue(state.ADCOffsets[4]);
}

void TformMain::RefreshDisplay(bool ShowSettings, bool ShowProgram) {
    FSession->Refresh(ShowSettings, ShowProgram);
}

void TformMain::ShowRefresh(const TRefresh& Refresh) {
    UpdateDisplay(Refresh.Readings, Refresh.ShowSettings, Refresh.ShowProgram);
}

void TformMain::ShowTakenBack() {
    PaintSettings();
    const QSignalBlocker blockEnabled(chkPLCEnabled);
    ShowPLCState(FSession->State().PLCEnabled, FSession->State().PLCRunMode);
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
    const TProgramLine& line = FSession->State().ProgramLines.at(static_cast<size_t>(Index));
    CellOf(gridProgram, Index, pgLineNo, false)->setText(QString::number(Index));
    CellOf(gridProgram, Index, pgCode, true)->setText(QString::fromStdString(ProgramLineToText(line)));
    CellOf(gridProgram, Index, pgComments, true)->setText(QString::fromStdString(line.Comment));
    // A line replaced from the board or a file has no error of its own any more.
    MarkProgramLineError(gridProgram, Index, std::string());
    // The row header is the current-line indicator, not a second line number.
    if (gridProgram->verticalHeaderItem(Index) == nullptr)
        gridProgram->setVerticalHeaderItem(Index, new QTableWidgetItem(QString()));
}

// The PLC program editor: program grid, run, stop, single step and PLC mode.
#include <QCheckBox>
#include <QItemSelectionModel>
#include <QTableWidget>

#include "Main.h"

namespace {

// The cell's item, made read-only when the cell had none yet (only code edits fill it).
QTableWidgetItem* ErrorsCell(QTableWidget* Grid, int Row) {
    QTableWidgetItem* item = Grid->item(Row, pgErrors);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        Grid->setItem(Row, pgErrors, item);
    }
    return item;
}

// The board's reply to a single step: the next line in decimal, with an optional sign.
bool ReadLineNumberReply(const std::string& Reply, int& Line) {
    size_t i = 0;
    bool negative = false;
    if (!Reply.empty() && (Reply[0] == '-' || Reply[0] == '+')) {
        negative = Reply[0] == '-';
        i = 1;
    }
    if (i == Reply.size() || Reply.size() - i > 9) return false;
    int value = 0;
    for (; i < Reply.size(); ++i) {
        if (Reply[i] < '0' || Reply[i] > '9') return false;
        value = value * 10 + (Reply[i] - '0');
    }
    Line = negative ? -value : value;
    return true;
}

}  // namespace

void TformMain::gridProgramEndEditing(int ACol, int ARow, const std::string& Value) {
    if (ARow < 0 || ARow >= FVelmorant->ProgramLineCount()) return;
    if (ACol == pgCode) {
        TProgramLine line;
        TextToProgramLine(line, Value);
        QTableWidgetItem* errors = ErrorsCell(gridProgram, ARow);
        errors->setText(QString::fromStdString(line.ParseError));
        // The column is narrow beside the syntax list; the hint shows a long message whole.
        errors->setToolTip(errors->text());
        if (!line.ParseError.empty()) return;
        // The typed text stays in the cell; the canonical text comes with the next full update.
        const QTableWidgetItem* comment = gridProgram->item(ARow, pgComments);
        line.Comment = comment != nullptr ? comment->text().toStdString() : std::string();
        FVelmorant->SetProgramLine(ARow, line);
        FVelmorant->DownloadProgramLine(ARow);
    } else if (ACol == pgComments) {
        // Comments live in the program and its files only; the board never sees them.
        TProgramLine line = FVelmorant->GetProgramLine(ARow);
        line.Comment = Value;
        FVelmorant->SetProgramLine(ARow, line);
    }
}

void TformMain::tbtnRunClick() {
    FVelmorant->SetPLCRunMode(rmRun);
    ShowPLCState(FVelmorant->PLCEnabled(), FVelmorant->PLCRunMode());
}

void TformMain::tbtnStopClick() {
    FVelmorant->SetPLCRunMode(rmPaused);
    ShowPLCState(FVelmorant->PLCEnabled(), FVelmorant->PLCRunMode());
}

void TformMain::tbtnSingleStepClick() {
    // Stepping leaves the run mode alone, so the pressed buttons stay as they are.
    std::string reply;
    if (!FVelmorant->SendCommandToDevice("PLCEX " + std::to_string(CurrentLine()), reply)) return;
    int next = -1;
    if (ReadLineNumberReply(reply, next) && next >= 0) SetCurrentLine(next);
}

void TformMain::chkPLCEnabledClick() {
    FVelmorant->SetPLCEnabled(chkPLCEnabled->isChecked());
    ShowPLCState(FVelmorant->PLCEnabled(), FVelmorant->PLCRunMode());
}

int TformMain::CurrentLine() const {
    const QModelIndexList selected = gridProgram->selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.front().row();
}

void TformMain::SetCurrentLine(int Value) {
    if (Value == -1) {
        gridProgram->clearSelection();
        gridProgram->setCurrentCell(-1, -1);
        return;
    }
    if (Value < 0 || Value >= gridProgram->rowCount()) return;
    const int column = gridProgram->currentColumn() >= 0 ? gridProgram->currentColumn() : pgCode;
    gridProgram->setCurrentCell(Value, column);
}

// The PLC program editor: program grid, run, stop, single step and PLC mode.
#include <QCheckBox>
#include <QItemSelectionModel>
#include <QTableWidget>

#include "Main.h"
#include "ProgramGridMarks.h"

void TformMain::gridProgramEndEditing(int ACol, int ARow, const std::string& Value) {
    if (ARow < 0 || ARow >= static_cast<int>(FSession->State().ProgramLines.size())) return;
    if (ACol == pgCode) {
        TProgramLine line;
        TextToProgramLine(line, Value);
        MarkProgramLineError(gridProgram, ARow, line.ParseError);
        if (!line.ParseError.empty()) return;
        // The typed text stays in the cell; the canonical text comes with the next full update.
        FSession->SetProgramLine(ARow, line);
    } else if (ACol == pgComments) {
        // Comments live in the program and its files only; the board never sees them.
        FSession->SetLineComment(ARow, Value);
    }
}

void TformMain::tbtnRunClick() {
    FSession->SetPLCRunMode(rmRun);
    ShowPLCState(FSession->State().PLCEnabled, FSession->State().PLCRunMode);
}

void TformMain::tbtnStopClick() {
    FSession->SetPLCRunMode(rmPaused);
    ShowPLCState(FSession->State().PLCEnabled, FSession->State().PLCRunMode);
}

void TformMain::tbtnSingleStepClick() {
    // Stepping leaves the run mode alone, so the pressed buttons stay as they are.
    FSession->SingleStep(CurrentLine(), [this](int Next) {
        if (Next >= 0) SetCurrentLine(Next);
    });
}

void TformMain::chkPLCEnabledClick() {
    FSession->SetPLCEnabled(chkPLCEnabled->isChecked());
    ShowPLCState(FSession->State().PLCEnabled, FSession->State().PLCRunMode);
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

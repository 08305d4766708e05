// The PLC program editor: program grid, run, stop, single step and PLC mode.
#include <QCheckBox>
#include <QItemSelectionModel>
#include <QTableWidget>
#include <memory>

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
        const QTableWidgetItem* comment = gridProgram->item(ARow, pgComments);
        line.Comment = comment != nullptr ? comment->text().toStdString() : std::string();
        FSession->Post([ARow, line](TVelmorant& V) {
            V.SetProgramLine(ARow, line);
            V.DownloadProgramLine(ARow);
        });
    } else if (ACol == pgComments) {
        // Comments live in the program and its files only; the board never sees them.
        FSession->Post([ARow, Value](TVelmorant& V) {
            TProgramLine line = V.GetProgramLine(ARow);
            line.Comment = Value;
            V.SetProgramLine(ARow, line);
        });
    }
}

void TformMain::tbtnRunClick() {
    PostPLCChange([](TVelmorant& V) { V.SetPLCRunMode(rmRun); });
}

void TformMain::tbtnStopClick() {
    PostPLCChange([](TVelmorant& V) { V.SetPLCRunMode(rmPaused); });
}

void TformMain::tbtnSingleStepClick() {
    // Stepping leaves the run mode alone, so the pressed buttons stay as they are.
    const int line = CurrentLine();
    auto next = std::make_shared<int>(-1);
    FSession->Post([line, next](TVelmorant& V) { V.SingleStep(line, *next); },
                   [this, next] {
                       if (*next >= 0) SetCurrentLine(*next);
                   });
}

void TformMain::chkPLCEnabledClick() {
    const bool enabled = chkPLCEnabled->isChecked();
    PostPLCChange([enabled](TVelmorant& V) { V.SetPLCEnabled(enabled); });
}

void TformMain::PostPLCChange(TBoardSession::TWork Change) {
    FSession->Post(std::move(Change), [this] {
        // Later changes still on their way would be undone by showing this one's state.
        if (FSession->Idle()) ShowPLCState(FSession->State().PLCEnabled, FSession->State().PLCRunMode);
    });
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

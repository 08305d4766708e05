#pragma once
// The PLC program panel: PLC mode, the logic update period, run, stop and single step, and the
// program grid with its syntax beside it.
#include <string>
#include <vector>

#include "BoardSession.h"
#include "CollapsiblePanel.h"
#include "Device_VL.h"
#include "ProgramGridMarks.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QTableWidget;
class QToolBar;
class TBoardSession;
class TMarkupList;
class TPressedToolButton;
class TUiServices;
struct TBoardState;

class TPLCPanel : public TCollapsiblePanel {
    Q_OBJECT
public:
    TPLCPanel(TBoardSession& Session, TUiServices& Ui, QWidget* Parent = nullptr);

    // Echo: the PLC mode box's change goes to the board as the user's would (it repeats what the
    // session holds); without it nothing is sent.
    void ShowPLCState(bool PLCEnabled, TPLCRunMode RunMode, bool Echo = true);
    // Every line of the program as the session holds it.
    void ShowProgram(const TBoardState& State);
    void ShowProgramLine(int Index);
    // The logic update period as the session holds it, without sending it back.
    void ShowPeriod(int Period);
    void EnableConnected(bool Connected);
    // The lines whose typed text is in error, so neither the board nor a file has it.
    std::vector<int> LinesInError() const;
    // Those lines' typed text, by line.
    TTypedLines TypedLinesInError() const;
    // Puts typed text back into the lines it was typed for, marked with its error as if just typed;
    // nothing is sent. Text that is no longer in error, or lines the program lacks, are left out.
    void ShowTypedLines(const TTypedLines& Typed);
    // The program grid, for the window's tests.
    QTableWidget* ProgramGrid() const { return gridProgram; }

    void gridProgramEndEditing(int ACol, int ARow, const std::string& Value);
    void tbtnRunClick();
    void tbtnStopClick();
    void tbtnSingleStepClick();
    void chkPLCEnabledClick();
    void cmbxPeriodChange();
    // The program grid's selected row, -1 when none.
    int CurrentLine() const;
    // Selects Value; -1 clears the selection, a row that does not exist is ignored.
    void SetCurrentLine(int Value);

protected:
    // Enter opens a line for editing as F2 does; a key typed into a cell not selected is not an edit.
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void CreateProgramGrid(QWidget* Body);
    void CreateSyntaxList(QWidget* Body);

    TBoardSession& FSession;
    TUiServices& FUi;
    QCheckBox* chkPLCEnabled;
    QLabel* lblPeriod;
    QComboBox* cmbxPeriod;
    QToolBar* tbarProgram;
    TPressedToolButton* tbtnStop;
    TPressedToolButton* tbtnSingleStep;
    TPressedToolButton* tbtnRun;
    QTableWidget* gridProgram = nullptr;
    TMarkupList* listSyntax = nullptr;
};

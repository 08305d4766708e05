#include "PLCPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QToolBar>
#include <QToolTip>
#include <QVBoxLayout>

#include "BoardSession.h"
#include "Controls.h"
#include "GridDelegates.h"
#include "MarkupList.h"
#include "PanelSupport.h"
#include "Pictures.h"

using panels::Named;

namespace {

const QColor PLCColor(240, 240, 240);

const QStringList PeriodItems{"Full Speed", "1/2",    "1/4",     "1/8",    "1/16",   "1/32",
                              "1/64",       "1/128",  "1/256",   "1/512",  "1/1024", "1/2048",
                              "1/4096",     "1/8192", "1/16384", "1/32768"};

}  // namespace

TPLCPanel::TPLCPanel(TBoardSession& Session, TUiServices& Ui, QWidget* Parent)
    : TCollapsiblePanel("PLC Program", Parent), FSession(Session), FUi(Ui) {
    setObjectName("pnlPLC");
    SetColor(PLCColor);
    SetFillsHeight(true);
    SetBodyHeight(180);
    QWidget* body = Body();
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(9, 5, 8, 4);
    column->setSpacing(3);

    auto* top = new QHBoxLayout;
    chkPLCEnabled = Named(new QCheckBox("PLC Mode Enabled", body), "chkPLCEnabled",
                          "Check to enable PLC mode. \n"
                          "You cannot edit or execute PLC programs unless this option is checked.");
    lblPeriod = Named(new QLabel("Logic Update Period:", body), "lblPeriod");
    cmbxPeriod = Named(new QComboBox(body), "cmbxPeriod",
                       "Change the rate at which the Velmorant performs logic calculations.");
    cmbxPeriod->addItems(PeriodItems);
    cmbxPeriod->setMaxVisibleItems(PeriodItems.size());
    top->addWidget(chkPLCEnabled);
    top->addSpacing(24);
    top->addWidget(lblPeriod);
    top->addWidget(cmbxPeriod);
    top->addStretch(1);
    column->addLayout(top);

    tbarProgram = Named(new QToolBar(body), "tbarProgram");
    tbarProgram->setIconSize(QSize(16, 16));
    tbarProgram->setFixedHeight(24);
    tbarProgram->addSeparator();
    tbarProgram->addSeparator();
    const auto addButton = [this](const char* Name, const char* Caption, const char* Hint,
                                  const QIcon& Icon) {
        auto* b = Named(new TPressedToolButton(tbarProgram), Name, Hint);
        b->setText(Caption);
        b->setIcon(Icon);
        b->setFixedSize(27, 22);
        tbarProgram->addWidget(b);
        return b;
    };
    tbtnStop = addButton("tbtnStop", "Stop", "Stop program", StopIcon());
    tbtnSingleStep = addButton("tbtnSingleStep", "Single Step", "Single step program", SingleStepIcon());
    tbtnRun = addButton("tbtnRun", "Run", "Run program", RunIcon());
    // A key presses the button, so it acts only when a click would.
    tbtnStop->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
    tbtnSingleStep->setShortcut(QKeySequence(Qt::Key_F10));
    tbtnRun->setShortcut(QKeySequence(Qt::Key_F5));

    // The syntax list reaches up beside the tool bar, so that it is whole in a window of the
    // default size.
    auto* editor = new QHBoxLayout;
    editor->setSpacing(4);
    auto* program = new QVBoxLayout;
    program->setSpacing(3);
    program->addWidget(tbarProgram);
    CreateProgramGrid(body);
    program->addWidget(gridProgram, 1);
    editor->addLayout(program, 1);
    CreateSyntaxList(body);
    editor->addWidget(listSyntax);
    column->addLayout(editor, 1);

    connect(cmbxPeriod, &QComboBox::activated, this, Guarded(FUi, this, [this] { cmbxPeriodChange(); }));
    connect(chkPLCEnabled, &QCheckBox::toggled, this, Guarded(FUi, this, [this] { chkPLCEnabledClick(); }));
    connect(tbtnRun, &QToolButton::clicked, this, Guarded(FUi, this, [this] { tbtnRunClick(); }));
    connect(tbtnStop, &QToolButton::clicked, this, Guarded(FUi, this, [this] { tbtnStopClick(); }));
    connect(tbtnSingleStep, &QToolButton::clicked, this,
            Guarded(FUi, this, [this] { tbtnSingleStepClick(); }));
}

void TPLCPanel::CreateProgramGrid(QWidget* Body) {
    gridProgram = Named(new QTableWidget(20, 4, Body), "gridProgram",
                        "LValues:\nPORT0..PORT5\nPIN0..PIN47\n\nRValues:\nPORT0..5\nPIN0..PIN47\nAIN0..AIN4\n"
                        "Constant (0-255)");
    panels::SetHeader(gridProgram, pgLineNo, "Line #", "colProgLineNo");
    panels::SetHeader(gridProgram, pgCode, "Code", "colProgLineCode");
    panels::SetHeader(gridProgram, pgComments, "Comments", "colComments");
    panels::SetHeader(gridProgram, pgErrors, "Errors", "colErrors");
    gridProgram->setColumnWidth(pgLineNo, 40);
    gridProgram->setColumnWidth(pgCode, 140);
    gridProgram->setColumnWidth(pgComments, 120);
    gridProgram->setColumnWidth(pgErrors, 164);
    gridProgram->horizontalHeader()->setStretchLastSection(true);
    gridProgram->horizontalHeader()->setSectionsMovable(false);
    // A highlighted section draws its caption bold, measured for the regular font: "Line #" lost
    // its first letter to the 40 pixels.
    gridProgram->horizontalHeader()->setHighlightSections(false);
    gridProgram->horizontalHeader()->setFixedHeight(panels::HeaderHeight);
    gridProgram->verticalHeader()->setDefaultSectionSize(panels::RowHeight);
    gridProgram->verticalHeader()->setMinimumSectionSize(panels::RowHeight);
    gridProgram->verticalHeader()->setFixedWidth(14);
    gridProgram->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    gridProgram->setSelectionMode(QAbstractItemView::SingleSelection);
    gridProgram->setSelectionBehavior(QAbstractItemView::SelectItems);
    gridProgram->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed |
                                 QAbstractItemView::AnyKeyPressed);
    gridProgram->installEventFilter(this);
    auto* programDelegate = new TNotifyingTextDelegate(gridProgram);
    gridProgram->setItemDelegate(programDelegate);
    connect(programDelegate, &TNotifyingTextDelegate::EditAccepted, this,
            Guarded(FUi, this, [this](int Row, int Col, const QString& Value) {
                gridProgramEndEditing(Col, Row, Value.toStdString());
            }));
    // Enter goes on to the next line, as in a spreadsheet, so that a program is typed line by line.
    connect(programDelegate, &TNotifyingTextDelegate::EnterCommitted, this, [this](int Row, int Col) {
        if (Row + 1 < gridProgram->rowCount()) gridProgram->setCurrentCell(Row + 1, Col);
    });
    // Only error texts wrap, and their rows grow to them (MarkProgramLineError); code and
    // comments stay on one line.
    gridProgram->setWordWrap(false);
    gridProgram->setItemDelegateForColumn(pgErrors, new TWrappingTextDelegate(gridProgram));
    connect(gridProgram->horizontalHeader(), &QHeaderView::sectionResized, gridProgram, [this](int Column) {
        if (Column == pgErrors) gridProgram->resizeRowsToContents();
    });
    connect(gridProgram, &QTableWidget::currentCellChanged, this, [this](int Row, int, int PreviousRow) {
        // The row indicator at the left follows the current line.
        if (auto* old = gridProgram->verticalHeaderItem(PreviousRow)) old->setText(QString());
        if (Row >= 0) {
            if (gridProgram->verticalHeaderItem(Row) == nullptr)
                gridProgram->setVerticalHeaderItem(Row, new QTableWidgetItem);
            gridProgram->verticalHeaderItem(Row)->setText(QString::fromUtf8("\u25B8"));
        }
    });
}

void TPLCPanel::CreateSyntaxList(QWidget* Body) {
    listSyntax =
        Named(new TMarkupList(Body), "listSyntax",
              "Line:\n0..60\n\nLValues:\nPORT0..PORT5   PIN0..PIN47\n\nRValues:\n"
              "PORT0..5  PIN0..PIN47  AIN0..AIN4  Constant (0-255)\n\nOperations:\n+ - AND OR XOR \n\n"
              "Comparisons:\n= <> > <");
    listSyntax->setFixedWidth(280);
    listSyntax->setFrameShape(QFrame::NoFrame);
    QPalette p = listSyntax->palette();
    p.setColor(QPalette::Base, PLCColor);
    listSyntax->setPalette(p);
    listSyntax->AddMarkup("<U><B>Program Line Syntax</B></U>");
    listSyntax->AddMarkup("NOP");
    listSyntax->AddMarkup("GOTO <A HREF=line>&lt;Line&gt;</A>");
    listSyntax->AddMarkup(
        "IF <A HREF=rvalue>&lt;RValue1&gt;</A> <A HREF=comp>&lt;Comparison&gt;</A> "
        "<A HREF=rvalue>&lt;RValue2&gt;</A> GOTO <A HREF=Line>&lt;Line&gt;</A>");
    listSyntax->AddMarkup(
        "SET <A HREF=lvalue>&lt;LValue&gt;</A> = <A HREF=rvalue>&lt;RValue1&gt;</A> "
        "<A HREF=oper>&lt;Operation&gt;</A> <A HREF=rvalue>&lt;RValue2&gt;</A>");
    listSyntax->AddMarkup("DELAY <A HREF=rvalue>&lt;RValue&gt;</A>");
    listSyntax->setWordWrap(true);
    // The placeholders look like links: a click on them says what they stand for, as hovering does.
    connect(listSyntax, &QListWidget::itemClicked, this,
            [this] { QToolTip::showText(QCursor::pos(), listSyntax->toolTip(), listSyntax); });
}

bool TPLCPanel::eventFilter(QObject* Watched, QEvent* Event) {
    // While a line is edited its keys go to the editor, not to the grid.
    if (Watched != gridProgram || Event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(Event);
    const QModelIndex current = gridProgram->currentIndex();
    if (!current.isValid()) return false;
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && key->modifiers() == Qt::NoModifier) {
        gridProgram->edit(current);
        return true;
    }
    const bool printable = !key->text().isEmpty() && key->text().at(0).isPrint();
    // A key meant for somewhere else must not start rewriting a line the user never chose.
    return printable && !gridProgram->selectionModel()->isSelected(current);
}

void TPLCPanel::ShowPLCState(bool PLCEnabled, TPLCRunMode RunMode, bool Echo) {
    const QSignalBlocker blockEnabled(Echo ? nullptr : chkPLCEnabled);
    tbtnRun->SetPressed(RunMode == rmRun);
    tbtnSingleStep->SetPressed(RunMode == rmStep);
    tbtnStop->SetPressed(RunMode == rmPaused);
    chkPLCEnabled->setChecked(PLCEnabled);
    tbarProgram->setEnabled(PLCEnabled);
    gridProgram->setEnabled(PLCEnabled);
}

void TPLCPanel::ShowProgram(const TBoardState& State) {
    gridProgram->setRowCount(static_cast<int>(State.ProgramLines.size()));
    for (int line = 0; line < gridProgram->rowCount(); ++line) ShowProgramLine(line);
}

void TPLCPanel::ShowProgramLine(int Index) {
    const TProgramLine& line = FSession.State().ProgramLines.at(static_cast<size_t>(Index));
    CellOf(gridProgram, Index, pgLineNo, false)->setText(QString::number(Index));
    CellOf(gridProgram, Index, pgCode, true)->setText(QString::fromStdString(ProgramLineToText(line)));
    CellOf(gridProgram, Index, pgComments, true)->setText(QString::fromStdString(line.Comment));
    // A line replaced from the board or a file has no error of its own any more.
    MarkProgramLineError(gridProgram, Index, std::string());
    // The row header is the current-line indicator, not a second line number.
    if (gridProgram->verticalHeaderItem(Index) == nullptr)
        gridProgram->setVerticalHeaderItem(Index, new QTableWidgetItem(QString()));
}

std::vector<int> TPLCPanel::LinesInError() const {
    std::vector<int> lines;
    for (int row = 0; row < gridProgram->rowCount(); ++row) {
        const QTableWidgetItem* errors = gridProgram->item(row, pgErrors);
        // A hint leaves the background alone; only an error marks it.
        if (errors != nullptr && errors->data(Qt::BackgroundRole).isValid()) lines.push_back(row);
    }
    return lines;
}

TTypedLines TPLCPanel::TypedLinesInError() const {
    TTypedLines typed;
    for (const int line : LinesInError())
        if (const QTableWidgetItem* code = gridProgram->item(line, pgCode))
            typed[line] = code->text().toStdString();
    return typed;
}

void TPLCPanel::ShowTypedLines(const TTypedLines& Typed) {
    for (const auto& [line, text] : Typed) {
        if (line < 0 || line >= gridProgram->rowCount()) continue;
        TProgramLine parsed;
        TextToProgramLine(parsed, text);
        if (parsed.ParseError.empty()) continue;
        CellOf(gridProgram, line, pgCode, true)->setText(QString::fromStdString(text));
        MarkProgramLineError(gridProgram, line, parsed.ParseError);
    }
}

void TPLCPanel::ShowPeriod(int Period) {
    const QSignalBlocker blockPeriod(cmbxPeriod);
    cmbxPeriod->setCurrentIndex(Period);
}

void TPLCPanel::EnableConnected(bool Connected) {
    tbtnRun->setEnabled(Connected);
    tbtnSingleStep->setEnabled(Connected);
    tbtnStop->setEnabled(Connected);
}

void TPLCPanel::gridProgramEndEditing(int ACol, int ARow, const std::string& Value) {
    if (ARow < 0 || ARow >= static_cast<int>(FSession.State().ProgramLines.size())) return;
    if (ACol == pgCode) {
        TProgramLine line;
        TextToProgramLine(line, Value);
        MarkProgramLineError(gridProgram, ARow, line.ParseError);
        if (!line.ParseError.empty()) return;
        // The typed text stays in the cell; the canonical text comes with the next full update.
        FSession.SetProgramLine(ARow, line);
    } else if (ACol == pgComments) {
        // Comments live in the program and its files only; the board never sees them.
        FSession.SetLineComment(ARow, Value);
    }
}

void TPLCPanel::tbtnRunClick() {
    FSession.SetPLCRunMode(rmRun);
    ShowPLCState(FSession.State().PLCEnabled, FSession.State().PLCRunMode);
}

void TPLCPanel::tbtnStopClick() {
    FSession.SetPLCRunMode(rmPaused);
    ShowPLCState(FSession.State().PLCEnabled, FSession.State().PLCRunMode);
}

void TPLCPanel::tbtnSingleStepClick() {
    // Stepping leaves the run mode alone, so the pressed buttons stay as they are.
    FSession.SingleStep(CurrentLine(), [this](int Next) {
        if (Next >= 0) SetCurrentLine(Next);
    });
}

void TPLCPanel::chkPLCEnabledClick() {
    FSession.SetPLCEnabled(chkPLCEnabled->isChecked());
    ShowPLCState(FSession.State().PLCEnabled, FSession.State().PLCRunMode);
}

void TPLCPanel::cmbxPeriodChange() {
    FSession.SetUpdatePeriod(cmbxPeriod->currentIndex());
}

int TPLCPanel::CurrentLine() const {
    const QModelIndexList selected = gridProgram->selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.front().row();
}

void TPLCPanel::SetCurrentLine(int Value) {
    if (Value == -1) {
        gridProgram->clearSelection();
        gridProgram->setCurrentCell(-1, -1);
        return;
    }
    if (Value < 0 || Value >= gridProgram->rowCount()) return;
    const int column = gridProgram->currentColumn() >= 0 ? gridProgram->currentColumn() : pgCode;
    gridProgram->setCurrentCell(Value, column);
}

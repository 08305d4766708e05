#include "ProgramGridMarks.h"

#include <QTableWidget>

#include "Device_VL.h"

QTableWidgetItem* CellOf(QTableWidget* Grid, int Row, int Col, bool Editable) {
    QTableWidgetItem* item = Grid->item(Row, Col);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        if (!Editable) item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        Grid->setItem(Row, Col, item);
    }
    return item;
}
void MarkProgramLineError(QTableWidget* Grid, int Row, const std::string& Error) {
    if (Grid == nullptr || Row < 0 || Row >= Grid->rowCount()) return;
    QTableWidgetItem* errors = CellOf(Grid, Row, pgErrors, false);
    QTableWidgetItem* code = CellOf(Grid, Row, pgCode, true);
    // A line the board took may still have left typed text unread: said in the same cell, not as an
    // error. An error gets the range its own words leave out beside it.
    std::string hint;
    TProgramLine typed;
    TextToProgramLine(typed, code->text().toStdString(), hint);
    const bool spaced = Error.empty() || Error.back() == ' ';
    errors->setText(QString::fromStdString(Error.empty()  ? hint
                                           : hint.empty() ? Error
                                                          : Error + (spaced ? "" : ". ") + hint));
    // The cell shows its whole text; a hint of its own would only hide the grid's syntax hint.
    errors->setData(Qt::ToolTipRole, QVariant());
    if (Error.empty()) {
        errors->setData(Qt::BackgroundRole, QVariant());
        if (hint.empty())
            errors->setData(Qt::ForegroundRole, QVariant());
        else
            errors->setForeground(HintCellText);
        code->setData(Qt::ForegroundRole, QVariant());
        code->setData(Qt::FontRole, QVariant());
        code->setData(Qt::ToolTipRole, QVariant());
    } else {
        errors->setBackground(ErrorCellBackground);
        errors->setForeground(ErrorCellText);
        code->setForeground(UnsentCodeText);
        QFont italic = Grid->font();
        italic.setItalic(true);
        code->setFont(italic);
        code->setToolTip("Not on the board: it keeps the line it had.\n\n" + Grid->toolTip());
    }
    Grid->resizeRowToContents(Row);
}

#pragma once
// How the program grid shows a line that the board does not have: its error beside it, its
// typed text set apart from the lines the board runs.
#include <QColor>
#include <string>

class QTableWidget;
class QTableWidgetItem;

// Columns of the program grid.
enum TProgramColumn : int { pgLineNo = 0, pgCode = 1, pgComments = 2, pgErrors = 3 };

// Colours of a line in error: the Errors cell, and the Code text that is not on the board.
inline const QColor ErrorCellBackground(255, 224, 224);
inline const QColor ErrorCellText(170, 0, 0);
inline const QColor UnsentCodeText(150, 90, 90);
// The Errors cell's text for typed text that a valid line ignores.
inline const QColor HintCellText(110, 110, 110);

// The item of a grid cell, made (read-only unless Editable) when the cell has none yet.
QTableWidgetItem* CellOf(QTableWidget* Grid, int Row, int Col, bool Editable);

// Marks row Row of Grid with Error, or clears its marks and error text when Error is empty (then
// shows the hint for text after the line in the Code cell, if any); the row grows to show the whole text.
void MarkProgramLineError(QTableWidget* Grid, int Row, const std::string& Error);

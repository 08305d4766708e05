#pragma once
// Clicking and typing in the window's grids as the user does. A cell's editor opens in two ways
// that take different paths through the view: a click on the cell that is already current, and a
// key typed on the current cell. Each has its helper, so that a test says which one it means.
#include <QApplication>
#include <QLineEdit>
#include <QTableWidget>
#include <QtTest>

#include "FormsTestSupport.h"
#include "GridDelegates.h"

inline QPoint CellCentre(QTableWidget* Grid, int Row, int Col) {
    return Grid->visualRect(Grid->model()->index(Row, Col)).center();
}

inline void ClickCell(QTableWidget* Grid, int Row, int Col) {
    QTest::mouseClick(Grid->viewport(), Qt::LeftButton, Qt::NoModifier, CellCentre(Grid, Row, Col));
}

inline QString CellText(QTableWidget* Grid, int Row, int Col) {
    const QTableWidgetItem* item = Grid->item(Row, Col);
    return item != nullptr ? item->text() : QString();
}

// The cell editor the grid has open, or null.
inline QLineEdit* CellEditor(QTableWidget* Grid) {
    for (QLineEdit* e : Grid->viewport()->findChildren<QLineEdit*>())
        if (e->isVisible()) return e;
    return nullptr;
}

// The cell is made current, a click on it opens the editor, Text replaces the cell's text and
// Return ends the edit; then the window's session has run what the edit asked of it.
inline bool EditCellByClick(QTableWidget* Grid, int Row, int Col, const QString& Text) {
    Grid->scrollTo(Grid->model()->index(Row, Col));
    Grid->setCurrentCell(Row, Col);
    ClickCell(Grid, Row, Col);
    if (!QTest::qWaitFor([Grid] { return CellEditor(Grid) != nullptr; }, 5000)) return false;
    QLineEdit* editor = CellEditor(Grid);
    editor->selectAll();
    QTest::keyClicks(editor, Text);
    // The delegate ends the edit from the event loop.
    QTest::keyClick(editor, Qt::Key_Return);
    if (!QTest::qWaitFor([Grid] { return CellEditor(Grid) == nullptr; }, 5000)) return false;
    auto* window = qobject_cast<TformMain*>(Grid->window());
    return window == nullptr || Settle(*window);
}

// The first key of Text typed on the current cell opens its editor, Return ends the edit. The
// editor takes the focus, so the window must be active.
inline bool EditCurrentCellByTyping(QTableWidget* Grid, const QString& Text) {
    QTest::keyClick(Grid, Text.at(0).toLatin1());
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    if (editor == nullptr) return false;
    QTest::keyClicks(editor, Text.mid(1));
    QTest::keyClick(editor, Qt::Key_Return);
    return !editor->isVisible();
}

// A click on a list cell (a port's Direction) opens its list; the user picks Item and it closes.
inline bool ChooseInCell(QTableWidget* Grid, int Row, int Col, const QString& Item) {
    // The list of an earlier choice goes from the event loop.
    if (!QTest::qWaitFor([Grid] { return Grid->findChild<TCloseUpComboBox*>() == nullptr; })) return false;
    ClickCell(Grid, Row, Col);
    auto* combo = Grid->findChild<TCloseUpComboBox*>();
    if (combo == nullptr) return false;
    QCoreApplication::processEvents();
    const int index = combo->findText(Item);
    if (index < 0) return false;
    combo->setCurrentIndex(index);
    combo->hidePopup();
    return true;
}

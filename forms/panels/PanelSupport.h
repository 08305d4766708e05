#pragma once
// What the panels share: how they name and size their controls, and how their handlers run.
#include <QColor>
#include <QString>
#include <type_traits>

#include "UiServices.h"

class QLabel;
class QTableWidget;
class QTableWidgetItem;
class QWidget;

namespace panels {

constexpr int RowHeight = 18;
constexpr int HeaderHeight = 20;

// A control's name (the one settings files and tests know it by) and its hint.
template <typename T>
T* Named(T* Widget, const char* Name, const char* Hint = nullptr) {
    Widget->setObjectName(Name);
    if (Hint != nullptr) Widget->setToolTip(QString::fromUtf8(Hint));
    return Widget;
}

QLabel* BoldLabel(const QString& Text, const char* Name, QWidget* Parent);

// A grid of fixed rows that shows all of them without scrolling.
void FitGridHeight(QTableWidget* Grid, int Rows);

// A column caption that also carries the column's name.
void SetHeader(QTableWidget* Grid, int Column, const QString& Caption, const char* Name);

// Shows whether a cell holds a live reading or the last good one.
void MarkStale(QTableWidgetItem* Item, bool Stale);

// Hints stay up long enough to read the longer ones.
void LengthenHints(QWidget* Root);

}  // namespace panels

// Wraps a handler so that an exception it throws ends in Ui's error box.
template <typename F>
auto Guarded(TUiServices& Ui, QWidget* Owner, F Handler) {
    return [Ui = &Ui, Owner, Handler](auto&&... Args) {
        RunGuarded(*Ui, Owner, [&] {
            // Signals may carry more than a handler wants (checked states, private tags).
            if constexpr (std::is_invocable_v<const F&, decltype(Args)...>)
                Handler(Args...);
            else
                Handler();
        });
    };
}

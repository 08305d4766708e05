#include "PanelSupport.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>

#include "GridDelegates.h"

namespace panels {

QLabel* BoldLabel(const QString& Text, const char* Name, QWidget* Parent) {
    auto* label = Named(new QLabel(Text, Parent), Name);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    return label;
}

void FitGridHeight(QTableWidget* Grid, int Rows) {
    Grid->verticalHeader()->setMinimumSectionSize(RowHeight);
    Grid->verticalHeader()->setDefaultSectionSize(RowHeight);
    Grid->horizontalHeader()->setFixedHeight(HeaderHeight);
    Grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Grid->setFixedHeight(HeaderHeight + Rows * RowHeight + 2 * Grid->frameWidth());
}

void SetHeader(QTableWidget* Grid, int Column, const QString& Caption, const char* Name) {
    auto* item = new QTableWidgetItem(Caption);
    item->setData(Qt::UserRole, QString(Name));
    Grid->setHorizontalHeaderItem(Column, item);
}

void MarkStale(QTableWidgetItem* Item, bool Stale) {
    Item->setData(StaleRole, Stale);
    Item->setForeground(Stale ? QBrush(QColor(150, 150, 150)) : QBrush());
}

void LengthenHints(QWidget* Root) {
    for (QWidget* w : Root->findChildren<QWidget*>())
        if (!w->toolTip().isEmpty()) w->setToolTipDuration(10000);
}

}  // namespace panels

#include "GridDelegates.h"

#include <QPainter>
#include <QPersistentModelIndex>
#include <QTimer>
#include <algorithm>

namespace {

QRect BarRect(const QRect& Cell) {
    return Cell.adjusted(3, 3, -3, -3);
}

void PaintBackground(QPainter* Painter, const QStyleOptionViewItem& Option) {
    // Selection colour would hide the bar's own colours.
    Painter->fillRect(Option.rect, Option.palette.base());
}

}  // namespace

TStateBarDelegate::TStateBarDelegate(QObject* Parent, QColor OnColor)
    : QStyledItemDelegate(Parent), FOnColor(OnColor) {}

void TStateBarDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                              const QModelIndex& Index) const {
    Painter->save();
    PaintBackground(Painter, Option);
    const QRect bar = BarRect(Option.rect);
    const bool on = Index.data(Qt::DisplayRole).toInt() >= 1;
    Painter->fillRect(bar, on ? FOnColor : QColor(224, 224, 224));
    Painter->setPen(QColor(128, 128, 128));
    Painter->drawRect(bar.adjusted(0, 0, -1, -1));
    Painter->restore();
}

TGaugeDelegate::TGaugeDelegate(int Min, int Max, QColor Color, QObject* Parent)
    : QStyledItemDelegate(Parent), FMin(Min), FMax(Max), FColor(Color) {}

int TGaugeDelegate::FilledWidth(int Value, int Width) const {
    if (FMax <= FMin || Width <= 0) return 0;
    const int v = std::clamp(Value, FMin, FMax);
    return static_cast<int>(static_cast<long long>(v - FMin) * Width / (FMax - FMin));
}

void TGaugeDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                           const QModelIndex& Index) const {
    Painter->save();
    PaintBackground(Painter, Option);
    const QRect bar = BarRect(Option.rect);
    Painter->fillRect(bar, QColor(240, 240, 240));
    QRect filled = bar;
    filled.setWidth(FilledWidth(Index.data(Qt::DisplayRole).toInt(), bar.width()));
    if (filled.width() > 0) Painter->fillRect(filled, FColor);
    Painter->setPen(QColor(160, 160, 160));
    Painter->drawRect(bar.adjusted(0, 0, -1, -1));
    Painter->restore();
}

void TCloseUpComboBox::hidePopup() {
    QComboBox::hidePopup();
    // The combo box takes the clicked item only after hiding its list.
    QTimer::singleShot(0, this, [this] { emit CloseUp(); });
}

TDropDownDelegate::TDropDownDelegate(QStringList Items, QObject* Parent)
    : QStyledItemDelegate(Parent), FItems(std::move(Items)) {}

QWidget* TDropDownDelegate::createEditor(QWidget* Parent, const QStyleOptionViewItem&,
                                         const QModelIndex& Index) const {
    auto* combo = new TCloseUpComboBox(Parent);
    combo->addItems(FItems);
    combo->setMaxVisibleItems(FItems.size());
    const QPersistentModelIndex index(Index);
    connect(combo, &TCloseUpComboBox::CloseUp, this, [this, combo, index] {
        // The same closing may be reported twice (chosen, then focus gone); the editor of a
        // closed cell no longer belongs to the view.
        if (combo->property("closedUp").toBool()) return;
        combo->setProperty("closedUp", true);
        emit const_cast<TDropDownDelegate*>(this)->CloseUp(combo, index);
    });
    return combo;
}

void TDropDownDelegate::setEditorData(QWidget* Editor, const QModelIndex& Index) const {
    auto* combo = static_cast<TCloseUpComboBox*>(Editor);
    const int i = FItems.indexOf(Index.data(Qt::DisplayRole).toString());
    combo->setCurrentIndex(i < 0 ? 0 : i);
    if (!combo->property("opened").toBool()) {
        combo->setProperty("opened", true);
        QTimer::singleShot(0, combo, [combo] { combo->showPopup(); });
    }
}

void TDropDownDelegate::setModelData(QWidget* Editor, QAbstractItemModel* Model,
                                     const QModelIndex& Index) const {
    Model->setData(Index, static_cast<QComboBox*>(Editor)->currentText(), Qt::DisplayRole);
}

void TDropDownDelegate::CommitAndClose(QWidget* Editor) {
    emit commitData(Editor);
    emit closeEditor(Editor, QAbstractItemDelegate::NoHint);
}

void TNotifyingTextDelegate::setModelData(QWidget* Editor, QAbstractItemModel* Model,
                                          const QModelIndex& Index) const {
    QStyledItemDelegate::setModelData(Editor, Model, Index);
    emit EditAccepted(Index.row(), Index.column(), Index.data(Qt::DisplayRole).toString());
}

#include "GridDelegates.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPersistentModelIndex>
#include <QTableView>
#include <QTimer>
#include <QToolTip>
#include <algorithm>

namespace {

QRect BarRect(const QRect& Cell) {
    return Cell.adjusted(3, 3, -3, -3);
}

// The dynamic property through which an editor knows its cell.
constexpr const char* EditedCell = "editedCell";

void PaintBackground(QPainter* Painter, const QStyleOptionViewItem& Option) {
    // Selection colour would hide the bar's own colours.
    Painter->fillRect(Option.rect, Option.palette.base());
}

// A stale reading keeps its shape but loses its colour, so that it cannot pass for a live one.
QColor Faded(const QColor& Colour, const QModelIndex& Index) {
    if (!Index.data(StaleRole).toBool()) return Colour;
    const int grey = qGray(Colour.rgb());
    const auto fade = [grey](int Part) { return std::min(255, (Part + 2 * grey) / 3 + 20); };
    return QColor(fade(Colour.red()), fade(Colour.green()), fade(Colour.blue()));
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
    Painter->fillRect(bar, on ? Faded(FOnColor, Index) : QColor(224, 224, 224));
    Painter->setPen(QColor(128, 128, 128));
    Painter->drawRect(bar.adjusted(0, 0, -1, -1));
    if (Option.state & QStyle::State_HasFocus) {
        // The keyboard's place must show: Space toggles the pin it is on.
        Painter->setPen(QPen(Option.palette.highlight().color(), 1, Qt::DashLine));
        Painter->drawRect(Option.rect.adjusted(0, 0, -1, -1));
    }
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
    if (filled.width() > 0) Painter->fillRect(filled, Faded(FColor, Index));
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

QWidget* TNotifyingTextDelegate::createEditor(QWidget* Parent, const QStyleOptionViewItem& Option,
                                              const QModelIndex& Index) const {
    QWidget* editor = QStyledItemDelegate::createEditor(Parent, Option, Index);
    if (editor != nullptr) editor->setProperty(EditedCell, QVariant::fromValue(QPersistentModelIndex(Index)));
    return editor;
}

void TNotifyingTextDelegate::setModelData(QWidget* Editor, QAbstractItemModel* Model,
                                          const QModelIndex& Index) const {
    QStyledItemDelegate::setModelData(Editor, Model, Index);
    emit EditAccepted(Index.row(), Index.column(), Index.data(Qt::DisplayRole).toString());
}

bool TNotifyingTextDelegate::eventFilter(QObject* Watched, QEvent* Event) {
    auto* editor = qobject_cast<QLineEdit*>(Watched);
    if (editor != nullptr && Event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(Event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && editor->hasAcceptableInput()) {
            // The base class commits from the event loop; here the commit must come before
            // whatever the Enter goes on to do.
            const auto cell = editor->property(EditedCell).value<QPersistentModelIndex>();
            emit commitData(editor);
            emit closeEditor(editor, QAbstractItemDelegate::SubmitModelCache);
            if (cell.isValid()) emit EnterCommitted(cell.row(), cell.column());
            return true;
        }
    }
    return QStyledItemDelegate::eventFilter(Watched, Event);
}

bool TNotifyingTextDelegate::helpEvent(QHelpEvent* Event, QAbstractItemView* View,
                                       const QStyleOptionViewItem& Option, const QModelIndex& Index) {
    if (Event != nullptr && View != nullptr && Event->type() == QEvent::ToolTip &&
        !Index.data(Qt::ToolTipRole).isValid()) {
        QStyleOptionViewItem option = Option;
        initStyleOption(&option, Index);
        const QStyle* style = View->style();
        // The style keeps this margin on each side of an item's text.
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, View) + 1;
        const QRect room = style->subElementRect(QStyle::SE_ItemViewItemText, &option, View);
        if (option.fontMetrics.horizontalAdvance(option.text) > room.width() - 2 * margin) {
            QToolTip::showText(Event->globalPos(), option.text, View->viewport(), Option.rect);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(Event, View, Option, Index);
}

void TWrappingTextDelegate::initStyleOption(QStyleOptionViewItem* Option, const QModelIndex& Index) const {
    QStyledItemDelegate::initStyleOption(Option, Index);
    Option->features |= QStyleOptionViewItem::WrapText;
}

QSize TWrappingTextDelegate::sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const {
    QStyleOptionViewItem option = Option;
    // A table gives the cell's width only when all its columns wrap; without it the hint is one line.
    if (const auto* view = qobject_cast<const QTableView*>(Option.widget)) {
        option.rect.setWidth(view->columnWidth(Index.column()) - (view->showGrid() ? 1 : 0));
        option.rect.setHeight(std::max(option.rect.height(), 1));
    }
    return QStyledItemDelegate::sizeHint(option, Index);
}

TCellCursor::TCellCursor(QAbstractItemView* View, TRule Clickable)
    : QObject(View), FView(View), FClickable(std::move(Clickable)) {
    View->viewport()->setMouseTracking(true);
    View->viewport()->installEventFilter(this);
}

bool TCellCursor::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::MouseMove) {
        const QModelIndex index = FView->indexAt(static_cast<QMouseEvent*>(Event)->position().toPoint());
        if (index.isValid() && FClickable(index))
            FView->viewport()->setCursor(Qt::PointingHandCursor);
        else
            FView->viewport()->unsetCursor();
    } else if (Event->type() == QEvent::Leave) {
        FView->viewport()->unsetCursor();
    }
    return QObject::eventFilter(Watched, Event);
}

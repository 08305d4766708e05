#pragma once
// Column kinds of the grids: a two-colour state bar, a gauge, a drop-down list that opens at
// the first click, a text column that reports accepted edits, and a wrapping text column; and a
// cursor that marks the cells a click acts on. Values are the cell's Qt::DisplayRole data.
#include <QColor>
#include <QComboBox>
#include <QStringList>
#include <QStyledItemDelegate>
#include <functional>

class QAbstractItemView;

// A bar that is empty and grey for 0 and full in the on colour for any value of 1 or more.
// A cell whose item holds true under this role shows a reading that is out of date (no board, or
// the read failed): the bars draw it faded.
inline constexpr int StaleRole = Qt::UserRole + 7;

class TStateBarDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TStateBarDelegate(QObject* Parent = nullptr, QColor OnColor = QColor(0, 255, 0));
    void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override;

private:
    QColor FOnColor;
};

// A horizontal gauge filled in proportion to the value between Min and Max.
class TGaugeDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    TGaugeDelegate(int Min, int Max, QColor Color, QObject* Parent = nullptr);
    void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override;
    // The filled share of Width for Value, clamped to the range.
    int FilledWidth(int Value, int Width) const;

private:
    int FMin;
    int FMax;
    QColor FColor;
};

// A combo box that says when its list has closed, whether an item was chosen or not.
class TCloseUpComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void hidePopup() override;

signals:
    // Sent once the list has closed and the choice (if any) is the current item.
    void CloseUp();
};

// A fixed list of items as a cell editor that drops its list down as soon as it opens.
class TDropDownDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    TDropDownDelegate(QStringList Items, QObject* Parent = nullptr);
    const QStringList& Items() const { return FItems; }
    // Writes the editor's choice into the cell and closes the editor.
    void CommitAndClose(QWidget* Editor);

    QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem& Option,
                          const QModelIndex& Index) const override;
    void setEditorData(QWidget* Editor, const QModelIndex& Index) const override;
    void setModelData(QWidget* Editor, QAbstractItemModel* Model, const QModelIndex& Index) const override;

signals:
    // The editor's list has closed (the choice is still in the editor, not yet in the cell).
    void CloseUp(QWidget* Editor, const QModelIndex& Index);

private:
    QStringList FItems;
};

// The standard text editor; reports every accepted edit after the cell holds the new text. A
// text cut off in its cell shows whole as the cell's hint.
class TNotifyingTextDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem& Option,
                          const QModelIndex& Index) const override;
    void setModelData(QWidget* Editor, QAbstractItemModel* Model, const QModelIndex& Index) const override;
    bool helpEvent(QHelpEvent* Event, QAbstractItemView* View, const QStyleOptionViewItem& Option,
                   const QModelIndex& Index) override;

signals:
    void EditAccepted(int Row, int Column, const QString& Value) const;
    // Enter ended an edit: the cell holds the new text and the editor is closed.
    void EnterCommitted(int Row, int Column);

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
};

// Read-only text that wraps at word boundaries; its size hint is the height the text needs at
// the column's width, so that a row sized to its contents shows all of it.
class TWrappingTextDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;

protected:
    void initStyleOption(QStyleOptionViewItem* Option, const QModelIndex& Index) const override;
};

// Shows the pointing hand over the cells of View for which Clickable holds, the view's own
// cursor elsewhere. Owned by View.
class TCellCursor : public QObject {
    Q_OBJECT
public:
    using TRule = std::function<bool(const QModelIndex&)>;
    TCellCursor(QAbstractItemView* View, TRule Clickable);

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    QAbstractItemView* FView;
    TRule FClickable;
};

#pragma once
// A read-only list whose items are written in a small markup (<B>, <U>, <A HREF=...>,
// &lt; and &gt;) and shown formatted; links are styled only and do nothing when clicked.
#include <QListWidget>
#include <QStyledItemDelegate>

class TMarkupList : public QListWidget {
    Q_OBJECT
public:
    explicit TMarkupList(QWidget* Parent = nullptr);
    // Adds one item; its plain text (markup removed) is the item's text.
    void AddMarkup(const QString& Markup);
    // The markup of item Row.
    QString Markup(int Row) const;
    // Markup without its tags and with the entities resolved.
    static QString PlainText(const QString& Markup);
};

// Paints an item's markup as rich text.
class TMarkupDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override;
    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
};

#include "MarkupList.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>

namespace {

constexpr int MarkupRole = Qt::UserRole + 1;

void PrepareDocument(QTextDocument& Doc, const QStyleOptionViewItem& Option, const QString& Markup,
                     int Width) {
    Doc.setDefaultFont(Option.font);
    if (Width > 0) Doc.setTextWidth(Width);
    Doc.setDocumentMargin(1);
    // Link colour from the palette, so the placeholders stand out the way links do.
    Doc.setDefaultStyleSheet(QString("a { color: %1; text-decoration: underline; }")
                                 .arg(Option.palette.color(QPalette::Link).name()));
    Doc.setHtml(Markup);
}

}  // namespace

TMarkupList::TMarkupList(QWidget* Parent) : QListWidget(Parent) {
    setItemDelegate(new TMarkupDelegate(this));
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::NoFocus);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Long items wrap at the list's width instead of scrolling sideways.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setResizeMode(QListView::Adjust);
}

void TMarkupList::AddMarkup(const QString& Markup) {
    auto* item = new QListWidgetItem(PlainText(Markup), this);
    item->setData(MarkupRole, Markup);
}

QString TMarkupList::Markup(int Row) const {
    const QListWidgetItem* it = item(Row);
    return it != nullptr ? it->data(MarkupRole).toString() : QString();
}

QString TMarkupList::PlainText(const QString& Markup) {
    QString text = Markup;
    text.remove(QRegularExpression("<[^>]*>"));
    text.replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&");
    return text;
}

void TMarkupDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                            const QModelIndex& Index) const {
    QTextDocument doc;
    PrepareDocument(doc, Option, Index.data(MarkupRole).toString(), Option.rect.width());
    Painter->save();
    Painter->translate(Option.rect.topLeft());
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette = Option.palette;
    context.clip = QRectF(0, 0, Option.rect.width(), Option.rect.height());
    Painter->setClipRect(context.clip);
    doc.documentLayout()->draw(Painter, context);
    Painter->restore();
}

QSize TMarkupDelegate::sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const {
    const auto* list = qobject_cast<const QAbstractItemView*>(parent());
    QTextDocument doc;
    PrepareDocument(doc, Option, Index.data(MarkupRole).toString(), list ? list->viewport()->width() : 0);
    return QSize(static_cast<int>(doc.idealWidth()), static_cast<int>(doc.size().height()));
}

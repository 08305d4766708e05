#include "CollapsiblePanel.h"

#include <QToolButton>
#include <QVBoxLayout>

TCollapsiblePanel::TCollapsiblePanel(const QString& Caption, QWidget* Parent)
    : QFrame(Parent), FExpandedCaption(Caption) {
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    FLayout = new QVBoxLayout(this);
    FLayout->setContentsMargins(1, 1, 1, 1);
    FLayout->setSpacing(0);

    FHeader = new QToolButton(this);
    FHeader->setObjectName("header");
    FHeader->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    FHeader->setAutoRaise(true);
    FHeader->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    QFont f = FHeader->font();
    f.setBold(true);
    FHeader->setFont(f);
    FHeader->setCursor(Qt::PointingHandCursor);
    FLayout->addWidget(FHeader);

    FBody = new QWidget(this);
    FBody->setObjectName("body");
    FLayout->addWidget(FBody, 1);

    connect(FHeader, &QToolButton::clicked, this, [this] { SetExpanded(!FExpanded); });
    UpdateHeader();
    UpdateSizePolicy();
}

void TCollapsiblePanel::SetExpanded(bool Value) {
    if (Value == FExpanded) return;
    int delta;
    if (Value) {
        // Give back what collapsing took; a panel collapsed before it was ever laid out takes its
        // design height (or what its body asks for).
        delta = FGivenUpHeight > 0 ? FGivenUpHeight
                : FBodyHeight > 0  ? FBodyHeight
                                   : FBody->sizeHint().height();
        FExpanded = true;
        FBody->show();
    } else {
        // Only a panel on the screen has a real height; a hidden one can only estimate it.
        const bool laidOut = isVisible();
        const int before = laidOut ? height() : sizeHint().height();
        FExpanded = false;
        FBody->hide();
        const int after = FHeader->sizeHint().height() + FLayout->contentsMargins().top() +
                          FLayout->contentsMargins().bottom() + 2 * frameWidth();
        delta = after - before;
        FGivenUpHeight = laidOut ? -delta : 0;
    }
    UpdateHeader();
    UpdateSizePolicy();
    emit ExpandedChanged(FExpanded, delta);
}

QString TCollapsiblePanel::Caption() const {
    return !FExpanded && !FCollapsedCaption.isEmpty() ? FCollapsedCaption : FExpandedCaption;
}

void TCollapsiblePanel::SetExpandedCaption(const QString& Value) {
    FExpandedCaption = Value;
    UpdateHeader();
}

void TCollapsiblePanel::SetCollapsedCaption(const QString& Value) {
    FCollapsedCaption = Value;
    UpdateHeader();
}

void TCollapsiblePanel::SetColor(const QColor& Value) {
    QPalette p = palette();
    p.setColor(QPalette::Window, Value);
    p.setColor(QPalette::Button, Value);
    setPalette(p);
}

void TCollapsiblePanel::SetBodyHeight(int Value) {
    FBodyHeight = Value;
}

void TCollapsiblePanel::SetFillsHeight(bool Value) {
    FFillsHeight = Value;
    UpdateSizePolicy();
}

void TCollapsiblePanel::UpdateHeader() {
    FHeader->setText(Caption());
    FHeader->setArrowType(FExpanded ? Qt::DownArrow : Qt::RightArrow);
    FHeader->setToolTip(FExpanded ? tr("Click to collapse") : tr("Click to expand"));
}

void TCollapsiblePanel::UpdateSizePolicy() {
    const bool grows = FFillsHeight && FExpanded;
    setSizePolicy(QSizePolicy::Preferred, grows ? QSizePolicy::Expanding : QSizePolicy::Maximum);
}

#include "Controls.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QVBoxLayout>

TCaptionPanel::TCaptionPanel(const QString& Caption, QWidget* Parent) : QFrame(Parent) {
    setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(1);

    auto* bar = new QWidget(this);
    bar->setObjectName("captionBar");
    bar->setAutoFillBackground(true);
    QPalette p = bar->palette();
    p.setColor(QPalette::Window, p.color(QPalette::Window).darker(112));
    bar->setPalette(p);
    FCaptionBar = new QHBoxLayout(bar);
    FCaptionBar->setContentsMargins(4, 1, 2, 1);
    FCaption = new QLabel(Caption, bar);
    QFont f = FCaption->font();
    f.setBold(true);
    FCaption->setFont(f);
    FCaptionBar->addWidget(FCaption);
    FCaptionBar->addStretch(1);
    layout->addWidget(bar);

    FBody = new QWidget(this);
    layout->addWidget(FBody, 1);
}

void TCaptionPanel::SetCaptionHeight(int Value) {
    FCaptionBar->parentWidget()->setFixedHeight(Value);
}

void TCaptionPanel::SetCaptionControl(QWidget* Control) {
    Control->setParent(FCaptionBar->parentWidget());
    FCaptionBar->addWidget(Control);
}

void TDropDownComboBox::showPopup() {
    emit DropDown();
    QComboBox::showPopup();
}

TPressedToolButton::TPressedToolButton(QWidget* Parent) : QToolButton(Parent) {
    setCheckable(true);
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
}

TClickableLabel::TClickableLabel(QWidget* Parent) : QLabel(Parent) {
    setCursor(Qt::PointingHandCursor);
}

void TClickableLabel::mouseReleaseEvent(QMouseEvent* Event) {
    QLabel::mouseReleaseEvent(Event);
    if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint())) emit Clicked();
}

TFileNameEdit::TFileNameEdit(QWidget* Parent) : QWidget(Parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    FEdit = new QLineEdit(this);
    FEdit->setReadOnly(true);
    layout->addWidget(FEdit, 1);
    FBrowse = new QToolButton(this);
    FBrowse->setText("...");
    layout->addWidget(FBrowse);
    connect(FBrowse, &QToolButton::clicked, this, [this] { Browse(); });
}

QString TFileNameEdit::Text() const {
    return FEdit->text();
}

void TFileNameEdit::SetText(const QString& Value) {
    FEdit->setText(Value);
    FEdit->setCursorPosition(0);
}

bool TFileNameEdit::Browse() {
    if (!FRunner) return false;
    TFileDialogRequest request = FDialog;
    request.FileName = Text().toStdString();
    std::string name;
    if (!FRunner(request, name)) return false;
    bool action = true;
    if (FAfterDialog) FAfterDialog(name, action);
    if (!action) return false;
    SetText(QString::fromStdString(name));
    return true;
}

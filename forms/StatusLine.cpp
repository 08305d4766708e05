#include "StatusLine.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTime>
#include <QToolButton>
#include <QVBoxLayout>

TStatusLine::TStatusLine(QStatusBar* Bar)
    : QLabel(Bar), FBar(Bar), FHistoryButton(new QToolButton(Bar)), FUnsaved(new QLabel(Bar)) {
    setObjectName("sbarStatus");
    // The bar decides the width; the text is fitted to it, never the other way round.
    setMinimumWidth(1);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    Bar->setObjectName("statusBar");
    Bar->setSizeGripEnabled(false);
    FHistoryButton->setObjectName("btnStatusHistory");
    FHistoryButton->setText("Messages");
    FHistoryButton->setAutoRaise(true);
    FHistoryButton->setToolTip("The status bar's last messages, whole");
    connect(FHistoryButton, &QToolButton::clicked, this, &TStatusLine::ShowHistory);
    Bar->addWidget(this, 1);
    FUnsaved->setObjectName("lblUnsaved");
    FUnsaved->setStyleSheet("color: rgb(205, 110, 0);");
    FUnsaved->setToolTip(
        "The Velmorant's settings or program differ from what its EEPROM holds; "
        "\"Save Settings in EEPROM on Velmorant\" keeps them.");
    Bar->addPermanentWidget(FUnsaved);
    Bar->addPermanentWidget(FHistoryButton);
    FUnsaved->hide();
}

void TStatusLine::SetText(const std::string& Value) {
    Show(Value, true);
}

void TStatusLine::Show(const std::string& Value, bool Remember) {
    if (Value == FText) return;
    FText = Value;
    if (Remember) Note(Value);
    ShowFitted();
}

void TStatusLine::Note(const std::string& Value) {
    if (Value.empty()) return;
    FHistory.push_back(QTime::currentTime().toString("hh:mm:ss") + "  " + QString::fromStdString(Value));
    if (FHistory.size() > HistoryLength) FHistory.pop_front();
}

void TStatusLine::ShowFitted() {
    const QString whole = QString::fromStdString(FText);
    // The middle goes: a message's start says what happened, its end often the file or the port.
    const QString shown =
        fontMetrics().elidedText(whole, Qt::ElideMiddle, std::max(contentsRect().width(), 1));
    setText(shown);
    setToolTip(shown == whole ? QString() : whole);
}

void TStatusLine::resizeEvent(QResizeEvent* Event) {
    QLabel::resizeEvent(Event);
    ShowFitted();
}

void TStatusLine::Append(const std::string& Value) {
    SetText(FText + (FText.empty() ? "" : " ") + Value);
}

void TStatusLine::AddPermanent(QWidget* Widget) {
    // Before the unsaved mark and the messages button, which stay at the far right. Taking a widget
    // out of the bar hides it, so both are shown again as they should be.
    FBar->removeWidget(FUnsaved);
    FBar->removeWidget(FHistoryButton);
    FBar->addPermanentWidget(Widget);
    FBar->addPermanentWidget(FUnsaved);
    FBar->addPermanentWidget(FHistoryButton);
    FUnsaved->setVisible(!FUnsaved->text().isEmpty());
    FHistoryButton->show();
}

void TStatusLine::ShowUnsaved(bool Unsaved) {
    FUnsaved->setText(Unsaved ? "Not saved in the EEPROM" : QString());
    FUnsaved->setVisible(Unsaved);
}

void TStatusLine::ShowProgress(const std::string& Value) {
    if (Value.empty()) {
        // The work ended: its last progress text would read as if it still ran.
        if (!FProgressReplaced && FText == FProgressShown) SetText(std::string());
        FProgressShown.clear();
        FProgressReplaced = false;
    } else if (!FProgressReplaced) {
        FProgressShown = Value;
        Show(FProgressShown, false);
    }
}

void TStatusLine::ErrorDuringWork() {
    FProgressReplaced = true;
}

void TStatusLine::ShowHistory() {
    auto* dialog = new QDialog(window());
    dialog->setObjectName("dlgStatusHistory");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle("Messages");
    auto* layout = new QVBoxLayout(dialog);
    auto* list = new QPlainTextEdit(dialog);
    list->setObjectName("textStatusHistory");
    list->setReadOnly(true);
    QString text;
    // The newest first: it is the one the user came to read.
    for (auto it = FHistory.rbegin(); it != FHistory.rend(); ++it) text += *it + "\n";
    list->setPlainText(text.isEmpty() ? QString("No messages yet.") : text);
    layout->addWidget(list);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog->resize(640, 320);
    dialog->show();
}

#include "StatusLine.h"

#include <QStatusBar>

TStatusLine::TStatusLine(QStatusBar* Bar) : QLabel(Bar), FBar(Bar), FUnsaved(new QLabel(Bar)) {
    setObjectName("sbarStatus");
    Bar->setObjectName("statusBar");
    Bar->setSizeGripEnabled(false);
    Bar->addWidget(this, 1);
    FUnsaved->setObjectName("lblUnsaved");
    FUnsaved->setStyleSheet("color: rgb(205, 110, 0);");
    FUnsaved->setToolTip(
        "The Velmorant's settings or program differ from what its EEPROM holds; "
        "\"Save Settings in EEPROM on Velmorant\" keeps them.");
    Bar->addPermanentWidget(FUnsaved);
    FUnsaved->hide();
}

void TStatusLine::Append(const std::string& Value) {
    const std::string shown = Text();
    SetText(shown + (shown.empty() ? "" : " ") + Value);
}

void TStatusLine::AddPermanent(QWidget* Widget) {
    // Before the unsaved mark, which stays at the far right.
    const bool unsavedShown = !FUnsaved->isHidden();
    FBar->removeWidget(FUnsaved);
    FBar->addPermanentWidget(Widget);
    FBar->addPermanentWidget(FUnsaved);
    FUnsaved->setVisible(unsavedShown);
}

void TStatusLine::ShowUnsaved(bool Unsaved) {
    FUnsaved->setText(Unsaved ? "Not saved in the EEPROM" : QString());
    FUnsaved->setVisible(Unsaved);
}

void TStatusLine::ShowProgress(const std::string& Value) {
    if (Value.empty()) {
        // The work ended: its last progress text would read as if it still ran.
        if (!FProgressReplaced && Text() == FProgressShown) SetText(std::string());
        FProgressShown.clear();
        FProgressReplaced = false;
    } else if (!FProgressReplaced) {
        FProgressShown = Value;
        SetText(FProgressShown);
    }
}

void TStatusLine::ErrorDuringWork() {
    FProgressReplaced = true;
}

#include "EEPROMBar.h"

#include <QHBoxLayout>
#include <QPushButton>

#include "BoardSession.h"
#include "PanelSupport.h"
#include "StatusLine.h"

using panels::Named;

namespace {

const char* const RecallQuestion =
    "Do you want to recall the settings from the Velmorant into the software? \r\nThis will overwrite any "
    "changes you've made in the software.";

}  // namespace

TEEPROMBar::TEEPROMBar(TBoardSession& Session, TUiServices& Ui, TStatusLine& Status, QWidget* Parent)
    : QWidget(Parent), FSession(Session), FUi(Ui), FStatus(Status) {
    setObjectName("pnlBottom");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 3, 4, 3);
    btnRecallFromEEPROM =
        Named(new QPushButton("Recall Settings from EEPROM on Velmorant", this), "btnRecallFromEEPROM",
              "Recall all current settings from non-volatile memory on Velmorant");
    btnSaveToEEPROM = Named(new QPushButton("Save Settings in EEPROM on Velmorant", this), "btnSaveToEEPROM",
                            "Save all current settings to non-volatile memory on Velmorant");
    btnRecallFromEEPROM->setEnabled(false);
    btnSaveToEEPROM->setEnabled(false);
    row->addWidget(btnRecallFromEEPROM);
    row->addStretch(1);
    row->addWidget(btnSaveToEEPROM);

    connect(btnRecallFromEEPROM, &QPushButton::clicked, this,
            Guarded(FUi, this, [this] { btnRecallFromEEPROMClick(); }));
    connect(btnSaveToEEPROM, &QPushButton::clicked, this, Guarded(FUi, this, [this] { btnSaveToEEPROMClick(); }));
}

void TEEPROMBar::RecallFromDevice(bool FromEEPROM, bool Ask, const std::string& DoneText) {
    if (!FSession.State().DevicePresent) return;
    if (Ask && FUi.Ask(window(), "Confirm", RecallQuestion, {mbYes, mbNo}) != mbYes) return;
    FSession.Retrieve(FromEEPROM, [this, DoneText](bool Retrieved) {
        if (Retrieved && !DoneText.empty() && FStatus.Text().empty()) FStatus.SetText(DoneText);
    });
}

void TEEPROMBar::EnableConnected(bool Connected, bool Free) {
    btnRecallFromEEPROM->setEnabled(Connected && Free);
    btnSaveToEEPROM->setEnabled(Connected && Free);
}

void TEEPROMBar::btnRecallFromEEPROMClick() {
    if (FSession.LongWorkPending()) return;
    RecallFromDevice(true, true, "Settings recalled from the EEPROM on the Velmorant");
}

void TEEPROMBar::btnSaveToEEPROMClick() {
    if (FSession.LongWorkPending()) return;
    FSession.SaveToEEPROM([this](bool Saved) {
        if (Saved)
            FStatus.SetText("Settings saved in the EEPROM on the Velmorant");
        else
            FStatus.Append("The settings were not saved in the EEPROM on the Velmorant.");
    });
}

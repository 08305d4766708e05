#include "EEPROMBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

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
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(4, 3, 4, 3);
    rows->setSpacing(3);
    auto* row = new QHBoxLayout;
    btnRecallFromEEPROM =
        Named(new QPushButton("Recall Settings from EEPROM on Velmorant", this), "btnRecallFromEEPROM",
              "Recall all current settings from non-volatile memory on Velmorant");
    btnSaveToEEPROM = Named(new QPushButton("Save Settings in EEPROM on Velmorant", this), "btnSaveToEEPROM",
                            "Save all current settings to non-volatile memory on Velmorant");
    btnRecallFromEEPROM->setEnabled(false);
    btnSaveToEEPROM->setEnabled(false);
    pnlProgramSettings = Named(new QWidget(this), "pnlProgramSettings");
    auto* mark = new QHBoxLayout(pnlProgramSettings);
    mark->setContentsMargins(0, 0, 0, 0);
    lblProgramSettings =
        Named(new QLabel("The panels show the program's settings, not the Velmorant's:", pnlProgramSettings),
              "lblProgramSettings");
    lblProgramSettings->setStyleSheet("color: rgb(205, 110, 0);");
    btnSendProgramSettings =
        Named(new QPushButton("Send to Velmorant", pnlProgramSettings), "btnSendProgramSettings",
              "Send these settings and this program to the Velmorant");
    btnReadBoardSettings =
        Named(new QPushButton("Read Velmorant", pnlProgramSettings), "btnReadBoardSettings",
              "Show the Velmorant's own settings and program instead");
    mark->addWidget(lblProgramSettings);
    mark->addWidget(btnSendProgramSettings);
    mark->addWidget(btnReadBoardSettings);
    mark->addStretch(1);
    pnlProgramSettings->hide();
    // A row of its own above the buttons: beside them it would not fit the window's width.
    rows->addWidget(pnlProgramSettings);
    row->addWidget(btnRecallFromEEPROM);
    row->addStretch(1);
    row->addWidget(btnSaveToEEPROM);
    rows->addLayout(row);

    connect(btnRecallFromEEPROM, &QPushButton::clicked, this,
            Guarded(FUi, this, [this] { btnRecallFromEEPROMClick(); }));
    connect(btnSaveToEEPROM, &QPushButton::clicked, this,
            Guarded(FUi, this, [this] { btnSaveToEEPROMClick(); }));
    connect(btnSendProgramSettings, &QPushButton::clicked, this,
            Guarded(FUi, this, [this] { SendProgramSettings(); }));
    connect(btnReadBoardSettings, &QPushButton::clicked, this,
            Guarded(FUi, this, [this] { ReadBoardSettings(); }));
}

void TEEPROMBar::ShowProgramSettingsMark(bool Shown) {
    pnlProgramSettings->setVisible(Shown);
}

bool TEEPROMBar::ProgramSettingsMarked() const {
    return !pnlProgramSettings->isHidden();
}

void TEEPROMBar::SendProgramSettings() {
    if (FSession.LongWorkPending() || !FSession.State().DevicePresent) return;
    FSession.SendSettings([this](int) {
        if (FSession.State().Lost) return;
        ShowProgramSettingsMark(false);
        FStatus.SetText("The program's settings were sent to the Velmorant");
    });
}

void TEEPROMBar::ReadBoardSettings() {
    if (FSession.LongWorkPending()) return;
    RecallFromDevice(false, false, "The Velmorant's settings are shown");
}

void TEEPROMBar::RecallFromDevice(bool FromEEPROM, bool Ask, const std::string& DoneText,
                                  bool MarkIfDeclined) {
    if (!FSession.State().DevicePresent) return;
    if (Ask && FUi.Ask(window(), "Confirm", RecallQuestion, {mbYes, mbNo}) != mbYes) {
        if (MarkIfDeclined) ShowProgramSettingsMark(true);
        return;
    }
    FSession.Retrieve(FromEEPROM, [this, DoneText](bool Retrieved) {
        if (!Retrieved) return;
        ShowProgramSettingsMark(false);
        if (!DoneText.empty() && FStatus.Text().empty()) FStatus.SetText(DoneText);
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

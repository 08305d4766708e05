#pragma once
// The bar under the panels: recall the board's settings from its EEPROM, or save them there.
#include <QWidget>
#include <string>

class QPushButton;
class TBoardSession;
class TStatusLine;
class TUiServices;

class TEEPROMBar : public QWidget {
    Q_OBJECT
public:
    TEEPROMBar(TBoardSession& Session, TUiServices& Ui, TStatusLine& Status, QWidget* Parent = nullptr);

    // Asks (when Ask), then reads the board's settings and program and shows them.
    // DoneText goes to the status bar after a good retrieval that reported no error.
    void RecallFromDevice(bool FromEEPROM, bool Ask, const std::string& DoneText = std::string());
    // Free: no long work is under way, which cannot be started twice.
    void EnableConnected(bool Connected, bool Free);

    void btnRecallFromEEPROMClick();
    void btnSaveToEEPROMClick();

private:
    TBoardSession& FSession;
    TUiServices& FUi;
    TStatusLine& FStatus;
    QPushButton* btnRecallFromEEPROM;
    QPushButton* btnSaveToEEPROM;
};

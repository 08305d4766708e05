#pragma once
// The bar under the panels: recall the board's settings from its EEPROM, or save them there.
#include <QWidget>
#include <string>

class QLabel;
class QPushButton;
class TBoardSession;
class TStatusLine;
class TUiServices;

class TEEPROMBar : public QWidget {
    Q_OBJECT
public:
    TEEPROMBar(TBoardSession& Session, TUiServices& Ui, TStatusLine& Status, QWidget* Parent = nullptr);

    // Asks (when Ask), then reads the board's settings and program and shows them.
    // DoneText goes to the status bar after a good retrieval that reported no error. MarkIfDeclined:
    // a No leaves the panels showing the program's settings (after a connection), which is marked.
    void RecallFromDevice(bool FromEEPROM, bool Ask, const std::string& DoneText = std::string(),
                          bool MarkIfDeclined = false);
    // Free: no long work is under way, which cannot be started twice.
    void EnableConnected(bool Connected, bool Free);

    void btnRecallFromEEPROMClick();
    void btnSaveToEEPROMClick();

    // After a No to the recall question the panels show the program's settings, not the board's:
    // marked until the two agree again, with the two ways there.
    void ShowProgramSettingsMark(bool Shown);
    bool ProgramSettingsMarked() const;
    // Sends the program's settings and program to the board.
    void SendProgramSettings();
    // Reads the board's settings and program as they are now (no RECALL from its EEPROM).
    void ReadBoardSettings();

private:
    TBoardSession& FSession;
    TUiServices& FUi;
    TStatusLine& FStatus;
    QPushButton* btnRecallFromEEPROM;
    QPushButton* btnSaveToEEPROM;
    QWidget* pnlProgramSettings;
    QLabel* lblProgramSettings;
    QPushButton* btnSendProgramSettings;
    QPushButton* btnReadBoardSettings;
};

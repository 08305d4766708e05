#pragma once
// The status bar's text: what the last action or event said, the progress of long work, and the
// mark for changes not yet in the EEPROM.
#include <QLabel>
#include <string>

class QStatusBar;

class TStatusLine : public QLabel {
    Q_OBJECT
public:
    // Takes its place in Bar, with the unsaved mark at the right.
    explicit TStatusLine(QStatusBar* Bar);

    std::string Text() const { return text().toStdString(); }
    void SetText(const std::string& Value) { setText(QString::fromStdString(Value)); }
    // Adds Value after what is shown, as a sentence of its own.
    void Append(const std::string& Value);
    // A widget shown at the right, before the unsaved mark.
    void AddPermanent(QWidget* Widget);
    void ShowUnsaved(bool Unsaved);

    // Long work's progress; empty when the work ended.
    void ShowProgress(const std::string& Value);
    // An error arrived during long work: it says more than the progress, so the progress stays away.
    void ErrorDuringWork();

private:
    QStatusBar* FBar;
    QLabel* FUnsaved;
    std::string FProgressShown;
    bool FProgressReplaced = false;
};

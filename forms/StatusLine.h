#pragma once
// The status bar's text: what the last action or event said, the progress of long work, and the
// mark for changes not yet in the EEPROM. A text too long for the bar is shortened in the middle
// and shown whole on hover; the last texts stay in a list the user can open.
#include <QLabel>
#include <deque>
#include <string>

class QStatusBar;
class QToolButton;

class TStatusLine : public QLabel {
    Q_OBJECT
public:
    // Takes its place in Bar, with the unsaved mark at the right.
    explicit TStatusLine(QStatusBar* Bar);

    // The whole text, however much of it the bar shows.
    std::string Text() const { return FText; }
    void SetText(const std::string& Value);
    // Adds Value after what is shown, as a sentence of its own.
    void Append(const std::string& Value);
    // Puts Value in the list of messages without showing it (what another window or a mark shows).
    void Note(const std::string& Value);
    // A widget shown at the right, before the unsaved mark.
    void AddPermanent(QWidget* Widget);
    void ShowUnsaved(bool Unsaved);

    // Long work's progress; empty when the work ended.
    void ShowProgress(const std::string& Value);
    // An error arrived during long work: it says more than the progress, so the progress stays away.
    void ErrorDuringWork();

    // The texts shown so far, oldest first, each with the time it came ("hh:mm:ss  text"). Progress
    // is left out: a retrieval's sixty steps would push every message out of it.
    const std::deque<QString>& History() const { return FHistory; }
    void ShowHistory();

protected:
    void resizeEvent(QResizeEvent* Event) override;

private:
    void Show(const std::string& Value, bool Remember);
    void ShowFitted();

    static constexpr size_t HistoryLength = 200;
    QStatusBar* FBar;
    QToolButton* FHistoryButton;
    QLabel* FUnsaved;
    std::string FText;
    std::deque<QString> FHistory;
    std::string FProgressShown;
    bool FProgressReplaced = false;
};

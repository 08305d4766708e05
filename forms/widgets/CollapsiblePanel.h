#pragma once
// A section with a clickable header that hides and shows its body. The window it sits in
// follows the change of height (ExpandedChanged carries it), so opening a section grows the
// window instead of squeezing its neighbours.
#include <QColor>
#include <QFrame>
#include <QString>

class QToolButton;
class QVBoxLayout;

class TCollapsiblePanel : public QFrame {
    Q_OBJECT
public:
    explicit TCollapsiblePanel(const QString& Caption, QWidget* Parent = nullptr);

    // The widget that holds the panel's controls; hidden while collapsed.
    QWidget* Body() const { return FBody; }
    bool Expanded() const { return FExpanded; }
    // Opens or closes the body; emits ExpandedChanged only when the state changes.
    void SetExpanded(bool Value);
    // The header text now shown (the expanded or the collapsed caption).
    QString Caption() const;
    void SetExpandedCaption(const QString& Value);
    // Empty: the expanded caption is shown in both states.
    void SetCollapsedCaption(const QString& Value);
    QString CollapsedCaption() const { return FCollapsedCaption; }
    // Background of header and body.
    void SetColor(const QColor& Value);
    // A panel that fills the remaining height grows while expanded and keeps its header only
    // while collapsed.
    void SetFillsHeight(bool Value);
    bool FillsHeight() const { return FFillsHeight; }
    // The height the body takes when it is opened before it was ever on the screen.
    void SetBodyHeight(int Value);

signals:
    // HeightDelta is what the panel gained (negative when it gave room up); an estimate while the
    // panel is not on the screen.
    void ExpandedChanged(bool Expanded, int HeightDelta);

private:
    void UpdateHeader();
    void UpdateSizePolicy();

    QToolButton* FHeader;
    QWidget* FBody;
    QVBoxLayout* FLayout;
    QString FExpandedCaption;
    QString FCollapsedCaption;
    bool FExpanded = true;
    bool FFillsHeight = false;
    int FGivenUpHeight = 0;
    int FBodyHeight = 0;
};

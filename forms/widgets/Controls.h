#pragma once
// Small controls the windows are built from: a captioned sub-panel, a tool button that only
// the program presses, a clickable picture and a file-name box with a browse button.
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QToolButton>
#include <functional>
#include <string>

#include "UiServices.h"

class QHBoxLayout;
class QLineEdit;

// A framed panel with a caption bar (caption at the left, an optional control at the right).
class TCaptionPanel : public QFrame {
    Q_OBJECT
public:
    explicit TCaptionPanel(const QString& Caption, QWidget* Parent = nullptr);
    QWidget* Body() const { return FBody; }
    QLabel* CaptionLabel() const { return FCaption; }
    // Puts Control at the right end of the caption bar.
    void SetCaptionControl(QWidget* Control);
    // Lines up the caption bars of panels side by side, with and without a control in them.
    void SetCaptionHeight(int Value);

private:
    QLabel* FCaption;
    QHBoxLayout* FCaptionBar;
    QWidget* FBody;
};

// A drop-down list that says when its list is about to open, so the list can be filled then.
class TDropDownComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;

signals:
    void DropDown();
};

// A tool button whose pressed look is set by the program alone; a click does not toggle it.
class TPressedToolButton : public QToolButton {
    Q_OBJECT
public:
    explicit TPressedToolButton(QWidget* Parent = nullptr);
    bool Pressed() const { return isChecked(); }
    void SetPressed(bool Value) { setChecked(Value); }

protected:
    void nextCheckState() override {}
};

// A picture or text that reacts to a click, with a hand cursor.
class TClickableLabel : public QLabel {
    Q_OBJECT
public:
    explicit TClickableLabel(QWidget* Parent = nullptr);

signals:
    void Clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* Event) override;
};

// A read-only file name with a browse button. The dialog is shown through DialogRunner;
// AfterDialog may change the name or refuse it (Action false) before the box takes it.
class TFileNameEdit : public QWidget {
    Q_OBJECT
public:
    using TDialogRunner = std::function<bool(const TFileDialogRequest&, std::string&)>;
    using TAfterDialog = std::function<void(std::string& Name, bool& Action)>;

    explicit TFileNameEdit(QWidget* Parent = nullptr);

    QString Text() const;
    void SetText(const QString& Value);
    QLineEdit* Edit() const { return FEdit; }
    QToolButton* BrowseButton() const { return FBrowse; }
    // The dialog's title, filters, suffix and folder; the file name is the box's text.
    TFileDialogRequest& Dialog() { return FDialog; }
    void SetDialogRunner(TDialogRunner Runner) { FRunner = std::move(Runner); }
    void SetAfterDialog(TAfterDialog Handler) { FAfterDialog = std::move(Handler); }
    // Shows the dialog as the browse button does; true when a name was taken.
    bool Browse();

private:
    QLineEdit* FEdit;
    QToolButton* FBrowse;
    TFileDialogRequest FDialog;
    TDialogRunner FRunner;
    TAfterDialog FAfterDialog;
};

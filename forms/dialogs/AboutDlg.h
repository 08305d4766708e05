#pragma once
// The about box: the program's title and version, and the maker's logo and notice.
#include <QDialog>
#include <string>

class QLabel;
class QPushButton;
class TClickableLabel;
class TUiServices;

// "%u.%u.%u.%u" of the first four numbers in Version ("1.0" gives "1.0.0.0").
std::string FileVersionText(const std::string& Version);

class TformAbout : public QDialog {
    Q_OBJECT
public:
    // Ui opens the web address (the main window's services; null means the real ones).
    explicit TformAbout(TUiServices* Ui = nullptr, QWidget* Parent = nullptr);
    ~TformAbout() override;

    QPushButton* BitBtn1 = nullptr;
    TClickableLabel* imgLogo = nullptr;
    QLabel* labelTitle = nullptr;
    QLabel* labelVersion = nullptr;
    QLabel* Label1 = nullptr;

    void FormCreate();
    void imgLogoClick();

protected:
    void showEvent(QShowEvent* Event) override;

private:
    TUiServices* FUi;
    TUiServices* FOwnUi = nullptr;
};

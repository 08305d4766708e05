#include "UiServices.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QUrl>

#include "Errors.h"
#include "FileDialog.h"

namespace {

TUiServices* GErrorBoxServices = nullptr;

QMessageBox::StandardButton StandardButton(TMsgButton Button) {
    switch (Button) {
        case mbOK:
            return QMessageBox::Ok;
        case mbCancel:
            return QMessageBox::Cancel;
        case mbAbort:
            return QMessageBox::Abort;
        case mbYes:
            return QMessageBox::Yes;
        case mbNo:
            return QMessageBox::No;
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon Icon(TMsgKind Kind) {
    switch (Kind) {
        case mkInformation:
            return QMessageBox::Information;
        case mkQuestion:
            return QMessageBox::Question;
        case mkWarning:
            return QMessageBox::Warning;
        case mkError:
            return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

void TUiServices::ShowError(QWidget* Owner, const std::string& Text) {
    Message(Owner, TMessageRequest{mkError, std::string(), Text, {mbOK}});
}

void TUiServices::ShowInformation(QWidget* Owner, const std::string& Text) {
    Message(Owner, TMessageRequest{mkInformation, std::string(), Text, {mbOK}});
}

TMsgButton TUiServices::Ask(QWidget* Owner, const std::string& Caption, const std::string& Text,
                            TMsgButtons Buttons) {
    return Message(Owner, TMessageRequest{mkQuestion, Caption, Text, std::move(Buttons)});
}

TMsgButton TRealUiServices::Message(QWidget* Owner, const TMessageRequest& Request) {
    const QString caption = Request.Caption.empty() ? QApplication::applicationDisplayName()
                                                    : QString::fromStdString(Request.Caption);
    // Texts written for CR LF line ends would show a stray box for every CR.
    QString text = QString::fromStdString(Request.Text);
    text.replace("\r\n", "\n").replace("\n\r", "\n").replace('\r', '\n');
    QMessageBox box(Icon(Request.Kind), caption, text, QMessageBox::NoButton, Owner);
    for (TMsgButton b : Request.Buttons) box.addButton(StandardButton(b));
    if (!Request.Buttons.empty()) box.setDefaultButton(StandardButton(Request.Buttons.front()));
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    for (TMsgButton b : Request.Buttons)
        if (clicked != nullptr && clicked == box.button(StandardButton(b))) return b;
    return mbCancel;
}

std::vector<std::string> QtNameFilters(const std::string& Filter) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= Filter.size()) {
        const size_t bar = Filter.find('|', start);
        parts.push_back(Filter.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    std::vector<std::string> filters;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string pattern = parts[i + 1];
        for (char& c : pattern)
            if (c == ';') c = ' ';
        // Qt reads the patterns from the last parentheses; a description that shows them already
        // would otherwise get them twice.
        const std::string shown = "(" + pattern + ")";
        const std::string& description = parts[i];
        if (description.size() >= shown.size() &&
            description.compare(description.size() - shown.size(), shown.size(), shown) == 0)
            filters.push_back(description);
        else
            filters.push_back(description + " " + shown);
    }
    return filters;
}

TFileDialog::TFileDialog(QWidget* Owner, const TFileDialogRequest& Request)
    : QFileDialog(Owner, QString::fromStdString(Request.Title),
                  QString::fromStdString(Request.InitialFolder)),
      FPathMustExist(Request.PathMustExist) {
    setAcceptMode(Request.Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    setFileMode(Request.FileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    setOption(QFileDialog::DontConfirmOverwrite, !Request.OverwritePrompt);
    QStringList filters;
    for (const auto& f : QtNameFilters(Request.Filter)) filters << QString::fromStdString(f);
    setNameFilters(filters);
    if (Request.FilterIndex >= 1 && Request.FilterIndex <= filters.size())
        selectNameFilter(filters[Request.FilterIndex - 1]);
    QString suffix = QString::fromStdString(Request.DefaultSuffix);
    if (suffix.startsWith('.')) suffix.remove(0, 1);
    setDefaultSuffix(suffix);
    if (!Request.FileName.empty()) selectFile(QString::fromStdString(Request.FileName));
}

void TFileDialog::accept() {
    // Qt takes a typed name in any folder; the save that follows would fail far from the dialog.
    const QStringList files = selectedFiles();
    if (FPathMustExist && !files.isEmpty() && !QFileInfo(files.front()).isDir()) {
        const QFileInfo folder(QFileInfo(files.front()).absolutePath());
        if (!folder.isDir()) {
            QMessageBox::warning(
                this, windowTitle(),
                folder.filePath() + "\nFolder not found.\nPlease verify the correct folder name was given.");
            return;
        }
    }
    QFileDialog::accept();
}

bool TRealUiServices::FileDialog(QWidget* Owner, const TFileDialogRequest& Request, std::string& FileName) {
    TFileDialog dialog(Owner, Request);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    FileName = dialog.selectedFiles().front().toStdString();
    return true;
}

bool TUiServices::AskText(QWidget* Owner, const std::string& Caption, const std::string& Label,
                          std::string& Text) {
    bool ok = false;
    const QString answer =
        QInputDialog::getText(Owner, QString::fromStdString(Caption), QString::fromStdString(Label),
                              QLineEdit::Normal, QString::fromStdString(Text), &ok);
    if (ok) Text = answer.trimmed().toStdString();
    return ok;
}

bool TRealUiServices::OpenUrl(const std::string& Url) {
    return QDesktopServices::openUrl(QUrl(QString::fromStdString(Url)));
}

bool TRealUiServices::StartProgram(const std::string& Program, const std::string& Folder) {
    return QProcess::startDetached(QString::fromStdString(Program), {}, QString::fromStdString(Folder));
}

std::string ErrorText(const std::exception& E) {
    return E.what();
}

bool RunGuarded(TUiServices& Ui, QWidget* Owner, const std::function<void()>& Handler) {
    try {
        Handler();
        return true;
    } catch (const std::exception& e) {
        Ui.ShowError(Owner, ErrorText(e));
    }
    return false;
}

TUiServices* ErrorBoxServices() {
    return GErrorBoxServices;
}

void SetErrorBoxServices(TUiServices* Services) {
    GErrorBoxServices = Services;
}

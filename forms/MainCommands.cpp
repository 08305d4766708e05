// The menus' commands: settings files, data logs and the trends, the firmware update, the about box.
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontDatabase>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>

#include "AboutDlg.h"
#include "GeneralLib.h"
#include "LogRecorder.h"
#include "Main.h"
#include "SharedPorts.h"
#include "StatusLine.h"
#include "TrendsWnd.h"

namespace {

const char* const SettingsFilter = "Velmorant Settings (*.velmor)|*.velmor";

const char* const UpdateModeText =
    "The Velmorant will now be rebooted in \"update mode\" so that\n\ryou can load new firmware using the "
    "HIDBootloader program.";
const char* const RunUpdaterText =
    "Now run the HIDBootloader program to update the firmware on the Velmorant.";

void PrepareSettingsDialog(TFileDialogRequest& Dialog, bool Save) {
    Dialog.Save = Save;
    Dialog.Title = Save ? "Save Settings" : "Recall Settings";
    Dialog.Filter = SettingsFilter;
    Dialog.FilterIndex = 1;
    Dialog.DefaultSuffix = ".velmor";
    Dialog.OverwritePrompt = Save;
    Dialog.FileMustExist = !Save;
    Dialog.FileName = NameWithoutFolder(Dialog.FileName);
}

std::string FirmwareUpdaterFolder() {
    return GetSpecialFolderPath(sfProgramFiles) + "Tarnwick/Velmorant/Firmware/";
}

}  // namespace

void TformMain::miRecallfromFileClick() {
    if (FSession->LongWorkPending()) return;
    PrepareSettingsDialog(dlgOpen, false);
    std::string chosen;
    if (!FUi->FileDialog(this, dlgOpen, chosen)) return;
    dlgOpen.FileName = chosen;
    dlgSave.FileName = NameWithoutFolder(chosen);
    RecallSettingsFile(chosen);
}

void TformMain::RecallSettingsFile(const std::string& FileName, bool KeptChanges) {
    // An error here leaves the caption and the panels as they were; what was applied stays applied.
    auto done = [this, FileName, KeptChanges](int Sent) {
        // Kept changes are no document of the user's: the caption keeps the name it had.
        if (!KeptChanges)
            setWindowTitle(QString::fromStdString(NameWithoutFolder(FileName) + " - Velmorant"));
        // A board lost on the way did not get everything: the loss is what the user must read.
        if (FSession->State().Lost) return;
        FEEPROM->ShowProgramSettingsMark(false);
        SetStatusText("Settings recalled from " + FileName +
                      (Sent > 0 ? ", " + std::to_string(Sent) + " program lines sent to the Velmorant"
                                : std::string()));
    };
    if (KeptChanges)
        FSession->RecallKeptChanges(FileName, std::move(done));
    else
        FSession->RecallSettingsFile(FileName, std::move(done));
}

std::string TformMain::LinesInErrorText(const std::vector<int>& Lines) {
    std::string text = Lines.size() == 1 ? "Program line " : "Program lines ";
    for (size_t i = 0; i < Lines.size(); ++i)
        text += (i == 0 ? "" : i + 1 == Lines.size() ? " and " : ", ") + std::to_string(Lines[i]);
    return text + (Lines.size() == 1 ? " has an error" : " have errors");
}

void TformMain::miSavetoFileClick() {
    const std::vector<int> inError = FPLC->LinesInError();
    if (!inError.empty()) {
        // The file keeps what the program holds for them, not the typed text, which would be lost.
        const std::string question =
            LinesInErrorText(inError) +
            ". The file would keep the lines as they were before, and what you typed "
            "would be lost.\r\nSave anyway?";
        if (FUi->Ask(this, "Save Settings", question, {mbYes, mbNo}) != mbYes) return;
    }
    PrepareSettingsDialog(dlgSave, true);
    std::string chosen;
    if (!FUi->FileDialog(this, dlgSave, chosen)) return;
    dlgSave.FileName = chosen;
    dlgOpen.FileName = NameWithoutFolder(chosen);
    FSession->SaveSettingsFile(chosen, [this, chosen] {
        setWindowTitle(QString::fromStdString(NameWithoutFolder(chosen) + " - Velmorant"));
        SetStatusText("Settings saved in " + chosen);
    });
}

TformTrends& TformMain::Trends() {
    if (FTrends == nullptr) {
        FTrends = new TformTrends(this, FTrendHistory);
        FTrends->SetUiServices(FUi.get());
        FTrends->SetSession(*FSession);
        FTrends->SetTenBits(FAnalog->TenBits());
        connect(FAnalog, &TAnalogPanel::TenBitsChanged, FTrends, &TformTrends::SetTenBits);
        connect(FTrends, &TformTrends::Noted, this,
                [this](const QString& Text) { FStatus->Note(Text.toStdString()); });
    }
    // Open Log starts where the logs go, which the user may have changed since.
    FTrends->SetLogFolder(LogFolder());
    return *FTrends;
}

std::string TformMain::LogFolder() const {
    const std::string& target = FLogging->DataLogger().Target();
    return target.empty() ? ApplicationFolders.UserDataPath : target.substr(0, target.rfind('/') + 1);
}

void TformMain::miTrendsClick() {
    Trends().show();
    Trends().raise();
}

void TformMain::miOpenDataLogClick() {
    TFileDialogRequest dialog;
    dialog.Title = "Open Data Log";
    dialog.Filter = "Data logs (*.csv)|*.csv";
    dialog.FilterIndex = 1;
    dialog.FileMustExist = true;
    dialog.InitialFolder = LogFolder();
    std::string chosen;
    if (!FUi->FileDialog(this, dialog, chosen)) return;
    miTrendsClick();
    // More files of one recording can be added from the trends window's own menu or by dropping them.
    Trends().OpenLogFiles({QString::fromStdString(chosen)});
}

void TformMain::dragEnterEvent(QDragEnterEvent* Event) {
    if (Event->mimeData()->hasUrls()) Event->acceptProposedAction();
}

void TformMain::dropEvent(QDropEvent* Event) {
    QStringList files;
    for (const QUrl& url : Event->mimeData()->urls())
        if (url.isLocalFile()) files << url.toLocalFile();
    if (files.isEmpty()) return;
    Event->acceptProposedAction();
    miTrendsClick();
    Trends().OpenLogFiles(files);
}

void TformMain::miUpdateFirmwareClick() {
    if (!FSession->State().DevicePresent) return;
    // The service would refuse BTLDR; the user is told why and what to do before anything is asked.
    for (const TSharedPortNotice& shared : FindSharedPorts(SharedPortFolders()))
        if (shared.Address == FSession->State().ComPortName) {
            FUi->ShowError(this, "The Velmorant on " + shared.Board +
                                     " is shared by velmorant serve, which holds it for other programs. "
                                     "Its firmware is updated with the board to itself: stop the service, "
                                     "then connect to " +
                                     shared.Board + " and update it.");
            return;
        }
    if (FUi->Message(this, TMessageRequest{mkInformation, std::string(), UpdateModeText, {mbOK, mbAbort}}) !=
        mbOK)
        return;
    FSession->UpdateFirmware([this] {
        ShowConnectionState();
        StartFirmwareUpdater();
    });
}

void TformMain::StartFirmwareUpdater() {
    const std::string folder = FirmwareUpdaterFolder();
    const std::string updater = folder + "HIDBootloader";
    std::error_code error;
    // is_regular_file follows links, so a link counts when its target is there.
    if (std::filesystem::is_regular_file(updater, error))
        FUi->StartProgram(updater, folder);
    else
        FUi->ShowInformation(this, RunUpdaterText);
}

void TformMain::miExitClick() {
    close();
}

void TformMain::ShowHelpText(const QString& Title, const char* Text) {
    auto* dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName("dlgHelp");
    dialog->setWindowTitle(Title + " - Velmorant");
    auto* text = new QPlainTextEdit(QString::fromUtf8(Text), dialog);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The texts line their columns up with spaces.
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(text);
    layout->addWidget(buttons);
    const QFontMetrics metrics(text->font());
    dialog->resize(metrics.horizontalAdvance(QString(76, 'x')) + 40, metrics.lineSpacing() * 30 + 60);
    dialog->show();
}

void TformMain::miAboutClick() {
    if (FAbout != nullptr) FAbout->exec();
}

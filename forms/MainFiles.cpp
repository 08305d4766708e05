// The File menu's settings-file commands.
#include <QString>

#include "Main.h"

namespace {

const char* const SettingsFilter = "Velmorant Settings (*.velmor)|*.velmor";

// The name without its folder, so that a dialog opens in its own folder with that name filled in.
std::string NameWithoutFolder(const std::string& Path) {
    const size_t slash = Path.find_last_of('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

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

}  // namespace

void TformMain::miRecallfromFileClick() {
    PrepareSettingsDialog(dlgOpen, false);
    std::string chosen;
    if (!FUi->FileDialog(this, dlgOpen, chosen)) return;
    dlgOpen.FileName = chosen;
    dlgSave.FileName = NameWithoutFolder(chosen);
    // An error here leaves the caption and the panels as they were; what was applied stays applied.
    FVelmorant->RecallSettingsFromFile(chosen, true);
    setWindowTitle(QString::fromStdString(NameWithoutFolder(chosen) + " - Velmorant"));
    RefreshDisplay(true, true);
}

void TformMain::miSavetoFileClick() {
    PrepareSettingsDialog(dlgSave, true);
    std::string chosen;
    if (!FUi->FileDialog(this, dlgSave, chosen)) return;
    dlgSave.FileName = chosen;
    dlgOpen.FileName = NameWithoutFolder(chosen);
    FVelmorant->SaveSettingsInFile(chosen, true);
    setWindowTitle(QString::fromStdString(NameWithoutFolder(chosen) + " - Velmorant"));
}

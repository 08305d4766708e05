// The firmware update command.
#include <filesystem>
#include <system_error>

#include "GeneralLib.h"
#include "Main.h"

namespace {

const char* const UpdateModeText =
    "The Velmorant will now be rebooted in \"update mode\" so that\n\ryou can load new firmware using the "
    "HIDBootloader program.";
const char* const RunUpdaterText =
    "Now run the HIDBootloader program to update the firmware on the Velmorant.";

std::string FirmwareUpdaterFolder() {
    return GetSpecialFolderPath(sfProgramFiles) + "Tarnwick/Velmorant/Firmware/";
}

}  // namespace

void TformMain::miUpdateFirmwareClick() {
    if (!FSession->State().DevicePresent) return;
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

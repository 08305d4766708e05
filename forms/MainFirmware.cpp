// The firmware update command.
#include "Main.h"

void TformMain::miUpdateFirmwareClick() {}

// The File menu's settings-file commands.
#include "Main.h"

void TformMain::miRecallfromFileClick() {}

void TformMain::miSavetoFileClick() {}

// Data logging: the logger's set-up, the rows of the status timer and the logging controls.
#include "Main.h"

void TformMain::SetUpLogging() {}

void TformMain::LogRow(const std::string&) {}

void TformMain::FinishLogging() {}

void TformMain::chkEnableDataLoggingClick() {}

void TformMain::editLogFilenameAfterDialog(std::string&, bool&) {}

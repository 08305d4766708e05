// The PLC program editor: program grid, run, stop, single step and PLC mode.
#include "Main.h"

void TformMain::gridProgramEndEditing(int, int, const std::string&) {}

void TformMain::tbtnRunClick() {}

void TformMain::tbtnStopClick() {}

void TformMain::tbtnSingleStepClick() {}

void TformMain::chkPLCEnabledClick() {}

int TformMain::CurrentLine() const {
    return -1;
}

void TformMain::SetCurrentLine(int) {}

// TVelmorant: the cache taken and put back as a whole.
#include "Device_VL.h"

TVelmorant::TCache TVelmorant::Cache() const {
    return TCache{FADCOffsets,    FChanged,      FPinComments,    FPLCEnabled,  FPLCRunMode,
                  FPortDirection, FProgramLines, FPullupsEnabled, FUpdatePeriod};
}

void TVelmorant::RestoreCache(const TCache& Cache) {
    FADCOffsets = Cache.ADCOffsets;
    SetChanged(Cache.Changed);
    FPinComments = Cache.PinComments;
    FPLCEnabled = Cache.PLCEnabled;
    FPLCRunMode = Cache.PLCRunMode;
    FPortDirection = Cache.PortDirection;
    FProgramLines = Cache.ProgramLines;
    FPullupsEnabled = Cache.PullupsEnabled;
    FUpdatePeriod = Cache.UpdatePeriod;
}

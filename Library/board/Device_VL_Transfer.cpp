// TVelmorant: the whole configuration to and from the board, and the program lines one by one.
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "Device_VL.h"
#include "Errors.h"

void TVelmorant::CheckProgramIndex(int Index) const {
    if (Index < 0 || Index >= ProgramLineCount())
        throw std::out_of_range("Program line " + std::to_string(Index) + " is outside 0.." +
                                std::to_string(ProgramLineCount() - 1));
}

bool TVelmorant::RetrieveSettings(bool FromEEPROM) {
    if (!FDevicePresent) return false;

    FRecalledFromEEPROM = FromEEPROM && Command("RECALL", "Error recalling settings");
    if (FRecalledFromEEPROM) SetChanged(false);

    // A reply that is no setting leaves the cache as it was: it is reported, never taken as 0.
    if (const auto Period = Query("UR?", "Error getting update rate", INT32_MIN, INT32_MAX))
        FUpdatePeriod = *Period;

    // Only ports 0 and 2 have pull-ups. Once a pull-up query fails the board is taken to be gone
    // for the rest of the ports, which are skipped; the later steps still run.
    bool PullupsRead = true;
    for (int Port = 0; Port < PortCountConst; ++Port) {
        // A direction that is no number keeps the cached one; a number out of range is an error the
        // user sees.
        int Direction = 0;
        if (SendCommandToDevice("DIRRD" + std::to_string(Port), FResponse)) {
            if (!ReadDecimal(FResponse, Direction))
                BadReply("Error getting port direction");
            else if (Direction < 0 || Direction > 255)
                throw ERangeError("Range check error: direction " + std::to_string(Direction) + " of port " +
                                  std::to_string(Port) + " is outside 0..255");
            else
                FPortDirection[Port] = static_cast<uint8_t>(Direction);
        }
        if (Port == 0 || Port == 2) {
            PullupsRead = Exchange("PU" + std::to_string(Port) + "?", "Error getting pullups");
            if (!PullupsRead) break;
            int Pullups = 0;
            if (ReadDecimal(FResponse, Pullups))
                FPullupsEnabled[Port] = Pullups != 0;
            else
                BadReply("Error getting pullups");
        }
    }

    for (int Input = 0; Input < AnalogInputCount; ++Input) FADCOffsets[Input] = ReadADCOffset(Input);

    for (int Line = 0; Line < ProgramLineCount(); ++Line) {
        if (!UploadProgramLine(Line)) {
            DoError("Error reading PLC program");
            break;
        }
    }

    FPLCEnabled = ReadPLCEnabled();
    FPLCRunMode = ReadPLCRunMode();
    return PullupsRead;
}

bool TVelmorant::SaveSettingsInEEPROM() {
    if (!FDevicePresent) return false;
    if (!Command("SAVE", "Error saving settings")) return false;
    SetChanged(false);
    return true;
}

TProgramLine TVelmorant::GetProgramLine(int Index) const {
    CheckProgramIndex(Index);
    return FProgramLines[Index];
}

void TVelmorant::SetProgramLine(int Index, const TProgramLine& Value) {
    CheckProgramIndex(Index);
    TProgramLine& Stored = FProgramLines[Index];
    if (!SameProgramCode(Stored, Value)) MarkChanged(csProgram);
    Stored = Value;
}

bool TVelmorant::DownloadProgramLine(int Line) {
    CheckProgramIndex(Line);
    const TCompiledLineBytes Bytes = CompileProgramLine(FProgramLines[Line]);
    char Command[32];
    std::snprintf(Command, sizeof Command, "PLCWR%d %02X%02X%02X%02X", Line, Bytes[0], Bytes[1], Bytes[2],
                  Bytes[3]);
    if (!FDevicePresent) return false;
    return this->Command(Command, "Error writing PLC program");
}

bool TVelmorant::UploadProgramLine(int Line) {
    CheckProgramIndex(Line);
    if (!FDevicePresent) return false;
    if (!Exchange("PLCRD" + std::to_string(Line), "Error recalling PLC program")) return false;
    // The board sends one byte per character: count and convert those, not their UTF-8 form.
    const std::string Reply = StringToBytes(FResponse);
    if (Reply.size() != 8) return false;
    TCompiledLineBytes Bytes{};
    try {
        Bytes = HexToCompiledLine(Reply);
    } catch (const EConvertError& Error) {
        throw EConvertError(BytesToString(Error.what()));  // the offending byte shown as its character
    }
    // A line type the board should not hold leaves a cleared NOP; the read itself succeeded.
    CompiledToProgramLine(FProgramLines[Line], Bytes);
    return true;
}

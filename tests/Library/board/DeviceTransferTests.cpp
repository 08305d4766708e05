// The whole configuration read from and saved on the board, and program lines one at a time.
#include <gtest/gtest.h>

#include <functional>

#include "ConnectedDevice.h"
#include "Device_VL.h"
#include "Errors.h"
#include "TestProgramLines.h"

using velsim::TFault;
using veltest::Parsed;

namespace {

using TStrings = std::vector<std::string>;

class DeviceTransfer : public TConnectedDevice {
protected:
    // The commands of a retrieval: RECALL (when asked), the settings, Lines program lines, the PLC state.
    static TStrings Retrieval(bool FromEEPROM, int Lines) {
        TStrings Commands;
        if (FromEEPROM) Commands.push_back("RECALL");
        for (const char* C : {"UR?", "DIRRD0", "PU0?", "DIRRD1", "DIRRD2", "PU2?", "DIRRD3", "DIRRD4",
                              "DIRRD5", "AORD0", "AORD1", "AORD2", "AORD3", "AORD4"})
            Commands.push_back(C);
        for (int Line = 0; Line < Lines; ++Line) Commands.push_back("PLCRD" + std::to_string(Line));
        Commands.push_back("PLCEN?");
        Commands.push_back("PLCRM?");
        return Commands;
    }
};

// ---------------------------------------------------------------------------------------------
// Retrieval

TEST_F(DeviceTransfer, RetrievalReadsEverySettingInOrder) {
    Connect();
    {
        auto Lock = Sim().Lock();
        auto& Board = Sim().Board();
        Board.EEPROM.UpdatePeriod = 4;
        Board.EEPROM.Direction = {0x0F, 0xF0, 0, 255, 1, 128};
        Board.EEPROM.Pullups = {true, false, true, false, false, false};
        Board.EEPROM.ADCOffset = {-128, -5, 0, 17, 128};
        Board.EEPROM.PLCEnabled = false;
        Board.EEPROM.Program.at(2) = {0x1A, 0x07, 0x36, 0x9F};
        Board.EEPROM.Program.at(59) = {0x0C, 0x35, 0x00, 0x00};
        Board.RunMode = 2;
    }
    Device.SetProgramLine(2, Parsed("nop", "tank"));
    Device.SetChanged(true);

    EXPECT_TRUE(Device.RetrieveSettings(true));
    EXPECT_EQ(Sim().Commands(), Retrieval(true, 60));
    EXPECT_TRUE(Errors.empty());
    EXPECT_FALSE(Device.Changed());
    EXPECT_EQ(Device.UpdatePeriod(), 4);
    const uint8_t Directions[] = {0x0F, 0xF0, 0, 255, 1, 128};
    for (int Port = 0; Port < 6; ++Port) EXPECT_EQ(Device.GetPortDirection(Port), Directions[Port]);
    EXPECT_TRUE(Device.GetPullupsEnabled(0));
    EXPECT_TRUE(Device.GetPullupsEnabled(2));
    const int Offsets[] = {-128, -5, 0, 17, 128};
    for (int Input = 0; Input < 5; ++Input) EXPECT_EQ(Device.CachedADCOffset(Input), Offsets[Input]);
    EXPECT_FALSE(Device.PLCEnabled());
    EXPECT_EQ(Device.PLCRunMode(), rmRun);
    EXPECT_EQ(ProgramLineToText(Device.GetProgramLine(2)), "if AIN0 > 100 goto 7");
    EXPECT_EQ(Device.GetProgramLine(2).Comment, "tank");
    EXPECT_EQ(ProgramLineToText(Device.GetProgramLine(59)), "delay 250");
}

TEST_F(DeviceTransfer, RetrievalWithoutRecallLeavesChangedAlone) {
    Connect();
    Device.SetChanged(true);
    EXPECT_TRUE(Device.RetrieveSettings(false));
    EXPECT_EQ(Sim().Commands(), Retrieval(false, 60));
    EXPECT_TRUE(Device.Changed());
}

TEST_F(DeviceTransfer, WithoutABoardNothingIsTransferred) {
    Device.SetChanged(true);
    EXPECT_FALSE(Device.RetrieveSettings(true));
    EXPECT_FALSE(Device.SaveSettingsInEEPROM());
    EXPECT_TRUE(Device.Changed());
    EXPECT_TRUE(Errors.empty());
    EXPECT_TRUE(Sim().Commands().empty());
}

TEST_F(DeviceTransfer, PLCStateRepliesAreReadLenientlyButMustBeNumbers) {
    Connect();
    const struct {
        const char* Enabled;
        const char* Mode;
        bool ExpectedEnabled;
        TPLCRunMode ExpectedMode;
        size_t ErrorCount;
    } Cases[] = {
        {"2", "258", true, rmRun, 0},  // only the low byte names the mode
        {"1", "1", true, rmStep, 0},    {"0", "0", false, rmPaused, 0},
        {"?", "x1", false, rmStep, 2},   // no number: the cache stays, and the user is told
        {"-1", "7", true, rmPaused, 0},  // a byte that names no mode
        {"1", "-255", true, rmStep, 0},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Enabled) + " / " + Case.Mode);
        Errors.clear();
        Sim().OverrideReply("PLCEN?", Case.Enabled);
        Sim().OverrideReply("PLCRM?", Case.Mode);
        Device.SetPLCRunMode(rmStep);  // something else than the answer where possible
        EXPECT_TRUE(Device.RetrieveSettings(false));
        EXPECT_EQ(Device.PLCEnabled(), Case.ExpectedEnabled);
        EXPECT_EQ(Device.PLCRunMode(), Case.ExpectedMode);
        EXPECT_EQ(Errors.size(), Case.ErrorCount);
    }
}

TEST_F(DeviceTransfer, ASettingThatIsNoNumberKeepsTheCacheAndIsReported) {
    Connect();
    Device.SetPortDirection(2, 15);
    Device.SetUpdatePeriod(6);
    {
        auto Lock = Sim().Lock();
        Sim().Board().Working.Direction = {0, 0, 0, 0, 0, 0};
    }
    Sim().OverrideReply("DIRRD2", "?");
    Sim().OverrideReply("UR?", "x");
    Errors.clear();
    EXPECT_TRUE(Device.RetrieveSettings(false));
    EXPECT_EQ(Device.GetPortDirection(1), 0);
    EXPECT_EQ(Device.GetPortDirection(2), 15);
    EXPECT_EQ(Device.UpdatePeriod(), 6);
    EXPECT_EQ(Errors, (std::vector<std::string>{
                          std::string("Error getting update rate") + TVelmorant::BadReplySuffix,
                          std::string("Error getting port direction") + TVelmorant::NotUnderstoodSuffix}));
}

TEST_F(DeviceTransfer, ADirectionOutOfRangeEndsTheRetrieval) {
    for (const char* Reply : {"300", "-1", "256"}) {
        SCOPED_TRACE(Reply);
        Connect();
        {
            auto Lock = Sim().Lock();
            Sim().Board().Working.Direction = {3, 0, 0, 0, 0, 0};
            Sim().Board().Working.Pullups = {true, false, false, false, false, false};
        }
        Sim().OverrideReply("DIRRD1", Reply);
        try {
            Device.RetrieveSettings(false);
            ADD_FAILURE() << "no range error";
        } catch (const ERangeError& Error) {
            EXPECT_EQ(std::string(Error.what()),
                      "Range check error: direction " + std::string(Reply) + " of port 1 is outside 0..255");
        }
        EXPECT_EQ(Sim().Commands(), (TStrings{"UR?", "DIRRD0", "PU0?", "DIRRD1"}));
        EXPECT_EQ(Device.GetPortDirection(0), 3);
        EXPECT_TRUE(Device.GetPullupsEnabled(0));
        EXPECT_EQ(Device.GetPortDirection(1), 255);
        EXPECT_TRUE(Errors.empty());
    }
}

TEST_F(DeviceTransfer, EachFailedStepIsReportedAndTheRestGoesOn) {
    struct TCase {
        const char* Name;
        const char* Prefix;  // the command that gets no reply
        bool Result;
        TStrings Errors;
        TStrings Skipped;  // commands that are not sent at all
    };
    const TCase Cases[] = {
        {"recall", "RECALL", true, {"Error recalling settings"}, {}},
        {"update rate", "UR?", true, {"Error getting update rate"}, {}},
        {"direction", "DIRRD3", true, {}, {}},
        {"first pull-up",
         "PU0?",
         false,
         {"Error getting pullups"},
         {"DIRRD1", "DIRRD2", "PU2?", "DIRRD3", "DIRRD4", "DIRRD5"}},
        {"second pull-up", "PU2?", false, {"Error getting pullups"}, {"DIRRD3", "DIRRD4", "DIRRD5"}},
        {"offset", "AORD1", true, {"Error getting ADC offset"}, {}},
        {"PLC state", "PLCEN?", true, {"Error getting PLC state"}, {}},
        {"PLC mode", "PLCRM?", true, {"Error getting PLC run mode"}, {}},
    };
    Connect();
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Sim().ClearCommands();
        Errors.clear();
        Device.SetChanged(true);
        Sim().SetFaultFilter(Case.Prefix);
        Sim().SetFault(TFault::Silent, 1);
        EXPECT_EQ(Device.RetrieveSettings(true), Case.Result);
        EXPECT_EQ(Errors, Case.Errors);
        TStrings Expected;
        for (const auto& Command : Retrieval(true, 60))
            if (std::find(Case.Skipped.begin(), Case.Skipped.end(), Command) == Case.Skipped.end())
                Expected.push_back(Command);
        EXPECT_EQ(Sim().Commands(), Expected);
        // Only a successful RECALL clears Changed.
        EXPECT_EQ(Device.Changed(), std::string(Case.Prefix) == "RECALL");
    }
}

TEST_F(DeviceTransfer, FailedStepsKeepTheCachedValues) {
    Connect();
    Device.SetUpdatePeriod(6);
    Device.SetADCOffset(1, 9);
    Device.SetPLCEnabled(false);
    Device.SetPLCRunMode(rmStep);
    Sim().HangUp();
    Errors.clear();
    EXPECT_FALSE(Device.RetrieveSettings(true));
    EXPECT_EQ(
        Errors,
        (TStrings{"Error recalling settings", "Error getting update rate", "Error getting pullups",
                  "Error getting ADC offset", "Error getting ADC offset", "Error getting ADC offset",
                  "Error getting ADC offset", "Error getting ADC offset", "Error recalling PLC program",
                  "Error reading PLC program", "Error getting PLC state", "Error getting PLC run mode"}));
    EXPECT_EQ(Device.UpdatePeriod(), 6);
    EXPECT_EQ(Device.CachedADCOffset(1), 9);
    EXPECT_FALSE(Device.PLCEnabled());
    EXPECT_EQ(Device.PLCRunMode(), rmStep);
    EXPECT_TRUE(Device.Changed());
}

TEST_F(DeviceTransfer, TheFirstBadProgramLineStopsTheProgramRead) {
    const struct {
        const char* Name;
        const char* Reply;  // nullptr: no reply at all
        TStrings Errors;
    } Cases[] = {
        {"short", "1A07369", {"Error reading PLC program"}},
        {"long", "1A07369F0", {"Error reading PLC program"}},
        {"silent", nullptr, {"Error recalling PLC program", "Error reading PLC program"}},
    };
    Connect();
    {
        auto Lock = Sim().Lock();
        for (auto& Bytes : Sim().Board().Working.Program) Bytes = {0x01, 0x05, 0x00, 0x00};
    }
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        for (int Line = 0; Line < 60; ++Line) Device.SetProgramLine(Line, Parsed("nop"));
        Sim().ClearCommands();
        Errors.clear();
        Sim().SetFaultFilter("PLCRD3");
        Sim().OverrideReply("PLCRD3", Case.Reply ? Case.Reply : "");
        Sim().SetFault(Case.Reply ? TFault::None : TFault::Silent, 1);
        EXPECT_TRUE(Device.RetrieveSettings(false));
        EXPECT_EQ(Errors, Case.Errors);
        TStrings Expected = Retrieval(false, 4);
        EXPECT_EQ(Sim().Commands(), Expected);
        EXPECT_EQ(ProgramLineToText(Device.GetProgramLine(2)), "goto 5");
        EXPECT_EQ(ProgramLineToText(Device.GetProgramLine(3)), "nop");
        EXPECT_EQ(ProgramLineToText(Device.GetProgramLine(4)), "nop");
    }
}

TEST_F(DeviceTransfer, AProgramLineThatIsNotHexEndsTheRetrieval) {
    Connect();
    {
        auto Lock = Sim().Lock();
        Sim().Board().Working.Program.at(0) = {0x01, 0x05, 0x00, 0x00};
    }
    Sim().OverrideReply("PLCRD1", "1A07369G");
    try {
        Device.RetrieveSettings(false);
        ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& Error) {
        EXPECT_EQ(std::string(Error.what()), "'$9G' is not a valid integer value");
    }
    EXPECT_EQ(Sim().Commands().back(), "PLCRD1");
    EXPECT_EQ(ProgramLineToText(Device.GetProgramLine(0)), "goto 5");
}

TEST_F(DeviceTransfer, SavingClearsChangedOnlyWhenTheBoardAnswers) {
    Connect();
    Device.SetPortDirection(0, 1);
    ASSERT_TRUE(Device.Changed());
    Sim().ClearCommands();
    EXPECT_TRUE(Device.SaveSettingsInEEPROM());
    EXPECT_EQ(Sim().Commands(), TStrings{"SAVE"});
    EXPECT_FALSE(Device.Changed());
    {
        auto Lock = Sim().Lock();
        EXPECT_EQ(Sim().Board().EEPROM.Direction[0], 1);
    }
    Device.SetChanged(true);
    Sim().SetFault(TFault::Silent, 1);
    EXPECT_FALSE(Device.SaveSettingsInEEPROM());
    EXPECT_TRUE(Device.Changed());
    EXPECT_EQ(Errors, TStrings{"Error saving settings"});
}

// ---------------------------------------------------------------------------------------------
// Program lines

TEST_F(DeviceTransfer, StoringALineMarksChangedOnlyWhenItsCodeDiffers) {
    const struct {
        const char* Stored;
        const char* New;
        const char* NewComment;
        bool Changes;
    } Cases[] = {
        {"nop", "nop", "a comment", false},
        {"set port0 = 5", "SET Port0 = 5 or 0", "", false},
        {"set port0 = 5", "set port0 = 5 xor 0", "", true},
        {"goto 5", "goto 6", "", true},
        {"goto 5", "nop", "", true},
        {"if ain0 > 100 goto 7", "if ain0 < 100 goto 7", "", true},
        {"if ain0 > 100 goto 7", "if ain0 > 100 goto 8", "", true},
        {"delay 100", "delay 101", "", true},
        {"delay 100", "delay $64", "x", false},
        {"set pin3 = pin4 and 1", "set pin3 = pin4 and 2", "", true},
        {"set pin3 = pin4 and 1", "set pin2 = pin4 and 1", "", true},
        {"goto 7", "delay 7", "", true},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Stored) + " -> " + Case.New);
        Device.SetProgramLine(4, Parsed(Case.Stored, "old"));
        Device.SetChanged(false);
        const TProgramLine New = Parsed(Case.New, Case.NewComment);
        Device.SetProgramLine(4, New);
        EXPECT_EQ(Device.Changed(), Case.Changes);
        EXPECT_EQ(Device.GetProgramLine(4), New);
    }
}

TEST_F(DeviceTransfer, ParseErrorTextsDoNotCountAsCode) {
    TProgramLine Line = Parsed("goto 5");
    Device.SetProgramLine(0, Line);
    Device.SetChanged(false);
    Line.ParseError = "Invalid line number after GOTO";
    Line.RValue2.ParseError = "stale";
    Device.SetProgramLine(0, Line);
    EXPECT_FALSE(Device.Changed());
}

TEST_F(DeviceTransfer, DownloadSendsTheCompiledLine) {
    const struct {
        const char* Text;
        const char* Command;
    } Cases[] = {
        {"set pin3 = 1", "PLCWR3 1B093C3B"},
        {"nop", "PLCWR3 00000000"},
        {"if 255 = pin47 goto 60", "PLCWR3 027C3A35"},
        {"delay 250", "PLCWR3 0C350000"},
    };
    Connect();
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        Sim().ClearCommands();
        Device.SetProgramLine(3, Parsed(Case.Text));
        Device.SetChanged(false);
        EXPECT_TRUE(Device.DownloadProgramLine(3));
        EXPECT_EQ(Sim().Commands(), TStrings{Case.Command});
        EXPECT_FALSE(Device.Changed());
    }
    auto Lock = Sim().Lock();
    EXPECT_EQ(Sim().Board().Working.Program.at(3), (std::array<uint8_t, 4>{0x0C, 0x35, 0x00, 0x00}));
}

TEST_F(DeviceTransfer, AFailedDownloadIsReportedOnlyWithABoard) {
    Device.SetProgramLine(0, Parsed("goto 5"));
    EXPECT_FALSE(Device.DownloadProgramLine(0));
    EXPECT_TRUE(Errors.empty());
    Connect();
    Sim().HangUp();
    EXPECT_FALSE(Device.DownloadProgramLine(0));
    EXPECT_EQ(Errors, TStrings{"Error writing PLC program"});
}

TEST_F(DeviceTransfer, AnEightCharacterReplyThatIsNotHexRaisesTheConversionError) {
    Connect();
    Sim().OverrideReply("PLCRD0", "1A07369\xE9");
    try {
        Device.UploadProgramLine(0);
        ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& Error) {
        EXPECT_EQ(std::string(Error.what()), "'$9\u00e9' is not a valid integer value");
    }
}

TEST_F(DeviceTransfer, UploadDecodesTheReplyAndKeepsTheComment) {
    const struct {
        const char* Reply;
        bool Result;
        const char* Text;  // the line afterwards, which starts as "delay 9"
    } Cases[] = {
        {"1A07369F", true, "if AIN0 > 100 goto 7"},
        {"1a07369f", true, "if AIN0 > 100 goto 7"},
        {"01050000", true, "goto 5"},
        {"13810B03", true, "set PORT1 = PIN5 AND 200"},
        {"FFFFFFFF", true, "nop"},  // no such statement: a cleared line
        {"1A07369", false, "delay 9"},
        {"1A07369F0", false, "delay 9"},
        {"1A0736\xE9", false, "delay 9"},  // seven characters, eight bytes in UTF-8
        {"?", false, "delay 9"},
    };
    Connect();
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Reply);
        Device.SetProgramLine(0, Parsed("delay 9", "pump"));
        Device.SetChanged(false);
        Sim().ClearCommands();
        Sim().OverrideReply("PLCRD0", Case.Reply);
        EXPECT_EQ(Device.UploadProgramLine(0), Case.Result);
        EXPECT_EQ(Sim().Commands(), TStrings{"PLCRD0"});
        EXPECT_EQ(ProgramLineToText(Device.GetProgramLine(0)), Case.Text);
        EXPECT_EQ(Device.GetProgramLine(0).Comment, "pump");
        EXPECT_FALSE(Device.Changed());
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(DeviceTransfer, AFailedUploadIsReportedOnlyWithABoard) {
    EXPECT_FALSE(Device.UploadProgramLine(0));
    EXPECT_TRUE(Errors.empty());
    Connect();
    Sim().HangUp();
    EXPECT_FALSE(Device.UploadProgramLine(0));
    EXPECT_EQ(Errors, TStrings{"Error recalling PLC program"});
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Commands of a shared board's clients

// A client's command reaches the board as it is. What the board took is in the cache at once, as the
// driver's own setter would leave it; what it refused, and what sets nothing, leaves the cache alone.
TEST_F(DeviceTransfer, PassedCommandsAreFollowedInTheCache) {
    Connect();
    const TProgramLine Line = Parsed("set PIN0 = 1 OR 0");
    struct TCase {
        std::string Line;
        std::string Reply;
        bool Changed;  // the settings differ from the EEPROM's afterwards
        std::function<bool(const TVelmorant&)> Holds;
    };
    const auto Directions = [](int P0, int P3) {
        return
            [=](const TVelmorant& D) { return D.GetPortDirection(0) == P0 && D.GetPortDirection(3) == P3; };
    };
    const TCase Cases[] = {
        {"DIRWR0 15", "OK", true, Directions(15, 255)},
        {" DIRWR 3  7 ", "OK", true, Directions(15, 7)},  // the board reads blanks as this does
        {"PU0 1", "OK", true, [](const TVelmorant& D) { return D.GetPullupsEnabled(0); }},
        {"AOWR1 -5", "OK", true, [](const TVelmorant& D) { return D.CachedADCOffset(1) == -5; }},
        {"UR 3", "OK", true, [](const TVelmorant& D) { return D.UpdatePeriod() == 3; }},
        {"PLCEN 0", "OK", true, [](const TVelmorant& D) { return !D.PLCEnabled(); }},
        {"PLCRM 2", "OK", false, [](const TVelmorant& D) { return D.PLCRunMode() == rmRun; }},
        {veltest::WriteCommand(5, CompileProgramLine(Line)), "OK", true,
         [&](const TVelmorant& D) { return SameProgramCode(D.GetProgramLine(5), Line); }},
        {"DIRWR9 1", "?", false, Directions(15, 7)},
        {"dirwr0 0", "?", false, Directions(15, 7)},
        {"PINWR04 1", "OK", false, Directions(15, 7)},
        {"DIRRD0", "15", false, Directions(15, 7)},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Line);
        Device.SetChanged(false);
        std::string Reply;
        const TVelmorant::TPassed Passed = Device.PassCommand(C.Line, Reply);
        EXPECT_TRUE(Passed.Answered);
        EXPECT_FALSE(Passed.SettingsUnknown);
        EXPECT_EQ(Reply, C.Reply);
        EXPECT_EQ(Device.Changed(), C.Changed);
        EXPECT_TRUE(C.Holds(Device));
    }
    EXPECT_TRUE(Errors.empty());
}

// SAVE and RECALL: the cache is the EEPROM's again, read back from the board after a RECALL. A
// setting command that went unanswered may have been taken: the cache can no longer say.
TEST_F(DeviceTransfer, PassedEepromCommandsAndUnansweredChangesAreFollowed) {
    Connect();
    std::string Reply;
    Device.PassCommand("DIRWR1 1", Reply);
    EXPECT_TRUE(Device.Changed());
    EXPECT_FALSE(Device.PassCommand("SAVE", Reply).SettingsUnknown);
    EXPECT_FALSE(Device.Changed());
    {
        auto Lock = Sim().Lock();
        Sim().Board().EEPROM.Direction[1] = 0x0F;
    }
    EXPECT_FALSE(Device.PassCommand("RECALL", Reply).SettingsUnknown);
    EXPECT_EQ(Device.GetPortDirection(1), 0x0F);
    EXPECT_FALSE(Device.Changed());

    Sim().ClearCommands();
    EXPECT_FALSE(Device.PassCommand(" \t", Reply).Answered) << "a blank line awaits no reply";
    EXPECT_TRUE(Sim().Commands().empty());
    Sim().SetFault(TFault::Silent);
    const TVelmorant::TPassed Unanswered = Device.PassCommand("DIRWR1 2", Reply);
    EXPECT_FALSE(Unanswered.Answered);
    EXPECT_TRUE(Unanswered.SettingsUnknown);
    EXPECT_EQ(Device.GetPortDirection(1), 0x0F);
}

// The board's I/O state: live getters, cached settings, their traffic, Changed and error texts.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "ConnectedDevice.h"
#include "Device_VL.h"

using velsim::TFault;

namespace {

using TStrings = std::vector<std::string>;

class DeviceIO : public TConnectedDevice {};

// ---------------------------------------------------------------------------------------------
// Live values

struct TLiveCase {
    const char* Name;
    const char* Command;
    const char* Reply;
    std::optional<int> Expected;  // empty: a failed read, reported
    const char* Error;            // its text
};

std::optional<int> ReadLive(TVelmorant& Device, const std::string& Command) {
    if (Command.rfind("PRTRD", 0) == 0) return Device.ReadPortState(Command[5] - '0');
    if (Command.rfind("PINRD", 0) == 0) {
        const auto Pin = Device.ReadPinState(std::stoi(Command.substr(5)));
        return Pin ? std::optional<int>(*Pin ? 1 : 0) : std::nullopt;
    }
    if (Command.rfind("ADC", 0) == 0) return Device.ReadAnalogInputValue(Command[3] - '0');
    return Device.ReadTemperature();
}

int ReadLiveOrZero(TVelmorant& Device, const std::string& Command) {
    if (Command.rfind("PRTRD", 0) == 0) return Device.ReadPortStateOrZero(Command[5] - '0');
    if (Command.rfind("PINRD", 0) == 0)
        return Device.ReadPinStateOrFalse(std::stoi(Command.substr(5))) ? 1 : 0;
    if (Command.rfind("ADC", 0) == 0) return Device.ReadAnalogInputValueOrZero(Command[3] - '0');
    return Device.ReadTemperatureOrZero();
}

// A reply that is not what the command returns is a failed read, never a 0 passed off as a reading.
TEST_F(DeviceIO, LiveReadsReadTheirQuantityAndFailOnAnythingElse) {
    Connect();
    const std::string Port = std::string("Error reading port") + TVelmorant::BadReplySuffix;
    const TLiveCase Cases[] = {
        {"port", "PRTRD3", "170", 170, ""},
        {"port, sign", "PRTRD0", "+12", 12, ""},
        {"port, negative", "PRTRD5", "-3", {}, Port.c_str()},
        {"port, above a byte", "PRTRD5", "999", {}, Port.c_str()},
        {"port, not understood",
         "PRTRD1",
         "?",
         {},
         "Error reading port: the board did not understand the command"},
        {"port, trailing text", "PRTRD2", "12abc", {}, Port.c_str()},
        {"port, garbled", "PRTRD1", "x7", {}, Port.c_str()},
        {"port, hex is no decimal", "PRTRD2", "$FF", {}, Port.c_str()},
        {"port, beyond 32 bits", "PRTRD4", "4294967296", {}, Port.c_str()},
        {"pin, two digits", "PINRD07", "1", 1, ""},
        {"pin, any non-zero", "PINRD47", "2", 1, ""},
        {"pin, zero", "PINRD00", "0", 0, ""},
        {"pin, not a number",
         "PINRD12",
         "?",
         {},
         "Error reading pin: the board did not understand the command"},
        {"analog", "ADC4", "1023", 1023, ""},
        {"analog, above 10 bits",
         "ADC4",
         "1024",
         {},
         "Error reading ADC: the board's reply is not a valid value"},
        {"analog, not a number",
         "ADC0",
         "x",
         {},
         "Error reading ADC: the board's reply is not a valid value"},
        {"temperature", "TEMP", "77", 77, ""},
        {"temperature, below zero", "TEMP", "-4", -4, ""},
        {"temperature, garbled",
         "TEMP",
         "7x2",
         {},
         "Error reading temperature: the board's reply is not a valid value"},
        {"temperature, empty",
         "TEMP",
         "",
         {},
         "Error reading temperature: the board's reply is not a valid value"},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        // An empty override would remove it; a blank trims to the same empty reply.
        Sim().OverrideReply(Case.Command, *Case.Reply ? Case.Reply : " ");
        for (const bool Optional : {true, false}) {
            Sim().ClearCommands();
            Errors.clear();
            if (Optional)
                EXPECT_EQ(ReadLive(Device, Case.Command), Case.Expected);
            else
                EXPECT_EQ(ReadLiveOrZero(Device, Case.Command), Case.Expected.value_or(0));
            EXPECT_EQ(Sim().Commands(), TStrings{Case.Command});
            EXPECT_EQ(Errors, Case.Expected ? TStrings{} : TStrings{Case.Error});
        }
        Sim().OverrideReply(Case.Command, "");
    }
}

TEST_F(DeviceIO, LiveReadsReportAFailedExchangeOnceAndInOrder) {
    Connect();
    Sim().SetFault(TFault::Silent, 1);
    EXPECT_EQ(Device.ReadPortStateOrZero(1), 0);
    EXPECT_EQ(Errors, TStrings{"Error reading port"});
    Sim().HangUp();  // every later exchange fails at once
    EXPECT_FALSE(Device.ReadPinStateOrFalse(5));
    EXPECT_EQ(Device.ReadAnalogInputValueOrZero(2), 0);
    EXPECT_EQ(Device.ReadTemperatureOrZero(), 0);
    EXPECT_EQ(Errors, (TStrings{"Error reading port", "Error reading pin", "Error reading ADC",
                                "Error reading temperature"}));
    EXPECT_TRUE(Device.DevicePresent());
}

TEST_F(DeviceIO, WithoutABoardLiveReadsAnswerZeroQuietly) {
    EXPECT_EQ(Device.ReadPortState(0), std::nullopt);
    EXPECT_EQ(Device.ReadTemperature(), std::nullopt);
    EXPECT_EQ(Device.ReadPortStateOrZero(0), 0);
    EXPECT_FALSE(Device.ReadPinStateOrFalse(0));
    EXPECT_EQ(Device.ReadAnalogInputValueOrZero(0), 0);
    EXPECT_EQ(Device.ReadTemperatureOrZero(), 0);
    Device.SetPinState(3, true);
    Device.SetPortState(1, 170);
    EXPECT_TRUE(Errors.empty());
    EXPECT_FALSE(Device.Changed());
}

// ---------------------------------------------------------------------------------------------
// Setters

struct TSetterCase {
    const char* Name;
    std::function<void(TVelmorant&)> Set;
    const char* Command;
    bool Changes;  // Changed afterwards, starting from false
    std::function<bool(const TVelmorant&)> Cached;
    const char* ErrorText;
};

const std::vector<TSetterCase>& SetterCases() {
    static const std::vector<TSetterCase> Cases = {
        {"direction", [](TVelmorant& D) { D.SetPortDirection(1, 240); }, "DIRWR1 240", true,
         [](const TVelmorant& D) { return D.GetPortDirection(1) == 240; }, "Error setting port direction"},
        {"direction unchanged", [](TVelmorant& D) { D.SetPortDirection(5, 255); }, "DIRWR5 255", false,
         [](const TVelmorant& D) { return D.GetPortDirection(5) == 255; }, "Error setting port direction"},
        {"pull-ups", [](TVelmorant& D) { D.SetPullupsEnabled(2, true); }, "PU2 1", true,
         [](const TVelmorant& D) { return D.GetPullupsEnabled(2); }, "Error setting pullups"},
        {"pull-ups unchanged", [](TVelmorant& D) { D.SetPullupsEnabled(0, false); }, "PU0 0", false,
         [](const TVelmorant& D) { return !D.GetPullupsEnabled(0); }, "Error setting pullups"},
        {"offset clamped up", [](TVelmorant& D) { D.SetADCOffset(4, 200); }, "AOWR4 128", true,
         [](const TVelmorant& D) { return D.CachedADCOffset(4) == 128; }, "Error writing ADC offset"},
        {"offset clamped down", [](TVelmorant& D) { D.SetADCOffset(0, -500); }, "AOWR0 -128", true,
         [](const TVelmorant& D) { return D.CachedADCOffset(0) == -128; }, "Error writing ADC offset"},
        {"offset bound", [](TVelmorant& D) { D.SetADCOffset(1, -129); }, "AOWR1 -128", true,
         [](const TVelmorant& D) { return D.CachedADCOffset(1) == -128; }, "Error writing ADC offset"},
        {"offset inside", [](TVelmorant& D) { D.SetADCOffset(3, -12); }, "AOWR3 -12", true,
         [](const TVelmorant& D) { return D.CachedADCOffset(3) == -12; }, "Error writing ADC offset"},
        {"offset unchanged", [](TVelmorant& D) { D.SetADCOffset(2, 0); }, "AOWR2 0", false,
         [](const TVelmorant& D) { return D.CachedADCOffset(2) == 0; }, "Error writing ADC offset"},
        {"update period", [](TVelmorant& D) { D.SetUpdatePeriod(3); }, "UR 3", true,
         [](const TVelmorant& D) { return D.UpdatePeriod() == 3; }, "Error setting update rate"},
        {"PLC disabled", [](TVelmorant& D) { D.SetPLCEnabled(false); }, "PLCEN 0", true,
         [](const TVelmorant& D) { return !D.PLCEnabled(); }, "Error enabling PLC"},
        {"PLC disabled unchanged", [](TVelmorant& D) { D.SetPLCEnabled(false); }, "PLCEN 0", false,
         [](const TVelmorant& D) { return !D.PLCEnabled(); }, "Error enabling PLC"},
        {"run mode", [](TVelmorant& D) { D.SetPLCRunMode(rmRun); }, "PLCRM 2", false,
         [](const TVelmorant& D) { return D.PLCRunMode() == rmRun; }, "Error setting PLC mode"},
        {"pin state", [](TVelmorant& D) { D.SetPinState(47, true); }, "PINWR47 1", false,
         [](const TVelmorant&) { return true; }, "Error writing to pin"},
        {"pin state, one digit", [](TVelmorant& D) { D.SetPinState(5, false); }, "PINWR05 0", false,
         [](const TVelmorant&) { return true; }, "Error writing to pin"},
        {"port state", [](TVelmorant& D) { D.SetPortState(1, 170); }, "PRTWR1 170", false,
         [](const TVelmorant&) { return true; }, "Error writing to port"},
    };
    return Cases;
}

TEST_F(DeviceIO, SettersCacheThenSendOneCommand) {
    Connect();
    for (const auto& Case : SetterCases()) {
        SCOPED_TRACE(Case.Name);
        Sim().ClearCommands();
        Device.SetChanged(false);
        Case.Set(Device);
        EXPECT_EQ(Sim().Commands(), TStrings{Case.Command});
        EXPECT_EQ(Device.Changed(), Case.Changes);
        EXPECT_TRUE(Case.Cached(Device));
    }
    EXPECT_TRUE(Errors.empty());
    // The board took the values.
    auto Lock = Sim().Lock();
    EXPECT_EQ(Sim().Board().Working.Direction[1], 240);
    EXPECT_EQ(Sim().Board().Working.ADCOffset[4], 128);
    EXPECT_EQ(Sim().Board().Working.UpdatePeriod, 3);
    EXPECT_EQ(Sim().Board().RunMode, 2);
}

TEST_F(DeviceIO, AFailedSetterReportsOnceAndKeepsTheNewValue) {
    Connect();
    Sim().HangUp();
    for (const auto& Case : SetterCases()) {
        SCOPED_TRACE(Case.Name);
        Errors.clear();
        Device.SetChanged(false);
        Case.Set(Device);
        EXPECT_EQ(Errors, TStrings{Case.ErrorText});
        EXPECT_EQ(Device.Changed(), Case.Changes);
        EXPECT_TRUE(Case.Cached(Device));
    }
}

TEST_F(DeviceIO, ASetterTheBoardDidNotUnderstandHasFailedAndSaysSo) {
    Connect();
    Sim().SetFault(TFault::Question);
    for (const auto& Case : SetterCases()) {
        SCOPED_TRACE(Case.Name);
        Errors.clear();
        Case.Set(Device);
        EXPECT_EQ(Errors, TStrings{std::string(Case.ErrorText) + TVelmorant::NotUnderstoodSuffix});
        EXPECT_TRUE(Case.Cached(Device));
    }
}

TEST_F(DeviceIO, WithoutABoardSettingsStayInTheCache) {
    for (const auto& Case : SetterCases()) {
        SCOPED_TRACE(Case.Name);
        Errors.clear();
        Device.SetChanged(false);
        Case.Set(Device);
        EXPECT_EQ(Device.Changed(), Case.Changes);
        EXPECT_TRUE(Case.Cached(Device));
        // The run mode is always sent, so its failure is the one that is heard.
        if (std::string(Case.Command).rfind("PLCRM", 0) == 0)
            EXPECT_EQ(Errors, TStrings{"Error setting PLC mode"});
        else
            EXPECT_TRUE(Errors.empty());
    }
    EXPECT_TRUE(Sim().Commands().empty());
}

TEST_F(DeviceIO, ChangedStaysSetUntilClearedExplicitly) {
    Device.SetPullupsEnabled(0, true);
    Device.SetPullupsEnabled(2, false);  // the value it already had
    EXPECT_TRUE(Device.Changed());
    Device.SetPinComment(3, "valve");
    Device.SetPLCRunMode(rmStep);
    Device.SetChanged(false);
    Device.SetPinComment(4, "pump");
    Device.SetPLCRunMode(rmRun);
    EXPECT_FALSE(Device.Changed());
    EXPECT_EQ(Device.GetPinComment(3), "valve");
    EXPECT_EQ(Device.GetPinComment(47), "");
}

TEST_F(DeviceIO, OffsetReadAsksTheBoardButNeverWritesTheCache) {
    Device.SetADCOffset(2, 7);
    EXPECT_EQ(Device.ReadADCOffset(2), 7);  // no board: the cache answers
    Connect();
    const struct {
        const char* Reply;
        int Expected;
        bool Failed;
    } Cases[] = {{"-12", -12, false}, {"?", 7, true}, {"3.5", 7, true}, {"200", 7, true}, {"0", 0, false}};
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Reply);
        Sim().ClearCommands();
        Errors.clear();
        Sim().OverrideReply("AORD2", Case.Reply);
        EXPECT_EQ(Device.ReadADCOffset(2), Case.Expected);
        EXPECT_EQ(Sim().Commands(), TStrings{"AORD2"});
        EXPECT_EQ(Device.CachedADCOffset(2), 7);
        EXPECT_EQ(Errors.size(), Case.Failed ? 1u : 0u);
    }
    Errors.clear();
    Sim().HangUp();
    EXPECT_EQ(Device.ReadADCOffset(2), 7);
    EXPECT_EQ(Errors, TStrings{"Error getting ADC offset"});
}

TEST_F(DeviceIO, IndexesOutsideTheirRangeAreRefusedBeforeAnyTraffic) {
    Connect();
    const std::function<void(TVelmorant&)> Calls[] = {
        [](TVelmorant& D) { D.ReadPortStateOrZero(6); },
        [](TVelmorant& D) { D.ReadPortStateOrZero(-1); },
        [](TVelmorant& D) { D.ReadPinStateOrFalse(48); },
        [](TVelmorant& D) { D.ReadAnalogInputValueOrZero(5); },
        [](TVelmorant& D) { D.GetPortDirection(6); },
        [](TVelmorant& D) { D.SetPortDirection(-1, 0); },
        [](TVelmorant& D) { D.GetPullupsEnabled(6); },
        [](TVelmorant& D) { D.SetPullupsEnabled(6, true); },
        [](TVelmorant& D) { D.ReadADCOffset(5); },
        [](TVelmorant& D) { D.SetADCOffset(-1, 0); },
        [](TVelmorant& D) { D.CachedADCOffset(5); },
        [](TVelmorant& D) { D.GetPinComment(48); },
        [](TVelmorant& D) { D.SetPinComment(-1, "x"); },
        [](TVelmorant& D) { D.SetPinState(48, true); },
        [](TVelmorant& D) { D.SetPortState(6, 0); },
        [](TVelmorant& D) { D.GetProgramLine(60); },
        [](TVelmorant& D) { D.SetProgramLine(-1, TProgramLine{}); },
        [](TVelmorant& D) { D.DownloadProgramLine(60); },
        [](TVelmorant& D) { D.UploadProgramLine(-1); },
    };
    int Index = 0;
    for (const auto& Call : Calls) EXPECT_THROW(Call(Device), std::out_of_range) << "call " << Index++;
    EXPECT_TRUE(Sim().Commands().empty());
    EXPECT_FALSE(Device.Changed());
}

}  // namespace

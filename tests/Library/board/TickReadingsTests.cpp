// One tick's readings from the board: failed reads are gaps, the tick's stop rules, and its errors.
#include <gtest/gtest.h>

#include "ConnectedDevice.h"
#include "TickReadings.h"

using velsim::TFault;

namespace {

using TStrings = std::vector<std::string>;

const TStrings TickCommands = {"PRTRD0", "PRTRD1", "PRTRD2", "PRTRD3", "PRTRD4", "PRTRD5",
                               "ADC0",   "ADC1",   "ADC2",   "ADC3",   "ADC4",   "TEMP"};

class TickReadings : public TConnectedDevice {};

TEST_F(TickReadings, RepliesThatAreNoReadingsAreGapsAndEachErrorIsListedOnce) {
    Connect();
    Sim().OverrideReply("PRTRD1", "x7");
    Sim().OverrideReply("PRTRD4", "300");
    Sim().OverrideReply("ADC2", "?");
    Sim().OverrideReply("TEMP", "7x2");
    const TTickReadings R = ReadTick(Device);
    EXPECT_EQ(Sim().Commands(), TickCommands);
    EXPECT_NE(R.Time, 0);
    EXPECT_FALSE(R.Stopped);
    for (int Port = 0; Port < 6; ++Port) EXPECT_EQ(R.Ports[Port].has_value(), Port != 1 && Port != 4) << Port;
    for (int Input = 0; Input < 5; ++Input) EXPECT_EQ(R.Analog[Input].has_value(), Input != 2) << Input;
    EXPECT_FALSE(R.Temperature);
    const std::string Bad = TVelmorant::BadReplySuffix;
    EXPECT_EQ(R.Errors, (TStrings{"Error reading port" + Bad,
                                  std::string("Error reading ADC") + TVelmorant::NotUnderstoodSuffix,
                                  "Error reading temperature" + Bad}));
    // The driver's own callback heard every one, and has its place back.
    EXPECT_EQ(Errors.size(), 4u);
    Device.Interrupt();
    Device.ReadPortStateOrZero(0);
    EXPECT_EQ(Errors.size(), 5u);
}

TEST(TickReadingRules, SilenceHangUpsAndStopEndATickGarbleDoesNot) {
    const struct {
        const char* Name;
        std::function<void(velsim::TSimulator&)> Fault;
        size_t StopAfterReads;  // 0: never
        size_t Commands;        // sent during the tick
        bool Stopped;
        TStrings Errors;
    } Cases[] = {
        {"a silent board ends the tick at its first read",
         [](velsim::TSimulator& S) { S.SetFault(TFault::Silent); },
         0,
         1,
         false,
         {"Error reading port"}},
        {"a garbled first reply does not",
         [](velsim::TSimulator& S) { S.SetFault(TFault::Garbage); },
         0,
         12,
         false,
         {std::string("Error reading port") + TVelmorant::BadReplySuffix,
          std::string("Error reading ADC") + TVelmorant::BadReplySuffix,
          std::string("Error reading temperature") + TVelmorant::BadReplySuffix}},
        {"a read silent later is a gap",
         [](velsim::TSimulator& S) {
             S.SetFaultFilter("ADC3");
             S.SetFault(TFault::Silent);
         },
         0,
         12,
         false,
         {"Error reading ADC"}},
        {"a hang-up ends the tick",
         [](velsim::TSimulator& S) { S.HangUpAtCommand(4); },
         0,
         4,
         false,
         {"Error reading port"}},
        {"Stop is asked between reads", [](velsim::TSimulator&) {}, 5, 5, true, {}},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        velsim::TSimFixture Fixture("COM4");
        TVelmorant Driver;
        ASSERT_TRUE(Driver.FindDevice("COM4"));
        Fixture.Sim().ClearCommands();
        Case.Fault(Fixture.Sim());
        size_t Reads = 0;
        const TTickReadings R =
            ReadTick(Driver, [&] { return Case.StopAfterReads != 0 && ++Reads >= Case.StopAfterReads; });
        EXPECT_EQ(Fixture.Sim().Commands().size(), Case.Commands);
        EXPECT_EQ(R.Stopped, Case.Stopped);
        EXPECT_EQ(R.Errors, Case.Errors);
        Driver.Disconnect();
    }
}

TEST_F(TickReadings, WithoutABoardNothingIsReadAndTheFilterTellsEachErrorOnce) {
    const TTickReadings None = ReadTick(Device);
    EXPECT_TRUE(None.Empty());
    EXPECT_EQ(None.Time, 0);
    EXPECT_EQ(LogRowOf(None), ",,,,,,,,,,,,");

    TTickErrorFilter Told;
    TTickReadings R;
    R.Errors = {"a", "b"};
    EXPECT_EQ(Told.NewErrors(R), (TStrings{"a", "b"}));
    R.Errors = {"b", "c"};
    EXPECT_EQ(Told.NewErrors(R), TStrings{"c"});
    Told.Reset();
    EXPECT_EQ(Told.NewErrors(R), (TStrings{"b", "c"}));
}

}  // namespace

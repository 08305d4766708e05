// A program typed as text, downloaded line by line and run by the board changes what the board
// reports: the parser, the compiled form, the transfer and the board agree end to end.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ConnectedDevice.h"
#include "Device_VL.h"

namespace {

struct TExpectedState {
    int Port;
    int Mask;
    int Value;
};

class ProgramRun : public TConnectedDevice {
protected:
    void SetUp() override { Connect(); }
    void Download(const std::vector<std::string>& Program) {
        for (size_t I = 0; I < Program.size(); ++I) {
            TProgramLine Line;
            TextToProgramLine(Line, Program[I]);
            ASSERT_EQ(Line.ParseError, "") << Program[I];
            Device.SetProgramLine(static_cast<int>(I), Line);
            ASSERT_TRUE(Device.DownloadProgramLine(static_cast<int>(I)));
        }
    }
    // The board runs one line per millisecond at full speed; give it up to two seconds of its time.
    bool Reaches(const TExpectedState& Expected) {
        for (int Attempt = 0; Attempt < 200; ++Attempt) {
            if ((Device.ReadPortStateOrZero(Expected.Port) & Expected.Mask) == Expected.Value) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

TEST_F(ProgramRun, ATypedProgramChangesThePortsTheBoardReports) {
    Device.SetPortDirection(0, 0xFE);       // pin 0 an output
    Download({"set pin0 = 1",               //
              "set port3 = 170",            //
              "set port4 = port3 xor 255",  //
              "if port4 = 85 goto 5",       //
              "goto 0",                     //
              "set port5 = port5 + 1",      //
              "if port5 < 3 goto 5",        //
              "goto 7"});
    Device.SetPLCRunMode(rmRun);

    for (const TExpectedState& Expected : {TExpectedState{0, 0x01, 0x01}, TExpectedState{3, 0xFF, 170},
                                           TExpectedState{4, 0xFF, 85}, TExpectedState{5, 0xFF, 3}})
        EXPECT_TRUE(Reaches(Expected)) << "port " << Expected.Port;
    EXPECT_TRUE(Errors.empty());
}

TEST_F(ProgramRun, APausedBoardRunsNothingUntilStepped) {
    Download({"set port3 = 7", "goto 1"});
    Device.SetPLCRunMode(rmPaused);
    EXPECT_EQ(Device.ReadPortStateOrZero(3), 0);

    std::string Reply;
    ASSERT_TRUE(Device.SendCommandToDevice("PLCEX 0", Reply));
    EXPECT_EQ(Reply, "1");
    EXPECT_EQ(Device.ReadPortStateOrZero(3), 7);
}

}  // namespace

// The simulated board at the command level, without a pty.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SimBoard.h"

using velsim::TSimBoard;
using velsim::TSimBoardOptions;

namespace {

struct TReplyCase {
    std::vector<std::string> Commands;  // all but the last must answer "OK"
    std::string Reply;                  // what the last one answers
};

std::ostream& operator<<(std::ostream& Out, const TReplyCase& C) {
    for (const std::string& Command : C.Commands) Out << '[' << Command << ']';
    return Out << " -> " << C.Reply;
}

// A quiet board: inputs stand still, no pin is driven.
TSimBoard QuietBoard(int Lines = 60) {
    TSimBoardOptions Options;
    Options.ProgramLines = Lines;
    TSimBoard Board(Options);
    Board.InputsFrozen = true;
    return Board;
}

class ReplyTest : public ::testing::TestWithParam<TReplyCase> {};

TEST_P(ReplyTest, AnswersAsTheBoardDoes) {
    TSimBoard Board = QuietBoard();
    const auto& Commands = GetParam().Commands;
    for (size_t I = 0; I + 1 < Commands.size(); ++I)
        ASSERT_EQ(Board.Execute(Commands[I]), "OK") << Commands[I];
    EXPECT_EQ(Board.Execute(Commands.back()), GetParam().Reply);
}

INSTANTIATE_TEST_SUITE_P(Identity, ReplyTest,
                         ::testing::Values(TReplyCase{{"VER"}, "1.05"}, TReplyCase{{"PC"}, "PC:0 L:60 "},
                                           TReplyCase{{" VER \n"}, "1.05"},
                                           TReplyCase{{"\nPC"}, "PC:0 L:60 "}, TReplyCase{{""}, ""},
                                           TReplyCase{{"  \n"}, ""}, TReplyCase{{"BTLDR"}, ""}));

INSTANTIATE_TEST_SUITE_P(
    Settings, ReplyTest,
    ::testing::Values(TReplyCase{{"UR?"}, "0"}, TReplyCase{{"UR 15", "UR?"}, "15"},
                      TReplyCase{{"PLCEN?"}, "1"}, TReplyCase{{"PLCEN 0", "PLCEN?"}, "0"},
                      TReplyCase{{"PLCRM?"}, "0"}, TReplyCase{{"PLCRM 2", "PLCRM?"}, "2"},
                      TReplyCase{{"DIRRD5"}, "255"}, TReplyCase{{"DIRWR3 7", "DIRRD3"}, "7"},
                      TReplyCase{{"PU0?"}, "0"}, TReplyCase{{"PU2 1", "PU2?"}, "1"},
                      TReplyCase{{"PU2 1", "PU0?"}, "0"}, TReplyCase{{"AORD4"}, "0"},
                      TReplyCase{{"AOWR4 -128", "AORD4"}, "-128"}, TReplyCase{{"AOWR0 128", "AORD0"}, "128"},
                      TReplyCase{{"PLCRD59"}, "00000000"},
                      TReplyCase{{"PLCWR59 1a07369f", "PLCRD59"}, "1A07369F"},
                      TReplyCase{{"PLCWR0   0C350000", "PLCRD0"}, "0C350000"}));

INSTANTIATE_TEST_SUITE_P(Ports, ReplyTest,
                         ::testing::Values(
                             // Virtual ports take every bit; physical ones only their outputs.
                             TReplyCase{{"PRTWR4 85", "PRTRD4"}, "85"},
                             TReplyCase{{"PINWR47 1", "PRTRD5"}, "128"},
                             TReplyCase{{"PRTWR3 255", "PINWR24 0", "PRTRD3"}, "254"},
                             TReplyCase{{"PU0 1", "DIRWR0 15", "PRTWR0 85", "PRTRD0"}, "95"},
                             TReplyCase{{"PU0 1", "DIRWR0 255", "PRTWR0 0", "PRTRD0"}, "255"},
                             TReplyCase{{"PU2 1", "DIRWR2 0", "PINWR23 1", "PINRD23"}, "1"},
                             TReplyCase{{"PU2 1", "DIRWR2 0", "PRTWR2 1", "PINRD23"}, "0"},
                             TReplyCase{{"PU0 1", "PINRD5"}, "1"}));

// Anything the board does not understand answers "?".
INSTANTIATE_TEST_SUITE_P(
    NotUnderstood, ReplyTest,
    ::testing::Values(
        TReplyCase{{"ver"}, "?"}, TReplyCase{{"FOO"}, "?"}, TReplyCase{{"VER?"}, "?"},
        TReplyCase{{"VER 1"}, "?"}, TReplyCase{{"TEMP 1"}, "?"}, TReplyCase{{"PRTRD"}, "?"},
        TReplyCase{{"PRTRD6"}, "?"}, TReplyCase{{"PRTRD-1"}, "?"}, TReplyCase{{"PRTRD0 1"}, "?"},
        TReplyCase{{"PRTRD1?"}, "?"}, TReplyCase{{"PRTRDx"}, "?"}, TReplyCase{{"PINRD48"}, "?"},
        TReplyCase{{"ADC5"}, "?"}, TReplyCase{{"AORD5"}, "?"}, TReplyCase{{"AOWR0 129"}, "?"},
        TReplyCase{{"AOWR0 -129"}, "?"}, TReplyCase{{"AOWR5 0"}, "?"}, TReplyCase{{"UR 16"}, "?"},
        TReplyCase{{"UR -1"}, "?"}, TReplyCase{{"UR"}, "?"}, TReplyCase{{"PLCRM 3"}, "?"},
        TReplyCase{{"PU1?"}, "?"}, TReplyCase{{"PU3 1"}, "?"}, TReplyCase{{"PU0"}, "?"},
        TReplyCase{{"DIRWR0 256"}, "?"}, TReplyCase{{"PRTWR0 x"}, "?"}, TReplyCase{{"PRTWR0 -1"}, "?"},
        TReplyCase{{"PINWR00"}, "?"}, TReplyCase{{"PLCRD60"}, "?"}, TReplyCase{{"PLCRD 0 1"}, "?"},
        TReplyCase{{"PLCWR60 00000000"}, "?"}, TReplyCase{{"PLCWR0 0000000"}, "?"},
        TReplyCase{{"PLCWR0 000000000"}, "?"}, TReplyCase{{"PLCWR0 0000000G"}, "?"},
        TReplyCase{{"PLCWR0"}, "?"}, TReplyCase{{"PLCEX 60"}, "?"}, TReplyCase{{"PLCEX -2"}, "?"},
        TReplyCase{{"PLCEX"}, "?"}, TReplyCase{{"PRTRD99999999999"}, "?"}, TReplyCase{{"5"}, "?"}));

TEST(SimBoard, BootloaderSilencesEveryCommand) {
    TSimBoard Board = QuietBoard();
    EXPECT_EQ(Board.Execute("BTLDR"), "");
    EXPECT_EQ(Board.Execute("VER"), "");
    EXPECT_EQ(Board.Execute("FOO"), "");
}

TEST(SimBoard, ProgramLineCountFollowsTheOptions) {
    TSimBoard Board = QuietBoard(48);
    EXPECT_EQ(Board.Execute("PC"), "PC:0 L:48 ");
    EXPECT_EQ(Board.Execute("PLCRD47"), "00000000");
    EXPECT_EQ(Board.Execute("PLCRD48"), "?");
}

struct TAnalogCase {
    int Raw, Offset;
    int ADC, TempF;
};

class AnalogTest : public ::testing::TestWithParam<TAnalogCase> {};

// The offset moves the reading, and through it the thermistor's temperature.
TEST_P(AnalogTest, OffsetAndThermistorTable) {
    TSimBoard Board = QuietBoard();
    Board.Analog[4] = GetParam().Raw;
    ASSERT_EQ(Board.Execute("AOWR4 " + std::to_string(GetParam().Offset)), "OK");
    EXPECT_EQ(Board.Execute("ADC4"), std::to_string(GetParam().ADC));
    EXPECT_EQ(Board.Execute("TEMP"), std::to_string(GetParam().TempF));
}

INSTANTIATE_TEST_SUITE_P(Readings, AnalogTest,
                         ::testing::Values(TAnalogCase{300, 0, 300, 73}, TAnalogCase{300, 128, 428, 99},
                                           TAnalogCase{0, 0, 0, -90}, TAnalogCase{60, 3, 63, 0},
                                           TAnalogCase{100, -128, 0, -90}, TAnalogCase{1000, 128, 1023, 700},
                                           TAnalogCase{512, 0, 512, 115}));

TEST(SimBoard, InputsDriftDeterministicallyWhateverTheTickSize) {
    TSimBoardOptions Options;
    Options.Seed = 7;
    TSimBoard Coarse(Options), Fine(Options), Other(TSimBoardOptions{"1.05", 60, 8, ""});
    const auto Start = Coarse.Analog;
    Coarse.Tick(60000);
    for (int I = 0; I < 6000; ++I) Fine.Tick(10);
    Other.Tick(60000);
    EXPECT_EQ(Coarse.Analog, Fine.Analog);
    EXPECT_EQ(Coarse.PortState, Fine.PortState);
    EXPECT_NE(Coarse.Analog, Start);
    EXPECT_NE(Coarse.Analog, Other.Analog);
    for (int Reading : Coarse.Analog) {
        EXPECT_GE(Reading, 0);
        EXPECT_LE(Reading, 1023);
    }
    // The thermistor stays near room temperature.
    EXPECT_NEAR(Coarse.TemperatureF(), 73, 6);
}

TEST(SimBoard, FloatingInputsChangeSlowlyAndPullupsHoldThemHigh) {
    TSimBoard Board;
    const int Before = Board.PortState[1];
    Board.Tick(999);
    EXPECT_EQ(Board.PortState[1] ^ Before, 0) << "nothing flips within the first second";
    bool Changed = false;
    for (int Second = 0; Second < 30 && !Changed; ++Second) {
        Board.Tick(1000);
        Changed = Board.PortState[1] != Before;
    }
    EXPECT_TRUE(Changed);
    ASSERT_EQ(Board.Execute("PU0 1"), "OK");
    Board.Driven[0] = 0x81;
    Board.DrivenLevel[0] = 0x01;
    Board.Tick(10);
    EXPECT_EQ(Board.Execute("PRTRD0"), "127");
}

// Writes a program given as hex lines, from line 0.
void Load(TSimBoard& Board, const std::vector<std::string>& Lines) {
    for (size_t I = 0; I < Lines.size(); ++I)
        ASSERT_EQ(Board.Execute("PLCWR" + std::to_string(I) + " " + Lines[I]), "OK");
}

struct TRunCase {
    std::string Name;
    std::vector<std::string> Setup;
    int TickMs;
    int Port3;
};

class RunTest : public ::testing::TestWithParam<TRunCase> {};

// "set PORT3 = PORT3 + 1", then "delay 10" only where a case writes it, then "goto 0".
TEST_P(RunTest, CountsAtTheRateOfTheUpdatePeriod) {
    TSimBoard Board = QuietBoard();
    Load(Board, {"0303033C", "01000000"});
    for (const std::string& Command : GetParam().Setup) ASSERT_EQ(Board.Execute(Command), "OK") << Command;
    Board.Tick(GetParam().TickMs);
    EXPECT_EQ(Board.Execute("PRTRD3"), std::to_string(GetParam().Port3));
}

INSTANTIATE_TEST_SUITE_P(
    Programs, RunTest,
    ::testing::Values(TRunCase{"FullSpeed", {"PLCRM 2"}, 100, 50}, TRunCase{"Wraps", {"PLCRM 2"}, 1000, 244},
                      TRunCase{"Eighth", {"UR 3", "PLCRM 2"}, 800, 50}, TRunCase{"Paused", {}, 1000, 0},
                      TRunCase{"Stepping", {"PLCRM 1"}, 1000, 0},
                      TRunCase{"Disabled", {"PLCEN 0", "PLCRM 2"}, 1000, 0},
                      TRunCase{"Delay", {"PLCWR1 04450000", "PLCWR2 01000000", "PLCRM 2"}, 1000, 10},
                      TRunCase{"LastLineWraps", {"PLCWR1 00000000", "PLCRM 2"}, 600, 10}),
    [](const auto& Info) { return Info.param.Name; });

TEST(SimBoard, RunningProgramFollowsAnInputAndDrivesOutputsOnly) {
    TSimBoard Board = QuietBoard();
    // set PIN24 = PIN0 OR 0; set PORT1 = 255 OR 0; goto 0
    Load(Board, {"1B1E063B", "1B413A3B", "01000000"});
    for (const char* Command : {"DIRWR1 15", "PLCRM 2"}) ASSERT_EQ(Board.Execute(Command), "OK");
    Board.Driven[0] = 1;
    Board.DrivenLevel[0] = 1;
    Board.Tick(20);
    EXPECT_EQ(Board.Execute("PINRD24"), "1");
    EXPECT_EQ(Board.PortState[1] & 0xF0, 0xF0);
    Board.DrivenLevel[0] = 0;
    Board.Tick(20);
    EXPECT_EQ(Board.Execute("PINRD24"), "0");
}

struct TStepCase {
    std::string Line;  // executed as line 5 of 10
    int Next, Port3, Port4;
};

std::ostream& operator<<(std::ostream& Out, const TStepCase& C) {
    return Out << C.Line;
}

class StepTest : public ::testing::TestWithParam<TStepCase> {};

// AIN0 reads 100 (400 >> 2); ports 3 and 4 start at 0.
TEST_P(StepTest, ExecutesOneLine) {
    TSimBoard Board = QuietBoard(10);
    Board.Analog[0] = 400;
    ASSERT_EQ(Board.Execute("PLCWR5 " + GetParam().Line), "OK");
    EXPECT_EQ(Board.Execute("PLCEX 5"), std::to_string(GetParam().Next));
    EXPECT_EQ(Board.PortState[3], GetParam().Port3);
    EXPECT_EQ(Board.PortState[4], GetParam().Port4);
    EXPECT_EQ(Board.ProgramCounter, GetParam().Next);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, StepTest,
    ::testing::Values(TStepCase{"00000000", 6, 0, 0},    // nop
                      TStepCase{"01020000", 2, 0, 0},    // goto 2
                      TStepCase{"013C0000", 0, 0, 0},    // goto 60: the board lacks it
                      TStepCase{"0207369F", 7, 0, 0},    // if AIN0 = 100 goto 7
                      TStepCase{"1A07369F", 6, 0, 0},    // if AIN0 > 100 goto 7
                      TStepCase{"120736A0", 7, 0, 0},    // if AIN0 < 101 goto 7
                      TStepCase{"0A07369F", 6, 0, 0},    // if AIN0 <> 100 goto 7
                      TStepCase{"02C33A3A", 3, 0, 0},    // if 255 = 255 goto 3
                      TStepCase{"0343039F", 6, 44, 0},   // set PORT3 = 200 + 100
                      TStepCase{"0B034041", 6, 255, 0},  // set PORT3 = 5 - 6
                      TStepCase{"13442B77", 6, 0, 48},   // set PORT4 = 240 AND 60
                      TStepCase{"23C42B3A", 6, 0, 15},   // set PORT4 = 240 XOR 255
                      TStepCase{"1B04363B", 6, 0, 100},  // set PORT4 = AIN0 OR 0
                      TStepCase{"131E3D3D", 6, 1, 0},    // set PIN24 = 2 AND 2
                      TStepCase{"2B03403C", 6, 0, 0},    // operation 5: nothing
                      TStepCase{"1B36403B", 6, 0, 0},    // an lvalue the board lacks: nothing
                      TStepCase{"07FFFFFF", 6, 0, 0},    // line type 7: nothing
                      TStepCase{"0C350000", 6, 0, 0}));  // delay 250: a step does not wait

TEST(SimBoard, StepFromTheProgramCounterWrapsAfterTheLastLine) {
    TSimBoard Board = QuietBoard(10);
    EXPECT_EQ(Board.Execute("PLCEX 8"), "9");
    EXPECT_EQ(Board.Execute("PLCEX -1"), "0");
    EXPECT_EQ(Board.Execute("PLCEX -1"), "1");
    EXPECT_EQ(Board.Execute("PC"), "PC:1 L:10 ");
}

class EEPROMTest : public ::testing::Test {
protected:
    void SetUp() override {
        char Template[] = "/tmp/velmorant-eeprom-XXXXXX";
        ASSERT_NE(::mkdtemp(Template), nullptr);
        Folder = Template;
        Options.EEPROMFile = Folder + "/board.eeprom";
    }
    void TearDown() override { std::filesystem::remove_all(Folder); }

    std::string Folder;
    TSimBoardOptions Options;
};

TEST_F(EEPROMTest, RecallUndoesWhatWasNotSaved) {
    TSimBoard Board(Options);
    for (const char* Command :
         {"DIRWR1 15", "PU2 1", "AOWR4 -5", "UR 3", "PLCWR7 01050000", "SAVE", "DIRWR1 0", "PU2 0", "AOWR4 9",
          "UR 0", "PLCEN 0", "PLCWR7 00000000", "RECALL"})
        ASSERT_EQ(Board.Execute(Command), "OK") << Command;
    for (const auto& [Command, Reply] :
         std::vector<std::pair<std::string, std::string>>{{"DIRRD1", "15"},
                                                          {"PU2?", "1"},
                                                          {"AORD4", "-5"},
                                                          {"UR?", "3"},
                                                          {"PLCEN?", "1"},
                                                          {"PLCRD7", "01050000"}})
        EXPECT_EQ(Board.Execute(Command), Reply) << Command;
}

TEST_F(EEPROMTest, SavedSettingsSurviveANewBoard) {
    {
        TSimBoard Board(Options);
        for (const char* Command :
             {"DIRWR5 170", "PU0 1", "AOWR0 -128", "UR 15", "PLCEN 0", "PLCWR59 0C350000"})
            ASSERT_EQ(Board.Execute(Command), "OK");
        ASSERT_EQ(Board.Execute("SAVE"), "OK");
        ASSERT_EQ(Board.Execute("DIRWR5 1"), "OK");  // not saved
    }
    EXPECT_FALSE(std::filesystem::exists(Options.EEPROMFile + ".tmp"));
    TSimBoard Board(Options);
    EXPECT_EQ(Board.Working, Board.EEPROM) << "the board starts from its EEPROM";
    for (const auto& [Command, Reply] :
         std::vector<std::pair<std::string, std::string>>{{"DIRRD5", "170"},
                                                          {"PU0?", "1"},
                                                          {"AORD0", "-128"},
                                                          {"UR?", "15"},
                                                          {"PLCEN?", "0"},
                                                          {"PLCRD59", "0C350000"}})
        EXPECT_EQ(Board.Execute(Command), Reply) << Command;
}

TEST_F(EEPROMTest, DamagedEntriesKeepTheirDefaults) {
    std::ofstream(Options.EEPROMFile)
        << "velmorant-sim-eeprom 1\nDirection 1 2 3\nUpdatePeriod 99\n"
           "Line 3 0105000\nLine 99 01050000\nLine 4 01050000\nADCOffset 1 2 3 4 5\n";
    TSimBoard Board(Options);
    EXPECT_EQ(Board.Execute("DIRRD0"), "255");
    EXPECT_EQ(Board.Execute("UR?"), "0");
    EXPECT_EQ(Board.Execute("PLCRD3"), "00000000");
    EXPECT_EQ(Board.Execute("PLCRD4"), "01050000");
    EXPECT_EQ(Board.Execute("AORD4"), "5");
}

TEST_F(EEPROMTest, UnwritableFileAnswersQuestionMark) {
    Options.EEPROMFile = Folder + "/missing/board.eeprom";
    TSimBoard Board(Options);
    EXPECT_EQ(Board.Execute("SAVE"), "?");
}

}  // namespace

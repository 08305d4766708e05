// Settings files: layout of a saved file, how values read back, refused files, traffic with a board.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "Device_VL.h"
#include "Errors.h"
#include "IniFile.h"
#include "SimFixture.h"
#include "TestFiles.h"
#include "TestProgramLines.h"

namespace fs = std::filesystem;
using namespace veltest;

namespace {

using TStrings = std::vector<std::string>;

// The file as (section, [key=value...]) in file order, read the plain way.
using TLayout = std::vector<std::pair<std::string, TStrings>>;
TLayout Layout(const std::string& Path) {
    TLayout layout;
    std::istringstream in(ReadFile(Path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] == '[')
            layout.emplace_back(line.substr(1, line.size() - 2), TStrings());
        else if (!layout.empty())
            layout.back().second.push_back(line);
    }
    return layout;
}

std::string PLCWR(int Line, const TProgramLine& Value) {
    return WriteCommand(Line, CompileProgramLine(Value));
}

// Everything of the driver that a recall may change.
struct TSnapshot {
    std::vector<int> Directions, Pullups;
    TStrings Comments;
    int Period = 0;
    std::vector<TProgramLine> Program;
    bool Changed = false;
    bool operator==(const TSnapshot&) const = default;
};

TSnapshot Snapshot(const TVelmorant& Device) {
    TSnapshot s;
    for (int p = 0; p < 6; ++p) {
        s.Directions.push_back(Device.GetPortDirection(p));
        s.Pullups.push_back(Device.GetPullupsEnabled(p));
    }
    for (int p = 0; p < 48; ++p) s.Comments.push_back(Device.GetPinComment(p));
    s.Period = Device.UpdatePeriod();
    for (int n = 0; n < Device.ProgramLineCount(); ++n) s.Program.push_back(Device.GetProgramLine(n));
    s.Changed = Device.Changed();
    return s;
}

class SettingsFileTest : public ::testing::Test {
protected:
    // A driver with something in every field, so that a recall visibly changes or keeps it.
    static void Fill(TVelmorant& Device) {
        for (int p = 0; p < 6; ++p) Device.SetPortDirection(p, static_cast<uint8_t>(p + 1));
        Device.SetPullupsEnabled(0, true);
        for (int p = 0; p < 48; ++p) Device.SetPinComment(p, "old " + std::to_string(p));
        Device.SetUpdatePeriod(9);
        for (int n = 0; n < Device.ProgramLineCount(); ++n) Device.SetProgramLine(n, Parsed("goto 1", "old"));
        Device.SetChanged(false);
    }

    TTempDir FDir{"settingsfile"};
    std::string FFile = FDir.Path("s.velmor");
    TVelmorant FDevice;
};

TEST_F(SettingsFileTest, NewFileHoldsTheSectionsInOrder) {
    FDevice.SetProgramLine(0, Parsed("if pin0 = 1 goto 2", "wait for start"));
    FDevice.SetProgramLine(3, Parsed("Set Port0 = 5"));
    FDevice.SetPortDirection(1, 15);
    FDevice.SetPullupsEnabled(2, true);
    FDevice.SetPinComment(47, "last pin");
    FDevice.SetUpdatePeriod(4);
    EXPECT_TRUE(FDevice.SaveSettingsInFile(FFile, true));

    TLayout layout = Layout(FFile);
    TStrings sections;
    std::vector<size_t> counts;
    for (auto& [name, keys] : layout) {
        sections.push_back(name);
        counts.push_back(keys.size());
    }
    EXPECT_EQ(sections, (TStrings{"PortDirections", "Pullups", "PortStates", "PinComments", "Program"}));
    EXPECT_EQ(counts, (std::vector<size_t>{3, 2, 6, 48, 1 + 2 * 60}));
    ASSERT_EQ(layout.size(), 5u);
    EXPECT_EQ(layout[0].second, (TStrings{"Port0=255", "Port1=15", "Port2=255"}));
    EXPECT_EQ(layout[1].second, (TStrings{"Port0=0", "Port2=1"}));
    EXPECT_EQ(layout[2].second, (TStrings{"Port0=0", "Port1=0", "Port2=0", "Port3=0", "Port4=0", "Port5=0"}));
    EXPECT_EQ(layout[3].second.front(), "Pin0=");
    EXPECT_EQ(layout[3].second.back(), "Pin47=last pin");
    const TStrings& program = layout[4].second;
    EXPECT_EQ(TStrings(program.begin(), program.begin() + 9),
              (TStrings{"Period=4", "Line0=if PIN0 = 1 goto 2", "Line0.comment=wait for start", "Line1=nop",
                        "Line1.comment=", "Line2=nop", "Line2.comment=", "Line3=set PORT0 = 5 OR 0",
                        "Line3.comment="}));
    EXPECT_EQ(program.back(), "Line59.comment=");
}

TEST_F(SettingsFileTest, WithoutProgramNoProgramSection) {
    FDevice.SaveSettingsInFile(FFile, false);
    TLayout layout = Layout(FFile);
    ASSERT_EQ(layout.size(), 4u);
    EXPECT_EQ(layout.back().first, "PinComments");
}

// One file text recalled into a filled driver without a board.
struct TRecallCase {
    const char* Name;
    const char* Text;
    std::array<int, 3> Directions;
    bool Pullups0, Pullups2;
    int Period;
};

class SettingsRecallTest : public SettingsFileTest, public ::testing::WithParamInterface<TRecallCase> {};

TEST_P(SettingsRecallTest, ReadsEachValueByItsSyntax) {
    const TRecallCase& c = GetParam();
    Fill(FDevice);
    WriteFile(FFile, c.Text);
    EXPECT_TRUE(FDevice.RecallSettingsFromFile(FFile, true));
    for (int p = 0; p < 3; ++p) EXPECT_EQ(FDevice.GetPortDirection(p), c.Directions[p]) << "port " << p;
    EXPECT_EQ(FDevice.GetPortDirection(3), 4) << "only ports 0 to 2 are in the file";
    EXPECT_EQ(FDevice.GetPullupsEnabled(0), c.Pullups0);
    EXPECT_EQ(FDevice.GetPullupsEnabled(2), c.Pullups2);
    EXPECT_EQ(FDevice.UpdatePeriod(), c.Period);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsRecallTest,
    ::testing::Values(
        TRecallCase{
            "Decimal", "[PortDirections]\nPort0=0\nPort1=128\nPort2=255\n", {0, 128, 255}, false, false, 9},
        TRecallCase{"Hex0x", "[PortDirections]\nPort1=0x0F\nPort2=0XfF\n", {255, 15, 255}, false, false, 9},
        TRecallCase{"HexDollar", "[PortDirections]\nPort1=$10\n", {255, 16, 255}, false, false, 9},
        TRecallCase{"NotANumber",
                    "[PortDirections]\nPort0=abc\nPort1=\nPort2=0x\n",
                    {255, 255, 255},
                    false,
                    false,
                    9},
        TRecallCase{"CaseAndBlanks", "[portdirections]\n  PORT1 =  7 \n", {255, 7, 255}, false, false, 9},
        TRecallCase{"PullupsAnyNonZero", "[Pullups]\nPort0=2\nPort2=-1\n", {255, 255, 255}, true, true, 9},
        TRecallCase{
            "PullupsWordsAreOff", "[Pullups]\nPort0=true\nPort2=yes\n", {255, 255, 255}, false, false, 9},
        TRecallCase{"PeriodRead", "[Program]\nPeriod=3\n", {255, 255, 255}, false, false, 3},
        TRecallCase{"PeriodMissingStays", "[Program]\nLine0=nop\n", {255, 255, 255}, false, false, 9},
        TRecallCase{"PeriodNotANumberStays", "[Program]\nPeriod=fast\n", {255, 255, 255}, false, false, 9}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SettingsFileTest, FileWithOneSectionIsReadWithDefaultsForTheRest) {
    Fill(FDevice);
    WriteFile(FFile, "[Program]\nLine0=set pin3 = 1\nLine0.comment=go\n");
    FDevice.RecallSettingsFromFile(FFile, true);
    EXPECT_EQ(FDevice.GetPinComment(5), "") << "comments emptied";
    EXPECT_FALSE(FDevice.GetPullupsEnabled(0));
    EXPECT_EQ(FDevice.GetProgramLine(0), Parsed("set pin3 = 1", "go"));
    EXPECT_EQ(FDevice.GetProgramLine(1), Parsed("nop")) << "missing lines become NOPs";
    EXPECT_EQ(FDevice.GetProgramLine(59), Parsed("nop"));
    EXPECT_TRUE(FDevice.Changed());
}

TEST_F(SettingsFileTest, LineThatDoesNotParseIsSkipped) {
    Fill(FDevice);
    WriteFile(FFile,
              "[Program]\nLine4=delay 3\nLine5=set port9 = 1\nLine5.comment=new\nLine6=set port1 = 3\n"
              "Line6.comment=six\n");
    std::vector<std::string> errors;
    FDevice.SetOnError([&](const TFailure& Failure) { errors.push_back(Failure.Text); });
    FDevice.RecallSettingsFromFile(FFile, true);
    EXPECT_EQ(FDevice.GetProgramLine(4), Parsed("delay 3"));
    EXPECT_EQ(FDevice.GetProgramLine(5), Parsed("goto 1", "old")) << "line and comment kept";
    EXPECT_EQ(FDevice.GetProgramLine(6), Parsed("set port1 = 3", "six"));
    EXPECT_TRUE(errors.empty());
}

TEST_F(SettingsFileTest, ChangedOnlyWhenASettingDiffers) {
    for (int n = 0; n < FDevice.ProgramLineCount(); ++n) FDevice.SetProgramLine(n, Parsed("nop"));
    FDevice.SaveSettingsInFile(FFile, true);
    FDevice.SetChanged(false);
    FDevice.RecallSettingsFromFile(FFile, true);
    EXPECT_FALSE(FDevice.Changed());
    FDevice.SetPinComment(3, "comments are no settings");
    FDevice.RecallSettingsFromFile(FFile, false);
    EXPECT_FALSE(FDevice.Changed());
    EXPECT_EQ(FDevice.GetPinComment(3), "");
    FDevice.SetPortDirection(2, 0);
    FDevice.SetChanged(false);
    FDevice.RecallSettingsFromFile(FFile, false);
    EXPECT_TRUE(FDevice.Changed());
}

TEST_F(SettingsFileTest, DirectionOutOfRangeStopsAfterWhatCameBefore) {
    for (const char* bad : {"256", "-1", "0x100"}) {
        TVelmorant device;
        Fill(device);
        WriteFile(FFile, std::string("[PortDirections]\nPort0=7\nPort1=") + bad +
                             "\nPort2=0\n[Pullups]\nPort0=0\n[PinComments]\nPin3=three\nPin8=eight\n"
                             "[Program]\nPeriod=1\n");
        TSnapshot before = Snapshot(device);
        try {
            device.RecallSettingsFromFile(FFile, true);
            FAIL() << "no error for " << bad;
        } catch (const ERangeError& e) {
            EXPECT_NE(std::string(e.what()).find("port 1"), std::string::npos) << e.what();
        }
        TSnapshot expected = before;
        expected.Directions[0] = 7;
        expected.Pullups[0] = false;
        for (int p = 0; p < 8; ++p) expected.Comments[p] = p == 3 ? "three" : "";
        expected.Changed = true;
        EXPECT_EQ(Snapshot(device), expected) << bad;
    }
}

TEST_F(SettingsFileTest, LongCommentsComeBackCut) {
    std::string comment(3000, 'c');
    FDevice.SetPinComment(10, comment);
    TProgramLine line = Parsed("nop", comment);
    FDevice.SetProgramLine(2, line);
    FDevice.SaveSettingsInFile(FFile, true);
    TVelmorant fresh;
    fresh.RecallSettingsFromFile(FFile, true);
    EXPECT_EQ(fresh.GetPinComment(10), std::string(2047, 'c'));
    EXPECT_EQ(fresh.GetProgramLine(2).Comment, std::string(2047, 'c'));
}

TEST_F(SettingsFileTest, RefusesFilesThatAreNoSettingsFiles) {
    fs::create_directory(FDir.Path("folder.velmor"));
    WriteFile(FDir.Path("other.ini"), "[Window]\nLeft=10\n[PortDirection]\nPort0=1\n");
    WriteFile(FDir.Path("empty.velmor"), "");
    WriteFile(FDir.Path("text.velmor"), "just some text\nPort0=1\n");
    struct {
        std::string Name;
        std::string Message;
    } cases[] = {
        {FDir.Path("none.velmor"),
         "Cannot open \"" + FDir.Path("none.velmor") + "\". No such file or directory"},
        {FDir.Path("folder.velmor"), "Cannot open \"" + FDir.Path("folder.velmor") + "\". Is a directory"},
        {FDir.Path("other.ini"), "\"" + FDir.Path("other.ini") + "\" is not a Velmorant settings file."},
        {FDir.Path("empty.velmor"),
         "\"" + FDir.Path("empty.velmor") + "\" is not a Velmorant settings file."},
        {FDir.Path("text.velmor"), "\"" + FDir.Path("text.velmor") + "\" is not a Velmorant settings file."},
    };
    Fill(FDevice);
    TSnapshot before = Snapshot(FDevice);
    for (const auto& c : cases) {
        try {
            FDevice.RecallSettingsFromFile(c.Name, true);
            ADD_FAILURE() << "accepted " << c.Name;
        } catch (const EFileError& e) {
            EXPECT_EQ(std::string(e.what()), c.Message);
        }
        EXPECT_FALSE(FDevice.RecallCommentsFromFile(c.Name)) << c.Name;
        EXPECT_EQ(Snapshot(FDevice), before) << c.Name;
    }
    EXPECT_FALSE(fs::exists(FDir.Path("none.velmor")));
}

TEST_F(SettingsFileTest, SaveToUnwritableFileFails) {
    WriteFile(FFile, "[Keep]\nthis=1\n");
    chmod(FFile.c_str(), 0444);
    try {
        FDevice.SaveSettingsInFile(FFile, true);
        FAIL() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + FFile);
    }
    EXPECT_EQ(ReadFile(FFile), "[Keep]\nthis=1\n");
    EXPECT_THROW(FDevice.SaveSettingsInFile(FDir.Path("none/s.velmor"), true), EFileError);
}

TEST_F(SettingsFileTest, SavingLeavesForeignKeysAndLaterLines) {
    WriteFile(FFile, "; mine\n[PinComments]\nPin0=x\nExtra=keep\n[Program]\nLine70=goto 3\n");
    FDevice.SaveSettingsInFile(FFile, true);
    std::string text = ReadFile(FFile);
    EXPECT_EQ(text.rfind("; mine\n[PinComments]\nPin0=\nExtra=keep\n", 0), 0u) << text;
    EXPECT_NE(text.find("Line70=goto 3\n"), std::string::npos);
}

// Random configurations and programs come back equal in a fresh driver.
TEST_F(SettingsFileTest, RandomConfigurationsRoundTrip) {
    std::mt19937 rng(2024);
    const std::string alphabet = " ab;=[]\"'#$\\xyz09\t";
    auto randomText = [&] {
        std::string s;
        for (int n = static_cast<int>(rng() % 10); n > 0; --n) s += alphabet[rng() % alphabet.size()];
        return s;
    };
    auto operand = [&](bool Assignable) {
        switch (rng() % (Assignable ? 2 : 4)) {
            case 0:
                return "port" + std::to_string(rng() % 6);
            case 1:
                return "Pin" + std::to_string(rng() % 48);
            case 2:
                return "AIN" + std::to_string(rng() % 5);
            default:
                return std::to_string(rng() % 256);
        }
    };
    auto randomLine = [&]() -> std::string {
        const char* comparisons[] = {"=", "<>", "<", ">"};
        const char* operations[] = {"+", "-", "and", "OR", "xor"};
        std::string go = " goto " + std::to_string(rng() % 61);
        switch (rng() % 5) {
            case 0:
                return "nop";
            case 1:
                return go.substr(1);
            case 2:
                return "if " + operand(false) + " " + comparisons[rng() % 4] + " " + operand(false) + go;
            case 3:
                return "set " + operand(true) + " = " + operand(false) + " " + operations[rng() % 5] + " " +
                       operand(false);
            default:
                return "delay " + operand(false);
        }
    };
    for (int round = 0; round < 3; ++round) {
        TVelmorant device;
        for (int p = 0; p < 3; ++p) device.SetPortDirection(p, static_cast<uint8_t>(rng() % 256));
        device.SetPullupsEnabled(0, rng() % 2);
        device.SetPullupsEnabled(2, rng() % 2);
        for (int p = 0; p < 48; ++p) device.SetPinComment(p, randomText());
        device.SetUpdatePeriod(static_cast<int>(rng() % 16));
        for (int n = 0; n < device.ProgramLineCount(); ++n) {
            TProgramLine parsed = Parsed(randomLine(), randomText());
            device.SetProgramLine(n, parsed.ParseError.empty() ? parsed : Parsed("nop", randomText()));
        }
        std::string file = FDir.Path("round" + std::to_string(round) + ".velmor");
        device.SaveSettingsInFile(file, true);
        TVelmorant fresh;
        fresh.RecallSettingsFromFile(file, true);
        TSnapshot a = Snapshot(device), b = Snapshot(fresh);
        a.Changed = b.Changed = false;
        for (int p = 3; p < 6; ++p) a.Directions[p] = b.Directions[p];
        EXPECT_EQ(a.Directions, b.Directions) << "round " << round;
        EXPECT_EQ(a.Pullups, b.Pullups);
        EXPECT_EQ(a.Comments, b.Comments);
        EXPECT_EQ(a.Period, b.Period);
        for (int n = 0; n < device.ProgramLineCount(); ++n)
            EXPECT_EQ(fresh.GetProgramLine(n), device.GetProgramLine(n))
                << "line " << n << ": " << ProgramLineToText(device.GetProgramLine(n));
    }
}

// ---------------------------------------------------------------------------------------------
// With a board

class SettingsFileBoardTest : public SettingsFileTest {
protected:
    void Connect(TVelmorant& Device) {
        ASSERT_TRUE(Device.FindDevice(FFixture.ComName()));
        FFixture.Sim().ClearCommands();
    }
    velsim::TSimFixture FFixture;
};

TEST_F(SettingsFileBoardTest, RecallSendsEverySettingInOrder) {
    Connect(FDevice);
    FFixture.Sim().OverrideReply("PRTRD", "77");
    WriteFile(
        FFile,
        "[PortDirections]\nPort0=7\nPort1=15\nPort2=0\n[Pullups]\nPort0=1\nPort2=0\n"
        "[PortStates]\nPort0=5\nPort2=0x20\n[Program]\nPeriod=3\nLine0=set pin3 = 1\nLine1=set port9 = 1\n"
        "Line2=goto 0\n");
    FDevice.RecallSettingsFromFile(FFile, true);

    TStrings expected = {"DIRWR0 7",  "PU0 1",    "PRTRD0",    "PRTWR0 5", "DIRWR1 15", "PRTRD1",
                         "PRTWR1 77", "DIRWR2 0", "PU2 0",     "PRTRD2",   "PRTWR2 32", "PRTRD3",
                         "PRTWR3 77", "PRTRD4",   "PRTWR4 77", "PRTRD5",   "PRTWR5 77", "UR 3"};
    expected.push_back(PLCWR(0, Parsed("set pin3 = 1")));
    expected.push_back(PLCWR(2, Parsed("goto 0")));
    for (int n = 3; n < 60; ++n) expected.push_back(PLCWR(n, Parsed("nop")));
    EXPECT_EQ(FFixture.Sim().Commands(), expected);

    // Sending the held settings is the same recall without a file, and so without the states.
    FFixture.Sim().ClearCommands();
    FDevice.SendSettings(true);
    std::erase_if(expected, [](const std::string& C) { return C.rfind("PRT", 0) == 0; });
    expected.insert(expected.begin() + 7, PLCWR(1, Parsed("nop")));  // the line the file had in error
    EXPECT_EQ(FFixture.Sim().Commands(), expected);
}

TEST_F(SettingsFileBoardTest, SaveReadsOnlyThePortStates) {
    Connect(FDevice);
    FFixture.Sim().OverrideReply("PRTRD2", "42");
    FDevice.SaveSettingsInFile(FFile, true);
    EXPECT_EQ(FFixture.Sim().Commands(),
              (TStrings{"PRTRD0", "PRTRD1", "PRTRD2", "PRTRD3", "PRTRD4", "PRTRD5"}));
    TLayout layout = Layout(FFile);
    ASSERT_GE(layout.size(), 3u);
    EXPECT_EQ(layout[2].second[2], "Port2=42");
}

// A state the board did not give is no 0: not in the file, and not written back to the board.
TEST_F(SettingsFileBoardTest, AFailedStateReadIsWrittenNowhere) {
    Connect(FDevice);
    FFixture.Sim().OverrideReply("PRTRD1", "x7");
    FFixture.Sim().OverrideReply("PRTRD3", "?");
    WriteFile(FFile, "[PortStates]\nPort1=9\n");
    FDevice.SaveSettingsInFile(FFile, false);
    const TIniFile Saved(FFile);
    EXPECT_EQ(Saved.ReadString("PortStates", "Port1", "-"), "9");
    EXPECT_EQ(Saved.ReadString("PortStates", "Port3", "-"), "-");

    WriteFile(FFile, "[PortStates]\nPort0=5\n");
    FFixture.Sim().ClearCommands();
    FDevice.RecallSettingsFromFile(FFile, false);
    for (const std::string& Command : FFixture.Sim().Commands()) {
        EXPECT_NE(Command.rfind("PRTWR1", 0), 0u);
        EXPECT_NE(Command.rfind("PRTWR3", 0), 0u);
    }
    EXPECT_EQ(FFixture.Sim().Commands()[3], "PRTWR0 5");
}

TEST_F(SettingsFileBoardTest, NothingIsSentWithoutABoard) {
    Connect(FDevice);
    FDevice.SaveSettingsInFile(FFile, true);
    FDevice.Disconnect();
    FFixture.Sim().ClearCommands();
    FDevice.SetPortDirection(0, 1);
    FDevice.RecallSettingsFromFile(FFile, true);
    FDevice.SaveSettingsInFile(FFile, true);
    EXPECT_TRUE(FFixture.Sim().Commands().empty());
    EXPECT_EQ(FDevice.GetPortDirection(0), 255);
}

TEST(SettingsFileLineCount, ShorterProgramLeavesLaterLinesOfTheFile) {
    velsim::TSimBoardOptions options;
    options.ProgramLines = 48;
    velsim::TSimFixture fixture("COM3", options);
    const std::string file = fixture.Root() + "/s.velmor";

    TVelmorant sixty;  // no board: 60 lines
    for (int n = 0; n < 60; ++n) sixty.SetProgramLine(n, Parsed("delay " + std::to_string(n)));
    sixty.SaveSettingsInFile(file, true);

    TVelmorant fortyEight;
    ASSERT_TRUE(fortyEight.FindDevice(fixture.ComName()));
    ASSERT_EQ(fortyEight.ProgramLineCount(), 48);
    fortyEight.SaveSettingsInFile(file, true);
    {
        TLayout layout = Layout(file);
        const TStrings& program = layout.back().second;
        ASSERT_EQ(program.size(), 1u + 2 * 60);
        EXPECT_EQ(program[1 + 2 * 47], "Line47=nop");
        EXPECT_EQ(program[1 + 2 * 48], "Line48=delay 48");
        EXPECT_EQ(program[1 + 2 * 59], "Line59=delay 59");
    }

    fixture.Sim().ClearCommands();
    fortyEight.RecallSettingsFromFile(file, true);
    size_t downloads = 0;
    for (const std::string& c : fixture.Sim().Commands()) downloads += c.rfind("PLCWR", 0) == 0;
    EXPECT_EQ(downloads, 48u);

    TVelmorant again;
    again.RecallSettingsFromFile(file, true);
    EXPECT_EQ(again.GetProgramLine(47), Parsed("nop"));
    EXPECT_EQ(again.GetProgramLine(59), Parsed("delay 59"));
}

}  // namespace

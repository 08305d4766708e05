// velmorant-cli against the simulated board: each command's traffic and output, the exit codes, and
// command lines that must be refused before anything reaches the board.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "Cli.h"
#include "Device_VL.h"
#include "SerialPort.h"
#include "SimFixture.h"
#include "TestFiles.h"
#include "TickReadings.h"
#include "UnsavedOnBoard.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

namespace {

struct TRun {
    int Code;
    std::string Out, Err;
};

class CliTest : public ::testing::Test {
protected:
    TRun Run(std::vector<std::string> Args, bool WithPort = true) {
        if (WithPort) Args.insert(Args.begin(), {"--port", Fixture.ComName()});
        std::ostringstream Out, Err;
        const int Code = velcli::RunCli(Args, Out, Err);
        return {Code, Out.str(), Err.str()};
    }
    std::vector<std::string> Commands() { return Fixture.Sim().Commands(); }
    std::string File(const std::string& Name) { return Fixture.Root() + "/" + Name; }

    velsim::TSimFixture Fixture;
};

struct TCommandCase {
    std::vector<std::string> Args;
    std::string Sent;    // the command the board must have received
    std::string Output;  // a regular expression for the whole standard output
};

TEST_F(CliTest, EachCommandSendsItsCommandAndPrintsItsResult) {
    const TCommandCase Cases[] = {
        {{"info"}, "PC", "Port: COM3\nFirmware: 1.05\nProgram lines: 60\n"},
        {{"--json", "info"}, "VER", R"(\{"port":"COM3","firmware":"1.05","program_lines":60\}.)"},
        {{"set", "pin", "43", "1"}, "PINWR43 1", ""},
        {{"get", "pin", "43"}, "PINRD43", "1\n"},
        {{"set", "port", "4", "0x21"}, "PRTWR4 33", ""},
        {{"get", "port", "4"}, "PRTRD4", "33\n"},
        {{"set", "dir", "1", "$F0"}, "DIRWR1 240", ""},
        {{"--json", "get", "dir", "1"}, "DIRRD1", R"(\{"quantity":"dir","index":1,"value":240\}.)"},
        {{"set", "pullup", "2", "1"}, "PU2 1", ""},
        {{"get", "pullup", "2"}, "PU2?", "1\n"},
        {{"set", "offset", "4", "-5"}, "AOWR4 -5", ""},
        {{"get", "offset", "4"}, "AORD4", "-5\n"},
        {{"set", "period", "9"}, "UR 9", ""},
        {{"get", "period"}, "UR?", "9\n"},
        {{"plc", "enable"}, "PLCEN 1", ""},
        {{"plc", "run"}, "PLCRM 2", ""},
        {{"plc", "stop"}, "PLCRM 0", ""},
        {{"plc", "step", "5"}, "PLCEX 5", "6\n"},
        {{"plc", "step"}, "PLCEX -1", "[0-9]+\n"},
        {{"plc", "disable"}, "PLCEN 0", ""},
        {{"eeprom", "save"}, "SAVE", ""},
        {{"eeprom", "recall"}, "RECALL", ""},
        {{"read"}, "TEMP", "Port0\t[0-9]+\n(.*\t[0-9]+\n){10}Temp\t[0-9]+\n"},
        {{"--json", "read"}, "ADC4", R"(\{"time":".*","Port0":[0-9]+,.*"Temp":[0-9]+\}.)"},
        {{"bootloader"}, "BTLDR", "The Velmorant is now in update mode.*\n"},
    };
    for (const TCommandCase& C : Cases) {
        SCOPED_TRACE(::testing::PrintToString(C.Args));
        Fixture.Sim().ClearCommands();
        const TRun R = Run(C.Args);
        EXPECT_EQ(R.Code, 0) << R.Err;
        // A command that waits for no reply (BTLDR) may still be on its way.
        for (size_t N = Commands().size() + 1; !::testing::Matches(Contains(C.Sent))(Commands()); ++N)
            if (!Fixture.Sim().WaitForCommands(N, 2000)) break;
        EXPECT_THAT(Commands(), Contains(C.Sent));
        EXPECT_THAT(R.Out, MatchesRegex(C.Output));
        EXPECT_THAT(R.Err, IsEmpty());
    }
}

// The window's next start recalls the EEPROM: what a command left unsaved is recorded for it to ask.
TEST_F(CliTest, SettingsLeftUnsavedAreRecordedUntilSavedOrRecalled) {
    const struct {
        std::vector<std::string> Args;
        uint8_t Unsaved;
    } Steps[] = {
        {{"set", "dir", "1", "$F0"}, csDirections},
        {{"get", "dir", "1"}, csDirections},
        {{"set", "pin", "30", "1"}, csDirections},
        {{"plc", "enable"}, csDirections | csPLCMode},
        {{"eeprom", "save"}, 0},
        {{"set", "period", "3"}, csPeriod},
        {{"eeprom", "recall"}, 0},
    };
    for (const auto& Step : Steps) {
        SCOPED_TRACE(::testing::PrintToString(Step.Args));
        EXPECT_EQ(Run(Step.Args).Code, 0);
        EXPECT_EQ(UnsavedOnBoard(Fixture.ComName()), Step.Unsaved);
    }
}

TEST_F(CliTest, BadCommandLinesAreRefusedBeforeTheBoardIsTouched) {
    veltest::WriteFile(File("bad-line.velmor"), "[Program]\nPeriod=3\nLine0=set pin99 = 1\n");
    veltest::WriteFile(File("bad-period.velmor"), "[Program]\nPeriod=16\n");
    veltest::WriteFile(File("bad-direction.velmor"), "[PortDirections]\nPort1=256\n");
    veltest::WriteFile(File("no-program.velmor"), "[PortDirections]\nPort1=3\n");
    veltest::WriteFile(File("bad-state.velmor"), "[PortStates]\nPort0=12\nPort1=999\n");
    veltest::WriteFile(File("negative-state.velmor"), "[PortStates]\nPort4=-3\n");
    veltest::WriteFile(File("bad-pullup.velmor"), "[Pullups]\nPort0=maybe\n");
    veltest::WriteFile(File("bad-direction-text.velmor"), "[PortDirections]\nPort2=abc\n");
    const struct {
        std::vector<std::string> Args;
        int Code;
        std::string Message;
    } Cases[] = {
        {{}, 2, "no command given"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"get", "pin", "48"}, 2, "pin 48 is outside 0..47"},
        {{"get", "pin", "x"}, 2, "pin 'x' is not a number"},
        {{"set", "pin", "3"}, 2, "usage: velmorant-cli set"},
        {{"set", "period", "16"}, 2, "period value 16 is outside 0..15"},
        {{"set", "offset", "4", "129"}, 2, "offset value 129 is outside -128..128"},
        {{"set", "pullup", "1", "1"}, 2, "port 1 has no pull-ups"},
        {{"set", "dir", "0", "256"}, 2, "dir value 256 is outside 0..255"},
        {{"plc", "jump"}, 2, "usage: velmorant-cli plc"},
        {{"plc", "step", "256"}, 2, "line 256 is outside 0..255"},
        {{"read", "--csv", "x.csv"}, 2, "belong to watch"},
        {{"watch", "--interval", "-1"}, 2, "interval '-1'"},
        {{"info", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"capture", "A0"}, 2, "capture needs --seconds S or --count N"},
        {{"capture", "A0", "ADC1", "--seconds", "1"}, 2, "'ADC1' is no analog input"},
        {{"capture", "P1", "p1", "--count", "9"}, 2, "Port1 is named twice"},
        {{"read", "--seconds", "1"}, 2, "--seconds belongs to capture"},
        {{"--device", "/dev/null", "info"}, 2, "not both"},
        {{"--port", "socket://h:1", "serve"}, 2, "serve needs a front end: --listen HOST:PORT"},
        {{"--port", "socket://h:1", "serve", "--listen", "1", "--unit", "3"},
         2,
         "--unit belongs to the Modbus"},
        {{"--port", "socket://h:1", "serve", "--listen", "h:99999"}, 2, "'h:99999' is not HOST:PORT"},
        {{"program", "download", File("missing.velmor")}, 1, "Cannot open"},
        {{"program", "download", File("bad-line.velmor")}, 1, "program line 0 \"set pin99 = 1\""},
        {{"program", "download", File("bad-period.velmor")}, 1, "line 2, [Program] Period=16: not a whole"},
        {{"program", "download", File("no-program.velmor")}, 1, "holds no PLC program"},
        {{"settings", "recall", File("bad-direction.velmor")}, 1, "outside the range 0 to 255"},
        {{"settings", "recall", File("bad-state.velmor")},
         1,
         "line 3, [PortStates] Port1=999: not a whole number from 0 to 255"},
        {{"settings", "recall", File("negative-state.velmor")}, 1, "line 2, [PortStates] Port4=-3"},
        {{"settings", "recall", File("bad-pullup.velmor")},
         1,
         "line 2, [Pullups] Port0=maybe: not a whole number from 0 to 1"},
        {{"settings", "recall", File("bad-direction-text.velmor")}, 1, "[PortDirections] Port2=abc"},
        // Files to be written are opened or checked before the board is.
        {{"watch", "--csv", File("no-folder/log.csv")}, 1, "Cannot create file"},
        {{"settings", "save", File("no-folder/s.velmor")}, 1, "Unable to write to"},
        {{"program", "upload", Fixture.Root()}, 1, "Unable to write to"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(::testing::PrintToString(C.Args));
        const TRun R = Run(C.Args);
        EXPECT_EQ(R.Code, C.Code);
        EXPECT_THAT(R.Err, HasSubstr(C.Message));
        EXPECT_THAT(R.Out, IsEmpty());
    }
    EXPECT_THAT(Commands(), IsEmpty());

    // The board's line count is known once it answers; nothing but identification goes out.
    const TRun Step = Run({"plc", "step", "60"});
    EXPECT_EQ(Step.Code, 2);
    EXPECT_THAT(Step.Err, HasSubstr("line 60 is outside 0..59"));
    EXPECT_THAT(Commands(), ::testing::ElementsAre("", "VER", "PC"));

    // A pin write is for outputs and the program's variables: an input pin is refused, nothing written.
    Fixture.Sim().ClearCommands();
    const TRun Input = Run({"set", "pin", "8", "0"});
    EXPECT_EQ(Input.Code, 1);
    EXPECT_THAT(Input.Err, HasSubstr("pin 8 is an input (port 1 direction 255); nothing was sent"));
    EXPECT_THAT(Commands(), ::testing::ElementsAre("", "VER", "PC", "DIRRD1"));
}

// A port that gives no board is named with its device and the reason, once and in the program's own
// words; a malformed name, or a command that changes the board without a port, is a usage error.
TEST_F(CliTest, APortThatGivesNoBoardIsNamedWithItsDeviceAndReason) {
    const std::string Links = Fixture.LinksFolder() + "ports/", Unplugged = Fixture.Root() + "/unplugged";
    ASSERT_EQ(symlink(Unplugged.c_str(), (Links + "COM9").c_str()), 0);
    veltest::WriteFile(File("plain"), "");
    ASSERT_EQ(symlink(File("plain").c_str(), (Links + "COM8").c_str()), 0);
    const std::string Search = "; only commands that just read search the ports";
    const struct {
        std::vector<std::string> Args;
        int Code;
        std::string Message;
    } Cases[] = {
        {{"--port", "COM9", "info"},
         1,
         "COM9 (" + Unplugged +
             "): no such device; is the board plugged in? 'velmorant-cli ports' lists the "
             "ports there are"},
        {{"--port", "COM8", "read"}, 1, "COM8 (" + File("plain") + "): not a serial port"},
        {{"--device", Unplugged, "read"}, 1, Unplugged + ": no such device"},
        {{"--port", "socket://127.0.0.1:1", "info"},
         1,
         "socket://127.0.0.1:1: 127.0.0.1:1 refused the connection: no port server listens there"},
        {{"--port", "com3", "info"}, 2, "no port is named 'com3'; port names are upper case: COM3"},
        {{"--port", "COM99", "info"},
         2,
         "no port is named 'COM99': port names are COM1 to COM64, socket://HOST:PORT and "
         "rfc2217://HOST:PORT"},
        {{"--port", "/dev/pts/1", "info"},
         2,
         "'/dev/pts/1' is a device node, not a port name: use --device /dev/pts/1"},
        {{"--port", "rfc2217://host", "info"}, 2, "\"rfc2217://host\" is not a network port name"},
        {{"set", "pin", "5", "1"},
         2,
         "'set' changes the board, so it needs the board's port: give --port (or --device)" + Search},
        {{"program", "download", File("p.velmor")}, 2, "'program download' changes the board"},
        {{"eeprom", "recall"}, 2, "'eeprom recall' changes the board"},
        {{"plc", "step"}, 2, "'plc step' changes the board"},
        {{"bootloader"}, 2, "'bootloader' changes the board"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(::testing::PrintToString(C.Args));
        const TRun R = Run(C.Args, false);
        EXPECT_EQ(R.Code, C.Code);
        // One line of ours (and the pointer to --help for a usage error): no raw record, no second
        // "not found".
        EXPECT_THAT(R.Err, ::testing::StartsWith("velmorant-cli: " + C.Message));
        EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), C.Code == 2 ? 2 : 1) << R.Err;
    }
    EXPECT_THAT(Commands(), IsEmpty());
    // Reading needs no port: the board is searched for.
    EXPECT_EQ(Run({"info"}, false).Code, 0);

    const std::string Device = " (" + Fixture.Sim().DevicePath() + "): ";
    THandle Held = OpenSerialPort(Fixture.ComName(), "19200,8,N,1,NONE");
    ASSERT_NE(Held, INVALID_HANDLE_VALUE);
    const TRun Busy = Run({"read"});
    CloseSerialPort(Held);
    EXPECT_EQ(Busy.Code, 1);
    EXPECT_EQ(Busy.Err, "velmorant-cli: COM3" + Device +
                            "in use by another program (the Velmorant window?); nothing was sent\n");
    Fixture.Sim().ClearCommands();
    Fixture.Sim().SetFault(velsim::TFault::Silent);
    const TRun Silent = Run({"read"});
    EXPECT_EQ(Silent.Code, 1);
    EXPECT_EQ(Silent.Err,
              "velmorant-cli: COM3" + Device +
                  "no answer from a Velmorant (the port opened, but nothing answered as the board "
                  "does)\n");
    // A search that finds nothing names the ports it tried.
    const TRun Searched = Run({"read"}, false);
    EXPECT_EQ(Searched.Code, 1);
    EXPECT_THAT(Searched.Err,
                ::testing::StartsWith("velmorant-cli: Velmorant not found. No answer as a Velmorant on "));
    EXPECT_THAT(Searched.Err, ::testing::HasSubstr("COM3 (" + Fixture.Sim().DevicePath() + ")"));
}

TEST_F(CliTest, AFailedReadIsAGapAndFailsTheRun) {
    Fixture.Sim().SetFaultFilter("TEMP");
    Fixture.Sim().SetFault(velsim::TFault::Silent);
    const TRun R = Run({"read"});
    EXPECT_EQ(R.Code, 1);
    EXPECT_THAT(R.Out, MatchesRegex("(.*\t[0-9]+\n){11}Temp\t\n"));
    EXPECT_EQ(R.Err, "velmorant-cli: Error reading temperature\n");
}

// Replies no board sends are failed reads: null, a gap, exit status 1, and each kind told once.
TEST_F(CliTest, AReplyThatIsNoReadingIsNeverANumber) {
    Fixture.Sim().OverrideReply("PRTRD1", "x7");
    Fixture.Sim().OverrideReply("ADC2", "?");
    Fixture.Sim().OverrideReply("TEMP", "7x2");
    const std::string Told =
        "velmorant-cli: Error reading port: the board's reply is not a valid value\n"
        "velmorant-cli: Error reading ADC: the board did not understand the command\n"
        "velmorant-cli: Error reading temperature: the board's reply is not a valid value\n";
    const TRun Json = Run({"--json", "read"});
    EXPECT_EQ(Json.Code, 1);
    EXPECT_THAT(Json.Out, HasSubstr("\"Port1\":null,"));
    EXPECT_THAT(Json.Out, HasSubstr("\"A2\":null,"));
    EXPECT_THAT(Json.Out, HasSubstr("\"Temp\":null}"));
    EXPECT_EQ(Json.Err, Told);

    const TRun Watch = Run({"watch", "--interval", "0", "--count", "3"});
    EXPECT_EQ(Watch.Code, 1);
    EXPECT_THAT(Watch.Out, MatchesRegex(std::string(DataLogHeader) +
                                        "\n([^,]+,[0-9]+,,([0-9]+,){6},([0-9]+,){2},\n){3}"));
    EXPECT_EQ(Watch.Err, Told);

    Fixture.Sim().OverrideReply("DIRRD1", "300");
    const TRun Get = Run({"get", "dir", "1"});
    EXPECT_EQ(Get.Code, 1);
    EXPECT_THAT(Get.Out, IsEmpty());
}

TEST_F(CliTest, FilesTravelBetweenBoardAndFileAndKeepTheirComments) {
    const std::string Program = File("program.velmor");
    veltest::WriteFile(Program,
                       "[Program]\nPeriod=4\nLine0=set pin3 = 1 or 0 at once\nLine0.comment=start\n");
    const TRun Download = Run({"program", "download", Program});
    ASSERT_EQ(Download.Code, 0) << Download.Err;
    // Text the line leaves unread is not lost in silence.
    EXPECT_EQ(Download.Err,
              "velmorant-cli: \"" + Program +
                  "\", program line 0 \"set pin3 = 1 or 0 at once\": Text after the line is ignored "
                  "(at once).\n");
    EXPECT_THAT(Commands(), Contains("UR 4"));
    EXPECT_THAT(Commands(), Contains("PLCWR0 1B093C3B"));

    const TRun Upload = Run({"program", "upload", Program});
    EXPECT_EQ(Upload.Code, 0) << Upload.Err;
    const std::string Uploaded = veltest::ReadFile(Program);
    EXPECT_THAT(Uploaded, HasSubstr("Line0=set PIN3 = 1 OR 0\nLine0.comment=start\n"));
    EXPECT_THAT(Uploaded, HasSubstr("Line59=nop\n"));

    const std::string Settings = File("settings.velmor");
    ASSERT_EQ(Run({"set", "dir", "0", "7"}).Code, 0);
    ASSERT_EQ(Run({"settings", "save", Settings}).Code, 0);
    EXPECT_THAT(veltest::ReadFile(Settings), HasSubstr("[PortDirections]\nPort0=7\n"));
    ASSERT_EQ(Run({"set", "dir", "0", "255"}).Code, 0);
    Fixture.Sim().ClearCommands();
    EXPECT_EQ(Run({"settings", "recall", Settings}).Code, 0);
    EXPECT_THAT(Commands(), Contains("DIRWR0 7"));

    // A line the board has no room for stops the download before it starts.
    veltest::WriteFile(Program, "[Program]\nLine60=set pin3 = 1\n");
    Fixture.Sim().ClearCommands();
    const TRun TooLong = Run({"program", "download", Program});
    EXPECT_EQ(TooLong.Code, 1);
    EXPECT_THAT(TooLong.Err, HasSubstr("beyond the board's 60 lines"));
    for (const std::string& C : Commands()) EXPECT_THAT(C, ::testing::Not(HasSubstr("WR")));
}

TEST_F(CliTest, ARecallLeavesAloneWhatTheFileLeavesOut) {
    const std::string Part = File("part.velmor");
    veltest::WriteFile(Part, "[PortStates]\nPort0=12\n");
    Fixture.Sim().ClearCommands();
    const TRun R = Run({"settings", "recall", Part});
    EXPECT_EQ(R.Code, 0) << R.Err;
    EXPECT_THAT(Commands(), ::testing::ElementsAre("", "VER", "PC", "PRTRD0", "PRTWR0 12"));
}

TEST_F(CliTest, WatchWritesDataLogRows) {
    const std::string Csv = File("log.csv");
    const TRun R = Run({"watch", "--interval", "0", "--count", "2", "--csv", Csv});
    EXPECT_EQ(R.Code, 0) << R.Err;
    const std::string Row = "[^,]+(,[0-9]+){12},\r\n";
    EXPECT_THAT(veltest::ReadFile(Csv), MatchesRegex(std::string(DataLogHeader) + "\r\n" + Row + Row));

    // A board not found leaves an earlier log as it was.
    const TRun NotFound = Run({"--port", "COM9", "watch", "--count", "1", "--csv", Csv}, false);
    EXPECT_EQ(NotFound.Code, 1);
    EXPECT_THAT(veltest::ReadFile(Csv), MatchesRegex(std::string(DataLogHeader) + "\r\n" + Row + Row));

    const TRun Json = Run({"--json", "watch", "--interval", "0", "--count", "2"});
    EXPECT_THAT(Json.Out, MatchesRegex(R"((\{"time":.*"Temp":[0-9]+\}.){2})"));
}

TEST_F(CliTest, CaptureWritesARowARoundAndSumsUp) {
    {
        auto Lock = Fixture.Sim().Lock();
        Fixture.Sim().Board().InputsFrozen = true;
        Fixture.Sim().Board().Analog[2] = 345;
        Fixture.Sim().Board().PortState[3] = 17;
    }
    const std::string Csv = File("capture.csv");
    const TRun R = Run({"capture", "a2", "P3", "--count", "4", "--csv", Csv});
    EXPECT_EQ(R.Code, 0) << R.Err;
    EXPECT_THAT(veltest::ReadFile(Csv),
                MatchesRegex("Time \\(ms\\),A2,VPort0\r\n([0-9]+\\.[0-9]{3},345,17\r\n){4}"));
    EXPECT_THAT(
        R.Out,
        MatchesRegex("Captured 8 samples in [0-9.]+ s, [0-9.]+ a second \\([0-9.]+ each\\); every input "
                     "has its samples.\nA2: 4 samples, 0 failed, min 345, max 345\nVPort0: 4 "
                     "samples, 0 failed, min 17, max 17\n"));
    const std::vector<std::string> Sent = Commands();
    EXPECT_THAT(
        std::vector<std::string>(Sent.begin() + 3, Sent.end()),
        ::testing::ElementsAre("ADC2", "PRTRD3", "ADC2", "PRTRD3", "ADC2", "PRTRD3", "ADC2", "PRTRD3"));
}

TEST_F(CliTest, DeviceNodesWorkLikePortNames) {
    const TRun R = Run({"--device", Fixture.Sim().DevicePath(), "info"}, false);
    EXPECT_EQ(R.Code, 0) << R.Err;
    EXPECT_THAT(R.Out, HasSubstr("Port: " + Fixture.Sim().DevicePath() + "\n"));
    EXPECT_THAT(Run({"ports"}, false).Out, HasSubstr("COM3\t" + Fixture.Sim().DevicePath() + "\n"));
}

// The real program: Ctrl+C ends a watch with its rows written and exit status 0.
TEST_F(CliTest, InterruptedWatchFlushesAndSucceeds) {
    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    const pid_t Child = fork();
    if (Child == 0) {
        dup2(Pipe[1], STDOUT_FILENO);
        execl(VELMORANT_CLI_PATH, "velmorant-cli", "--port", "COM3", "watch", "--interval", "60", nullptr);
        _exit(127);
    }
    close(Pipe[1]);
    FILE* Out = fdopen(Pipe[0], "r");
    char Line[512];
    ASSERT_NE(fgets(Line, sizeof Line, Out), nullptr);  // the header
    EXPECT_EQ(std::string(Line), std::string(DataLogHeader) + "\n");
    ASSERT_NE(fgets(Line, sizeof Line, Out), nullptr);  // the first row; the next is a minute away
    kill(Child, SIGINT);
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    EXPECT_EQ(fgets(Line, sizeof Line, Out), nullptr);
    fclose(Out);
}

// The real program: Ctrl+C ends a capture at once, its file whole and every sample in it.
TEST_F(CliTest, InterruptedCaptureLeavesTheFileComplete) {
    const std::string Csv = File("interrupted.csv");
    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    const pid_t Child = fork();
    if (Child == 0) {
        dup2(Pipe[1], STDOUT_FILENO);
        execl(VELMORANT_CLI_PATH, "velmorant-cli", "--port", "COM3", "capture", "A1", "--seconds", "600",
              "--csv", Csv.c_str(), nullptr);
        _exit(127);
    }
    close(Pipe[1]);
    ASSERT_TRUE(Fixture.Sim().WaitForCommands(30, 20000));
    kill(Child, SIGINT);
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    FILE* Out = fdopen(Pipe[0], "r");
    char Line[512];
    ASSERT_NE(fgets(Line, sizeof Line, Out), nullptr);
    fclose(Out);
    int Samples = 0;
    ASSERT_EQ(std::sscanf(Line, "Captured %d samples", &Samples), 1) << Line;
    EXPECT_GT(Samples, 20);
    EXPECT_THAT(veltest::ReadFile(Csv), MatchesRegex("Time \\(ms\\),A1\r\n([0-9]+\\.[0-9]{3},[0-9]+\r\n){" +
                                                     std::to_string(Samples) + "}"));
}

}  // namespace

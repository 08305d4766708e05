// Identification of the board and the command/reply exchange, over the simulated board.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "ConnectedDevice.h"
#include "Device_VL.h"
#include "TestFiles.h"

using velsim::TFault;

namespace {

class DeviceConnection : public TConnectedDevice {};

// ---------------------------------------------------------------------------------------------
// Version texts

TEST(VersionText, ReadsNumbersAboveZeroWithOneTrailingLetter) {
    const struct {
        const char* Text;
        bool Expected;
    } Cases[] = {
        {"1.05", true},  {"2.10b", true},   {"3", true},      {".5", true},     {"1.5E1", true},
        {"0", false},    {"0.0b", false},   {"abc", false},   {"", false},      {"b", false},
        {"-1.5", false}, {"1.05bb", false}, {"1.05 ", false}, {" 1.05", false}, {"1.0.5", false},
        {"1,05", false}, {"+2", true},      {"1.", true},     {".", false},     {"1e", true},
        {"inf", false},  {"nan", false},
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(TVelmorant::IsVersionText(Case.Text), Case.Expected) << '"' << Case.Text << '"';
}

// Switches the process to a locale with a decimal comma for the life of the object. When none is
// installed it builds one from the system's locale sources into a private folder.
class TCommaLocale {
public:
    TCommaLocale() : FSaved(std::setlocale(LC_ALL, nullptr)) {
        for (const char* Name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"})
            if (Select(Name)) return;
        const std::string Command = "localedef -i de_DE -f UTF-8 '" +
                                    FFolder.emplace("velmorant-locale").Path("de_DE.UTF-8") +
                                    "' >/dev/null 2>&1";
        if (std::system(Command.c_str()) == -1) return;
        setenv("LOCPATH", FFolder->Path().c_str(), 1);
        Select("de_DE.UTF-8");
    }
    ~TCommaLocale() { std::setlocale(LC_ALL, FSaved.c_str()); }
    bool Active() const { return FActive; }

private:
    bool Select(const char* Name) {
        FActive =
            std::setlocale(LC_ALL, Name) != nullptr && std::string(std::localeconv()->decimal_point) == ",";
        if (!FActive) std::setlocale(LC_ALL, FSaved.c_str());
        return FActive;
    }
    std::string FSaved;
    veltest::TSavedEnvironment FLocalePath{"LOCPATH"};
    std::optional<veltest::TTempDir> FFolder;
    bool FActive = false;
};

TEST(VersionText, AcceptsBothSeparatorsUnderADecimalCommaLocale) {
    TCommaLocale Locale;
    if (!Locale.Active()) GTEST_SKIP() << "no locale with a decimal comma available";
    const struct {
        const char* Text;
        bool Expected;
    } Cases[] = {
        {"1.05", true},  {"2.10b", true}, {"1,05", true},   {"2,10b", true},
        {"0,0b", false}, {"0.0", false},  {"1,0.5", false}, {"abc", false},
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(TVelmorant::IsVersionText(Case.Text), Case.Expected) << '"' << Case.Text << '"';
}

// ---------------------------------------------------------------------------------------------
// Identification

TEST_F(DeviceConnection, IdentifiesTheBoardWithAFixedSequence) {
    ASSERT_TRUE(Device.FindDevice(Fixture.ComName()));
    EXPECT_TRUE(Device.DevicePresent());
    EXPECT_EQ(Device.ComPortName(), Fixture.ComName());
    EXPECT_EQ(Device.Version(), "1.05");
    EXPECT_EQ(Device.ProgramLineCount(), 60);
    EXPECT_EQ(Device.ReportedProgramLineCount(), 60);
    // The lone CR ends whatever half command the board held.
    EXPECT_EQ(Sim().Commands(), (std::vector<std::string>{"", "VER", "PC"}));
    EXPECT_TRUE(Errors.empty());
}

TEST_F(DeviceConnection, IdentificationFollowsTheVersionAndLineCountReplies) {
    const struct {
        const char* Ver;
        const char* Pc;  // nullptr: the board's own reply (60 lines)
        bool Present;
        bool PortOpen;
        int Lines;     // length of the program afterwards
        int Reported;  // count the board reported
    } Cases[] = {
        {"1.05", "PC:0 L:48 ", true, true, 48, 48}, {"2.10b", nullptr, true, true, 60, 60},
        {"1.05", "pc:0 l:48 ", true, true, 48, 48}, {"1.05", "PC:0 L:48", true, true, 48, 48},
        {"1.05", "L:64 lines", true, true, 64, 64}, {"1.05", "PC:0", false, true, 0, 0},
        {"1.05", "PC:0 L:", false, true, 0, 0},     {"1.05", "PC:0 L:x12 ", false, true, 0, 0},
        {"1.05", "PC:0 L:-5 ", false, true, 0, 0},  {"0", nullptr, false, false, 60, 20},
        {"0.0b", nullptr, false, false, 60, 20},    {"abc", nullptr, false, false, 60, 20},
        {" ", nullptr, false, false, 60, 20},  // an empty line once trimmed
        {"?", nullptr, false, false, 60, 20},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Ver) + " / " + (Case.Pc ? Case.Pc : "(own)"));
        TVelmorant Fresh;
        Sim().OverrideReply("VER", Case.Ver);
        Sim().OverrideReply("PC", Case.Pc ? Case.Pc : "");
        EXPECT_EQ(Fresh.FindDevice(Fixture.ComName()), Case.Present);
        EXPECT_EQ(Fresh.DevicePresent(), Case.Present);
        EXPECT_EQ(Fresh.ProgramLineCount(), Case.Lines);
        EXPECT_EQ(Fresh.ReportedProgramLineCount(), Case.Reported);
        std::string Reply;
        EXPECT_EQ(Fresh.SendCommandToDevice("TEMP", Reply), Case.PortOpen);
        EXPECT_EQ(Fresh.Version(), Case.PortOpen ? Case.Ver : "");
    }
}

// A count beyond any board is a garbled reply: the program must not be sized by it.
TEST_F(DeviceConnection, IdentificationRefusesLineCountsNoBoardHas) {
    const struct {
        const char* Pc;
        bool Present;
        int Lines;
    } Cases[] = {
        {"PC:0 L:256 ", true, 256},
        {"PC:0 L:257 ", false, 0},
        {"PC:0 PC:0 L:8362760 ", false, 0},
        {"PC:0 L:2147483647 ", false, 0},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Pc);
        TVelmorant Fresh;
        Sim().OverrideReply("PC", Case.Pc);
        EXPECT_EQ(Fresh.FindDevice(Fixture.ComName()), Case.Present);
        EXPECT_EQ(Fresh.ProgramLineCount(), Case.Lines);
        EXPECT_EQ(Fresh.ReportedProgramLineCount(), Case.Lines);
    }
}

TEST_F(DeviceConnection, LineCountTimeOutKeepsThePreviousCountAndFindsTheBoard) {
    Sim().SetFaultFilter("PC");
    Sim().SetFault(TFault::Silent, 1);
    EXPECT_TRUE(Device.FindDevice(Fixture.ComName()));
    EXPECT_TRUE(Device.DevicePresent());
    EXPECT_EQ(Device.ReportedProgramLineCount(), 20);
    EXPECT_EQ(Device.ProgramLineCount(), 60);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(DeviceConnection, ResizingTheProgramKeepsExistingLines) {
    TProgramLine Line;
    TextToProgramLine(Line, "goto 5");
    Line.Comment = "pump";
    Device.SetProgramLine(47, Line);
    Device.SetProgramLine(48, Line);
    Sim().OverrideReply("PC", "PC:0 L:48 ");
    ASSERT_TRUE(Device.FindDevice(Fixture.ComName()));
    EXPECT_EQ(Device.ProgramLineCount(), 48);
    EXPECT_EQ(Device.GetProgramLine(47), Line);
    EXPECT_THROW(Device.GetProgramLine(48), std::out_of_range);

    Sim().OverrideReply("PC", "PC:0 L:50 ");
    ASSERT_TRUE(Device.FindDevice(Fixture.ComName()));
    EXPECT_EQ(Device.GetProgramLine(47), Line);
    EXPECT_EQ(Device.GetProgramLine(48), TProgramLine{});  // the dropped line does not come back
}

TEST_F(DeviceConnection, APortThatDoesNotOpenLeavesTheNameAlone) {
    std::filesystem::create_symlink("/nonexistent/tty", Fixture.LinksFolder() + "ports/COM9");
    Connect();
    EXPECT_FALSE(Device.FindDevice("COM9"));
    EXPECT_FALSE(Device.DevicePresent());
    EXPECT_EQ(Device.ComPortName(), Fixture.ComName());
    EXPECT_TRUE(Errors.empty());
    std::string Reply;
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));  // the old port was closed first
}

TEST_F(DeviceConnection, DisconnectClosesThePortAndKeepsTheIdentity) {
    Connect();
    Device.Disconnect();
    EXPECT_FALSE(Device.DevicePresent());
    EXPECT_EQ(Device.Version(), "1.05");
    EXPECT_EQ(Device.ComPortName(), Fixture.ComName());
    std::string Reply;
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
    // The port is free again for whoever comes next.
    TVelmorant Other;
    EXPECT_TRUE(Other.FindDevice(Fixture.ComName()));
}

TEST_F(DeviceConnection, DestructionReleasesThePort) {
    {
        TVelmorant First;
        ASSERT_TRUE(First.FindDevice(Fixture.ComName()));
    }
    EXPECT_TRUE(Device.FindDevice(Fixture.ComName()));
}

TEST_F(DeviceConnection, BootloadModeSendsOneCommandAndDisconnects) {
    Connect();
    Device.EnterBootloadMode();
    EXPECT_FALSE(Device.DevicePresent());
    ASSERT_TRUE(Sim().WaitForCommands(1, 2000));
    EXPECT_EQ(Sim().Commands(), (std::vector<std::string>{"BTLDR"}));
    std::string Reply;
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
}

TEST_F(DeviceConnection, BootloadModeWithoutABoardDoesNothing) {
    Sim().OverrideReply("PC", "PC:0 ");  // open, but not identified
    EXPECT_FALSE(Device.FindDevice(Fixture.ComName()));
    Sim().ClearCommands();
    Device.EnterBootloadMode();
    std::string Reply;
    EXPECT_TRUE(Device.SendCommandToDevice("TEMP", Reply));  // the port is still open
    EXPECT_EQ(Sim().Commands(), (std::vector<std::string>{"TEMP"}));
}

// ---------------------------------------------------------------------------------------------
// The exchange

TEST_F(DeviceConnection, ExchangeAssemblesTheReplyLine) {
    Connect();
    const struct {
        const char* Name;
        TFault Fault;
        const char* Override;
        const char* Expected;
    } Cases[] = {
        {"whole", TFault::None, "123", "123"},
        {"pieces", TFault::Pieces, "123", "123"},
        {"blanks trimmed", TFault::None, "  7 \t", "7"},
        {"question", TFault::Question, nullptr, "?"},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Sim().OverrideReply("ADC0", Case.Override ? Case.Override : "");
        Sim().SetFault(Case.Fault, 1, std::chrono::milliseconds(30));
        std::string Reply = "stale";
        EXPECT_TRUE(Device.SendCommandToDevice("ADC0", Reply));
        EXPECT_EQ(Reply, Case.Expected);
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(DeviceConnection, TwoLinesInOneReadStayTogether) {
    Connect();
    Sim().OverrideReply("ADC0", "45");
    Sim().SetFault(TFault::TwoLines, 1);
    std::string Reply;
    ASSERT_TRUE(Device.SendCommandToDevice("ADC0", Reply));
    // Only the outer line ends are trimmed; the break between the lines stays in the reply.
    ASSERT_GT(Reply.size(), 2u);
    EXPECT_EQ(Reply.substr(0, 3), "45\r");
    EXPECT_NE(Reply.back(), '\r');
    EXPECT_NE(Reply.back(), '\n');
}

TEST_F(DeviceConnection, ExchangeFailsWithoutATerminatedLine) {
    Connect();
    const struct {
        const char* Name;
        TFault Fault;
        const char* Partial;
    } Cases[] = {
        {"silent", TFault::Silent, ""},
        {"no terminator", TFault::NoTerminator, "1.05"},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Sim().SetFault(Case.Fault, 1);
        std::string Reply;
        EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
        EXPECT_EQ(Reply.substr(0, std::string(Case.Partial).size()), Case.Partial);
        EXPECT_EQ(Reply.find('\r'), std::string::npos);
        // A failed exchange is the caller's to report, and the board stays "present".
        EXPECT_TRUE(Device.DevicePresent());
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(DeviceConnection, AHangUpEndsTheExchangeAtOnce) {
    Connect();
    Sim().HangUpAtCommand(1);
    std::string Reply;
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
    EXPECT_TRUE(Device.PortHungUp());
    EXPECT_TRUE(Device.DevicePresent());
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
    EXPECT_TRUE(Errors.empty());
}

// Callers decide on the kind (did the board answer? was it our own Disconnect?), never on the text.
TEST(DeviceFailures, EachFailedReadSaysWhatKindOfFailureItWas) {
    using velsim::TFault;
    const struct {
        const char* Name;
        std::function<void(velsim::TSimulator&, TVelmorant&)> Fault;
        TFailureKind Kind;
    } Cases[] = {
        {"silence", [](auto& S, auto&) { S.SetFault(TFault::Silent); }, TFailureKind::NoAnswer},
        {"a question mark", [](auto& S, auto&) { S.SetFault(TFault::Question); },
         TFailureKind::NotUnderstood},
        {"garbage", [](auto& S, auto&) { S.OverrideReply("PRTRD0", "x7"); }, TFailureKind::BadReply},
        {"an endless line", [](auto& S, auto&) { S.OverrideReply("PRTRD0", std::string(300, '7')); },
         TFailureKind::BadReply},
        {"a hang-up", [](auto& S, auto&) { S.HangUpAtCommand(1); }, TFailureKind::HungUp},
        {"our own Disconnect", [](auto&, TVelmorant& D) { D.Interrupt(); }, TFailureKind::Interrupted},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        velsim::TSimFixture Fixture("COM4");
        TVelmorant Driver;
        ASSERT_TRUE(Driver.FindDevice("COM4"));
        std::vector<TFailure> Heard;
        Driver.SetOnError([&](const TFailure& Failure) { Heard.push_back(Failure); });
        Case.Fault(Fixture.Sim(), Driver);
        EXPECT_FALSE(Driver.ReadPortState(0));
        ASSERT_EQ(Heard.size(), 1u);
        EXPECT_EQ(Heard[0].Kind, Case.Kind);
        EXPECT_EQ(Heard[0].Text.rfind("Error reading port", 0), 0u);
        EXPECT_EQ(Heard[0].BoardAnswered(),
                  Case.Kind == TFailureKind::NotUnderstood || Case.Kind == TFailureKind::BadReply);
        Driver.Disconnect();
    }
}

TEST_F(DeviceConnection, ASerialFailureIsReadOnce) {
    Connect();
    (void)Device.LastCommError();
    Sim().HangUp();
    std::string Reply;
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
    EXPECT_NE(Device.LastCommError(), "");
    EXPECT_EQ(Device.LastCommError(), "");
}

TEST_F(DeviceConnection, WithoutAPortNothingIsSent) {
    std::string Reply = "stale";
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
    EXPECT_EQ(Reply, "");
    EXPECT_FALSE(Device.PortHungUp());
    EXPECT_TRUE(Sim().Commands().empty());
}

TEST_F(DeviceConnection, AnEmptyCommandOnlyWaitsForTheNextLine) {
    Connect();
    // The late reply misses its own exchange and is the line the empty command then receives.
    Sim().SetFault(TFault::Late, 1, std::chrono::milliseconds(1400));
    std::string Reply;
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
    EXPECT_TRUE(Device.SendCommandToDevice("", Reply));
    EXPECT_EQ(Reply, "1.05");
    EXPECT_EQ(Sim().Commands(), (std::vector<std::string>{"VER"}));
}

TEST_F(DeviceConnection, AStaleReplyIsPurgedBeforeTheNextCommand) {
    Connect();
    Sim().OverrideReply("TEMP", "77");
    Sim().SetFault(TFault::Late, 1, std::chrono::milliseconds(1050));
    std::string Reply;
    EXPECT_FALSE(Device.SendCommandToDevice("VER", Reply));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the late "1.05" lands unread
    EXPECT_TRUE(Device.SendCommandToDevice("TEMP", Reply));
    EXPECT_EQ(Reply, "77");
}

}  // namespace

// The simulator on a real pseudo-terminal, talked to as a client would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "SimFixture.h"

using namespace std::chrono_literals;
using velsim::TFault;
using velsim::TSimFixture;

namespace {

// A bare client on the pty: raw bytes in and out, no serial layer in between.
class TClient {
public:
    explicit TClient(const std::string& Path) : FFd(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~TClient() { Close(); }
    bool IsOpen() const { return FFd >= 0; }
    void Close() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }
    bool Send(const std::string& Text) {
        return ::write(FFd, Text.data(), Text.size()) == ssize_t(Text.size());
    }
    // Everything up to and including the first CR (LF after it included when already there);
    // nullopt when no CR came within TimeoutMs. Pieces is how many reads it took.
    std::optional<std::string> ReadLine(int TimeoutMs = 2000) {
        std::string Text;
        Pieces = 0;
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
        while (Text.find('\r') == std::string::npos) {
            const auto Left =
                std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
            if (Left.count() <= 0 || !WaitReadable(static_cast<int>(Left.count()))) return std::nullopt;
            char Buffer[256];
            const ssize_t N = ::read(FFd, Buffer, sizeof Buffer);
            if (N <= 0) return std::nullopt;
            Text.append(Buffer, size_t(N));
            ++Pieces;
        }
        return Text;
    }
    std::optional<std::string> Exchange(const std::string& Command, int TimeoutMs = 2000) {
        if (!Send(Command + "\r")) return std::nullopt;
        return ReadLine(TimeoutMs);
    }
    // What arrives within Ms, CR or not.
    std::string ReadFor(int Ms) {
        std::string Text;
        while (WaitReadable(Ms)) {
            char Buffer[256];
            const ssize_t N = ::read(FFd, Buffer, sizeof Buffer);
            if (N <= 0) break;
            Text.append(Buffer, size_t(N));
        }
        return Text;
    }
    // True when the other side hung up: poll reports it, and a read fails or ends.
    bool SeesHangUp() {
        pollfd P{FFd, POLLIN, 0};
        if (::poll(&P, 1, 2000) <= 0 || !(P.revents & (POLLHUP | POLLERR))) return false;
        char Byte;
        return ::read(FFd, &Byte, 1) <= 0;
    }
    int Pieces = 0;

private:
    bool WaitReadable(int Ms) {
        pollfd P{FFd, POLLIN, 0};
        return ::poll(&P, 1, Ms) > 0 && (P.revents & POLLIN);
    }
    int FFd;
};

class SimulatorTest : public ::testing::Test {
protected:
    std::string LinkPath() { return Fixture.LinksFolder() + "ports/" + Fixture.ComName(); }
    TSimFixture Fixture;
};

TEST_F(SimulatorTest, AnswersThroughTheLinkAndRecordsTheTraffic) {
    EXPECT_EQ(std::filesystem::read_symlink(LinkPath()).string(), Fixture.Sim().DevicePath());
    TClient Client(LinkPath());
    ASSERT_TRUE(Client.IsOpen());
    EXPECT_EQ(Client.Exchange("VER"), "1.05\r\n");
    ASSERT_TRUE(Client.Send("\r"));
    EXPECT_EQ(Client.Exchange("PC"), "PC:0 L:60 \r\n") << "a lone CR gets no reply";
    EXPECT_EQ(Fixture.Sim().Commands(), (std::vector<std::string>{"VER", "", "PC"}));
    Fixture.Sim().ClearCommands();
    EXPECT_TRUE(Fixture.Sim().Commands().empty());
}

TEST_F(SimulatorTest, KeepsServingAfterTheClientCloses) {
    for (int Session = 0; Session < 3; ++Session) {
        TClient Client(LinkPath());
        ASSERT_TRUE(Client.IsOpen());
        EXPECT_EQ(Client.Exchange("UR " + std::to_string(Session)), "OK\r\n");
    }
    TClient Client(LinkPath());
    EXPECT_EQ(Client.Exchange("UR?"), "2\r\n");
    EXPECT_EQ(Fixture.Sim().Commands(), (std::vector<std::string>{"UR 0", "UR 1", "UR 2", "UR?"}));
}

TEST_F(SimulatorTest, WaitForCommandsReturnsWhenTheyArrive) {
    TClient Client(LinkPath());
    EXPECT_FALSE(Fixture.Sim().WaitForCommands(1, 20));
    ASSERT_TRUE(Client.Send("VER\rPC\r"));
    EXPECT_TRUE(Fixture.Sim().WaitForCommands(2, 5000));
}

struct TFaultCase {
    const char* Name;
    TFault Fault;
    std::optional<std::string> Reply;  // nullopt: no CR arrives
};

class FaultTest : public SimulatorTest, public ::testing::WithParamInterface<TFaultCase> {};

TEST_P(FaultTest, GoesWrongOnceThenRecovers) {
    TClient Client(LinkPath());
    Fixture.Sim().SetFault(GetParam().Fault, 1, 30ms);
    EXPECT_EQ(Client.Exchange("VER", 500), GetParam().Reply);
    Client.ReadFor(50);  // whatever a fault left behind
    EXPECT_EQ(Client.Exchange("VER"), "1.05\r\n");
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest,
                         ::testing::Values(TFaultCase{"Silent", TFault::Silent, std::nullopt},
                                           TFaultCase{"Late", TFault::Late, "1.05\r\n"},
                                           TFaultCase{"Question", TFault::Question, "?\r\n"},
                                           TFaultCase{"TwoLines", TFault::TwoLines, "1.05\r\nREADY\r\n"},
                                           TFaultCase{"NoTerminator", TFault::NoTerminator, std::nullopt}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(SimulatorTest, PiecesArriveInSeveralReads) {
    TClient Client(LinkPath());
    Fixture.Sim().SetFault(TFault::Pieces, 1, 30ms);
    EXPECT_EQ(Client.Exchange("PC"), "PC:0 L:60 \r\n");
    EXPECT_GE(Client.Pieces, 2);
}

TEST_F(SimulatorTest, GarbageEndsWithItsOnlyCR) {
    TClient Client(LinkPath());
    Fixture.Sim().SetFault(TFault::Garbage, 1);
    const auto Line = Client.Exchange("VER");
    ASSERT_TRUE(Line);
    EXPECT_EQ(Line->size(), 9u);
    EXPECT_EQ(Line->find_first_of("\r\n"), 8u);
}

TEST_F(SimulatorTest, FilterAndOverrideChooseTheirCommands) {
    TClient Client(LinkPath());
    Fixture.Sim().SetFaultFilter("PC");
    Fixture.Sim().SetFault(TFault::Question);
    Fixture.Sim().OverrideReply("PRTRD", "45");
    Fixture.Sim().OverrideReply("PRTRD1", "67");
    EXPECT_EQ(Client.Exchange("VER"), "1.05\r\n");
    EXPECT_EQ(Client.Exchange("PC"), "?\r\n");
    EXPECT_EQ(Client.Exchange("PC"), "?\r\n") << "count -1 lasts";
    EXPECT_EQ(Client.Exchange("PRTRD0"), "45\r\n");
    EXPECT_EQ(Client.Exchange("PRTRD1"), "67\r\n") << "the longest prefix wins";
    Fixture.Sim().OverrideReply("PRTRD", "");
    Fixture.Sim().SetFault(TFault::None);
    EXPECT_EQ(Client.Exchange("PRTRD0 1"), "?\r\n");
    EXPECT_EQ(Client.Exchange("PC"), "PC:0 L:60 \r\n");
}

TEST_F(SimulatorTest, HangUpThenReplugKeepsTheBoard) {
    const std::string OldPath = Fixture.Sim().DevicePath();
    {
        TClient Client(LinkPath());
        EXPECT_EQ(Client.Exchange("DIRWR4 7"), "OK\r\n");
        Fixture.Sim().HangUp();
        EXPECT_TRUE(Client.SeesHangUp());
        EXPECT_FALSE(Client.Exchange("VER", 100));
    }
    ASSERT_TRUE(Fixture.Sim().Replug());
    EXPECT_NE(Fixture.Sim().DevicePath(), OldPath);
    EXPECT_EQ(std::filesystem::read_symlink(LinkPath()).string(), Fixture.Sim().DevicePath());
    TClient Client(LinkPath());
    EXPECT_EQ(Client.Exchange("DIRRD4"), "7\r\n");
}

TEST_F(SimulatorTest, HangsUpAtTheNthCommandWithoutReplying) {
    TClient Client(LinkPath());
    Fixture.Sim().HangUpAtCommand(2);
    EXPECT_EQ(Client.Exchange("VER"), "1.05\r\n");
    ASSERT_TRUE(Client.Send("PC\r"));
    EXPECT_TRUE(Client.SeesHangUp());
    EXPECT_EQ(Fixture.Sim().Commands(), (std::vector<std::string>{"VER", "PC"}));
}

TEST_F(SimulatorTest, BootloaderIsSilentUntilReplugged) {
    {
        TClient Client(LinkPath());
        ASSERT_TRUE(Client.Send("BTLDR\r"));
        EXPECT_EQ(Client.Exchange("VER", 200), std::nullopt);
    }
    ASSERT_TRUE(Fixture.Sim().Replug());
    TClient Client(LinkPath());
    EXPECT_EQ(Client.Exchange("VER"), "1.05\r\n");
}

TEST_F(SimulatorTest, RunningProgramAdvancesOnItsOwn) {
    TClient Client(LinkPath());
    // set PORT3 = PORT3 + 1; goto 0
    for (const char* Command : {"PLCWR0 0303033C", "PLCWR1 01000000", "PLCRM 2"})
        ASSERT_EQ(Client.Exchange(Command), "OK\r\n");
    std::optional<std::string> Port;
    for (int Try = 0; Try < 200; ++Try) {
        Port = Client.Exchange("PRTRD3");
        if (Port != "0\r\n") break;
        std::this_thread::sleep_for(10ms);  // board time has to pass
    }
    EXPECT_NE(Port, "0\r\n");
    auto Lock = Fixture.Sim().Lock();
    EXPECT_EQ(Fixture.Sim().Board().RunMode, 2);
}

TEST(SimFixture, RestoresTheEnvironmentAndRemovesItsFolder) {
    const char* Before = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> Saved = Before ? std::optional<std::string>(Before) : std::nullopt;
    std::string Root;
    {
        TSimFixture Fixture("COM7");
        Root = Fixture.Root();
        EXPECT_EQ(std::string(std::getenv("XDG_CONFIG_HOME")), Root + "/config");
        EXPECT_EQ(std::string(std::getenv("HOME")), Root + "/home");
        EXPECT_TRUE(std::filesystem::is_symlink(Fixture.LinksFolder() + "ports/COM7"));
    }
    EXPECT_FALSE(std::filesystem::exists(Root));
    const char* After = std::getenv("XDG_CONFIG_HOME");
    EXPECT_EQ(After ? std::optional<std::string>(After) : std::nullopt, Saved);
}

}  // namespace

// The MQTT bridge as a process between a real mosquitto and the simulated board: what it publishes,
// what it obeys and refuses, and how it lives through its own death, a broker's restart and an
// unplugged board. The peer is mosquitto_sub, so every message is seen as any client sees it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <functional>
#include <optional>

#include "ChildProcess.h"
#include "Cli.h"
#include "Mosquitto.h"
#include "SimFixture.h"
#include "TestFiles.h"

using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

const int Deadline = 15000;  // ms for any one expected message; a pass never waits that long

// A program that dies with the test, however the test ends: a bridge left behind would take the next
// test's board when its pseudo-terminal gets the same number.
std::vector<std::string> Tied(std::vector<std::string> Argv) {
    Argv.insert(Argv.begin(), {"/usr/bin/setpriv", "--pdeathsig", "KILL", "--"});
    return Argv;
}

struct TMessage {
    bool Retained = false;
    std::string Topic, Payload;
};

// mosquitto_sub on everything the bridge may say, one line per message: "<retained> <topic> <payload>".
class TSubscriber {
public:
    explicit TSubscriber(int Port) {
        FOk = FProcess.Start(Tied({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(Port),
                                   "-F", "%r %t %p", "-t", "velmorant/#", "-t", "homeassistant/#"}),
                             {}, false, true);
    }
    // The next message, from the one after the last match on, for which Match holds.
    std::optional<TMessage> WaitFor(const std::function<bool(const TMessage&)>& Match) {
        const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Deadline);
        for (;;) {
            for (; FNext < FSeen.size(); ++FNext)
                if (Match(FSeen[FNext])) return FSeen[FNext++];
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                Until - std::chrono::steady_clock::now());
            std::string Line;
            if (!FOk || Left.count() <= 0 || !FProcess.ReadLine(Line, static_cast<int>(Left.count())))
                return std::nullopt;
            if (Line.size() < 3) continue;  // the rest of a payload with a line feed
            const size_t Space = Line.find(' ', 2);
            FSeen.push_back({Line[0] == '1', Line.substr(2, Space - 2),
                             Space == std::string::npos ? "" : Line.substr(Space + 1)});
        }
    }
    std::optional<TMessage> WaitFor(const std::string& Topic, const std::string& Payload = "*") {
        return WaitFor(
            [&](const TMessage& M) { return M.Topic == Topic && (Payload == "*" || M.Payload == Payload); });
    }
    // Waits until each of Wanted (topic and payload, "*" for any) came, in any order.
    bool WaitForAll(std::vector<std::pair<std::string, std::string>> Wanted) {
        return WaitFor([&](const TMessage& M) {
                   std::erase_if(Wanted, [&](const auto& W) {
                       return W.first == M.Topic && (W.second == "*" || W.second == M.Payload);
                   });
                   return Wanted.empty();
               })
            .has_value();
    }
    const std::vector<TMessage>& Seen() const { return FSeen; }
    // Messages received before the last match.
    size_t Cursor() const { return FNext; }

private:
    TChildProcess FProcess;
    bool FOk = false;
    std::vector<TMessage> FSeen;
    size_t FNext = 0;
};

class MqttTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string Error;
        ASSERT_TRUE(Broker.Start(Error)) << Error;
    }
    void StartBridge(const std::vector<std::string>& Options = {}) {
        std::vector<std::string> Argv = {VELMORANT_CLI_PATH, "--port",        Fixture.ComName(), "mqtt",
                                         "--broker",         Broker.Address()};
        Argv.insert(Argv.end(), Options.begin(), Options.end());
        ASSERT_TRUE(Bridge.Start(Tied(Argv), {}, false, false, Fixture.Root() + "/bridge.log"));
    }
    std::string BridgeLog() const { return veltest::ReadFile(Fixture.Root() + "/bridge.log"); }
    // Ends the bridge with Signal; its exit status.
    int StopBridge(int Signal) {
        ::kill(Bridge.Pid(), Signal);
        return Bridge.WaitExit(Deadline);
    }
    void Publish(const std::string& Sub, const std::string& Payload) {
        TChildProcess Pub;
        ASSERT_TRUE(Pub.Start({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p",
                               std::to_string(Broker.Port()), "-t", Prefix + Sub, "-m", Payload},
                              {}, false, false));
        ASSERT_EQ(Pub.WaitExit(Deadline), 0);
    }
    bool BoardGot(const std::string& Command) {
        const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Deadline);
        for (size_t N = 1; !::testing::Matches(Contains(Command))(Fixture.Sim().Commands()); ++N)
            if (std::chrono::steady_clock::now() > Until || !Fixture.Sim().WaitForCommands(N, Deadline))
                return false;
        return true;
    }
    bool BoardGotWrites() {
        for (const std::string& C : Fixture.Sim().Commands())
            if (C.rfind("PINWR", 0) == 0 || C.rfind("PRTWR", 0) == 0) return true;
        return false;
    }

    velsim::TSimFixture Fixture;
    veltest::TMosquitto Broker;
    TChildProcess Bridge;
    const std::string Prefix = "velmorant/com3/";
};

TEST_F(MqttTest, EveryReadingIsRetainedWithItsDiscoveryAndEndsOfflineOnSigterm) {
    // A reading that fails is never a number: analog input 2 does not answer.
    Fixture.Sim().SetFaultFilter("ADC2");
    Fixture.Sim().SetFault(velsim::TFault::Silent);
    TSubscriber Live(Broker.Port());
    StartBridge();
    ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "online")) << BridgeLog();
    ASSERT_TRUE(Live.WaitFor(Prefix + "state"));

    // A client that comes later gets everything from the broker alone: 60 entities, and the values
    // of 48 pins, 6 ports, 4 analog inputs, the temperature, the state and the availability.
    TSubscriber Late(Broker.Port());
    size_t Count = 0;
    ASSERT_TRUE(Late.WaitFor([&](const TMessage& M) { return M.Retained && ++Count == 60 + 61; }));
    std::map<std::string, std::string> Retained;
    size_t Configs = 0;
    for (const TMessage& M : Late.Seen()) {
        if (!M.Retained) continue;
        EXPECT_THAT(M.Topic, ::testing::Not(::testing::StartsWith("homeassistant/switch/")))
            << "writes are off";
        Configs += M.Topic.rfind("homeassistant/", 0) == 0 ? 1 : 0;
        Retained[M.Topic] = M.Payload;
    }
    EXPECT_EQ(Configs, 60u);
    for (const std::string V : {"temperature", "state", "availability", "pin/47", "port/5", "analog/4"})
        EXPECT_EQ(Retained.count(Prefix + V), 1u) << V;
    EXPECT_EQ(Retained.count(Prefix + "analog/2"), 0u);
    for (const TMessage& M : Live.Seen()) EXPECT_NE(M.Topic, Prefix + "analog/2") << M.Payload;
    // Virtual ports start at 0 and stay there: their pins are steady.
    EXPECT_EQ(Retained[Prefix + "port/4"], "0");
    EXPECT_EQ(Retained[Prefix + "pin/33"], "OFF");
    EXPECT_THAT(Retained[Prefix + "temperature"], ::testing::MatchesRegex("[0-9]+"));
    EXPECT_THAT(
        Retained[Prefix + "state"],
        ::testing::MatchesRegex(R"(\{"time":".*","Port0":[0-9]+,.*"A1":[0-9]+,"A2":null,.*"Temp":[0-9]+\})"));

    const std::string Temperature = Retained["homeassistant/sensor/velmorant_com3/temperature/config"];
    for (const char* Part : {R"("state_topic":"~/temperature")", R"("~":"velmorant/com3")",
                             R"("device_class":"temperature")", R"("availability_topic":"~/availability")",
                             R"("sw_version":"1.05")", R"("unique_id":"velmorant_com3_temperature")"})
        EXPECT_THAT(Temperature, HasSubstr(Part));

    // Without --allow-writes a command is refused aloud and the board hears nothing of it.
    Fixture.Sim().ClearCommands();
    Publish("port/3/set", "7");
    const auto Refusal = Live.WaitFor(Prefix + "log");
    ASSERT_TRUE(Refusal);
    EXPECT_THAT(Refusal->Payload, HasSubstr("writes are not allowed"));
    EXPECT_FALSE(BoardGotWrites());

    const int Status = StopBridge(SIGTERM);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    EXPECT_TRUE(Live.WaitFor(Prefix + "availability", "offline"));
    EXPECT_THAT(BridgeLog(), HasSubstr("writes are not allowed"));
}

TEST_F(MqttTest, CommandsReachTheBoardOnlyForOutputsAndWellFormedPayloads) {
    std::ostringstream Out, Err;
    // Port 0: pins 0..3 inputs, 4..7 outputs. Port 3: all outputs.
    ASSERT_EQ(velcli::RunCli({"--port", "COM3", "set", "dir", "0", "0x0F"}, Out, Err), 0) << Err.str();
    ASSERT_EQ(velcli::RunCli({"--port", "COM3", "set", "dir", "3", "0"}, Out, Err), 0) << Err.str();
    TSubscriber Live(Broker.Port());
    StartBridge({"--allow-writes"});
    EXPECT_TRUE(Live.WaitFor("homeassistant/binary_sensor/velmorant_com3/pin_3/config")) << BridgeLog();
    const auto Switch = Live.WaitFor("homeassistant/switch/velmorant_com3/pin_4/config");
    ASSERT_TRUE(Switch);
    EXPECT_THAT(Switch->Payload, HasSubstr(R"("command_topic":"~/pin/4/set")"));
    ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "online"));

    const struct {
        std::string Topic, Payload;
        std::string Sent;     // the board's command, or
        std::string Refusal;  // what the log says instead
    } Cases[] = {
        {"pin/4/set", "ON", "PINWR04 1", ""},
        {"pin/5/set", " off ", "PINWR05 0", ""},
        {"port/3/set", "0x2A", "PRTWR3 42", ""},
        {"pin/0/set", "ON", "", "pin 0 is an input"},
        {"port/0/set", "16", "", "port 0 has input pins"},
        {"pin/4/set", "maybe", "", "\"maybe\" for pin 4 is not ON or OFF"},
        {"port/3/set", "256", "", "not a number from 0 to 255"},
        {"pin/48/set", "ON", "", "no such command"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Topic + " " + C.Payload);
        Fixture.Sim().ClearCommands();
        Publish(C.Topic, C.Payload);
        if (!C.Sent.empty()) {
            EXPECT_TRUE(BoardGot(C.Sent)) << BridgeLog();
            continue;
        }
        const auto Log = Live.WaitFor(Prefix + "log");
        ASSERT_TRUE(Log);
        EXPECT_THAT(Log->Payload, HasSubstr(C.Refusal));
        EXPECT_FALSE(BoardGotWrites());
    }
    // The board's new state comes back on the next tick.
    EXPECT_TRUE(Live.WaitFor(Prefix + "port/3", "42"));

    const int Status = StopBridge(SIGINT);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    EXPECT_TRUE(Live.WaitFor(Prefix + "availability", "offline"));
}

TEST_F(MqttTest, ARestartedBrokerHearsEverythingAgainAndAKilledBridgeLeavesItsLastWill) {
    TSubscriber Live(Broker.Port());
    StartBridge();
    ASSERT_TRUE(Live.WaitFor(Prefix + "state")) << BridgeLog();
    Broker.Kill();
    std::string Error;
    ASSERT_TRUE(Broker.Start(Error)) << Error;
    // The new broker kept nothing: what it has came from the bridge after its reconnection.
    TSubscriber After(Broker.Port());
    EXPECT_TRUE(After.WaitForAll({{Prefix + "availability", "online"},
                                  {"homeassistant/sensor/velmorant_com3/temperature/config", "*"},
                                  {Prefix + "port/5", "0"}}))
        << BridgeLog();
    EXPECT_THAT(BridgeLog(), HasSubstr("lost the broker"));

    StopBridge(SIGKILL);
    EXPECT_TRUE(After.WaitFor(Prefix + "availability", "offline"));
    EXPECT_TRUE(TSubscriber(Broker.Port()).WaitFor(Prefix + "availability", "offline")) << "retained";
}

TEST_F(MqttTest, AnUnpluggedBoardIsOfflineWithoutValuesUntilItIsBack) {
    TSubscriber Live(Broker.Port());
    StartBridge();
    ASSERT_TRUE(Live.WaitFor(Prefix + "state")) << BridgeLog();
    Fixture.Sim().HangUp();
    ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "offline")) << BridgeLog();
    const size_t Lost = Live.Cursor();
    ASSERT_TRUE(Fixture.Sim().Replug());
    ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "online")) << BridgeLog();
    const size_t Back = Live.Cursor() - 1;  // the "online" itself
    for (size_t I = Lost; I < Back; ++I) {
        const std::string& Topic = Live.Seen()[I].Topic;
        EXPECT_TRUE(Topic == Prefix + "log" || Topic.rfind("homeassistant/", 0) == 0) << Topic;
    }
    EXPECT_TRUE(Live.WaitFor(Prefix + "state"));
    EXPECT_THAT(BridgeLog(), HasSubstr("was lost"));
}

TEST(MqttArgs, BadBridgeCommandLinesAreRefused) {
    const std::pair<std::vector<std::string>, std::string> Cases[] = {
        {{"--port", "COM3", "mqtt"}, "mqtt needs --broker"},
        {{"mqtt", "--broker", "h"}, "needs --port or --device"},
        {{"--port", "COM3", "mqtt", "--broker", "h:0"}, "not a number from 1 to 65535"},
        {{"--port", "COM3", "mqtt", "--broker", "h", "--cafile", "c", "--cert", "x"}, "go together"},
        {{"--port", "COM3", "mqtt", "--broker", "h", "--prefix", "a/#"}, "no wildcards"},
        {{"--port", "COM3", "read", "--broker", "h"}, "belong to mqtt"},
    };
    for (const auto& [Args, Message] : Cases) {
        std::ostringstream Out, Err;
        EXPECT_EQ(velcli::RunCli(Args, Out, Err), 2);
        EXPECT_THAT(Err.str(), HasSubstr(Message));
    }
}

}  // namespace

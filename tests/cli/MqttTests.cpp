// The MQTT bridge as a process between a real mosquitto and the simulated board: what it publishes,
// what it obeys and refuses, and how it lives through its own death, a broker's restart and an
// unplugged board. The peer is mosquitto_sub, so every message is seen as any client sees it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>
#include <optional>
#include <regex>

#include "ChildProcess.h"
#include "Cli.h"
#include "CliMqtt.h"
#include "Mosquitto.h"
#include "SharedPorts.h"
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
    // Publishes on Prefix + Sub (a homeassistant/ topic as it is), kept with Retain.
    void Publish(const std::string& Sub, const std::string& Payload, bool Retain = false) {
        const std::string Topic = Sub.rfind("homeassistant/", 0) == 0 ? Sub : Prefix + Sub;
        TChildProcess Pub;
        EXPECT_TRUE(
            Pub.Start({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(Broker.Port()), "-t",
                       Topic, "-m", Payload, Retain ? "-r" : "--quiet"},
                      {}, false, false));
        EXPECT_EQ(Pub.WaitExit(Deadline), 0);
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
    // The host's name as the kernel has it; its line end makes no difference to a node.
    const std::string Node =
        velcli::TMqttTopics({}, "COM3", veltest::ReadFile("/proc/sys/kernel/hostname")).Node();
    const std::string Prefix = "velmorant/" + Node + "/";
    const std::string DeviceTopic = "homeassistant/device/velmorant_" + Node + "/config";
};

// The components of a device's discovery: name -> its configuration.
std::map<std::string, std::string> Components(const std::string& Discovery) {
    std::map<std::string, std::string> Result;
    const std::regex Component(R"re("([a-z0-9_]+)":(\{"p":[^}]*\}))re");
    for (std::sregex_iterator It(Discovery.begin(), Discovery.end(), Component), End; It != End; ++It)
        Result[(*It)[1]] = (*It)[2];
    return Result;
}

TEST_F(MqttTest, EveryReadingIsRetainedWithItsDiscoveryAndEndsOfflineOnSigterm) {
    // A reading that fails is never a number: analog input 2 does not answer.
    Fixture.Sim().SetFaultFilter("ADC2");
    Fixture.Sim().SetFault(velsim::TFault::Silent);
    // An earlier version announced each entity alone.
    const std::string OldTemperature = "homeassistant/sensor/velmorant_" + Node + "/temperature/config";
    Publish(OldTemperature, R"({"name":"Temperature","object_id":"x"})", true);
    TSubscriber Live(Broker.Port());
    StartBridge();
    // The old entity is handed over to the device before it is cleared.
    ASSERT_TRUE(Live.WaitForAll({{OldTemperature, R"({"migrate_discovery":true})"},
                                 {Prefix + "availability", "online"},
                                 {Prefix + "state", "*"}}))
        << BridgeLog();

    // A client that comes later gets everything from the broker alone: the device, and the values
    // of 48 pins, 6 ports, 4 analog inputs, the temperature, the state, the availability and the
    // bridge's name.
    TSubscriber Late(Broker.Port());
    size_t Count = 0;
    ASSERT_TRUE(Late.WaitFor([&](const TMessage& M) { return M.Retained && ++Count == 1 + 62; }));
    std::map<std::string, std::string> Retained;
    for (const TMessage& M : Late.Seen())
        if (M.Retained) Retained[M.Topic] = M.Payload;
    EXPECT_EQ(Retained.count(OldTemperature), 0u) << "the old configuration is cleared";
    EXPECT_THAT(Retained[Prefix + "bridge"], HasSubstr(" " + std::to_string(Bridge.Pid()) + " COM3"));
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

    // One device with its 60 entities, each with its own id under its platform; no switch while
    // writes are off.
    const std::string Discovery = Retained[DeviceTopic];
    EXPECT_THAT(Discovery, ::testing::Not(HasSubstr("object_id")));
    const auto Entities = Components(Discovery);
    EXPECT_EQ(Entities.size(), 60u);
    const std::regex OwnPlatform(R"re(\{"p":"(sensor|binary_sensor)",.*"default_entity_id":"\1\..*)re");
    for (const auto& [Name, Config] : Entities) EXPECT_TRUE(std::regex_match(Config, OwnPlatform)) << Config;
    for (const std::string Part :
         {R"("o":{"name":"velmorant-cli")", R"("sw":"1.05")", R"("state_class":"measurement")",
          R"("state_topic":"~/temperature")", R"("availability_topic":")"})
        EXPECT_THAT(Discovery, HasSubstr(Part));
    EXPECT_THAT(Discovery, HasSubstr("\"unique_id\":\"velmorant_" + Node + "_temperature"));
    // Home Assistant's birth message brings the discovery and the values again.
    Publish("homeassistant/status", "online");
    EXPECT_TRUE(Live.WaitForAll({{DeviceTopic, "*"}, {Prefix + "port/5", "0"}}));

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
    // The failing input was said once on standard error, and on the log at most once: the first
    // failure may come before the broker has heard the bridge, and what is said then is not kept.
    const std::string Log = BridgeLog(), Said = "Error reading ADC (A2 on COM3)";
    EXPECT_NE(Log.find(Said), std::string::npos) << Log;
    EXPECT_EQ(Log.find(Said), Log.rfind(Said)) << Log;
    EXPECT_LE(std::count_if(Live.Seen().begin(), Live.Seen().end(),
                            [&](const TMessage& M) { return M.Payload == Said; }),
              1);
}

TEST_F(MqttTest, CommandsReachTheBoardOnlyForOutputsAndWellFormedPayloads) {
    std::ostringstream Out, Err;
    // Port 0: pins 0..3 inputs, 4..7 outputs. Port 3: all outputs.
    ASSERT_EQ(velcli::RunCli({"--port", "COM3", "set", "dir", "0", "0x0F"}, Out, Err), 0) << Err.str();
    ASSERT_EQ(velcli::RunCli({"--port", "COM3", "set", "dir", "3", "0"}, Out, Err), 0) << Err.str();
    // A retained command is never obeyed: one left from before, nor one published while it runs.
    Publish("pin/6/set", "ON", true);
    TSubscriber Live(Broker.Port());
    StartBridge({"--allow-writes"});
    const auto Discovery = Live.WaitFor(DeviceTopic);
    ASSERT_TRUE(Discovery) << BridgeLog();
    // Inputs are binary sensors; outputs, and the PLC program's variables, switches.
    for (const char* Part : {R"("pin_3":{"p":"binary_sensor")", R"("pin_4":{"p":"switch")",
                             R"("pin_24":{"p":"switch")", R"("command_topic":"~/pin/24/set")"})
        EXPECT_THAT(Discovery->Payload, HasSubstr(Part));
    ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "online"));
    Publish("pin/7/set", "ON", true);
    for (const std::string Pin : {"6", "7"}) {
        const std::string Topic = Prefix + "pin/" + Pin + "/set";
        EXPECT_TRUE(Live.WaitFor(Prefix + "log", "ignored a retained command on " + Topic +
                                                     ": clear it with mosquitto_pub -r -n -t " + Topic))
            << BridgeLog();
    }
    EXPECT_FALSE(BoardGotWrites());

    const struct {
        std::string Topic, Payload;
        std::string Sent;     // the board's command, or
        std::string Refusal;  // what the log says instead
    } Cases[] = {
        {"pin/4/set", "ON", "PINWR04 1", ""},
        {"pin/5/set", " off ", "PINWR05 0", ""},
        {"port/3/set", "0x2A", "PRTWR3 42", ""},
        {"pin/24/set", "ON", "PINWR24 1", ""},
        {"port/5/set", "9", "PRTWR5 9", ""},
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
    // The board's new state comes back on the next tick: 42, and pin 24 on.
    EXPECT_TRUE(TSubscriber(Broker.Port()).WaitFor(Prefix + "port/3", "43"));

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
    EXPECT_TRUE(
        After.WaitForAll({{Prefix + "availability", "online"}, {DeviceTopic, "*"}, {Prefix + "port/5", "0"}}))
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

// Which pins are outputs is trusted only once every setting was read: a board that garbles one is
// read again until it answers, and writes to its pins wait for that.
TEST_F(MqttTest, WritesWaitUntilEverySettingWasRead) {
    {
        auto Lock = Fixture.Sim().Lock();
        Fixture.Sim().Board().Working.Direction[0] = 0x0F;  // pins 4..7 outputs
    }
    Fixture.Sim().SetFaultFilter("PU0?");
    Fixture.Sim().SetFault(velsim::TFault::Garbage);
    TSubscriber Live(Broker.Port());
    StartBridge({"--allow-writes"});
    ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "online")) << BridgeLog();
    Publish("pin/4/set", "ON");
    EXPECT_TRUE(Live.WaitFor([&](const TMessage& M) {
        return M.Topic == Prefix + "log" &&
               M.Payload.find("direction of port 0 is not known") != std::string::npos;
    })) << BridgeLog();
    EXPECT_FALSE(BoardGotWrites());
    Fixture.Sim().SetFault(velsim::TFault::None);
    EXPECT_TRUE(Live.WaitFor([&](const TMessage& M) {
        return M.Topic == DeviceTopic && M.Payload.find(R"("pin_4":{"p":"switch")") != std::string::npos;
    })) << BridgeLog();
    Publish("pin/4/set", "ON");
    EXPECT_TRUE(BoardGot("PINWR04 1")) << BridgeLog();
}

// One process holds the board for both front ends: a direction a Modbus client sets is obeyed by
// the bridge at once.
TEST_F(MqttTest, ServeSharesOneBoardBetweenTheBridgeAndModbus) {
    {
        auto Lock = Fixture.Sim().Lock();
        Fixture.Sim().Board().Working.Direction[0] = 0xFF;  // port 0 all inputs
    }
    TSubscriber Live(Broker.Port());
    ASSERT_TRUE(Bridge.Start(Tied({VELMORANT_CLI_PATH, "--port", Fixture.ComName(), "serve", "--broker",
                                   Broker.Address(), "--modbus", "127.0.0.1:0", "--allow-writes"}),
                             {}, false, false, Fixture.Root() + "/bridge.log"));
    ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "online")) << BridgeLog();
    std::smatch Port;
    const std::string Log = BridgeLog();
    ASSERT_TRUE(std::regex_search(Log, Port, std::regex("Modbus TCP on 127.0.0.1:(\\d+)"))) << Log;
    TChildProcess Client;
    ASSERT_TRUE(Client.Start({"/usr/bin/python3", MODBUS_CLIENT, "127.0.0.1", Port[1]}, {}, true, true, ""));

    Publish("pin/4/set", "ON");
    EXPECT_TRUE(
        Live.WaitFor(Prefix + "log", "refused " + Prefix + "pin/4/set: pin 4 is an input; nothing was sent"));
    std::string Answer;
    ASSERT_TRUE(Client.WriteLine("wr 6 0") && Client.ReadLine(Answer, Deadline));  // port 0: all outputs
    EXPECT_EQ(Answer, "ok");
    EXPECT_TRUE(Live.WaitFor([&](const TMessage& M) {
        return M.Topic == DeviceTopic && M.Payload.find(R"("pin_4":{"p":"switch")") != std::string::npos;
    }));
    Publish("pin/4/set", "ON");
    EXPECT_TRUE(BoardGot("PINWR04 1")) << BridgeLog();

    const int Status = StopBridge(SIGTERM);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    EXPECT_THAT(BridgeLog(),
                ::testing::MatchesRegex("(.|\n)*stopped after .* published; [0-9]+ requests served\n"));
}

// The shared port: the board's own commands from several clients at once, each answered in turn;
// what they change the bridge decides by at once; clients that flood, send an endless line or fall
// silent mid-line hold nobody, and BTLDR never reaches the board. The window finds the service.
TEST_F(MqttTest, TheSharedPortServesEveryClientAndTheBridgeFollowsIt) {
    {
        auto Lock = Fixture.Sim().Lock();
        Fixture.Sim().Board().Working.Direction[0] = 0xFF;  // port 0 all inputs
    }
    const std::string Runtime = Fixture.Root() + "/run";
    ASSERT_EQ(::mkdir(Runtime.c_str(), 0700), 0);
    TSubscriber Live(Broker.Port());
    ASSERT_TRUE(Bridge.Start(Tied({VELMORANT_CLI_PATH, "--port", Fixture.ComName(), "serve", "--listen",
                                   "127.0.0.1:0", "--broker", Broker.Address(), "--allow-writes"}),
                             {"XDG_RUNTIME_DIR=" + Runtime}, false, false, Fixture.Root() + "/bridge.log"));
    ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "online")) << BridgeLog();
    const std::vector<TSharedPortNotice> Shared = FindSharedPorts({Runtime + "/velmorant"});
    ASSERT_EQ(Shared.size(), 1u);
    EXPECT_EQ(SharedPortCaption(Shared[0]), Fixture.ComName() + " (shared by velmorant serve)");
    std::smatch Port;
    ASSERT_TRUE(std::regex_match(Shared[0].Address, Port, std::regex("socket://(127.0.0.1:[0-9]+)")));

    const auto Client = [&](TChildProcess& P) {
        return P.Start({"/usr/bin/python3", LINE_CLIENT, Port[1]}, {}, true, true, "");
    };
    // The client's answer to Request ("ask COMMAND", "send TEXT", ...: see the script).
    const auto Do = [&](TChildProcess& P, const std::string& Request) {
        std::string Answer;
        EXPECT_TRUE(P.WriteLine(Request) && P.ReadLine(Answer, Deadline)) << Request;
        return Answer;
    };
    const auto Ask = [&](TChildProcess& P, const std::string& Command) { return Do(P, "ask " + Command); };
    TChildProcess Flood, Endless, Silent, User;
    for (TChildProcess* P : {&Flood, &Endless, &Silent, &User}) ASSERT_TRUE(Client(*P));
    EXPECT_TRUE(Flood.WriteLine("flood 100000 PRTRD0"));
    EXPECT_EQ(Do(Endless, "endless 5000"), "sent");
    EXPECT_EQ(Do(Silent, "send PRTRD"), "sent");

    // Two reads at once, each the board's values.
    TChildProcess Reads[2];
    for (TChildProcess& R : Reads)
        ASSERT_TRUE(
            R.Start({VELMORANT_CLI_PATH, "--port", Shared[0].Address, "read", "--json"}, {}, false, true));
    for (TChildProcess& R : Reads) {
        std::string Json;
        EXPECT_TRUE(R.ReadLine(Json, Deadline));
        EXPECT_THAT(Json, ::testing::HasSubstr(R"("Port0":)"));
        EXPECT_EQ(R.WaitExit(Deadline), 0);
    }

    Publish("pin/4/set", "ON");
    EXPECT_TRUE(
        Live.WaitFor(Prefix + "log", "refused " + Prefix + "pin/4/set: pin 4 is an input; nothing was sent"));
    EXPECT_EQ(Ask(User, "DIRWR0 0"), "OK");
    Publish("pin/4/set", "ON");
    EXPECT_TRUE(BoardGot("PINWR04 1")) << BridgeLog();

    EXPECT_EQ(Ask(User, "BTLDR"),
              "ERROR velmorant serve shares this board: stop the service to update its firmware");
    EXPECT_EQ(Ask(Endless, ""), "?") << "the endless line ends, refused";
    EXPECT_EQ(Ask(Endless, "VER"), Ask(User, "VER"));
    for (const std::string& C : Fixture.Sim().Commands()) EXPECT_TRUE(C.size() < 64 && C != "BTLDR") << C;

    // A direction a client changes while a command waits for the board: the command goes by it.
    Fixture.Sim().SetFaultFilter("DIRWR");
    Fixture.Sim().SetFault(velsim::TFault::Late, 1, std::chrono::milliseconds(800));
    EXPECT_EQ(Do(User, "flood 1 DIRWR0 255"), "sent");
    Publish("pin/5/set", "ON");
    EXPECT_TRUE(
        Live.WaitFor(Prefix + "log", "refused " + Prefix + "pin/5/set: pin 5 is an input; nothing was sent"));
    EXPECT_THAT(Fixture.Sim().Commands(), ::testing::Not(Contains("PINWR05 1")));

    const int Status = StopBridge(SIGTERM);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    EXPECT_THAT(BridgeLog(),
                ::testing::MatchesRegex("(.|\n)*[0-9]+ commands passed for [0-9]+ clients; .*\n"));
    EXPECT_TRUE(FindSharedPorts({Runtime + "/velmorant"}).empty()) << "the notice goes with the service";
}

// A flood of commands: each is obeyed, refused aloud, summed up among the refusals, or dropped
// for a newer one on its topic; the log stays short, and the board gets the last one (ON).
TEST_F(MqttTest, AFloodOfCommandsIsBoundedAndEveryCommandIsAccountedFor) {
    std::ostringstream Out, Err;
    ASSERT_EQ(velcli::RunCli({"--port", "COM3", "set", "dir", "0", "0"}, Out, Err), 0) << Err.str();
    // Writes as slow as at 19200 baud let commands pile up.
    Fixture.Sim().SetFaultFilter("PINWR");
    Fixture.Sim().SetFault(velsim::TFault::Late, -1, std::chrono::milliseconds(20));
    for (const bool Writes : {false, true}) {
        TSubscriber Live(Broker.Port());
        StartBridge(Writes ? std::vector<std::string>{"--allow-writes"} : std::vector<std::string>{});
        ASSERT_TRUE(Live.WaitFor(Prefix + "availability", "online")) << BridgeLog();
        Fixture.Sim().ClearCommands();
        TChildProcess Flood;
        ASSERT_TRUE(Flood.Start({"/bin/sh", "-c",
                                 "seq 999 | awk '{print $1 % 2 ? \"ON\" : \"OFF\"}' | mosquitto_pub -l -p " +
                                     std::to_string(Broker.Port()) + " -t " + Prefix + "pin/5/set"},
                                {}, false, false));
        ASSERT_EQ(Flood.WaitExit(Deadline), 0);
        long Accounted = 0, Lines = 0, Written = 0;
        ASSERT_TRUE(Live.WaitFor([&](const TMessage& M) {
            std::smatch N;
            if (M.Topic != Prefix + "log") return false;
            ++Lines;
            Accounted += std::regex_search(M.Payload, N, std::regex("^(refused|dropped) ([0-9]+) "))
                             ? std::stol(N[2])
                             : 1;
            const auto Sent = Fixture.Sim().Commands();
            Written =
                std::count_if(Sent.begin(), Sent.end(), [](auto& C) { return C.rfind("PINWR05", 0) == 0; });
            return Accounted + Written == 999;
        })) << Accounted
            << " + " << Written << BridgeLog();
        EXPECT_LE(Lines, 7) << "five refusals and two sums at most in a window";
        EXPECT_LT(Written, 500);
        EXPECT_TRUE(!Writes || TSubscriber(Broker.Port()).WaitFor(Prefix + "pin/5", "ON"))
            << "the last command";
        EXPECT_TRUE(Live.WaitFor(Prefix + "state")) << "the readings go on";
        StopBridge(SIGTERM);
    }
}

TEST_F(MqttTest, ABridgeWhoseNodeIsOnlineElsewhereStopsBeforePublishingAnything) {
    const std::pair<std::string, std::string> Cases[] = {
        // the retained "bridge" of the node, and what this bridge says of it
        {"otherhost 42 COM1", "the bridge of COM1 on otherhost (process 42) is online as node " + Node},
        {"", "another bridge is online as node " + Node},
    };
    for (const auto& [Other, Said] : Cases) {
        Publish("availability", "online", true);
        Publish("bridge", Other, true);
        TSubscriber Live(Broker.Port());
        StartBridge();
        const int Status = Bridge.WaitExit(Deadline);
        EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 1) << Status;
        EXPECT_THAT(BridgeLog(), HasSubstr(Said));
        Publish("homeassistant/status", "end");
        ASSERT_TRUE(Live.WaitFor("homeassistant/status"));
        EXPECT_EQ(Live.Seen().size(), Other.empty() ? 2u : 3u)
            << "the test's own: not even the bridge's will";
    }
}

TEST(MqttTopics, TheDefaultNodeNamesTheHostAndThePort) {
    velcli::TMqttOptions Shed;
    Shed.Node = "shed";
    EXPECT_EQ(velcli::TMqttTopics({}, "COM3", "Greenhouse.lan").Prefix(), "velmorant/greenhouse_com3");
    EXPECT_EQ(velcli::TMqttTopics({}, "/dev/ttyACM0", "pc-2").Prefix(), "velmorant/pc-2_dev_ttyacm0");
    EXPECT_EQ(velcli::TMqttTopics(Shed, "COM3", "greenhouse").Prefix(), "velmorant/shed");
    // An entity id holds no '-'.
    EXPECT_THAT(velcli::TMqttTopics({}, "COM3", "pc-2").Discovery("1.05", {}, false).Payload,
                HasSubstr(R"("default_entity_id":"sensor.velmorant_pc_2_com3_temperature")"));
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

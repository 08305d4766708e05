// The Modbus server as a process over the simulated board, asked by pymodbus as any client asks it:
// what it answers, what reaches the board, and what never does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "ChildProcess.h"
#include "SimFixture.h"
#include "TestFiles.h"

using ::testing::Contains;
using ::testing::Not;

namespace {

const auto Deadline = std::chrono::seconds(15);

class ModbusTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto Lock = Fixture.Sim().Lock();
        Fixture.Sim().Board().Working.Direction[1] = 0;  // port 1 all outputs, port 0 all inputs
    }
    // Starts the server on a free port and a pymodbus client on it.
    void Start(std::vector<std::string> Options) {
        std::vector<std::string> Argv = {
            "/usr/bin/setpriv", "--pdeathsig",     "KILL",   "--",       VELMORANT_CLI_PATH,
            "--port",           Fixture.ComName(), "modbus", "--listen", "127.0.0.1:0"};
        Argv.insert(Argv.end(), Options.begin(), Options.end());
        const std::string Log = Fixture.Root() + "/server.log";
        ASSERT_TRUE(Server.Start(Argv, {}, false, false, Log));
        std::smatch Port;
        const auto Until = std::chrono::steady_clock::now() + Deadline;
        std::string Text;
        while (!std::regex_search(Text = veltest::ReadFile(Log), Port, std::regex("on 127.0.0.1:(\\d+)")))
            ASSERT_LT(std::chrono::steady_clock::now(), Until) << Text;
        ASSERT_TRUE(
            Client.Start({"/usr/bin/python3", MODBUS_CLIENT, "127.0.0.1", Port[1]}, {}, true, true, ""));
    }
    std::string Ask(const std::string& Request) {
        std::string Line;
        EXPECT_TRUE(Client.WriteLine(Request));
        EXPECT_TRUE(Client.ReadLine(Line, 10000)) << Request;
        return Line;
    }
    // Asks until the answer is Wanted (the board's state reaches the server with a tick).
    std::string AskUntil(const std::string& Request, const std::string& Wanted) {
        const auto Until = std::chrono::steady_clock::now() + Deadline;
        std::string Line;
        while ((Line = Ask(Request)) != Wanted && std::chrono::steady_clock::now() < Until)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return Line;
    }
    std::vector<std::string> Writes() {
        std::vector<std::string> Found;
        for (const std::string& C : Fixture.Sim().Commands())
            for (const char* Kind : {"PINWR", "PRTWR", "DIRWR", "PU", "AOWR", "UR ", "PLCRM "})
                if (C.rfind(Kind, 0) == 0 && C.find('?') == std::string::npos) Found.push_back(C);
        return Found;
    }

    velsim::TSimFixture Fixture;
    TChildProcess Server, Client;
};

TEST_F(ModbusTest, ReadingsAreTheBoardsRepliesExactly) {
    const std::pair<const char*, const char*> Replies[] = {
        {"PRTRD0", "165"}, {"PRTRD1", "2"}, {"PRTRD2", "0"}, {"PRTRD3", "255"},
        {"PRTRD4", "0"},   {"PRTRD5", "1"}, {"ADC0", "0"},   {"ADC1", "1023"},
        {"ADC2", "512"},   {"ADC3", "7"},   {"ADC4", "100"}, {"TEMP", "14"}};
    for (const auto& [Command, Reply] : Replies) Fixture.Sim().OverrideReply(Command, Reply);
    Start({});
    // Address and count, as a SCADA asks; -10 °C is 65436 as the register's 16 bits.
    const std::pair<const char*, const char*> Table[] = {
        {"di 0 10", "ok 1 0 1 0 0 1 0 1 0 1"},
        {"co 24 2", "ok 1 1"},
        {"ir 0 7", "ok 0 1023 512 7 100 14 65436"},
        {"hr 0 6", "ok 165 2 0 255 0 1"},
        {"hr 6 3", "ok 255 0 255"},
        {"ir 5 3", "exc 2"},
        {"co 47 2", "exc 2"},
        {"wc 8 1", "exc 1"},  // an output, but writes are not allowed
        {"wr 0 1", "exc 1"},
    };
    AskUntil("ir 0 1", "ok 0");
    for (const auto& [Request, Answer] : Table) EXPECT_EQ(Ask(Request), Answer) << Request;
    EXPECT_THAT(Writes(), testing::IsEmpty());
}

TEST_F(ModbusTest, WritesReachTheBoardOnlyWhenTheBoardCanTakeThem) {
    Start({"--allow-writes"});
    AskUntil("hr 7 1", "ok 0");
    struct TCase {
        const char* Request;
        const char* Answer;
        const char* Sent;  // the board's command, "" for none
    } Table[] = {
        {"wc 9 1", "ok", "PINWR09 1"}, {"wc 30 1", "ok", "PINWR30 1"},  // a PLC variable
        {"wc 0 1", "exc 2", ""},                                        // an input pin
        {"wr 1 5", "ok", "PRTWR1 5"},  {"wr 0 5", "exc 2", ""},         // a port of inputs
        {"wr 16 16", "exc 3", ""},     {"wr 13 65535", "ok", "AOWR2 -1"},
    };
    for (const auto& C : Table) {
        Fixture.Sim().ClearCommands();
        EXPECT_EQ(Ask(C.Request), C.Answer) << C.Request;
        if (*C.Sent)
            EXPECT_THAT(Writes(), Contains(C.Sent)) << C.Request;
        else
            EXPECT_THAT(Writes(), testing::IsEmpty()) << C.Request;
    }
    EXPECT_EQ(Ask("hr 1 1"), "ok 5");  // the write is read back before the next tick
}

TEST_F(ModbusTest, AFailedReadingAndALostBoardAreExceptionsWithNothingSent) {
    Start({"--allow-writes"});
    Fixture.Sim().SetFaultFilter("ADC2");
    Fixture.Sim().SetFault(velsim::TFault::Garbage);
    EXPECT_EQ(AskUntil("ir 2 1", "exc 11"), "exc 11");
    EXPECT_THAT(Ask("ir 0 2"), ::testing::StartsWith("ok "))  // the good readings are still served
        << veltest::ReadFile(Fixture.Root() + "/server.log");
    EXPECT_THAT(Ask("ir 1 3"), "exc 11");
    Fixture.Sim().HangUp();
    EXPECT_EQ(AskUntil("di 0 1", "exc 11"), "exc 11");
    Fixture.Sim().ClearCommands();
    EXPECT_EQ(Ask("wc 9 1"), "exc 11");
    EXPECT_THAT(Writes(), Not(Contains("PINWR09 1")));
    ::kill(Server.Pid(), SIGTERM);
    EXPECT_EQ(Server.WaitExit(15000), 0);
}

}  // namespace

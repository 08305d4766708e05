// Exchanges against peers that misbehave on purpose, and interrupting an exchange from another thread:
// every wait ends by its deadline or at once when interrupted, and what is kept stays bounded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <thread>

#include "ConnectedDevice.h"
#include "Device_VL.h"
#include "HostilePeer.h"
#include "SerialPort.h"
#include "WakeEvent.h"

using veltest::THostileMode;
using veltest::THostilePeer;

namespace {

const char* const Settings = "19200,8,N,1,NONE";
// Longer than any wait in the program: a wait that only an interruption can end.
constexpr int Forever = INT_MAX;

TEST(HostilePeers, EveryExchangeEndsAndKeepsLittle) {
    const struct {
        const char* Name;
        THostileMode Mode;
        bool Rfc2217;
    } Cases[] = {
        {"raw flood", THostileMode::Flood, false},
        {"raw trickle", THostileMode::Trickle, false},
        {"rfc2217 flood", THostileMode::Flood, true},
        {"rfc2217 trickle", THostileMode::Trickle, true},
        {"rfc2217 open subnegotiation", THostileMode::OpenSub, true},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        THostilePeer Peer(Case.Mode, Case.Rfc2217);
        // Reads take a bounded share of what is waiting, however much the peer sends.
        THandle Handle = OpenSerialPort(Peer.Name(), Settings);
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(WriteToSerialPort(Handle, "\r"));
        std::string Bytes;
        for (int I = 0; I < 4 && WaitForSerialInput(Handle, 2000); ++I) {
            ReadFromSerialPort(Handle, Bytes);
            EXPECT_LE(Bytes.size(), 2 * 64 * 1024u);  // one read's bytes, each at most two in UTF-8
        }
        CloseSerialPort(Handle);

        // No "VER" reply ever comes: identification fails rather than waiting on, and no reply
        // longer than a board's is taken. A host name goes through the resolver's own thread.
        std::string ByName = Peer.Name();
        ByName.replace(ByName.find("127.0.0.1"), 9, "localhost");
        TVelmorant Driver;
        EXPECT_FALSE(Driver.FindDevice(ByName));
        std::string Response;
        EXPECT_FALSE(Driver.SendCommandToDevice("VER", Response));
    }
}

// A server that floods while the line is set up is refused as soon as it sent more than a set-up
// takes, rather than buffered until the deadline.
TEST(HostilePeers, AFloodDuringTheSetUpFailsTheConnection) {
    THostilePeer Peer(THostileMode::SetUpFlood, true);
    GetLastSerialError();
    EXPECT_EQ(OpenSerialPort(Peer.Name(), Settings), INVALID_HANDLE_VALUE);
    EXPECT_THAT(GetLastSerialError(), ::testing::HasSubstr("while the connection was being set up: a flood"));
}

TEST(Interrupt, AWakeEventEndsAWaitThatWouldNeverEnd) {
    velsim::TSimFixture Fixture("COM5");
    THostilePeer Silent(THostileMode::Trickle, true);  // quiet until the program's first line end
    for (const std::string& Name : {std::string("COM5"), Silent.Name()}) {
        SCOPED_TRACE(Name);
        TWakeEvent Wake;
        THandle Handle = OpenSerialPort(Name, Settings, Wake.Fd());
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        std::thread Waker([&] { Wake.Raise(); });
        // The server's last confirmations of the line may still come in: the wait ends for them too.
        std::string Late;
        errno = 0;
        while (WaitForSerialInput(Handle, Forever)) ReadFromSerialPort(Handle, Late);
        EXPECT_TRUE(Late.empty());
        EXPECT_EQ(errno, ECANCELED);
        EXPECT_FALSE(WriteToSerialPort(Handle, "VER\r"));  // while raised, nothing goes out
        Waker.join();
        Wake.Clear();
        EXPECT_TRUE(WriteToSerialPort(Handle, "\r"));
        CloseSerialPort(Handle);
    }
}

class InterruptDriver : public TConnectedDevice {};

TEST_F(InterruptDriver, EndsTheExchangeAndFailsTheNextOnesUntilReset) {
    Connect();
    Sim().SetFault(velsim::TFault::Silent);
    std::thread Other([&] {
        Sim().WaitForCommands(1, 5000);
        Device.Interrupt();
    });
    std::string Reply;
    EXPECT_FALSE(Device.SendCommandToDevice("PRTRD0", Reply));
    Other.join();
    EXPECT_TRUE(Device.Interrupted());
    EXPECT_EQ(Device.ReadTemperature(), std::nullopt);
    EXPECT_EQ(Sim().Commands(), std::vector<std::string>{"PRTRD0"});  // the later read sent nothing
    EXPECT_EQ(Errors, std::vector<std::string>{"Error reading temperature"});

    Sim().SetFault(velsim::TFault::None);
    Device.ClearInterrupt();
    EXPECT_TRUE(Device.ReadTemperature().has_value());
    Device.Interrupt();
    Device.Disconnect();  // a disconnect ends the interruption too
    EXPECT_FALSE(Device.Interrupted());
    Device.Interrupt();
    EXPECT_TRUE(Device.FindDevice(Fixture.ComName()));  // and so does a new identification
}

}  // namespace

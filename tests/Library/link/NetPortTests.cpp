// Network port names, unreachable servers, and a simulated board served by a real ser2net on the
// loopback address, compared with the same board on its local pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Device_VL.h"
#include "IniFile.h"
#include "NetPort.h"
#include "Ser2Net.h"
#include "SerialPort.h"
#include "SimFixture.h"
#include "TestFiles.h"

using velsim::TFault;

namespace {

const char* const Settings = "19200,8,N,1,NONE";

TEST(NetPortNames, ParseAndKeepInTheSettingsFile) {
    const struct {
        const char* Name;
        const char* Host;  // nullptr: refused, with Error containing ErrorPart
        int Port;
        const char* ErrorPart;
    } Cases[] = {
        {"socket://pi.local:4000", "pi.local", 4000, ""},
        {"RFC2217://10.0.0.7:2217", "10.0.0.7", 2217, ""},
        {"socket://[::1]:65535", "::1", 65535, ""},
        {"socket://host:0", nullptr, 0, "out of range"},
        {"socket://host:65536", nullptr, 0, "out of range"},
        {"socket://host:99999999999999999999", nullptr, 0, "out of range"},
        {"socket://host", nullptr, 0, "not a network port name"},
        {"socket://:4000", nullptr, 0, "not a network port name"},
        {"socket://host:40a0", nullptr, 0, "not a network port name"},
        {"socket://a:1/path", nullptr, 0, "not a network port name"},
        {"socket://a b:1", nullptr, 0, "not a network port name"},
        {"socket://[::1]4000", nullptr, 0, "not a network port name"},
        {"telnet://host:23", nullptr, 0, "not a network port name"},
    };
    for (const auto& Case : Cases) {
        TNetworkPortName Parsed;
        std::string Error;
        const bool Ok = ParseNetworkPortName(Case.Name, Parsed, Error);
        EXPECT_EQ(Ok, Case.Host != nullptr) << Case.Name;
        if (Ok) {
            EXPECT_EQ(Parsed.Host, Case.Host) << Case.Name;
            EXPECT_EQ(Parsed.Port, Case.Port) << Case.Name;
        } else {
            EXPECT_NE(Error.find(Case.ErrorPart), std::string::npos) << Case.Name << ": " << Error;
        }
    }

    veltest::TTempDir Folder;
    TIniFile Ini(Folder.Path("Velmorant.ini"));
    EXPECT_TRUE(ReadNetworkPortNames(Ini).empty());
    WriteNetworkPortNames(Ini, {"socket://a:1", "bad", "rfc2217://b:2", "socket://a:1"});
    EXPECT_EQ(ReadNetworkPortNames(Ini), (std::vector<std::string>{"socket://a:1", "rfc2217://b:2"}));
    WriteNetworkPortNames(Ini, {"rfc2217://b:2"});
    EXPECT_EQ(ReadNetworkPortNames(Ini), std::vector<std::string>{"rfc2217://b:2"});
}

// A loopback socket, bound and optionally listening, that never accepts nor answers.
class TMuteServer {
public:
    explicit TMuteServer(bool Listen) : FFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Size = sizeof Address;
        EXPECT_EQ(::bind(FFd, reinterpret_cast<sockaddr*>(&Address), Size), 0);
        if (Listen) {
            EXPECT_EQ(::listen(FFd, 4), 0);
        }
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&Address), &Size);
        FPort = ntohs(Address.sin_port);
    }
    ~TMuteServer() { ::close(FFd); }
    std::string Port() const { return std::to_string(FPort); }

private:
    int FFd;
    int FPort = 0;
};

TEST(NetPortOpen, UnreachableServersFailWithAClearError) {
    const TMuteServer Refusing(false), Mute(true);
    const struct {
        std::string Name;
        const char* ErrorPart;
    } Cases[] = {
        {"socket://127.0.0.1", "not a network port name"},
        {"rfc2217://127.0.0.1:70000", "out of range"},
        {"socket://no-such-host.invalid:4000", "no-such-host.invalid"},
        {"socket://127.0.0.1:" + Refusing.Port(), "refused the connection"},
        {"rfc2217://127.0.0.1:" + Mute.Port(), "no RFC 2217 server answered"},
    };
    GetLastSerialError();
    for (const auto& Case : Cases) {
        THandle Handle = OpenSerialPort(Case.Name, Settings);
        EXPECT_EQ(Handle, INVALID_HANDLE_VALUE) << Case.Name;
        CloseSerialPort(Handle);
        const std::string Error = GetLastSerialError();
        EXPECT_NE(Error.find(Case.ErrorPart), std::string::npos) << Case.Name << ": " << Error;
    }

    // Raw TCP cannot tell a mute server from a silent board until the first reply is missed.
    TVelmorant Device;
    EXPECT_FALSE(Device.FindDevice("socket://127.0.0.1:" + Mute.Port()));
    EXPECT_NE(GetLastSerialError().find("Nothing came back from 127.0.0.1:"), std::string::npos);
}

// The simulated board on its pseudo-terminal, linked as COM3; ser2net serves it when a test asks.
class NetPortServed : public ::testing::Test {
protected:
    // A server of the board by the protocol, started. Its line starts at 9600 baud: only RFC 2217
    // carries the driver's 19200.
    std::unique_ptr<veltest::TSer2Net> Serve(bool Rfc2217) {
        auto Server = std::make_unique<veltest::TSer2Net>(Fixture.Sim().DevicePath(), Rfc2217, "9600n81");
        std::string Error;
        EXPECT_TRUE(Server->Start(Error)) << Error;
        return Server;
    }
    // The device's speed as the pseudo-terminal has it now.
    speed_t LineSpeed() {
        const int Fd =
            ::open(Fixture.Sim().DevicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios Mode{};
        const bool Ok = Fd >= 0 && ::tcgetattr(Fd, &Mode) == 0;
        if (Fd >= 0) ::close(Fd);
        return Ok ? ::cfgetospeed(&Mode) : B0;
    }

    velsim::TSimFixture Fixture;
};

TEST_F(NetPortServed, StartUpTrafficAndBytesAreTheLocalPorts) {
    // Every byte value but CR in a command, and in a reply bytes that look like telnet commands.
    std::string Odd = "Z";
    for (int B = 1; B < 256; ++B)
        if (B != '\r') Odd += static_cast<char>(B);
    Odd += 'Z';
    const std::string Reply = "r\xFF\xFF\xFA\x2C\x01\xFF\xF0\x00\xFD\x01\x0A\xFFr";
    Fixture.Sim().OverrideReply("Z", Reply);

    std::vector<std::string> LocalTraffic;
    std::string LocalReply;
    for (const int Protocol : {-1, 0, 1}) {  // the local port, raw TCP, RFC 2217
        const auto Server = Protocol < 0 ? nullptr : Serve(Protocol == 1);
        const std::string Name = Server ? Server->Name() : Fixture.ComName();
        SCOPED_TRACE(Name);
        Fixture.Sim().ClearCommands();
        TVelmorant Device;
        ASSERT_TRUE(Device.FindDevice(Name));
        ASSERT_TRUE(Device.RetrieveSettings(true));
        std::string Response;
        ASSERT_TRUE(Device.SendCommandToDevice(BytesToString(Odd), Response));
        const std::vector<std::string> Traffic = Fixture.Sim().Commands();
        EXPECT_EQ(Traffic.back(), Odd);
        EXPECT_EQ(Device.Version(), "1.05");
        if (!Server) {
            LocalTraffic = Traffic;
            LocalReply = Response;
            EXPECT_EQ(StringToBytes(Response), Reply);
            continue;
        }
        EXPECT_EQ(Traffic, LocalTraffic);
        EXPECT_EQ(Response, LocalReply);
        EXPECT_EQ(LineSpeed(), Protocol == 1 ? B19200 : B9600);
    }
}

TEST_F(NetPortServed, ServerKilledMidExchangeIsAHangUpAndComesBack) {
    for (const bool Rfc2217 : {false, true}) {
        const auto Server = Serve(Rfc2217);
        SCOPED_TRACE(Server->Name());
        TVelmorant Device;
        ASSERT_TRUE(Device.FindDevice(Server->Name())) << Server->Log();
        Fixture.Sim().ClearCommands();
        Fixture.Sim().SetFault(TFault::Silent);
        std::thread Killer([&] {
            if (Fixture.Sim().WaitForCommands(1, 5000)) Server->Kill();
        });
        std::string Response;
        // The hang-up ends the exchange; had it not been seen, the deadline would, with no hang-up.
        EXPECT_FALSE(Device.SendCommandToDevice("PRTRD0", Response));
        Killer.join();
        EXPECT_TRUE(Device.PortHungUp());

        Fixture.Sim().SetFault(TFault::None);
        EXPECT_FALSE(Device.FindDevice(Server->Name()));  // nobody listens any more
        std::string Error;
        ASSERT_TRUE(Server->Start(Error)) << Error;
        EXPECT_TRUE(Device.FindDevice(Server->Name()));
        EXPECT_FALSE(Device.PortHungUp());
    }
}

}  // namespace

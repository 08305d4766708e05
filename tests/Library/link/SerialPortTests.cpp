// The serial layer against real pseudo-terminals linked as COM names in a private settings folder.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>

#include "Errors.h"
#include "SerialPort.h"
#include "TestFiles.h"

namespace fs = std::filesystem;

namespace {

// A pseudo-terminal pair: the test holds the master; the slave is what the layer opens.
struct TPty {
    int Master = -1;
    std::string Slave;
    TPty() {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) throw std::runtime_error("no pty");
        Slave = ptsname(Master);
    }
    ~TPty() { CloseMaster(); }
    void CloseMaster() {
        if (Master >= 0) close(Master);
        Master = -1;
    }
    // Reads from the master until Count bytes arrived or nothing comes for a second.
    std::string ReadMaster(size_t Count) const {
        std::string Got;
        char Buffer[256];
        pollfd Fd{Master, POLLIN, 0};
        for (ssize_t N = 0;
             Got.size() < Count && poll(&Fd, 1, 1000) > 0 && (N = read(Master, Buffer, 256)) > 0;)
            Got.append(Buffer, static_cast<size_t>(N));
        return Got;
    }
};

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        chmod(FRoot.Path().c_str(), 0755);  // the unprivileged child must reach the links
        setenv("XDG_CONFIG_HOME", FRoot.Path().c_str(), 1);
        fs::create_directories(SerialPortLinksFolder() + "ports");
    }
    void TearDown() override { (void)GetLastSerialError(); }
    void Link(const std::string& ComName, const std::string& Target) {
        fs::create_symlink(Target, SerialPortLinksFolder() + "ports/" + ComName);
    }
    // Runs Body as "nobody" in a forked child; its exit status is the result.
    static int AsNobody(const std::function<int()>& Body) {
        const pid_t Child = fork();
        if (Child == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 ? Body() : 99);
        int Status = 0;
        waitpid(Child, &Status, 0);
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    }
    veltest::TSavedEnvironment FSaved{"XDG_CONFIG_HOME", "HOME"};
    veltest::TTempDir FRoot{"serialport"};
};

// A pseudo-terminal forces CS8 and clears PARENB, so the data bits and parity-on are not observable
// there; the other bits are.
struct TSettingsCase {
    const char* Settings;
    speed_t Baud;
    tcflag_t Parity;  // PARODD, CMSPAR
    tcflag_t Flags;   // CSTOPB, CRTSCTS
    tcflag_t Input;   // IXON, IXOFF
};

TEST_F(SerialPortTest, SettingsReachTheLine) {
    // clang-format off
    const TSettingsCase Cases[] = {
        {"", 9600, 0, 0, 0},                          {"19200", 19200, 0, 0, 0},
        {"9600,7,e,2,NONE", 9600, 0, CSTOPB, 0},      {"9600,8,N,1,xon_xoff", 9600, 0, 0, IXON | IXOFF},
        {"9600,8,N,1,HARDWARE", 9600, 0, CRTSCTS, 0}, {"9600,8,N,1,RTS", 9600, 0, 0, 0},
        {"9600,8,N,1.50,NONE", 9600, 0, 0, 0},        {" 4800 , 6 , O , 1.5 ", 4800, PARODD, CSTOPB, 0},
        {"250000,5,M,1,NONE", 250000, PARODD | CMSPAR, 0, 0}, {"9600,8,S,2", 9600, CMSPAR, CSTOPB, 0},
        {"9600,8,o,1,NONE", 9600, 0, 0, 0},           {"fast,many,NO,one,x", 9600, 0, 0, 0}};
    // clang-format on
    TPty Pty;
    Link("COM5", Pty.Slave);
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Settings);
        THandle H = OpenSerialPort("COM5", C.Settings);
        ASSERT_NE(H, INVALID_HANDLE_VALUE);
        termios2 Tio{};
        ASSERT_EQ(ioctl(H, TCGETS2, &Tio), 0);
        EXPECT_EQ(Tio.c_ospeed, C.Baud);
        EXPECT_EQ(Tio.c_cflag & (PARODD | CMSPAR), C.Parity);
        EXPECT_EQ(Tio.c_cflag & (CSTOPB | CRTSCTS), C.Flags);
        EXPECT_EQ(Tio.c_iflag & (IXON | IXOFF | ICRNL), C.Input);
        EXPECT_EQ(Tio.c_lflag & (ICANON | ECHO | ISIG), 0u);  // raw
        EXPECT_EQ(Tio.c_oflag & OPOST, 0u);
        CloseSerialPort(H);
        EXPECT_EQ(H, INVALID_HANDLE_VALUE);
    }
}

TEST_F(SerialPortTest, UnusableSettingsOrNamesFailTheOpen) {
    TPty Pty;
    Link("COM5", Pty.Slave);
    for (const char* Settings : {"-9600,8,N,1,NONE", "9600,300,N,1,NONE", "9600,4,N,1,NONE", "9600,9", "0"})
        EXPECT_EQ(OpenSerialPort("COM5", Settings), INVALID_HANDLE_VALUE) << Settings;
    for (const char* Name : {"com5", "\\\\.\\COM5", "", "COM6"})
        EXPECT_EQ(OpenSerialPort(Name, ""), INVALID_HANDLE_VALUE) << Name;
    THandle H = OpenSerialPort("COM5", "");  // nothing above left the port held
    EXPECT_NE(H, INVALID_HANDLE_VALUE);
    CloseSerialPort(H);
}

TEST_F(SerialPortTest, NamesResolveThroughLinksThenTheDefaultTable) {
    Link("COM12", "/dev/null");
    // clang-format off
    const std::pair<const char*, std::string> Cases[] = {
        {"COM1", "/dev/ttyACM0"}, {"COM16", "/dev/ttyACM15"}, {"COM17", "/dev/ttyUSB0"},
        {"COM32", "/dev/ttyUSB15"}, {"COM33", "/dev/ttyS0"}, {"COM64", "/dev/ttyS31"},
        {"COM12", SerialPortLinksFolder() + "ports/COM12"}, {"COM0", ""}, {"COM65", ""}, {"COM03", ""},
        {"com3", ""}, {"\\\\.\\COM3", ""}, {"", ""}, {"COM", ""}, {" COM3", ""}, {"COM3 ", ""}};
    // clang-format on
    for (const auto& [Name, Path] : Cases) EXPECT_EQ(ResolveSerialPortPath(Name), Path) << Name;
}

TEST_F(SerialPortTest, LinksFolderFollowsTheEnvironmentAtEachCall) {
    setenv("HOME", "/home/u", 1);
    const std::pair<const char*, const char*> Cases[] = {{"/x/cfg", "/x/cfg/Tarnwick/Velmorant/"},
                                                         {"/x/cfg/", "/x/cfg/Tarnwick/Velmorant/"},
                                                         {"", "/home/u/.config/Tarnwick/Velmorant/"}};
    for (const auto& [Config, Folder] : Cases) {
        setenv("XDG_CONFIG_HOME", Config, 1);
        EXPECT_EQ(SerialPortLinksFolder(), Folder) << Config;
    }
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SerialPortLinksFolder(), "/home/u/.config/Tarnwick/Velmorant/");
}

TEST_F(SerialPortTest, OnlyOneOpenAtATimeAndClosingReleases) {
    TPty Pty;
    Link("COM5", Pty.Slave);
    THandle First = OpenSerialPort("COM5", "19200,8,N,1,NONE");
    ASSERT_NE(First, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenSerialPort("COM5", "19200,8,N,1,NONE"), INVALID_HANDLE_VALUE);

    if (geteuid() == 0) {
        // Root passes TIOCEXCL; a normal user must be refused by it and admitted again once we let go.
        ASSERT_EQ(chmod(Pty.Slave.c_str(), 0666), 0);
        const auto TryOpen = [] {
            THandle H = OpenSerialPort("COM5", "");
            const bool Opened = H != INVALID_HANDLE_VALUE;
            CloseSerialPort(H);
            return Opened ? 0 : 1;
        };
        EXPECT_EQ(AsNobody(TryOpen), 1);
        CloseSerialPort(First);
        EXPECT_EQ(AsNobody(TryOpen), 0);
    } else {
        CloseSerialPort(First);
    }
    THandle Again = OpenSerialPort("COM5", "");
    EXPECT_NE(Again, INVALID_HANDLE_VALUE);
    CloseSerialPort(Again);
}

TEST_F(SerialPortTest, EnumerationListsFreeAndOptionallyBusyPorts) {
    TPty Free, Busy;
    Link("COM5", Free.Slave);
    Link("COM6", Busy.Slave);
    Link("COM7", FRoot.Path("gone"));
    THandle Held = OpenSerialPort("COM6", "");
    ASSERT_NE(Held, INVALID_HANDLE_VALUE);

    for (bool IncludeBusy : {false, true}) {
        TSerialPortSet Ports;
        Ports.set(70);
        EnumerateSerialPorts(IncludeBusy, Ports);
        EXPECT_TRUE(Ports[5]);
        EXPECT_EQ(Ports[6], IncludeBusy);
        EXPECT_FALSE(Ports[7]);
        EXPECT_FALSE(Ports[0] || Ports[65] || Ports[70]);
    }
    CloseSerialPort(Held);

    if (geteuid() == 0) {
        // A port the user may not open is listed with IncludeBusy, and the permission problem is remembered.
        ASSERT_EQ(chmod(Busy.Slave.c_str(), 0600), 0);
        const int Result = AsNobody([] {
            TSerialPortSet Ports;
            EnumerateSerialPorts(true, Ports);
            return (Ports[6] ? 1 : 0) | (LastEnumerationHadPermissionDenied() ? 2 : 0);
        });
        EXPECT_EQ(Result, 3);
    }
}

TEST_F(SerialPortTest, BytesCrossTheLineAsLatin1) {
    TPty Pty;
    Link("COM5", Pty.Slave);
    THandle H = OpenSerialPort("COM5", "19200,8,N,1,NONE");
    ASSERT_NE(H, INVALID_HANDLE_VALUE);

    std::string Text = "left";
    EXPECT_EQ(ReadFromSerialPort(H, Text), 0);  // nothing pending
    EXPECT_EQ(Text, "");

    ASSERT_EQ(write(Pty.Master, "\xE9\r\n\0\xFF", 5), 5);
    std::string Got;
    while (Got.size() < 7 && WaitForSerialInput(H, 1000) && ReadFromSerialPort(H, Text) > 0) Got += Text;
    EXPECT_EQ(Got, std::string("\u00E9\r\n\0\u00FF", 7));

    EXPECT_TRUE(WriteToSerialPort(H, "\u20AC\u00E9 ok\r"));
    EXPECT_EQ(Pty.ReadMaster(6), "\xAC\xE9 ok\r");
    EXPECT_TRUE(WriteToSerialPort(H, ""));
    EXPECT_FALSE(SerialPortHungUp(H));
    CloseSerialPort(H);
}

TEST_F(SerialPortTest, ClosingTheOtherEndIsAHangUp) {
    // Either a wait or a read notices it; a quiet wait before that is no hang-up.
    const std::pair<const char*, std::function<void(THandle)>> Cases[] = {
        {"wait", [](THandle H) { EXPECT_FALSE(WaitForSerialInput(H, 1000)); }},
        {"read", [](THandle H) {
             std::string T;
             EXPECT_EQ(ReadFromSerialPort(H, T), 0);
         }}};
    for (const auto& [Name, Notice] : Cases) {
        SCOPED_TRACE(Name);
        TPty Pty;
        Link("COM5", Pty.Slave);
        THandle H = OpenSerialPort("COM5", "");
        ASSERT_NE(H, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(WaitForSerialInput(H, 0));
        EXPECT_FALSE(SerialPortHungUp(H));
        Pty.CloseMaster();
        Notice(H);
        EXPECT_TRUE(SerialPortHungUp(H));
        EXPECT_FALSE(WaitForSerialInput(H, 0));
        CloseSerialPort(H);
        EXPECT_FALSE(SerialPortHungUp(H));
        fs::remove(SerialPortLinksFolder() + "ports/COM5");
    }
}

TEST_F(SerialPortTest, FailuresAreResultsRecordedOnce) {
    THandle H = INVALID_HANDLE_VALUE;
    std::string Text = "stale";
    try {
        ReadFromSerialPort(H, Text);
        ADD_FAILURE() << "no error raised";
    } catch (const ESerialError& E) {
        EXPECT_STREQ(E.what(), "Invalid handle in ReadFromSerialPort");
    }
    EXPECT_EQ(Text, "");
    EXPECT_FALSE(WriteToSerialPort(H, "x"));
    EXPECT_FALSE(WaitForSerialInput(H, 0));
    FlushSerialPort(H);
    CloseSerialPort(H);
    EXPECT_EQ(GetLastSerialError(), "");  // the invalid handle is no system failure

    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    const auto Code = [](int E) { return " failed. Error code=" + std::to_string(E); };
    const std::pair<std::function<void()>, std::string> Cases[] = {
        {[&] { FlushSerialPort(Pipe[0]); }, "PMI:FlushSerialPort" + Code(ENOTTY)},
        {[&] { EXPECT_FALSE(WriteToSerialPort(Pipe[0], "x")); },
         "PMI:WriteToSerialPort:WriteFile" + Code(EBADF)},
        {[&] { EXPECT_EQ(ReadFromSerialPort(INT_MAX, Text), 0); },
         "PMI:ReadFromSerialPort:ClearCommError" + Code(EBADF)}};
    for (const auto& [Operation, Expected] : Cases) {
        Operation();
        EXPECT_EQ(GetLastSerialError(), Expected);
        EXPECT_EQ(GetLastSerialError(), "");
    }
    close(Pipe[0]);
    close(Pipe[1]);
}

TEST(SerialText, DelimitedFields) {
    // clang-format off
    const std::tuple<const char*, int, char, const char*> Cases[] = {
        {"9600,8,N,1,NONE", 0, ',', "9600"}, {"9600,8,N,1,NONE", 4, ',', "NONE"}, {"9600,8,N,1,NONE", 5, ',', ""},
        {" \t9600 , 8 ,\r\n", 1, ',', "8"}, {"a,,b", 1, ',', ""}, {"a,,b", 2, ',', "b"}, {"", 0, ',', ""},
        {"a;b,c", 1, ';', "b,c"}, {"\x01 x \x1f", 0, ',', "x"}, {"a,b", -1, ',', "a"}};
    // clang-format on
    for (const auto& [Text, Index, Separator, Field] : Cases)
        EXPECT_EQ(GetDelimitedField(Text, Index, Separator), Field) << Text << " #" << Index;
}

TEST(SerialText, CharactersAndBytes) {
    // {bytes on the line, text in memory}
    const std::pair<std::string, std::string> RoundTrips[] = {
        {"\xE9", "\u00E9"}, {"\x80\xFF", "\u0080\u00FF"}, {std::string(1, '\0'), std::string(1, '\0')}};
    for (const auto& [Bytes, Text] : RoundTrips) {
        EXPECT_EQ(BytesToString(Bytes), Text);
        EXPECT_EQ(StringToBytes(Text), Bytes);
    }
    // Only the low 8 bits of a character survive; what is not UTF-8 passes byte for byte.
    // clang-format off
    const std::pair<std::string, std::string> ToBytes[] = {
        {"\u20AC", "\xAC"}, {"\U0001F600!", std::string("\0!", 2)}, {"\xE9x", "\xE9x"}, {"\xC3", "\xC3"},
        {"\xC0\xAF", "\xC0\xAF"}, {"\xED\xA0\x80", "\xED\xA0\x80"}, {"\xE2\x82", "\xE2\x82"},
        {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"}};
    // clang-format on
    for (const auto& [Text, Bytes] : ToBytes) EXPECT_EQ(StringToBytes(Text), Bytes);

    std::string All;
    for (int B = 0; B < 256; ++B) All += static_cast<char>(B);
    EXPECT_EQ(StringToBytes(BytesToString(All)), All);
}

}  // namespace

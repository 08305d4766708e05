// The measuring tools of the benchmarks: started programs, /proc readings, and the Python peer,
// which is only a fair yardstick if it sends exactly the traffic of the program's own tick.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Device_VL.h"
#include "SimFixture.h"

namespace {

TEST(ChildProcessTests, LinesGoBothWays) {
    TChildProcess Cat;
    ASSERT_TRUE(Cat.Start({"/bin/cat"}, {}, true, true));
    std::string Line;
    EXPECT_FALSE(Cat.ReadLine(Line, 0)) << "nothing was written yet";
    ASSERT_TRUE(Cat.WriteLine("first"));
    ASSERT_TRUE(Cat.WriteLine("second"));
    ASSERT_TRUE(Cat.ReadLine(Line, 10000));
    EXPECT_EQ(Line, "first");
    ASSERT_TRUE(Cat.ReadLine(Line, 10000));
    EXPECT_EQ(Line, "second");
}

TEST(ChildProcessTests, EnvironmentEntriesReplaceInheritedOnes) {
    setenv("BENCH_TOOLS_PROBE", "inherited", 1);
    setenv("BENCH_TOOLS_KEPT", "kept", 1);
    TChildProcess Shell;
    ASSERT_TRUE(Shell.Start({"/bin/sh", "-c", "echo \"$BENCH_TOOLS_PROBE $BENCH_TOOLS_KEPT\""},
                            {"BENCH_TOOLS_PROBE=own"}, false, true));
    std::string Line;
    ASSERT_TRUE(Shell.ReadLine(Line, 10000));
    EXPECT_EQ(Line, "own kept");
    unsetenv("BENCH_TOOLS_PROBE");
    unsetenv("BENCH_TOOLS_KEPT");
}

TEST(ChildProcessTests, ExitStatusAndEndOfOutput) {
    TChildProcess Shell;
    ASSERT_TRUE(Shell.Start({"/bin/sh", "-c", "echo last; exit 3"}, {}, false, true));
    std::string Line;
    ASSERT_TRUE(Shell.ReadLine(Line, 10000));
    EXPECT_FALSE(Shell.ReadLine(Line, 10000)) << "the output ended with the program";
    const int Status = Shell.WaitExit(10000);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 3);
    EXPECT_FALSE(Shell.Running());
}

TEST(ChildProcessTests, TerminateEndsAProgramThatWaitsForever) {
    TChildProcess Cat;
    ASSERT_TRUE(Cat.Start({"/bin/cat"}, {}, true, false));
    EXPECT_EQ(Cat.WaitExit(0), -1) << "still running";
    const int Status = Cat.Terminate(10000);
    ASSERT_TRUE(WIFSIGNALED(Status));
    EXPECT_EQ(WTERMSIG(Status), SIGTERM);
}

TEST(ChildProcessTests, AMissingProgramDoesNotStart) {
    TChildProcess Missing;
    EXPECT_FALSE(Missing.Start({"/nonexistent/program"}, {}, true, true));
    EXPECT_FALSE(Missing.Running());
}

TEST(ProcReadingTests, StatusFieldsOfThisProcess) {
    EXPECT_GT(ProcStatusKiB(getpid(), "VmRSS"), 0);
    EXPECT_GE(ProcStatusKiB(getpid(), "VmHWM"), ProcStatusKiB(getpid(), "VmRSS"));
    EXPECT_EQ(ProcStatusKiB(getpid(), "NoSuchField"), -1);
    EXPECT_EQ(ProcStatusKiB(-5, "VmRSS"), -1);
}

// The name field of /proc/<pid>/stat may hold blanks and parentheses; the CPU fields come after it.
TEST(ProcReadingTests, CpuTimeOfAProgramWithAnAwkwardName) {
    const std::string Folder = MakeTempFolder("bench-tools-XXXXXX");
    const std::string Odd = Folder + "/a) b (c";
    std::filesystem::copy_file("/bin/sh", Odd);
    TChildProcess Shell;
    // Spends a little CPU, then waits for its input to end.
    ASSERT_TRUE(Shell.Start({Odd, "-c", "i=0; while [ $i -lt 20000 ]; do i=$((i+1)); done; echo done; cat"},
                            {}, true, true));
    std::string Line;
    ASSERT_TRUE(Shell.ReadLine(Line, 60000));
    const double Seconds = ProcCpuSeconds(Shell.Pid());
    EXPECT_GE(Seconds, 0.0);
    EXPECT_LT(Seconds, 60.0);
    Shell.Terminate(10000);
    EXPECT_LT(ProcCpuSeconds(Shell.Pid()), 0) << "a process that is gone has no CPU time";
    std::filesystem::remove_all(Folder);
}

std::string PeerScript() {
    return std::filesystem::path(VELMORANT_SOURCE_DIR) / "bench" / "peer_tick.py";
}

bool HavePySerial() {
    return system("/usr/bin/python3 -c 'import serial' 2>/dev/null") == 0;
}

TEST(PeerTickTests, SendsTheProgramsTickTrafficAndCountsItsBytes) {
    if (!HavePySerial()) GTEST_SKIP() << "python3-serial is not installed";
    velsim::TSimFixture Fixture;

    // The program's tick, as the window makes it.
    TVelmorant Device;
    ASSERT_TRUE(Device.FindDevice(Fixture.ComName()));
    Fixture.Sim().ClearCommands();
    for (int Port = 0; Port < Device.PortCount(); ++Port) Device.ReadPortStateOrZero(Port);
    for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input)
        Device.ReadAnalogInputValueOrZero(Input);
    Device.ReadTemperatureOrZero();
    const std::vector<std::string> ProgramTick = Fixture.Sim().Commands();
    ASSERT_EQ(ProgramTick.size(), 12u);
    Device.Disconnect();
    Fixture.Sim().ClearCommands();

    TChildProcess Peer;
    ASSERT_TRUE(Peer.Start({"/usr/bin/python3", PeerScript(), Fixture.Sim().DevicePath(), "--ticks", "2"}, {},
                           false, true, ""));
    std::vector<long long> Wire;
    std::string Line;
    while (Peer.ReadLine(Line, 30000)) {
        long long WallNs = 0, CpuNs = 0, Bytes = 0;
        ASSERT_EQ(std::sscanf(Line.c_str(), "%lld %lld %lld", &WallNs, &CpuNs, &Bytes), 3) << Line;
        EXPECT_GT(WallNs, 0);
        Wire.push_back(Bytes);
    }
    const int Status = Peer.WaitExit(30000);
    ASSERT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
    ASSERT_EQ(Wire.size(), 2u);

    const std::vector<std::string> PeerTraffic = Fixture.Sim().Commands();
    ASSERT_EQ(PeerTraffic.size(), 24u);
    EXPECT_EQ(std::vector<std::string>(PeerTraffic.begin(), PeerTraffic.begin() + 12), ProgramTick);
    EXPECT_EQ(std::vector<std::string>(PeerTraffic.begin() + 12, PeerTraffic.end()), ProgramTick);
    // Commands with CR: 6 x 7 + 5 x 5 + 5 bytes; replies with CR LF: 12 x 2 bytes and their digits.
    for (long long Bytes : Wire) {
        EXPECT_GE(Bytes, 72 + 24 + 12);
        EXPECT_LE(Bytes, 72 + 24 + 6 * 3 + 5 * 4 + 3);
    }
}

}  // namespace

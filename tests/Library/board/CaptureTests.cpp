// Fast capture against the simulated board: exact values and rising stamps, failed readings as
// gaps, the ends of a capture, an interruption, and the rows and store the capture's users share.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "CaptureData.h"
#include "ConnectedDevice.h"

using velsim::TFault;

namespace {

using TStrings = std::vector<std::string>;

TCaptureChannel Analog(int Input) {
    return {false, Input};
}
TCaptureChannel Port(int Number) {
    return {true, Number};
}

class Capture : public TConnectedDevice {
protected:
    // The board's inputs held still at known values.
    void Freeze() {
        auto Lock = Sim().Lock();
        Sim().Board().InputsFrozen = true;
        Sim().Board().Analog = {101, 202, 303, 404, 505};
        Sim().Board().PortState[4] = 0xA5;
    }
    std::vector<TCaptureSample> Run(TCaptureRun& Run) {
        std::vector<TCaptureSample> Samples;
        while (const auto S = Run.Step()) Samples.push_back(*S);
        return Samples;
    }
};

TEST_F(Capture, ValuesAreExactStampsRiseAndTheChannelsTakeTurns) {
    Connect();
    Freeze();
    TCaptureRun R(Device, {{Analog(0), Analog(3), Port(4)}, 0, 40});
    const auto Samples = Run(R);
    EXPECT_EQ(R.End(), ceCount);
    ASSERT_EQ(Samples.size(), 120u);
    const int Expected[] = {101, 404, 0xA5};
    for (size_t I = 0; I < Samples.size(); ++I) {
        EXPECT_EQ(Samples[I].Channel, int(I % 3));
        EXPECT_EQ(Samples[I].Value, Expected[I % 3]) << I;
        EXPECT_GT(Samples[I].Time, I > 0 ? Samples[I - 1].Time : 0.0) << I;
    }
    // Nothing but the reads, back to back, in turn.
    const TStrings Commands = Sim().Commands();
    ASSERT_EQ(Commands.size(), 120u);
    for (size_t I = 0; I < Commands.size(); ++I)
        EXPECT_EQ(Commands[I], (TStrings{"ADC0", "ADC3", "PRTRD4"}[I % 3]));
    EXPECT_TRUE(Errors.empty());
}

TEST_F(Capture, RepliesThatAreNoReadingsAreGapsAndEachTextIsToldOnce) {
    const struct {
        TFault Fault;
        std::string Error;
    } Cases[] = {
        {TFault::Silent, "Error reading ADC"},
        {TFault::Question, std::string("Error reading ADC") + TVelmorant::NotUnderstoodSuffix},
        {TFault::Garbage, std::string("Error reading ADC") + TVelmorant::BadReplySuffix},
    };
    Connect();
    Freeze();
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Error);
        // The silent spell: the third and fourth reads of A1.
        Sim().SetFaultFilter("ADC1");
        Sim().SetFault(TFault::None);
        TCaptureRun R(Device, {{Analog(0), Analog(1)}, 0, 8});
        std::vector<TCaptureSample> Samples;
        while (const auto S = R.Step()) {
            Samples.push_back(*S);
            if (Samples.size() == 4) Sim().SetFault(Case.Fault, 2);
        }
        ASSERT_EQ(Samples.size(), 16u);
        for (size_t I = 0; I < Samples.size(); ++I) {
            const bool Gap = I == 5 || I == 7;
            EXPECT_EQ(Samples[I].Value, Gap ? std::nullopt : std::optional<int>(I % 2 ? 202 : 101)) << I;
        }
        EXPECT_EQ(R.NewErrors(), TStrings{Case.Error});
        EXPECT_TRUE(R.NewErrors().empty());
    }
}

TEST(CaptureEnds, LimitsEndBetweenRoundsAndLossesAndMissingBoardsEndAtOnce) {
    const struct {
        const char* Name;
        TCaptureRequest Request;
        std::function<void(velsim::TSimulator&, TVelmorant&)> Before;
        TCaptureEnd End;
        size_t Samples;  // SIZE_MAX: whole rounds, any number
    } Cases[] = {
        {"the time", {{Analog(0), Analog(1), Analog(2)}, 0.05}, {}, ceDuration, SIZE_MAX},
        {"the memory",
         {{Analog(0), Analog(1)}, 0, 0, 10 * TCaptureRequest::BytesPerSample},
         {},
         ceMemory,
         10},
        {"the count within the memory",
         {{Analog(4)}, 0, 3, 10 * TCaptureRequest::BytesPerSample},
         {},
         ceCount,
         3},
        // Samples written out and kept nowhere have no memory limit.
        {"the count, nothing kept", {{Analog(4)}, 0, 30, 0}, {}, ceCount, 30},
        {"a hang-up",
         {{Port(0)}},
         [](velsim::TSimulator& S, TVelmorant&) { S.HangUpAtCommand(4); },
         ceLost,
         3},
        {"no board", {{Port(0)}}, [](velsim::TSimulator&, TVelmorant& D) { D.Disconnect(); }, ceNoBoard, 0},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        velsim::TSimFixture Fixture("COM4");
        TVelmorant Driver;
        ASSERT_TRUE(Driver.FindDevice("COM4"));
        if (Case.Before) Case.Before(Fixture.Sim(), Driver);
        TCaptureRun R(Driver, Case.Request);
        size_t Samples = 0;
        while (R.Step()) ++Samples;
        EXPECT_EQ(R.End(), Case.End);
        if (Case.Samples == SIZE_MAX)
            EXPECT_EQ(Samples % Case.Request.Channels.size(), 0u);
        else
            EXPECT_EQ(Samples, Case.Samples);
        EXPECT_FALSE(R.Step());
    }
}

TEST_F(Capture, AnInterruptionEndsTheReadInProgressAndLeavesNoSample) {
    Connect();
    Sim().SetFault(TFault::Silent);
    TCaptureRun R(Device, {{Analog(2)}, 0, 1000});
    std::optional<TCaptureSample> Taken;
    std::thread Worker([&] { Taken = R.Step(); });
    ASSERT_TRUE(Sim().WaitForCommands(1, 10000));
    Device.Interrupt();
    Worker.join();
    EXPECT_FALSE(Taken);
    EXPECT_EQ(R.End(), ceStopped);
    EXPECT_EQ(R.Samples(), 0u);
    EXPECT_EQ(Sim().Commands().size(), 1u);

    // Stop between two steps: the next step sends nothing.
    Device.ClearInterrupt();
    Sim().SetFault(TFault::None);
    TCaptureRun Next(Device, {{Analog(2)}});
    ASSERT_TRUE(Next.Step());
    Next.Stop();
    EXPECT_FALSE(Next.Step());
    EXPECT_EQ(Next.End(), ceStopped);
    EXPECT_EQ(Sim().Commands().size(), 2u);
}

TEST(CaptureRequest, ChannelNamesAndProblems) {
    const struct {
        const char* Text;
        std::optional<TCaptureChannel> Channel;
    } Names[] = {{"A0", Analog(0)},  {"a4", Analog(4)}, {"P2", Port(2)}, {"p5", Port(5)}, {"VPort0", Port(3)},
                 {"port1", Port(1)}, {"A5", {}},        {"P6", {}},      {"ADC0", {}},    {"", {}}};
    for (const auto& N : Names) EXPECT_EQ(TCaptureChannel::Parse(N.Text), N.Channel) << N.Text;
    EXPECT_EQ(Port(3).Name(), "VPort0");
    EXPECT_EQ((TCaptureRequest{{Analog(1), Port(1)}}.Problem()), "");
    EXPECT_EQ((TCaptureRequest{{Analog(1), Port(1), Analog(1)}}.Problem()), "A1 is named twice");
    EXPECT_NE(TCaptureRequest{}.Problem(), "");
}

TEST(CaptureRows, StreamedRowsAndTheStoresCsvAgreeAndTheStoreKeepsItsLimit) {
    const TCaptureRequest Request{{Analog(0), Port(3)}, 0, 3};
    const std::vector<TCaptureSample> Samples = {
        {0, 0.0052, 512}, {1, 0.0104, 7}, {0, 0.0156, std::nullopt}, {1, 0.0208, 9}, {0, 0.0260, 1023}};
    TCaptureRows Rows(2);
    TCaptureData Data;
    Data.Start(Request);
    std::string Streamed = CaptureCsvHeader(Request.Channels) + "\r\n", Row;
    for (const TCaptureSample& S : Samples) {
        if (Rows.Add(S, Row)) Streamed += Row + "\r\n";
        EXPECT_TRUE(Data.Add(S));
    }
    Streamed += Rows.Rest() + "\r\n";
    EXPECT_EQ(Rows.Rest(), "");
    EXPECT_EQ(Streamed, "Time (ms),A0,VPort0\r\n5.200,512,7\r\n15.600,,9\r\n26.000,1023,\r\n");
    EXPECT_EQ(Data.Csv(0, 1), Streamed);
    size_t Count = 0;
    EXPECT_EQ(Data.Csv(0.01, 0.02, &Count), "Time (ms),A0,VPort0\r\n15.600,,9\r\n");
    EXPECT_EQ(Count, 1u);
    EXPECT_EQ(Data.Stats(0).Failed, 1u);
    EXPECT_EQ(Data.Stats(0).Max, 1023);

    // The fourth round is beyond the request: dropped, and never allocated for.
    EXPECT_TRUE(Data.Add({1, 0.0312, 11}));
    EXPECT_FALSE(Data.Add({0, 0.0364, 1}));
    EXPECT_LE(Data.BytesHeld(), 6 * TCaptureRequest::BytesPerSample);
    EXPECT_EQ(Data.Nearest(1, 0.03), 2u);

    // Port 3's bit 0 as a pin: 7, 9, 11 are all odd.
    std::vector<TTrendPoint> Points;
    DecimateCapture(Data, 1, 0, 0, 1, 10, Points);
    for (const TTrendPoint& P : Points) EXPECT_EQ(P.Value, 1.0);
    DecimateCapture(Data, 0, -1, 0, 1, 1000, Points);
    ASSERT_EQ(Points.size(), 3u);
    EXPECT_TRUE(std::isnan(Points[1].Value));
}

}  // namespace

// Saving and recalling a full settings file (60 program lines, with the program) without a board.
// Every key of a save is its own durable write (temporary file, fsync, rename).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "Device_VL.h"

namespace {

class TBenchFolder {
public:
    TBenchFolder() {
        char name[] = "/tmp/settingsbench-XXXXXX";
        if (mkdtemp(name)) FPath = name;
    }
    ~TBenchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    std::string File(const std::string& Name) const { return FPath + "/" + Name; }

private:
    std::string FPath;
};

// A driver with every field in use: comments on every pin and line, a program in every line.
void FillDevice(TVelmorant& Device, int Variant) {
    for (int p = 0; p < 3; ++p) Device.SetPortDirection(p, static_cast<uint8_t>(p * 40 + Variant));
    Device.SetPullupsEnabled(0, Variant % 2);
    for (int p = 0; p < TVelmorant::PinCount; ++p)
        Device.SetPinComment(p, "pin " + std::to_string(p) + " variant " + std::to_string(Variant));
    Device.SetUpdatePeriod(Variant % 16);
    const std::string texts[] = {"if PIN0 = 1 goto 2", "set PORT3 = AIN0 + 5", "delay 100", "goto 0", "nop"};
    for (int n = 0; n < Device.ProgramLineCount(); ++n) {
        TProgramLine line;
        TextToProgramLine(line, texts[(n + Variant) % 5]);
        line.Comment = "line " + std::to_string(n) + " variant " + std::to_string(Variant);
        Device.SetProgramLine(n, line);
    }
}

void BM_SaveToNewFile(benchmark::State& State) {
    TBenchFolder folder;
    TVelmorant device;
    FillDevice(device, 1);
    int round = 0;
    for (auto _ : State)
        device.SaveSettingsInFile(folder.File("new" + std::to_string(round++) + ".velmor"), true);
}
BENCHMARK(BM_SaveToNewFile)->Unit(benchmark::kMillisecond);

// Every value differs from the file's, so every key is rewritten in place.
void BM_SaveOverOtherSettings(benchmark::State& State) {
    TBenchFolder folder;
    TVelmorant a, b;
    FillDevice(a, 1);
    FillDevice(b, 2);
    int round = 0;
    for (auto _ : State) (round++ % 2 ? a : b).SaveSettingsInFile(folder.File("s.velmor"), true);
}
BENCHMARK(BM_SaveOverOtherSettings)->Unit(benchmark::kMillisecond);

// The autosave at every close usually finds the file as it left it.
void BM_SaveUnchanged(benchmark::State& State) {
    TBenchFolder folder;
    TVelmorant device;
    FillDevice(device, 1);
    device.SaveSettingsInFile(folder.File("s.velmor"), true);
    for (auto _ : State) device.SaveSettingsInFile(folder.File("s.velmor"), true);
}
BENCHMARK(BM_SaveUnchanged)->Unit(benchmark::kMillisecond);

void BM_Recall(benchmark::State& State) {
    TBenchFolder folder;
    TVelmorant source;
    FillDevice(source, 1);
    source.SaveSettingsInFile(folder.File("s.velmor"), true);
    TVelmorant device;
    for (auto _ : State) device.RecallSettingsFromFile(folder.File("s.velmor"), true);
}
BENCHMARK(BM_Recall)->Unit(benchmark::kMillisecond);

}  // namespace

// Recovering the data log's journal at start-up: a full hour at the shortest interval, 3600 rows
// of the window's format, saved into one time-stamped log file (written and synced).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "DataLogger.h"
#include "TickReadings.h"

namespace {

std::string HourOfJournal(const std::string& Target) {
    std::string text = "T" + Target + "\nH" + DataLogHeader + "\n";
    for (int s = 0; s < 3600; ++s) {
        char row[128];
        std::snprintf(row, sizeof row, "R12/09/26 %02d:%02d:%02d,145,140,66,0,0,0,769,296,771,557,297,72,\n",
                      14 + s / 3600, s / 60 % 60, s % 60);
        text += row;
    }
    return text;
}

void BM_RecoverHourOfJournal(benchmark::State& State) {
    char name[] = "/tmp/journalbench-XXXXXX";
    if (!mkdtemp(name)) {
        State.SkipWithError("no temporary folder");
        return;
    }
    const std::string folder = std::string(name) + "/";
    const std::string journal = HourOfJournal(folder + "Velmorant Datalog.csv");
    int round = 0;
    for (auto _ : State) {
        State.PauseTiming();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        if (FILE* f = std::fopen((folder + "datalog-1-1.journal").c_str(), "wb")) {
            std::fwrite(journal.data(), 1, journal.size(), f);
            std::fclose(f);
        }
        ++round;
        State.ResumeTiming();
        const auto results = RecoverJournals(folder, [round] { return 46365.5 + round / 86400.0; });
        if (results.size() != 1 || results[0].Rows != 3600 || results[0].Files.size() != 1)
            State.SkipWithError("recovery did not save the hour");
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}
BENCHMARK(BM_RecoverHourOfJournal)->Unit(benchmark::kMillisecond);

}  // namespace

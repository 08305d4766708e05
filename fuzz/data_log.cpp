// A data log from anywhere: the reader either refuses it with its own error or gives samples that
// are whole readings or gaps at real times; the decimation of what it gave stays within its bounds.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DataLogReader.h"
#include "FuzzSupport.h"

using velfuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Input = velfuzz::AsString(Data, Size);
    TTrendRing Ring(0);
    try {
        Ring = ParseDataLog(Input, "fuzz.csv");
    } catch (const EDataLogError& Error) {
        Check(std::string(Error.what()).rfind("\"fuzz.csv\", line ", 0) == 0,
              "an error without file and line", Input);
        return 0;
    }
    for (size_t I = 0; I < Ring.Size(); ++I) {
        Check(std::isfinite(Ring.Time(I)), "a row without a real time", Input);
        for (int C = 0; C < tcColumnCount; ++C) {
            const float V = Ring.Value(I, C);
            Check(std::isnan(V) || V == std::trunc(V), "a reading that is no whole number", Input);
        }
    }
    if (Ring.Empty()) return 0;
    std::vector<TTrendPoint> Points;
    const double From = Ring.Time(0), To = Ring.Time(Ring.Size() - 1);
    for (int Buckets : {1, 7, 300}) {
        DecimateTrend(Ring, {tcAnalog0, -1}, From, To, Buckets, Points);
        Check(Points.size() <= Ring.Size(), "more points than samples", Input);
        DecimateTrend(Ring, {tcPort0 + 2, 5}, From - 1, To + 1, Buckets, Points);
        for (const TTrendPoint& P : Points)
            Check(std::isnan(P.Value) || P.Value == 0 || P.Value == 1, "a pin that is neither 0 nor 1",
                  Input);
    }
    return 0;
}

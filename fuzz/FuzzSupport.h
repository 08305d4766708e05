#pragma once
// Helpers shared by the fuzz targets: failing loudly with the input that caused it, and comparing
// program lines by the fields their statement uses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Device_VL.h"

namespace velfuzz {

// Prints What and the input (escaped) to stderr, then aborts, so that both the standalone driver
// and libFuzzer record the input as a crash.
[[noreturn]] inline void Fail(const char* What, const std::string& Input) {
    std::fprintf(stderr, "\nFUZZ CHECK FAILED: %s\ninput (%zu bytes): \"", What, Input.size());
    for (unsigned char C : Input) {
        if (C >= 32 && C < 127 && C != '"' && C != '\\')
            std::fputc(C, stderr);
        else
            std::fprintf(stderr, "\\x%02X", C);
    }
    std::fprintf(stderr, "\"\n");
    std::fflush(stderr);
    std::abort();
}

inline void Check(bool Condition, const char* What, const std::string& Input) {
    if (!Condition) Fail(What, Input);
}

// Program lines are the same when their code is, as the driver judges it.
inline bool SameCode(const TProgramLine& A, const TProgramLine& B) {
    return SameProgramCode(A, B);
}

// Trims codes 0..32 at both ends, as the exchange does with every reply.
inline std::string TrimControl(const std::string& Text) {
    size_t First = 0, Last = Text.size();
    while (First < Last && static_cast<unsigned char>(Text[First]) <= 32) ++First;
    while (Last > First && static_cast<unsigned char>(Text[Last - 1]) <= 32) --Last;
    return Text.substr(First, Last - First);
}

inline std::string AsString(const uint8_t* Data, size_t Size) {
    return std::string(reinterpret_cast<const char*>(Data), Size);
}

}  // namespace velfuzz

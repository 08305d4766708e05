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

// The fields a statement uses are what the board stores; comments and parse errors are not code.
inline bool SameCode(const TProgramLine& A, const TProgramLine& B) {
    if (A.LineType != B.LineType) return false;
    switch (A.LineType) {
        case ltNOP:
            return true;
        case ltGOTO:
            return A.GoToLine == B.GoToLine;
        case ltIF:
            return A.RValue1.EncodedSpec == B.RValue1.EncodedSpec &&
                   A.Comparison.EncodedSpec == B.Comparison.EncodedSpec &&
                   A.RValue2.EncodedSpec == B.RValue2.EncodedSpec && A.GoToLine == B.GoToLine;
        case ltSET:
            return A.LValue.EncodedSpec == B.LValue.EncodedSpec &&
                   A.RValue1.EncodedSpec == B.RValue1.EncodedSpec &&
                   A.Operation.EncodedSpec == B.Operation.EncodedSpec &&
                   A.RValue2.EncodedSpec == B.RValue2.EncodedSpec;
        case ltDELAY:
            return A.RValue1.EncodedSpec == B.RValue1.EncodedSpec;
    }
    return false;
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

// A "PLCRD" reply, as the board (or a noisy line) may send it. Eight characters convert exactly when
// all are hex digits, to the bytes they spell; the decoded line compiles back to the same bits for
// every bit its type uses; its text renders without reading outside a table, and when that text
// parses at all it parses to the same codes, so a line that cannot be written as text never
// silently becomes another line in a settings file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Device_VL.h"
#include "Errors.h"
#include "FuzzSupport.h"

using velfuzz::Check;
using velfuzz::Fail;

namespace {

int HexDigit(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

// The bits each line type stores; the rest of the four bytes is ignored when decoding.
TCompiledLineBytes UsedBits(int Type) {
    switch (Type) {
        case ltNOP:
            return {0x07, 0x00, 0x00, 0x00};
        case ltGOTO:
            return {0x07, 0x3F, 0x00, 0x00};
        case ltIF:
            return {0x1F, 0xFF, 0xFF, 0xFF};
        case ltSET:
            return {0x3F, 0xFF, 0xFF, 0xFF};
        case ltDELAY:
            return {0x0F, 0xFF, 0x00, 0x00};
    }
    return {0x07, 0x00, 0x00, 0x00};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Input = velfuzz::AsString(Data, Size);
    const std::string Reply = velfuzz::TrimControl(Input);
    if (Reply.size() != 8) return 0;  // the upload refuses it before converting

    bool AllHex = true;
    TCompiledLineBytes Expected{};
    for (size_t I = 0; I < 8; ++I) {
        const int Digit = HexDigit(Reply[I]);
        AllHex = AllHex && Digit >= 0;
        if (Digit >= 0) Expected[I / 2] = static_cast<uint8_t>(Expected[I / 2] * 16 + Digit);
    }

    TCompiledLineBytes Bytes{};
    try {
        Bytes = HexToCompiledLine(Reply);
    } catch (const EConvertError& Error) {
        Check(!AllHex, "eight hex digits were refused", Input);
        // what() ends at a NUL byte, so only a reply without one shows its whole message.
        const std::string Text = Error.what();
        Check(Text.rfind("'$", 0) == 0, "the conversion error does not name a '$'-prefixed pair", Input);
        if (Reply.find('\0') == std::string::npos)
            Check(Text.size() == 34 && Text.ends_with("' is not a valid integer value"),
                  "the conversion error does not name one pair", Input);
        return 0;
    }
    Check(AllHex, "a reply that is not all hex digits converted", Input);
    Check(Bytes == Expected, "the converted bytes are not the ones spelled", Input);

    TProgramLine Line;
    Line.Comment = "pump";
    const int Type = Bytes[0] & 7;
    const bool Known = CompiledToProgramLine(Line, Bytes);
    Check(Known == (Type <= ltDELAY), "the verdict on the line type is wrong", Input);
    Check(Line.Comment == "pump", "decoding lost the comment", Input);
    if (!Known) {
        TProgramLine Cleared;
        ClearProgramLine(Cleared);
        Cleared.Comment = "pump";
        Check(Line == Cleared, "an unknown line type does not leave a cleared NOP", Input);
    }

    const std::string Text = ProgramLineToText(Line);

    TCompiledLineBytes Again{};
    try {
        Again = CompileProgramLine(Line);
    } catch (const std::exception&) {
        Fail("a decoded line does not compile", Input);
    }
    if (Known) {
        const TCompiledLineBytes Mask = UsedBits(Type);
        for (size_t I = 0; I < 4; ++I) {
            Check((Again[I] & Mask[I]) == (Bytes[I] & Mask[I]),
                  "compiling the decoded line changes a used bit", Input);
            Check((Again[I] & ~Mask[I]) == 0, "compiling sets a bit the line type does not use", Input);
        }
    }

    TProgramLine Parsed;
    TextToProgramLine(Parsed, Text);
    if (Parsed.ParseError.empty())
        Check(velfuzz::SameCode(Parsed, Line), "the text of a decoded line parses to another line", Input);
    return 0;
}

// The four-byte form in which the board stores a program line, and its hex text on the wire.
#include <cstdint>
#include <string>

#include "Device_VL.h"
#include "Errors.h"

namespace {

// The field widths of the compiled form. The checks are by width, not by the language's ranges,
// so that a line read from the board (a GOTO to 63, an operation 5) compiles back to its bytes.
constexpr int32_t SixBits = 0x3F;
constexpr int32_t TwoBits = 0x03;
constexpr int32_t ThreeBits = 0x07;
constexpr int32_t NineBits = 0x1FF;

int32_t Checked(int32_t Value, int32_t Mask, const char* Field) {
    if (Value < 0 || Value > Mask)
        throw ERangeError("Range check error: " + std::string(Field) + " " + std::to_string(Value) +
                          " does not fit the compiled line");
    return Value;
}

uint8_t Byte(int32_t Value) {
    return static_cast<uint8_t>(Value & 0xFF);
}

// Bit 8 of each rvalue travels in bits 6 and 7 of byte 1, beside a six-bit field.
uint8_t SixBitsAndHighBits(int32_t Field, int32_t RValue1, int32_t RValue2) {
    return static_cast<uint8_t>(Field | ((RValue1 >> 8) << 6) | ((RValue2 >> 8) << 7));
}

}  // namespace

TCompiledLineBytes CompileProgramLine(const TProgramLine& Line) {
    TCompiledLineBytes Bytes{0, 0, 0, 0};
    switch (Line.LineType) {
        case ltNOP:
            break;
        case ltGOTO:
            Bytes[0] = ltGOTO;
            Bytes[1] = Byte(Checked(Line.GoToLine, SixBits, "GoToLine"));
            break;
        case ltIF:
        case ltSET: {
            // IF and SET share the layout: the comparison or the operation beside the type, the
            // GOTO target or the lvalue in byte 1.
            const bool IsIf = Line.LineType == ltIF;
            const int32_t Symbol = IsIf ? Checked(Line.Comparison.EncodedSpec, TwoBits, "Comparison")
                                        : Checked(Line.Operation.EncodedSpec, ThreeBits, "Operation");
            const int32_t Field = IsIf ? Checked(Line.GoToLine, SixBits, "GoToLine")
                                       : Checked(Line.LValue.EncodedSpec, SixBits, "LValue");
            const int32_t R1 = Checked(Line.RValue1.EncodedSpec, NineBits, "RValue1");
            const int32_t R2 = Checked(Line.RValue2.EncodedSpec, NineBits, "RValue2");
            Bytes[0] = static_cast<uint8_t>(Line.LineType | (Symbol << 3));
            Bytes[1] = SixBitsAndHighBits(Field, R1, R2);
            Bytes[2] = Byte(R1);
            Bytes[3] = Byte(R2);
            break;
        }
        case ltDELAY: {
            const int32_t R1 = Checked(Line.RValue1.EncodedSpec, NineBits, "RValue1");
            Bytes[0] = static_cast<uint8_t>(ltDELAY | ((R1 >> 8) << 3));
            Bytes[1] = Byte(R1);
            break;
        }
        default:
            // Four zero bytes would silently turn the line into a NOP.
            throw ERangeError("Range check error: LineType " + std::to_string(Line.LineType) +
                              " does not fit the compiled line");
    }
    return Bytes;
}

bool CompiledToProgramLine(TProgramLine& Line, const TCompiledLineBytes& Bytes) {
    ClearProgramLine(Line);
    const int Type = Bytes[0] & 7;
    if (Type > ltDELAY) return false;
    Line.LineType = static_cast<TProgramLineType>(Type);
    const auto RValue1 = [&] { return ((Bytes[1] & 0x40) << 2) | Bytes[2]; };
    const auto RValue2 = [&] { return ((Bytes[1] & 0x80) << 1) | Bytes[3]; };
    switch (Line.LineType) {
        case ltNOP:
            break;
        case ltGOTO:
            Line.GoToLine = Bytes[1] & SixBits;
            break;
        case ltIF:
            Line.Comparison.EncodedSpec = (Bytes[0] >> 3) & TwoBits;
            Line.GoToLine = Bytes[1] & SixBits;
            Line.RValue1.EncodedSpec = RValue1();
            Line.RValue2.EncodedSpec = RValue2();
            break;
        case ltSET:
            Line.Operation.EncodedSpec = (Bytes[0] >> 3) & ThreeBits;
            Line.LValue.EncodedSpec = Bytes[1] & SixBits;
            Line.RValue1.EncodedSpec = RValue1();
            Line.RValue2.EncodedSpec = RValue2();
            break;
        case ltDELAY:
            Line.RValue1.EncodedSpec = ((Bytes[0] & 8) << 5) | Bytes[1];
            break;
    }
    return true;
}

TCompiledLineBytes HexToCompiledLine(const std::string& Text) {
    if (Text.size() != 8)
        throw EConvertError("'" + Text + "' is not a compiled program line (eight hexadecimal digits)");
    TCompiledLineBytes Bytes{};
    for (size_t Index = 0; Index < Bytes.size(); ++Index) {
        const std::string Pair = std::string("$").append(Text, 2 * Index, 2);
        int32_t Value = 0;
        // After "$" only hex digits convert, and two of them always fit a byte.
        if (!TryStrToInt(Pair, Value)) throw EConvertError("'" + Pair + "' is not a valid integer value");
        Bytes[Index] = static_cast<uint8_t>(Value);
    }
    return Bytes;
}

// The fields a statement uses are what the board stores; comments, parse errors and fields the
// statement ignores do not make two lines different.
bool SameProgramCode(const TProgramLine& A, const TProgramLine& B) {
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
    // A type no statement has: only an identical record is the same code.
    return A.GoToLine == B.GoToLine && A.LValue.EncodedSpec == B.LValue.EncodedSpec &&
           A.RValue1.EncodedSpec == B.RValue1.EncodedSpec && A.RValue2.EncodedSpec == B.RValue2.EncodedSpec &&
           A.Comparison.EncodedSpec == B.Comparison.EncodedSpec &&
           A.Operation.EncodedSpec == B.Operation.EncodedSpec;
}

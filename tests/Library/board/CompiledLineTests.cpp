// The four-byte form of a program line: packing, unpacking and the hex text of the wire.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Device_VL.h"
#include "Errors.h"
#include "TestProgramLines.h"

using veltest::MakeLine;
using veltest::WriteCommand;

namespace {

struct TExampleCase {
    std::string Text;
    TCompiledLineBytes Bytes;
    std::string Command;    // for line 3
    std::string Canonical;  // the text of the decoded bytes
};

void PrintTo(const TExampleCase& Case, std::ostream* Out) {
    *Out << '"' << Case.Text << '"';
}

class CompiledExample : public ::testing::TestWithParam<TExampleCase> {};

TEST_P(CompiledExample, TextCompilesToBytesAndCommand) {
    const TExampleCase& Case = GetParam();
    TProgramLine Line;
    TextToProgramLine(Line, Case.Text);
    ASSERT_EQ(Line.ParseError, "");
    const TCompiledLineBytes Bytes = CompileProgramLine(Line);
    EXPECT_EQ(Bytes, Case.Bytes);
    EXPECT_EQ(WriteCommand(3, Bytes), Case.Command);
}

TEST_P(CompiledExample, BytesDecodeToCanonicalText) {
    const TExampleCase& Case = GetParam();
    TProgramLine Line;
    Line.Comment = "pump";
    ASSERT_TRUE(CompiledToProgramLine(Line, HexToCompiledLine(Case.Command.substr(7))));
    EXPECT_EQ(ProgramLineToText(Line), Case.Canonical);
    EXPECT_EQ(Line.Comment, "pump");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CompiledExample,
    ::testing::Values(
        TExampleCase{"nop", {0x00, 0x00, 0x00, 0x00}, "PLCWR3 00000000", "nop"},
        TExampleCase{"goto 5", {0x01, 0x05, 0x00, 0x00}, "PLCWR3 01050000", "goto 5"},
        TExampleCase{
            "if ain0 > 100 goto 7", {0x1A, 0x07, 0x36, 0x9F}, "PLCWR3 1A07369F", "if AIN0 > 100 goto 7"},
        TExampleCase{
            "if 255 = pin47 goto 60", {0x02, 0x7C, 0x3A, 0x35}, "PLCWR3 027C3A35", "if 255 = PIN47 goto 60"},
        TExampleCase{"if 0 < 255 goto 1", {0x12, 0x81, 0x3B, 0x3A}, "PLCWR3 12813B3A", "if 0 < 255 goto 1"},
        TExampleCase{"set pin0 = 1", {0x1B, 0x06, 0x3C, 0x3B}, "PLCWR3 1B063C3B", "set PIN0 = 1 OR 0"},
        TExampleCase{"set pin3 = 1", {0x1B, 0x09, 0x3C, 0x3B}, "PLCWR3 1B093C3B", "set PIN3 = 1 OR 0"},
        TExampleCase{"set port1 = pin5 and 200",
                     {0x13, 0x81, 0x0B, 0x03},
                     "PLCWR3 13810B03",
                     "set PORT1 = PIN5 AND 200"},
        TExampleCase{"set port5 = 255 xor 255",
                     {0x23, 0xC5, 0x3A, 0x3A},
                     "PLCWR3 23C53A3A",
                     "set PORT5 = 255 XOR 255"},
        TExampleCase{"set pin47 = ain4 - port0",
                     {0x0B, 0x35, 0x3A, 0x00},
                     "PLCWR3 0B353A00",
                     "set PIN47 = AIN4 - PORT0"},
        TExampleCase{"delay 100", {0x04, 0x9F, 0x00, 0x00}, "PLCWR3 049F0000", "delay 100"},
        TExampleCase{"delay 250", {0x0C, 0x35, 0x00, 0x00}, "PLCWR3 0C350000", "delay 250"},
        // The last constant without bit 8 and the first with it.
        TExampleCase{"delay 196", {0x04, 0xFF, 0x00, 0x00}, "PLCWR3 04FF0000", "delay 196"},
        TExampleCase{"delay 197", {0x0C, 0x00, 0x00, 0x00}, "PLCWR3 0C000000", "delay 197"}));

TEST(HexToCompiledLine, AcceptsEitherCase) {
    const TCompiledLineBytes Expected{0x1A, 0x07, 0x36, 0x9F};
    EXPECT_EQ(HexToCompiledLine("1a07369f"), Expected);
    EXPECT_EQ(HexToCompiledLine("1A07369F"), Expected);
    EXPECT_EQ(HexToCompiledLine("1a07369F"), Expected);
}

struct THexErrorCase {
    std::string Text;
    std::string Message;
};

class HexConversionError : public ::testing::TestWithParam<THexErrorCase> {};

TEST_P(HexConversionError, NamesTheBadPairWithItsPrefix) {
    try {
        HexToCompiledLine(GetParam().Text);
        FAIL() << "no error for " << GetParam().Text;
    } catch (const EConvertError& Error) {
        EXPECT_EQ(std::string(Error.what()), GetParam().Message);
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, HexConversionError,
                         ::testing::Values(THexErrorCase{"G1000000", "'$G1' is not a valid integer value"},
                                           THexErrorCase{"1A07369G", "'$9G' is not a valid integer value"},
                                           THexErrorCase{"00 10000", "'$ 1' is not a valid integer value"},
                                           THexErrorCase{"00-10000", "'$-1' is not a valid integer value"},
                                           THexErrorCase{"0000+100", "'$+1' is not a valid integer value"},
                                           THexErrorCase{"00000x10", "'$0x' is not a valid integer value"}));

TEST(HexToCompiledLine, RejectsWrongLength) {
    for (const char* Text : {"", "1A07369", "1A07369F0"})
        EXPECT_THROW(HexToCompiledLine(Text), EConvertError) << Text;
}

TEST(CompiledToProgramLine, LineTypeAboveFourLeavesClearedNop) {
    for (const TCompiledLineBytes& Bytes :
         {TCompiledLineBytes{0xFF, 0xFF, 0xFF, 0xFF}, TCompiledLineBytes{0x05, 1, 2, 3},
          TCompiledLineBytes{0x06, 0, 0, 0}}) {
        TProgramLine Line;
        TextToProgramLine(Line, "set pin3 = pin4 and 1");
        Line.Comment = "pump";
        EXPECT_FALSE(CompiledToProgramLine(Line, Bytes));
        TProgramLine Cleared;
        Cleared.Comment = "pump";
        ClearProgramLine(Cleared);
        EXPECT_EQ(Line, Cleared);
        EXPECT_EQ(ProgramLineToText(Line), "nop");
    }
}

TEST(CompiledToProgramLine, ReplacesCodesAndKeepsComment) {
    TProgramLine Line;
    TextToProgramLine(Line, "set pin3 = pin4 and 1");
    Line.Comment = "pump";
    ASSERT_TRUE(CompiledToProgramLine(Line, HexToCompiledLine("01050000")));
    EXPECT_EQ(ProgramLineToText(Line), "goto 5");
    EXPECT_EQ(Line.Comment, "pump");
    EXPECT_EQ(Line.LValue.EncodedSpec, 0);  // not left over from the SET
    EXPECT_EQ(Line.Operation.EncodedSpec, 3);
}

struct TRangeCase {
    std::string Name;
    TProgramLine Line;
};

void PrintTo(const TRangeCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class CompileOutOfRange : public ::testing::TestWithParam<TRangeCase> {};

TEST_P(CompileOutOfRange, ThrowsInsteadOfTruncating) {
    EXPECT_THROW(CompileProgramLine(GetParam().Line), ERangeError);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, CompileOutOfRange,
    ::testing::Values(TRangeCase{"GotoTarget64", MakeLine(ltGOTO, 64, 0, 0, 0, 3, 59)},
                      TRangeCase{"GotoTargetNegative", MakeLine(ltGOTO, -1, 0, 0, 0, 3, 59)},
                      TRangeCase{"IfTarget64", MakeLine(ltIF, 64, 0, 0, 0, 3, 59)},
                      TRangeCase{"IfComparison4", MakeLine(ltIF, 0, 0, 0, 4, 3, 59)},
                      TRangeCase{"IfRValue1Above9Bits", MakeLine(ltIF, 0, 0, 512, 0, 3, 59)},
                      TRangeCase{"IfRValue2Negative", MakeLine(ltIF, 0, 0, 0, 0, 3, -1)},
                      TRangeCase{"SetLValue64", MakeLine(ltSET, 0, 64, 0, 0, 3, 59)},
                      TRangeCase{"SetOperation8", MakeLine(ltSET, 0, 0, 0, 0, 8, 59)},
                      TRangeCase{"SetRValue2Above9Bits", MakeLine(ltSET, 0, 0, 0, 0, 3, 512)},
                      TRangeCase{"DelayRValue512", MakeLine(ltDELAY, 0, 0, 512, 0, 3, 59)},
                      TRangeCase{"DelayRValueNegative", MakeLine(ltDELAY, 0, 0, -1, 0, 3, 59)},
                      TRangeCase{"LineType5",
                                 MakeLine(static_cast<TProgramLineType>(5), 0, 0, 0, 0, 3, 59)}));

TEST(CompileProgramLine, ReadsOnlyTheFieldsOfItsType) {
    // Fields of other statements may hold anything, as long as the line's own fields fit.
    const int32_t Junk = 100000;
    EXPECT_EQ(CompileProgramLine(MakeLine(ltNOP, Junk, Junk, Junk, Junk, Junk, Junk)),
              (TCompiledLineBytes{0, 0, 0, 0}));
    EXPECT_EQ(CompileProgramLine(MakeLine(ltGOTO, 63, Junk, Junk, Junk, Junk, Junk)),
              (TCompiledLineBytes{1, 63, 0, 0}));
    EXPECT_EQ(CompileProgramLine(MakeLine(ltIF, 63, Junk, 511, 3, Junk, 511)),
              (TCompiledLineBytes{0x1A, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(CompileProgramLine(MakeLine(ltSET, Junk, 63, 511, Junk, 7, 511)),
              (TCompiledLineBytes{0x3B, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(CompileProgramLine(MakeLine(ltDELAY, Junk, Junk, 511, Junk, Junk, Junk)),
              (TCompiledLineBytes{0x0C, 0xFF, 0, 0}));
}

TEST(SameProgramCode, ComparesTheFieldsTheStatementUses) {
    const int32_t Junk = 100000;
    const auto Unknown = static_cast<TProgramLineType>(9);
    const struct {
        const char* Name;
        TProgramLine A, B;
        bool Same;
    } Cases[] = {
        {"nop has no fields", MakeLine(ltNOP, 1, 2, 3, 0, 1, 4),
         MakeLine(ltNOP, Junk, Junk, Junk, Junk, Junk, Junk), true},
        {"goto target", MakeLine(ltGOTO, 5, 0, 0, 0, 0, 0), MakeLine(ltGOTO, 5, Junk, Junk, Junk, Junk, Junk),
         true},
        {"goto other target", MakeLine(ltGOTO, 5, 0, 0, 0, 0, 0), MakeLine(ltGOTO, 6, 0, 0, 0, 0, 0), false},
        {"if without lvalue and operation", MakeLine(ltIF, 7, 0, 60, 1, 0, 61),
         MakeLine(ltIF, 7, Junk, 60, 1, Junk, 61), true},
        {"if other target", MakeLine(ltIF, 7, 0, 60, 1, 0, 61), MakeLine(ltIF, 8, 0, 60, 1, 0, 61), false},
        {"if other first value", MakeLine(ltIF, 7, 0, 60, 1, 0, 61), MakeLine(ltIF, 7, 0, 62, 1, 0, 61),
         false},
        {"if other comparison", MakeLine(ltIF, 7, 0, 60, 1, 0, 61), MakeLine(ltIF, 7, 0, 60, 2, 0, 61),
         false},
        {"if other second value", MakeLine(ltIF, 7, 0, 60, 1, 0, 61), MakeLine(ltIF, 7, 0, 60, 1, 0, 62),
         false},
        {"set without target and comparison", MakeLine(ltSET, 0, 3, 60, 0, 2, 61),
         MakeLine(ltSET, Junk, 3, 60, Junk, 2, 61), true},
        {"set other lvalue", MakeLine(ltSET, 0, 3, 60, 0, 2, 61), MakeLine(ltSET, 0, 4, 60, 0, 2, 61), false},
        {"set other first value", MakeLine(ltSET, 0, 3, 60, 0, 2, 61), MakeLine(ltSET, 0, 3, 62, 0, 2, 61),
         false},
        {"set other operation", MakeLine(ltSET, 0, 3, 60, 0, 2, 61), MakeLine(ltSET, 0, 3, 60, 0, 1, 61),
         false},
        {"set other second value", MakeLine(ltSET, 0, 3, 60, 0, 2, 61), MakeLine(ltSET, 0, 3, 60, 0, 2, 62),
         false},
        {"delay value", MakeLine(ltDELAY, 0, 0, 100, 0, 0, 0),
         MakeLine(ltDELAY, Junk, Junk, 100, Junk, Junk, Junk), true},
        {"delay other value", MakeLine(ltDELAY, 0, 0, 100, 0, 0, 0), MakeLine(ltDELAY, 0, 0, 101, 0, 0, 0),
         false},
        {"other type, same fields", MakeLine(ltGOTO, 7, 0, 7, 0, 0, 0), MakeLine(ltDELAY, 7, 0, 7, 0, 0, 0),
         false},
        {"unknown type, identical", MakeLine(Unknown, 1, 2, 3, 0, 1, 4), MakeLine(Unknown, 1, 2, 3, 0, 1, 4),
         true},
        {"unknown type, one field", MakeLine(Unknown, 1, 2, 3, 0, 1, 4), MakeLine(Unknown, 1, 2, 3, 0, 1, 5),
         false},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(SameProgramCode(Case.A, Case.B), Case.Same) << Case.Name;
        EXPECT_EQ(SameProgramCode(Case.B, Case.A), Case.Same) << Case.Name << ", reversed";
    }
    TProgramLine Commented = MakeLine(ltGOTO, 5, 0, 0, 0, 0, 0);
    Commented.Comment = "pump";
    Commented.ParseError = "stale";
    Commented.RValue2.ParseError = "stale";
    EXPECT_TRUE(SameProgramCode(Commented, MakeLine(ltGOTO, 5, 0, 0, 0, 0, 0)))
        << "comments and messages are no code";
}

// ---------------------------------------------------------------------------------------------
// Every four-byte value decodes, renders and compiles back to its meaningful bits. A decoded line
// within the language parses back from its text to the same codes; one outside (a GOTO to 63, an
// operation 5, an lvalue 54, a constant above 255) renders to a text that does not parse, so a
// settings file can never recall it as a different line.

bool InLanguage(const TProgramLine& Line) {
    const auto RValueOk = [](const TRValueSpec& Spec) { return Spec.EncodedSpec <= 314; };
    switch (Line.LineType) {
        case ltGOTO:
            return Line.GoToLine <= MaxGoToLine;
        case ltIF:
            return Line.GoToLine <= MaxGoToLine && RValueOk(Line.RValue1) && RValueOk(Line.RValue2);
        case ltSET:
            return Line.LValue.EncodedSpec < FirstAnalogCode && Line.Operation.EncodedSpec <= 4 &&
                   RValueOk(Line.RValue1) && RValueOk(Line.RValue2);
        case ltDELAY:
            return RValueOk(Line.RValue1);
        default:
            return true;
    }
}

// The bits each line type uses; the rest is ignored on decoding.
const TCompiledLineBytes UsedBits[5] = {
    {0x07, 0x00, 0x00, 0x00}, {0x07, 0x3F, 0x00, 0x00}, {0x1F, 0xFF, 0xFF, 0xFF},
    {0x3F, 0xFF, 0xFF, 0xFF}, {0x0F, 0xFF, 0x00, 0x00},
};

TEST(CompiledLineProperty, EveryByteValueDecodesRendersAndCompilesBack) {
    std::mt19937 Random(4711);
    std::uniform_int_distribution<int> AnyByte(0, 255);
    int InLanguageCount = 0;
    for (int Byte0 = 0; Byte0 < 256; ++Byte0)
        for (int Byte1 = 0; Byte1 < 256; ++Byte1)
            for (int Sample = 0; Sample < 6; ++Sample) {
                const TCompiledLineBytes Bytes{static_cast<uint8_t>(Byte0), static_cast<uint8_t>(Byte1),
                                               static_cast<uint8_t>(AnyByte(Random)),
                                               static_cast<uint8_t>(AnyByte(Random))};
                TProgramLine Line;
                Line.Comment = "c";
                const bool Decoded = CompiledToProgramLine(Line, Bytes);
                const std::string Text = ProgramLineToText(Line);
                ASSERT_EQ(Decoded, (Byte0 & 7) <= 4);
                ASSERT_FALSE(Text.empty());
                if (!Decoded) continue;

                const TCompiledLineBytes& Mask = UsedBits[Byte0 & 7];
                const TCompiledLineBytes Compiled = CompileProgramLine(Line);
                for (size_t Index = 0; Index < 4; ++Index)
                    ASSERT_EQ(Compiled[Index], Bytes[Index] & Mask[Index]) << Text << " byte " << Index;

                TProgramLine Reparsed;
                Reparsed.Comment = "c";
                TextToProgramLine(Reparsed, Text);
                if (InLanguage(Line)) {
                    ++InLanguageCount;
                    ASSERT_EQ(Reparsed, Line) << Text;
                } else {
                    ASSERT_NE(Reparsed.ParseError, "") << Text;
                }
            }
    EXPECT_GT(InLanguageCount, 100000);
}

}  // namespace

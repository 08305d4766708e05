// The program-line language: number conversion, parser messages and codes, canonical rendering.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Device_VL.h"
#include "TestProgramLines.h"

using veltest::MakeLine;

namespace {

struct TNumberCase {
    std::string Text;
    bool Valid;
    int32_t Value;
};

class NumberConversion : public ::testing::TestWithParam<TNumberCase> {};

TEST_P(NumberConversion, ConvertsOrRejects) {
    const TNumberCase& Case = GetParam();
    int32_t Value = 12345;
    EXPECT_EQ(TryStrToInt(Case.Text, Value), Case.Valid);
    if (Case.Valid) {
        EXPECT_EQ(Value, Case.Value);
    }
    EXPECT_EQ(StrToIntDef(Case.Text, -777), Case.Valid ? Case.Value : -777);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NumberConversion,
    ::testing::Values(
        TNumberCase{"0", true, 0}, TNumberCase{"42", true, 42}, TNumberCase{"   7", true, 7},
        TNumberCase{"+5", true, 5}, TNumberCase{"-5", true, -5}, TNumberCase{"007", true, 7},
        TNumberCase{"$ff", true, 255}, TNumberCase{"$FF", true, 255}, TNumberCase{"x10", true, 16},
        TNumberCase{"X10", true, 16}, TNumberCase{"0x1f", true, 31}, TNumberCase{"0X1F", true, 31},
        TNumberCase{"-$10", true, -16}, TNumberCase{"2147483647", true, 2147483647},
        TNumberCase{"-2147483648", true, INT32_MIN}, TNumberCase{"$7FFFFFFF", true, 2147483647},
        // Hex is a 32-bit pattern: the top half wraps to negative.
        TNumberCase{"$FFFFFFFF", true, -1}, TNumberCase{"$80000000", true, INT32_MIN},
        TNumberCase{"-$80000000", true, INT32_MIN}, TNumberCase{"-$FFFFFFFF", true, 1},
        TNumberCase{"$000000000001", true, 1}, TNumberCase{"00000000002147483647", true, 2147483647},
        TNumberCase{"", false, 0}, TNumberCase{" ", false, 0}, TNumberCase{"+", false, 0},
        TNumberCase{"-", false, 0}, TNumberCase{"$", false, 0}, TNumberCase{"0x", false, 0},
        TNumberCase{"x", false, 0}, TNumberCase{"5 ", false, 0}, TNumberCase{"5x", false, 0},
        TNumberCase{"\t5", false, 0}, TNumberCase{"- 5", false, 0}, TNumberCase{"+-5", false, 0},
        TNumberCase{"$-5", false, 0}, TNumberCase{"$G1", false, 0}, TNumberCase{"1.5", false, 0},
        TNumberCase{"2147483648", false, 0}, TNumberCase{"-2147483649", false, 0},
        TNumberCase{"99999999999999999999999", false, 0}, TNumberCase{"$100000000", false, 0},
        TNumberCase{"$FFFFFFFFFFFFFFFFFFFF", false, 0}, TNumberCase{"0x-1", false, 0}));

// Expected outcome of a parse: the message (empty when valid) and every code of the line; the
// defaults are those of the cleared line.
struct TParseCase {
    std::string Text;
    std::string Error;
    TProgramLineType Type = ltNOP;
    int32_t GoTo = 0;
    int32_t LValue = 0;
    int32_t RValue1 = 0;
    int32_t Comparison = 0;
    int32_t Operation = 3;
    int32_t RValue2 = 59;
};

void PrintTo(const TParseCase& Case, std::ostream* Out) {
    *Out << '"' << Case.Text << '"';
}

class ParseLine : public ::testing::TestWithParam<TParseCase> {};

TEST_P(ParseLine, GivesMessageAndCodes) {
    const TParseCase& Case = GetParam();
    TProgramLine Line;
    Line.Comment = "kept";
    Line.ParseError = "stale";
    Line.GoToLine = 33;
    Line.RValue2.ParseError = "stale";
    TextToProgramLine(Line, Case.Text);
    EXPECT_EQ(Line.ParseError, Case.Error);
    EXPECT_EQ(Line.Comment, "kept");
    EXPECT_EQ(Line.LineType, Case.Type);
    EXPECT_EQ(Line.GoToLine, Case.GoTo);
    EXPECT_EQ(Line.LValue.EncodedSpec, Case.LValue);
    EXPECT_EQ(Line.RValue1.EncodedSpec, Case.RValue1);
    EXPECT_EQ(Line.Comparison.EncodedSpec, Case.Comparison);
    EXPECT_EQ(Line.Operation.EncodedSpec, Case.Operation);
    EXPECT_EQ(Line.RValue2.EncodedSpec, Case.RValue2);
    if (Case.Error.empty()) {
        EXPECT_TRUE(Line.RValue2.ParseError.empty());
    }
}

const std::string BadStatement = "Invalid statement at beginning of line";
const std::string BadGoTo = "Invalid line number after GOTO";

INSTANTIATE_TEST_SUITE_P(
    Statements, ParseLine,
    ::testing::Values(
        TParseCase{"", BadStatement}, TParseCase{"   ", BadStatement}, TParseCase{"\t\r\n", BadStatement},
        TParseCase{"stop", BadStatement}, TParseCase{"NOP", ""}, TParseCase{"nop anything", ""},
        TParseCase{"nope", ""}, TParseCase{"  \tNoP\t ", ""}, TParseCase{"goto 60", "", ltGOTO, 60},
        TParseCase{"goto 0", "", ltGOTO, 0}, TParseCase{"goto 61", BadGoTo, ltGOTO},
        TParseCase{"goto -1", BadGoTo, ltGOTO}, TParseCase{"goto5", "", ltGOTO, 5},
        TParseCase{"goto   5", "", ltGOTO, 5}, TParseCase{"goto $3C", "", ltGOTO, 60},
        TParseCase{"GOTO x3c", "", ltGOTO, 60}, TParseCase{"goto 5 x", BadGoTo, ltGOTO},
        TParseCase{"goto", BadGoTo, ltGOTO}, TParseCase{"goto\t5", BadGoTo, ltGOTO},
        TParseCase{"goto 99999999999", BadGoTo, ltGOTO},
        TParseCase{"if ain0 > 100 goto 7", "", ltIF, 7, 0, 54, 3, 3, 159},
        TParseCase{"if ain0>100 goto 7", "Invalid rvalue specifier (AIN0>100). ", ltIF},
        TParseCase{"if ain0 >= 5 goto 1", "Invalid comparison operation (>=). ", ltIF, 0, 0, 54},
        TParseCase{"if ain0 == 5 goto 1", "Invalid comparison operation (==). ", ltIF, 0, 0, 54},
        TParseCase{"if ain0 > 5", "Missing GOTO", ltIF, 0, 0, 54, 3, 3, 64},
        TParseCase{"if ain0 > 5 go 3", "Missing GOTO", ltIF, 0, 0, 54, 3, 3, 64},
        TParseCase{"if ain0 > 5 goto3", "", ltIF, 3, 0, 54, 3, 3, 64},
        TParseCase{"if ain0 > 5 goto 3 rest", "", ltIF, 3, 0, 54, 3, 3, 64},
        TParseCase{"if ain0 > 5 goto 61", BadGoTo, ltIF, 0, 0, 54, 3, 3, 64},
        TParseCase{"if ain0 > 5 goto", BadGoTo, ltIF, 0, 0, 54, 3, 3, 64},
        TParseCase{"if ain7 > 5 goto 1", "Invalid rvalue specifier (AIN7). ", ltIF},
        TParseCase{"if port6 > 5 goto 1", "Invalid rvalue specifier (PORT6). ", ltIF},
        TParseCase{"if", "Invalid rvalue specifier (). ", ltIF},
        TParseCase{"if 255 = pin47 goto 60", "", ltIF, 60, 0, 314, 0, 3, 53},
        TParseCase{"if  pin1   <>  $10   goto   2", "", ltIF, 2, 0, 7, 1, 3, 75},
        TParseCase{"if ain0 < x0 goto 0", "", ltIF, 0, 0, 54, 2, 3, 59},
        TParseCase{"if ain0\t> 5 goto 1", "Invalid rvalue specifier (AIN0\t>). ", ltIF},
        TParseCase{"set port0 = 5", "", ltSET, 0, 0, 64},
        TParseCase{"set pin3 = pin4 and 1", "", ltSET, 0, 9, 10, 0, 2, 60},
        TParseCase{"set port6 = 1", "Invalid port number (PORT6). ", ltSET},
        TParseCase{"set port-1 = 1", "Invalid port number (PORT-1). ", ltSET},
        TParseCase{"set portx = 1", "Invalid port number (PORTX). ", ltSET},
        TParseCase{"set pin48 = 1", "Invalid pin number (PIN48). ", ltSET},
        TParseCase{"set ain0 = 1", "Invalid lvalue specifier (AIN0). ", ltSET},
        TParseCase{"set 5 = 1", "Invalid lvalue specifier (5). ", ltSET},
        TParseCase{"set", "Invalid lvalue specifier (). ", ltSET},
        TParseCase{"set port0 5", "Missing \"=\" in SET statement", ltSET},
        TParseCase{"set pin2", "Missing \"=\" in SET statement", ltSET, 0, 8},
        TParseCase{"set port0 =5", "Invalid rvalue specifier (). ", ltSET},
        TParseCase{"set port0 == 5", "", ltSET, 0, 0, 64},
        TParseCase{"set port0 = 5 6", "Invalid operation (6). ", ltSET, 0, 0, 64, 0, 0},
        TParseCase{"set port0 = 5 and", "Invalid rvalue specifier (). ", ltSET, 0, 0, 64, 0, 2, 0},
        TParseCase{"set port0 = 256", "Invalid rvalue specifier (256). ", ltSET},
        TParseCase{"set port0 = -1", "Invalid rvalue specifier (-1). ", ltSET},
        TParseCase{"set port0 = $ff", "", ltSET, 0, 0, 314},
        TParseCase{"set port5 = 255 xor 255", "", ltSET, 0, 5, 314, 0, 4, 314},
        TParseCase{"set port1 = pin5 + ain2 extra words", "", ltSET, 0, 1, 11, 0, 0, 56},
        TParseCase{"set pin47 = port5 - 0", "", ltSET, 0, 53, 5, 0, 1, 59},
        TParseCase{"SET Pin0 = Ain4 xor 3", "", ltSET, 0, 6, 58, 0, 4, 62},
        TParseCase{"set pin0012 = 1", "", ltSET, 0, 7, 60},
        TParseCase{"set port1x = 1", "Invalid port number (PORT1X). ", ltSET},
        TParseCase{"setport0 = 1", "", ltSET, 0, 0, 60},
        TParseCase{"set port0 = 1 or pin\xC3\xA9", "Invalid rvalue specifier (PIN\xC3\xA9). ", ltSET, 0, 0,
                   60, 0, 3, 0},
        TParseCase{"delay 200", "", ltDELAY, 0, 0, 259}, TParseCase{"delay0", "", ltDELAY, 0, 0, 59},
        TParseCase{"delay pin3 later", "", ltDELAY, 0, 0, 9},
        TParseCase{"delay", "Invalid rvalue specifier (). ", ltDELAY},
        TParseCase{"delay ain5", "Invalid rvalue specifier (AIN5). ", ltDELAY}));

// A valid line that leaves text unread says so; a complete line or one in error has no hint.
// A hint names what a valid line leaves unread, or the range an error's own words leave out.
TEST(ParseLine, HintNamesTextAfterTheLineOrTheRangeAnErrorMisses) {
    const std::string GoTo = "GOTO takes a line number from 0 to 60 and nothing after it. ";
    const std::string Constants = "Constants are 0 to 255. ";
    const std::pair<std::string, std::string> Cases[] = {
        {"if PIN3 = 1 goto 2 extra", "Text after the line is ignored (extra). "},
        {"nop anything", "Text after the line is ignored (anything). "},
        {"nope", "Text after the line is ignored (e). "},
        {" \tdelay pin3  Later On ", "Text after the line is ignored (Later On). "},
        {"set port1 = pin5 + ain2 extra words", "Text after the line is ignored (extra words). "},
        {"set port0 = 5", ""},
        {"if ain0 > 5 goto3", ""},
        {"goto 5", ""},
        {"goto 5 x", GoTo},
        {"if ain0 > 5 goto 61", GoTo},
        {"set port0 = 5 6", ""},
        {"if AIN0 > 300 goto 2", Constants},
        {"set port0 = -1", Constants},
        {"set PIN300 = 1", ""},
    };
    for (const auto& [Text, Expected] : Cases) {
        TProgramLine Line;
        std::string Hint = "stale";
        TextToProgramLine(Line, Text, Hint);
        EXPECT_EQ(Hint, Expected) << Text;
    }
}

struct TRenderCase {
    std::string Text;
    std::string Canonical;
};

class RenderLine : public ::testing::TestWithParam<TRenderCase> {};

TEST_P(RenderLine, GivesCanonicalText) {
    TProgramLine Line;
    TextToProgramLine(Line, GetParam().Text);
    ASSERT_EQ(Line.ParseError, "");
    EXPECT_EQ(ProgramLineToText(Line), GetParam().Canonical);
}

INSTANTIATE_TEST_SUITE_P(Lines, RenderLine,
                         ::testing::Values(TRenderCase{"NOP whatever", "nop"},
                                           TRenderCase{"goto $3C", "goto 60"},
                                           TRenderCase{"Set Port0 = 5", "set PORT0 = 5 OR 0"},
                                           TRenderCase{"SET Pin0 = Ain4 xor 3", "set PIN0 = AIN4 XOR 3"},
                                           TRenderCase{"if  ain0   >  x64 goto 07", "if AIN0 > 100 goto 7"},
                                           TRenderCase{"if 0x0 <> pin0047 goto 1", "if 0 <> PIN4 goto 1"},
                                           TRenderCase{"delay $C8", "delay 200"},
                                           TRenderCase{"set pin0012 = +1 - -0", "set PIN1 = 1 - 0"}));

TEST(ProgramLine, EmptyRecordIsNopAndClearedLineKeepsComment) {
    EXPECT_EQ(ProgramLineToText(TProgramLine{}), "nop");

    TProgramLine Line;
    TextToProgramLine(Line, "if ain0 > 5 goto 61");
    Line.Comment = "pump";
    ClearProgramLine(Line);
    TProgramLine Expected;
    Expected.Comment = "pump";
    Expected.Operation.EncodedSpec = 3;
    Expected.RValue2.EncodedSpec = 59;
    EXPECT_EQ(Line, Expected);
}

TEST(ProgramLine, CopyOwnsItsTexts) {
    TProgramLine Original;
    TextToProgramLine(Original, "set pin48 = 1");
    Original.Comment = "valve";
    Original.RValue1.ParseError = "r1";
    Original.RValue2.ParseError = "r2";
    Original.Comparison.ParseError = "c";
    Original.Operation.ParseError = "o";

    TProgramLine Copy = Original;
    for (std::string* Text :
         {&Copy.Comment, &Copy.ParseError, &Copy.LValue.ParseError, &Copy.RValue1.ParseError,
          &Copy.RValue2.ParseError, &Copy.Comparison.ParseError, &Copy.Operation.ParseError})
        *Text += " changed";
    EXPECT_EQ(Original.Comment, "valve");
    EXPECT_EQ(Original.ParseError, "Invalid pin number (PIN48). ");
    EXPECT_EQ(Original.LValue.ParseError, "Invalid pin number (PIN48). ");
    EXPECT_EQ(Original.RValue1.ParseError, "r1");
    EXPECT_EQ(Original.RValue2.ParseError, "r2");
    EXPECT_EQ(Original.Comparison.ParseError, "c");
    EXPECT_EQ(Original.Operation.ParseError, "o");
}

// Codes the parser never produces but a line read back from the board can hold.
struct TOddCodeCase {
    TProgramLine Line;
    std::string Text;
};

class RenderOddCodes : public ::testing::TestWithParam<TOddCodeCase> {};

TEST_P(RenderOddCodes, RendersWithoutTableOverrunAndDoesNotParse) {
    const TOddCodeCase& Case = GetParam();
    EXPECT_EQ(ProgramLineToText(Case.Line), Case.Text);
    TProgramLine Reparsed;
    TextToProgramLine(Reparsed, Case.Text);
    if (!Case.Text.empty()) {
        EXPECT_NE(Reparsed.ParseError, "") << "would recall as another line";
    }
}

INSTANTIATE_TEST_SUITE_P(
    FromBoard, RenderOddCodes,
    ::testing::Values(TOddCodeCase{MakeLine(ltGOTO, 63, 0, 0, 0, 3, 59), "goto 63"},
                      TOddCodeCase{MakeLine(ltSET, 0, 0, 60, 0, 5, 59), "set PORT0 = 1 ?5 0"},
                      TOddCodeCase{MakeLine(ltSET, 0, 1, 60, 0, 7, 59), "set PORT1 = 1 ?7 0"},
                      TOddCodeCase{MakeLine(ltSET, 0, 54, 60, 0, 3, 59), "set  = 1 OR 0"},
                      TOddCodeCase{MakeLine(ltSET, 0, 63, 60, 0, 3, 59), "set  = 1 OR 0"},
                      TOddCodeCase{MakeLine(ltSET, 0, 0, 315, 0, 3, 511), "set PORT0 = 256 OR 452"},
                      TOddCodeCase{MakeLine(ltIF, 5, 0, 0, 9, 3, 59), "if PORT0 ?9 0 goto 5"},
                      TOddCodeCase{MakeLine(ltIF, 5, 0, -1, -2, 3, 59), "if  ?-2 0 goto 5"},
                      TOddCodeCase{MakeLine(ltDELAY, 0, 0, 400, 0, 3, 59), "delay 341"},
                      TOddCodeCase{MakeLine(static_cast<TProgramLineType>(9), 0, 0, 0, 0, 3, 59), ""}));

TEST(OperandText, SymbolsOutsideTheTables) {
    EXPECT_EQ(ComparisonToText(TComparisonSpec{4, {}}), "?4");
    EXPECT_EQ(ComparisonToText(TComparisonSpec{INT32_MIN, {}}), "?-2147483648");
    EXPECT_EQ(OperationToText(TOperationSpec{5, {}}), "?5");
    EXPECT_EQ(RValueToText(TRValueSpec{INT32_MAX, {}}), "2147483588");
    EXPECT_EQ(LValueToText(TLValueSpec{-1, {}}), "");
}

// ---------------------------------------------------------------------------------------------
// Round trip: whatever the parser accepts renders to a text that parses to the same line.

std::string Pick(std::mt19937& Random, const std::vector<std::string>& Choices) {
    return Choices[std::uniform_int_distribution<size_t>(0, Choices.size() - 1)(Random)];
}

int Between(std::mt19937& Random, int Low, int High) {
    return std::uniform_int_distribution<int>(Low, High)(Random);
}

std::string RandomCase(std::mt19937& Random, std::string Text) {
    for (char& C : Text)
        if (Between(Random, 0, 1)) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    return Text;
}

std::string NumberText(std::mt19937& Random, int Value) {
    char Buffer[32];
    const char* Formats[] = {"%d", "$%x", "$%X", "x%x", "0x%X", "%03d", "+%d"};
    std::snprintf(Buffer, sizeof Buffer, Formats[Between(Random, 0, 6)], Value);
    return Buffer;
}

// Mostly valid operands, with out-of-range numbers now and then.
std::string RandomOperand(std::mt19937& Random) {
    switch (Between(Random, 0, 3)) {
        case 0:
            return RandomCase(Random, "port") + NumberText(Random, Between(Random, 0, 6));
        case 1:
            return RandomCase(Random, "pin") + NumberText(Random, Between(Random, 0, 48));
        case 2:
            return RandomCase(Random, "ain") + std::to_string(Between(Random, 0, 5));
        default:
            return NumberText(Random, Between(Random, -1, 256));
    }
}

std::string Blanks(std::mt19937& Random) {
    return std::string(static_cast<size_t>(Between(Random, 1, 3)), ' ');
}

std::string RandomGrammarLine(std::mt19937& Random) {
    const std::string Tail = Between(Random, 0, 3) == 0 ? " trailing words" : "";
    switch (Between(Random, 0, 4)) {
        case 0:
            return RandomCase(Random, "nop") + Tail;
        case 1:
            return RandomCase(Random, "goto") + Blanks(Random) + NumberText(Random, Between(Random, -1, 61));
        case 2:
            return RandomCase(Random, "if") + Blanks(Random) + RandomOperand(Random) + Blanks(Random) +
                   Pick(Random, {"=", "<>", "<", ">", ">="}) + Blanks(Random) + RandomOperand(Random) +
                   Blanks(Random) + RandomCase(Random, "goto") + Blanks(Random) +
                   NumberText(Random, Between(Random, 0, 61)) + Tail;
        case 3: {
            std::string Text = RandomCase(Random, "set") + Blanks(Random) + RandomOperand(Random) +
                               Blanks(Random) + "=" + Blanks(Random) + RandomOperand(Random);
            if (Between(Random, 0, 2) != 0)
                Text += Blanks(Random) +
                        RandomCase(Random, Pick(Random, {"+", "-", "and", "or", "xor", "nand"})) +
                        Blanks(Random) + RandomOperand(Random) + Tail;
            return Text;
        }
        default:
            return RandomCase(Random, "delay") + Blanks(Random) + RandomOperand(Random) + Tail;
    }
}

std::string RandomTokenSoup(std::mt19937& Random) {
    static const std::vector<std::string> Tokens = {
        "nop", "goto", "if", "set", "delay", "port", "pin", "ain", "=",  "==",   "<>",      "<",
        ">",   "+",    "-",  "and", "or",    "xor",  "$",   "x",   "0x", "0",    "1",       "5",
        "9",   "f",    "47", "60",  "255",   " ",    " ",   " ",   "\t", "\x01", "\xC3\xA9"};
    std::string Text;
    const int Count = Between(Random, 0, 12);
    for (int Index = 0; Index < Count; ++Index) Text += Pick(Random, Tokens);
    return Text;
}

bool IsOneMessage(const std::string& Error) {
    if (Error == BadStatement || Error == BadGoTo || Error == "Missing GOTO" ||
        Error == "Missing \"=\" in SET statement")
        return true;
    for (const char* Head :
         {"Invalid port number (", "Invalid pin number (", "Invalid lvalue specifier (",
          "Invalid rvalue specifier (", "Invalid comparison operation (", "Invalid operation ("})
        if (Error.starts_with(Head) && Error.ends_with("). ")) return true;
    return false;
}

TEST(ProgramTextProperty, AcceptedLinesRenderToTextsThatParseBackTheSame) {
    std::mt19937 Random(20240611);
    int Accepted = 0;
    for (int Round = 0; Round < 60000; ++Round) {
        const std::string Text = Round % 2 ? RandomGrammarLine(Random) : RandomTokenSoup(Random);
        TProgramLine Line;
        Line.Comment = "c";
        TextToProgramLine(Line, Text);
        ASSERT_EQ(Line.Comment, "c");
        if (!Line.ParseError.empty()) {
            ASSERT_TRUE(IsOneMessage(Line.ParseError)) << Text << " -> " << Line.ParseError;
            continue;
        }
        ++Accepted;
        const std::string Canonical = ProgramLineToText(Line);
        TProgramLine Reparsed;
        Reparsed.Comment = "c";
        TextToProgramLine(Reparsed, Canonical);
        ASSERT_EQ(Reparsed, Line) << Text << " -> " << Canonical;
        ASSERT_EQ(ProgramLineToText(Reparsed), Canonical);
    }
    EXPECT_GT(Accepted, 10000);  // the generator must exercise the accepting paths
}

}  // namespace

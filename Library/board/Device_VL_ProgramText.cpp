// Program lines as text: the parser that checks what the user types and the renderer that gives
// the canonical form stored in settings files and shown in the editor.
#include <cctype>
#include <cstdint>
#include <string>

#include "Device_VL.h"

const std::array<const char*, 5> LineKeywords = {"nop", "goto", "if", "set", "delay"};
const std::array<const char*, 4> ComparisonSymbols = {"=", "<>", "<", ">"};
const std::array<const char*, 5> OperationSymbols = {"+", "-", "AND", "OR", "XOR"};

namespace {

constexpr int PortCount = 6;
constexpr int PinCount = 48;
constexpr int AnalogCount = 5;
constexpr int ConstantCount = 256;
constexpr int LastLValueCode = FirstAnalogCode - 1;
constexpr int ClearedOperation = 3;  // OR: "x OR 0" is x, so a SET without an operation means x
constexpr int ClearedRValue2 = FirstConstantCode;

// Bytes of multi-byte UTF-8 sequences are all >= 0x80, so they are never trimmed nor case-changed.
bool IsTrimmed(char C) {
    return static_cast<unsigned char>(C) <= 32;
}

std::string Trim(const std::string& Text) {
    size_t First = 0;
    size_t Last = Text.size();
    while (First < Last && IsTrimmed(Text[First])) ++First;
    while (Last > First && IsTrimmed(Text[Last - 1])) --Last;
    return Text.substr(First, Last - First);
}

std::string LowerCase(std::string Text) {
    for (char& C : Text)
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    return Text;
}

std::string UpperCase(std::string Text) {
    for (char& C : Text)
        if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
    return Text;
}

bool StartsWith(const std::string& Text, const char* Prefix) {
    return Text.starts_with(Prefix);
}

// Takes the next blank-separated word off Remainder (which is kept trimmed). Only U+0020
// separates: a tab inside a word stays part of it.
std::string NextWord(std::string& Remainder) {
    const size_t Blank = Remainder.find(' ');
    if (Blank == std::string::npos) {
        std::string Word = Trim(Remainder);
        Remainder.clear();
        return Word;
    }
    std::string Word = Trim(Remainder.substr(0, Blank));
    Remainder = Trim(Remainder.substr(Blank));
    return Word;
}

bool NumberInRange(const std::string& Text, int32_t Low, int32_t High, int32_t& Value) {
    return TryStrToInt(Text, Value) && Value >= Low && Value <= High;
}

// The operand number behind a prefix: at most three characters are read ("PIN0012" is pin 1).
// Counting bytes rather than code points gives the same verdict: a non-ASCII byte among the
// first three fails the conversion either way.
bool IndexAfterPrefix(const std::string& Text, size_t PrefixLength, int32_t Count, int32_t& Value) {
    return NumberInRange(Text.substr(PrefixLength, 3), 0, Count - 1, Value);
}

}  // namespace

void ClearProgramLine(TProgramLine& Line) {
    Line.LineType = ltNOP;
    Line.Comparison = TComparisonSpec{};
    Line.GoToLine = 0;
    Line.Operation = TOperationSpec{ClearedOperation, {}};
    Line.ParseError.clear();
    Line.LValue = TLValueSpec{};
    Line.RValue1 = TRValueSpec{};
    Line.RValue2 = TRValueSpec{ClearedRValue2, {}};
}

void TextToLValue(TLValueSpec& Spec, const std::string& Text) {
    const std::string S = UpperCase(Trim(Text));
    Spec.ParseError.clear();
    Spec.EncodedSpec = 0;
    int32_t Number = 0;
    if (StartsWith(S, "PORT")) {
        if (IndexAfterPrefix(S, 4, PortCount, Number))
            Spec.EncodedSpec = Number;
        else
            Spec.ParseError = "Invalid port number (" + S + "). ";
    } else if (StartsWith(S, "PIN")) {
        if (IndexAfterPrefix(S, 3, PinCount, Number))
            Spec.EncodedSpec = FirstPinCode + Number;
        else
            Spec.ParseError = "Invalid pin number (" + S + "). ";
    } else {
        Spec.ParseError = "Invalid lvalue specifier (" + S + "). ";
    }
}

void TextToRValue(TRValueSpec& Spec, const std::string& Text) {
    const std::string S = UpperCase(Trim(Text));
    Spec.ParseError.clear();
    Spec.EncodedSpec = 0;
    TLValueSpec Target;
    TextToLValue(Target, S);
    int32_t Number = 0;
    if (Target.ParseError.empty())
        Spec.EncodedSpec = Target.EncodedSpec;
    else if (StartsWith(S, "AIN") && IndexAfterPrefix(S, 3, AnalogCount, Number))
        Spec.EncodedSpec = FirstAnalogCode + Number;
    else if (NumberInRange(S, 0, ConstantCount - 1, Number))
        Spec.EncodedSpec = FirstConstantCode + Number;
    else
        Spec.ParseError = "Invalid rvalue specifier (" + S + "). ";
}

void TextToComparison(TComparisonSpec& Spec, const std::string& Text) {
    const std::string S = UpperCase(Trim(Text));
    Spec.ParseError.clear();
    Spec.EncodedSpec = 0;
    for (size_t Code = 0; Code < ComparisonSymbols.size(); ++Code)
        if (S == ComparisonSymbols[Code]) {
            Spec.EncodedSpec = static_cast<int32_t>(Code);
            return;
        }
    Spec.ParseError = "Invalid comparison operation (" + S + "). ";
}

void TextToOperation(TOperationSpec& Spec, const std::string& Text) {
    const std::string S = UpperCase(Trim(Text));
    Spec.ParseError.clear();
    Spec.EncodedSpec = 0;
    for (size_t Code = 0; Code < OperationSymbols.size(); ++Code)
        if (S == OperationSymbols[Code]) {
            Spec.EncodedSpec = static_cast<int32_t>(Code);
            return;
        }
    Spec.ParseError = "Invalid operation (" + S + "). ";
}

namespace {

// Parses one operand; on failure the line takes over its message and the parse stops.
template <typename TSpec>
bool ParseOperand(TProgramLine& Line, TSpec& Spec, void (*Parse)(TSpec&, const std::string&),
                  const std::string& Word) {
    Parse(Spec, Word);
    if (Spec.ParseError.empty()) return true;
    Line.ParseError = Spec.ParseError;
    return false;
}

const char* const BadGoToText = "Invalid line number after GOTO";

void ParseGoToTarget(TProgramLine& Line, const std::string& Text) {
    int32_t Target = 0;
    if (NumberInRange(Text, 0, MaxGoToLine, Target)) {
        Line.GoToLine = Target;
    } else {
        Line.ParseError = BadGoToText;
        Line.GoToLine = 0;
    }
}

// What an error's own words leave out: the ranges a number must keep to.
std::string ErrorHint(const TProgramLine& Line, const std::string& Typed) {
    if (Line.ParseError == BadGoToText)
        return "GOTO takes a line number from 0 to " + std::to_string(MaxGoToLine) +
               " and nothing after it. ";
    const auto alnum = [&](size_t At) {
        return At < Typed.size() && std::isalnum(static_cast<unsigned char>(Typed[At]));
    };
    for (size_t I = 0; I < Typed.size(); ++I) {
        // Numbers that stand alone, not those of PIN300 or AIN7.
        if (I > 0 && alnum(I - 1)) continue;
        size_t End = I + (Typed[I] == '-' ? 1 : 0);
        const size_t Digits = End;
        while (End < Typed.size() && std::isdigit(static_cast<unsigned char>(Typed[End]))) ++End;
        int32_t Number = 0;
        if (End > Digits && !alnum(End) &&
            !NumberInRange(Typed.substr(I, End - I), 0, ConstantCount - 1, Number))
            return "Constants are 0 to " + std::to_string(ConstantCount - 1) + ". ";
    }
    return {};
}

// IF and SET leave in R what follows the complete statement.
void ParseIf(TProgramLine& Line, std::string& R) {
    if (!ParseOperand(Line, Line.RValue1, TextToRValue, NextWord(R))) return;
    if (!ParseOperand(Line, Line.Comparison, TextToComparison, NextWord(R))) return;
    if (!ParseOperand(Line, Line.RValue2, TextToRValue, NextWord(R))) return;
    const char* GoTo = LineKeywords[ltGOTO];
    if (!StartsWith(R, GoTo)) {
        Line.ParseError = "Missing GOTO";
        return;
    }
    R = Trim(R.substr(std::char_traits<char>::length(GoTo)));
    ParseGoToTarget(Line, NextWord(R));
}

void ParseSet(TProgramLine& Line, std::string& R) {
    if (!ParseOperand(Line, Line.LValue, TextToLValue, NextWord(R))) return;
    // The whole word is consumed, so "=5" swallows the value and "==" passes.
    if (!NextWord(R).starts_with('=')) {
        Line.ParseError = "Missing \"=\" in SET statement";
        return;
    }
    if (!ParseOperand(Line, Line.RValue1, TextToRValue, NextWord(R))) return;
    const std::string OperationWord = NextWord(R);
    if (OperationWord.empty()) return;
    if (!ParseOperand(Line, Line.Operation, TextToOperation, OperationWord)) return;
    ParseOperand(Line, Line.RValue2, TextToRValue, NextWord(R));
}

}  // namespace

void TextToProgramLine(TProgramLine& Line, const std::string& Text) {
    std::string Ignored;
    TextToProgramLine(Line, Text, Ignored);
}

void TextToProgramLine(TProgramLine& Line, const std::string& Text, std::string& Hint) {
    Line.ParseError.clear();
    Hint.clear();
    const std::string Typed = Trim(Text);
    const std::string S = LowerCase(Typed);
    ClearProgramLine(Line);

    size_t Type = 0;
    while (Type < LineKeywords.size() && !StartsWith(S, LineKeywords[Type])) ++Type;
    if (Type == LineKeywords.size()) {
        Line.ParseError = "Invalid statement at beginning of line";
        return;
    }
    Line.LineType = static_cast<TProgramLineType>(Type);
    std::string R = S.substr(std::char_traits<char>::length(LineKeywords[Type]));

    switch (Line.LineType) {
        case ltNOP:
            R = Trim(R);
            break;
        case ltGOTO:
            // Untrimmed on purpose: the conversion skips the blanks, and anything after the
            // number makes it no number ("goto 5 x").
            ParseGoToTarget(Line, R);
            R.clear();
            break;
        case ltIF:
            R = Trim(R);
            ParseIf(Line, R);
            break;
        case ltSET:
            R = Trim(R);
            ParseSet(Line, R);
            break;
        case ltDELAY:
            R = Trim(R);
            ParseOperand(Line, Line.RValue1, TextToRValue, NextWord(R));
            break;
    }
    if (!Line.ParseError.empty()) {
        Hint = ErrorHint(Line, Typed);
        return;
    }
    // The line is complete without the rest, which it keeps as it was typed: the renderer, the
    // settings file and the board never see it, so the user is told.
    if (Line.ParseError.empty() && !R.empty())
        Hint = "Text after the line is ignored (" + Typed.substr(Typed.size() - R.size()) + "). ";
}

// Codes outside the code space render empty (lvalue) or as an out-of-range constant (rvalue),
// and symbols outside the tables as "?<code>": none of these parse, so a line read from the
// board that holds them can be shown and saved but never silently becomes another line.
std::string LValueToText(const TLValueSpec& Spec) {
    const int32_t Code = Spec.EncodedSpec;
    if (Code >= 0 && Code < FirstPinCode) return "PORT" + std::to_string(Code);
    if (Code >= FirstPinCode && Code <= LastLValueCode) return "PIN" + std::to_string(Code - FirstPinCode);
    return {};
}

std::string RValueToText(const TRValueSpec& Spec) {
    const int32_t Code = Spec.EncodedSpec;
    if (Code < FirstAnalogCode) return LValueToText(TLValueSpec{Code, {}});
    if (Code < FirstConstantCode) return "AIN" + std::to_string(Code - FirstAnalogCode);
    return std::to_string(static_cast<int64_t>(Code) - FirstConstantCode);
}

std::string ComparisonToText(const TComparisonSpec& Spec) {
    const int32_t Code = Spec.EncodedSpec;
    if (Code >= 0 && static_cast<size_t>(Code) < ComparisonSymbols.size()) return ComparisonSymbols[Code];
    return std::string("?").append(std::to_string(Code));
}

std::string OperationToText(const TOperationSpec& Spec) {
    const int32_t Code = Spec.EncodedSpec;
    if (Code >= 0 && static_cast<size_t>(Code) < OperationSymbols.size()) return OperationSymbols[Code];
    return std::string("?").append(std::to_string(Code));
}

std::string ProgramLineToText(const TProgramLine& Line) {
    switch (Line.LineType) {
        case ltNOP:
            return LineKeywords[ltNOP];
        case ltGOTO:
            return std::string(LineKeywords[ltGOTO]) + " " + std::to_string(Line.GoToLine);
        case ltIF:
            return std::string(LineKeywords[ltIF]) + " " + RValueToText(Line.RValue1) + " " +
                   ComparisonToText(Line.Comparison) + " " + RValueToText(Line.RValue2) + " " +
                   LineKeywords[ltGOTO] + " " + std::to_string(Line.GoToLine);
        case ltSET:
            return std::string(LineKeywords[ltSET]) + " " + LValueToText(Line.LValue) + " = " +
                   RValueToText(Line.RValue1) + " " + OperationToText(Line.Operation) + " " +
                   RValueToText(Line.RValue2);
        case ltDELAY:
            return std::string(LineKeywords[ltDELAY]) + " " + RValueToText(Line.RValue1);
    }
    return {};
}

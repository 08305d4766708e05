#include "TestProgramLines.h"

#include <cstdio>

namespace veltest {

TProgramLine Parsed(const std::string& Text, const std::string& Comment) {
    TProgramLine Line;
    TextToProgramLine(Line, Text);
    Line.Comment = Comment;
    return Line;
}

TProgramLine MakeLine(TProgramLineType Type, int32_t GoTo, int32_t LValue, int32_t R1, int32_t Cmp,
                      int32_t Op, int32_t R2) {
    TProgramLine Line;
    Line.LineType = Type;
    Line.GoToLine = GoTo;
    Line.LValue.EncodedSpec = LValue;
    Line.RValue1.EncodedSpec = R1;
    Line.Comparison.EncodedSpec = Cmp;
    Line.Operation.EncodedSpec = Op;
    Line.RValue2.EncodedSpec = R2;
    return Line;
}

std::string WriteCommand(int LineNumber, const TCompiledLineBytes& Bytes) {
    char Buffer[32];
    std::snprintf(Buffer, sizeof Buffer, "PLCWR%d %02X%02X%02X%02X", LineNumber, Bytes[0], Bytes[1], Bytes[2],
                  Bytes[3]);
    return Buffer;
}

}  // namespace veltest

void PrintTo(const TProgramLine& L, std::ostream* Out) {
    *Out << "{type " << int(L.LineType) << ", goto " << L.GoToLine << ", lvalue " << L.LValue.EncodedSpec
         << ", rvalues " << L.RValue1.EncodedSpec << "/" << L.RValue2.EncodedSpec << ", comparison "
         << L.Comparison.EncodedSpec << ", operation " << L.Operation.EncodedSpec << ", errors '"
         << L.LValue.ParseError << L.RValue1.ParseError << L.RValue2.ParseError << L.Comparison.ParseError
         << L.Operation.ParseError << L.ParseError << "', comment '" << L.Comment << "'}";
}

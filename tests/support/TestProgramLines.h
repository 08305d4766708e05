#pragma once
// Program lines for tests: parsed from text, built from raw codes, and printed field by field.
#include <cstdint>
#include <ostream>
#include <string>

#include "Device_VL.h"

namespace veltest {

// Text parsed into a line (its ParseError set when the text is no line) carrying Comment.
TProgramLine Parsed(const std::string& Text, const std::string& Comment = "");
// A line with the given codes, including ones no parser produces.
TProgramLine MakeLine(TProgramLineType Type, int32_t GoTo, int32_t LValue, int32_t R1, int32_t Cmp,
                      int32_t Op, int32_t R2);
// The command that downloads Bytes as line LineNumber: "PLCWR<n> XXXXXXXX".
std::string WriteCommand(int LineNumber, const TCompiledLineBytes& Bytes);

}  // namespace veltest

// Readable failures: every field of a line.
void PrintTo(const TProgramLine& Line, std::ostream* Out);

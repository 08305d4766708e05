// Program-line text, as the user types it or a settings file holds it. An accepted line has codes
// inside the language's ranges, renders to a canonical text that parses back to the same codes and
// renders the same again, and compiles to four bytes that decode to the same codes. The operand
// parsers on their own keep the same promise for their word.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Device_VL.h"
#include "Errors.h"
#include "FuzzSupport.h"

using velfuzz::Check;
using velfuzz::Fail;

namespace {

bool InRange(int32_t Value, int32_t Low, int32_t High) {
    return Value >= Low && Value <= High;
}

constexpr int32_t LastLValueCode = FirstAnalogCode - 1;
constexpr int32_t LastRValueCode = FirstConstantCode + 255;

void CheckAcceptedCodes(const TProgramLine& Line, const std::string& Input) {
    for (const std::string* Error :
         {&Line.LValue.ParseError, &Line.RValue1.ParseError, &Line.RValue2.ParseError,
          &Line.Comparison.ParseError, &Line.Operation.ParseError})
        Check(Error->empty(), "an accepted line keeps an operand message", Input);
    Check(InRange(Line.LineType, ltNOP, ltDELAY), "line type outside the statements", Input);
    Check(InRange(Line.GoToLine, 0, MaxGoToLine), "GOTO target outside 0..60", Input);
    Check(InRange(Line.LValue.EncodedSpec, 0, LastLValueCode), "lvalue code outside 0..53", Input);
    Check(InRange(Line.RValue1.EncodedSpec, 0, LastRValueCode), "first rvalue outside 0..314", Input);
    Check(InRange(Line.RValue2.EncodedSpec, 0, LastRValueCode), "second rvalue outside 0..314", Input);
    Check(InRange(Line.Comparison.EncodedSpec, 0, 3), "comparison outside its table", Input);
    Check(InRange(Line.Operation.EncodedSpec, 0, 4), "operation outside its table", Input);
}

void CheckWholeLine(const std::string& Input) {
    TProgramLine Line;
    Line.Comment = "kept";
    TextToProgramLine(Line, Input);
    Check(Line.Comment == "kept", "parsing changed the comment", Input);
    const std::string Rendered = ProgramLineToText(Line);  // also for rejected lines: must not crash
    if (!Line.ParseError.empty()) return;
    CheckAcceptedCodes(Line, Input);

    TProgramLine Again;
    TextToProgramLine(Again, Rendered);
    Check(Again.ParseError.empty(), "the canonical text of an accepted line does not parse", Input);
    Check(velfuzz::SameCode(Line, Again), "the canonical text parses to other codes", Input);
    Check(ProgramLineToText(Again) == Rendered, "the canonical text is not stable", Input);

    TCompiledLineBytes Bytes{};
    try {
        Bytes = CompileProgramLine(Line);
    } catch (const std::exception&) {
        Fail("an accepted line does not compile", Input);
    }
    TProgramLine Decoded;
    Decoded.Comment = "kept";
    Check(CompiledToProgramLine(Decoded, Bytes), "the compiled line has no known type", Input);
    Check(velfuzz::SameCode(Line, Decoded), "the compiled line decodes to other codes", Input);
    Check(Decoded.Comment == "kept", "decoding changed the comment", Input);
    Check(ProgramLineToText(Decoded) == Rendered, "the decoded line renders differently", Input);
}

// An operand word that parses renders to a text that parses to the same code.
template <typename TSpec>
void CheckOperand(const std::string& Input, void (*Parse)(TSpec&, const std::string&),
                  std::string (*Render)(const TSpec&)) {
    TSpec Spec;
    Parse(Spec, Input);
    if (!Spec.ParseError.empty()) {
        Check(Spec.EncodedSpec == 0, "a rejected operand keeps a code", Input);
        return;
    }
    TSpec Again;
    Parse(Again, Render(Spec));
    Check(Again.ParseError.empty() && Again.EncodedSpec == Spec.EncodedSpec,
          "an operand's text does not parse back to its code", Input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Input = velfuzz::AsString(Data, Size);
    CheckWholeLine(Input);
    CheckOperand<TLValueSpec>(Input, TextToLValue, LValueToText);
    CheckOperand<TRValueSpec>(Input, TextToRValue, RValueToText);
    CheckOperand<TComparisonSpec>(Input, TextToComparison, ComparisonToText);
    CheckOperand<TOperationSpec>(Input, TextToOperation, OperationToText);
    return 0;
}

#include "Numbers.h"

namespace {

int HexDigitValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

}  // namespace

// Hex follows the classic convention: up to eight significant digits are taken as an unsigned
// 32-bit pattern, so "$FFFFFFFF" is -1 and "-$FFFFFFFF" is 1; anything above 0xFFFFFFFF is no
// number. Decimal must lie in the signed range. The arithmetic is unsigned so nothing overflows.
bool TryStrToInt(const std::string& Text, int32_t& Value) {
    size_t Pos = 0;
    const size_t Size = Text.size();
    while (Pos < Size && Text[Pos] == ' ') ++Pos;
    bool Negative = false;
    if (Pos < Size && (Text[Pos] == '+' || Text[Pos] == '-')) {
        Negative = Text[Pos] == '-';
        ++Pos;
    }
    bool Hex = false;
    if (Pos < Size && (Text[Pos] == '$' || Text[Pos] == 'x' || Text[Pos] == 'X')) {
        Hex = true;
        ++Pos;
    } else if (Pos + 1 < Size && Text[Pos] == '0' && (Text[Pos + 1] == 'x' || Text[Pos + 1] == 'X')) {
        Hex = true;
        Pos += 2;
    }
    if (Pos >= Size) return false;

    uint64_t Accumulated = 0;
    if (Hex) {
        for (; Pos < Size; ++Pos) {
            const int Digit = HexDigitValue(Text[Pos]);
            if (Digit < 0) return false;
            Accumulated = Accumulated * 16 + static_cast<uint64_t>(Digit);
            if (Accumulated > 0xFFFFFFFFu) return false;
        }
        uint32_t Bits = static_cast<uint32_t>(Accumulated);
        if (Negative) Bits = 0u - Bits;
        Value = static_cast<int32_t>(Bits);  // modular since C++20
        return true;
    }
    const uint64_t Limit = Negative ? 2147483648u : 2147483647u;
    for (; Pos < Size; ++Pos) {
        const char C = Text[Pos];
        if (C < '0' || C > '9') return false;
        Accumulated = Accumulated * 10 + static_cast<uint64_t>(C - '0');
        if (Accumulated > Limit) return false;
    }
    const int64_t Signed = Negative ? -static_cast<int64_t>(Accumulated) : static_cast<int64_t>(Accumulated);
    Value = static_cast<int32_t>(Signed);
    return true;
}

int32_t StrToIntDef(const std::string& Text, int32_t Default) {
    int32_t Value = 0;
    return TryStrToInt(Text, Value) ? Value : Default;
}

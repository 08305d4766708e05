#pragma once
// Numbers typed by the user or read from files and replies.
#include <cstdint>
#include <string>

// The standard integer conversion: blanks in front, a sign, decimal or hex after "$", "x", "X",
// "0x", "0X", nothing after the digits, the 32-bit signed range. False when Text is no number.
bool TryStrToInt(const std::string& Text, int32_t& Value);
// As TryStrToInt, Default when Text is no number.
int32_t StrToIntDef(const std::string& Text, int32_t Default);

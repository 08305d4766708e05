#pragma once
// The unit conversions every view of the readings shares.

// Degrees Celsius of a reading in degrees Fahrenheit (the board reports Fahrenheit).
constexpr double CelsiusOf(double DegF) {
    return (DegF - 32) * 5 / 9;
}

// The 8-bit value of a 10-bit analog reading: its top eight bits.
constexpr int EightBitsOf(int TenBits) {
    return TenBits >> 2;
}

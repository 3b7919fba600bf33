// The language's number rules: numbers to text and back, the integer part,
// and the 32-bit conversions the bitwise operators and the instruction
// counter use. None of them casts a double that may lie out of range.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Shortest digits that read back as the same double: plain decimal when
// 1e-6 <= |x| < 1e21 ("123456.5", "0.000001"), else exponent form ("1e+21",
// "1.5e-7"); "NaN", "Infinity", "-Infinity"; -0 gives "0".
std::string QZMPNumberToString(double value);

// The whole text, trimmed of white space, as a decimal number: empty gives 0;
// only "NaN", "Infinity" and "-Infinity" are special; an optional sign,
// digits with an optional fraction and exponent, nothing else (no hex, no
// locale). Anything else gives NaN.
double QZMPStringToNumber(std::u16string_view text);

// NaN gives 0; infinities and zeros stay; anything else is truncated toward
// zero.
double QZMPIntegerPart(double value);

// The value modulo 2^32 after truncation; NaN and infinities give 0.
std::uint32_t QZMPToUint32(double value);
std::int32_t QZMPToInt32(double value);

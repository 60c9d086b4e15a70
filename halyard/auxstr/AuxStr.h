#pragma once
// Small string and number routines on byte strings; positions count from 1.
#include <cstdint>
#include <string>
#include <string_view>

namespace Halyard::AuxStr {

inline constexpr char HexPrefix = '$';
inline constexpr char HexDigits[] = "0123456789ABCDEF";

std::string UpString(std::string S);
std::string LoString(std::string S);
std::string LTrim(const std::string& S);
std::string RTrim(const std::string& S);
std::string Trim(const std::string& S);
// Cuts Count characters from S at Start (1-based) and returns them.
std::string GetString(std::string& S, int Start, int Count);
std::string ReplStr(const std::string& S, int Count);
std::string ReplSpace(int Count);
std::string LStr(const std::string& S, int Width);
std::string RStr(const std::string& S, int Width);
std::string RevStr(std::string S);
int32_t StrToNum(const std::string& S);
std::string NumToHexStr(int32_t Value);
std::string NumToStr(int32_t Value);
std::string NumToStrI(int32_t Value, int Width);
std::string NumToHexStrI(int32_t Value, int Width);
std::string Bin2Hex(const std::string& Bin);
std::string Hex2Bin(const std::string& Hex);
std::string StripDecimals(std::string S);
std::string StripExponent(std::string S);

// UTF-8, walked in one place. The code point at Pos, with Pos moved past it; a malformed
// sequence (a stray or missing continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF, a sequence cut short) is -1, and Pos moves one byte.
int32_t NextCodePoint(std::string_view Text, size_t& Pos);
void AppendUtf8(std::string& Out, char32_t CodePoint);
bool ValidUtf8(std::string_view Text);
// Code points, a malformed byte counting as one.
size_t CountCodePoints(std::string_view Text);

}  // namespace Halyard::AuxStr

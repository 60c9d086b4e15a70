#include "halyard/auxstr/AuxStr.h"

#include <array>

#include <charconv>

namespace Halyard::AuxStr {

std::string UpString(std::string S) {
  for (char& c : S)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  return S;
}

std::string LoString(std::string S) {
  for (char& c : S)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return S;
}

std::string LTrim(const std::string& S) {
  size_t i = 0;
  while (i < S.size() && S[i] == ' ') ++i;
  return S.substr(i);
}

std::string RTrim(const std::string& S) {
  size_t n = S.size();
  while (n > 0 && S[n - 1] == ' ') --n;
  return S.substr(0, n);
}

std::string Trim(const std::string& S) { return LTrim(RTrim(S)); }

std::string GetString(std::string& S, int Start, int Count) {
  if (Start < 1 || Count <= 0 || static_cast<size_t>(Start) > S.size()) return {};
  size_t from = static_cast<size_t>(Start) - 1;
  std::string run = S.substr(from, static_cast<size_t>(Count));
  S.erase(from, run.size());
  return run;
}

std::string ReplStr(const std::string& S, int Count) {
  std::string r;
  if (Count <= 0) return r;
  r.reserve(S.size() * static_cast<size_t>(Count));
  for (int i = 0; i < Count; ++i) r += S;
  return r;
}

std::string ReplSpace(int Count) { return Count <= 0 ? std::string() : std::string(static_cast<size_t>(Count), ' '); }

std::string LStr(const std::string& S, int Width) {
  if (Width <= 0) return {};
  std::string r = S.substr(0, static_cast<size_t>(Width));
  r.resize(static_cast<size_t>(Width), ' ');
  return r;
}

std::string RStr(const std::string& S, int Width) {
  if (Width <= 0) return {};
  auto w = static_cast<size_t>(Width);
  if (S.size() >= w) return S.substr(S.size() - w);
  return std::string(w - S.size(), ' ') + S;
}

std::string RevStr(std::string S) { return std::string(S.rbegin(), S.rend()); }

namespace {
// The value of every character as a hexadecimal digit, -1 for none: one lookup per digit.
const std::array<int8_t, 256> kHexValue = [] {
  std::array<int8_t, 256> t;
  t.fill(-1);
  for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; ++c) t['A' + c] = t['a' + c] = static_cast<int8_t>(10 + c);
  return t;
}();

int HexValue(char c) { return kHexValue[static_cast<unsigned char>(c)]; }
}  // namespace

int32_t StrToNum(const std::string& S) {
  std::string t = Trim(S);
  size_t z = 0;
  while (z < t.size() && t[z] == '0') ++z;
  t.erase(0, z);
  if (t.empty()) return 0;
  if (t[0] == HexPrefix) {
    uint32_t acc = 0;
    for (size_t i = 1; i < t.size(); ++i) {
      int v = HexValue(t[i]);
      if (v < 0) return 0;
      acc = (acc << 4) | static_cast<uint32_t>(v);  // excess digits shift out of the 32 bits
    }
    return static_cast<int32_t>(acc);
  }
  // Signed decimal; a malformed or out-of-range text gives what parsed before the fault.
  const char* p = t.data();
  const char* end = p + t.size();
  bool neg = false;
  if (*p == '+' || *p == '-') {
    neg = *p == '-';
    ++p;
  }
  int64_t acc = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    acc = acc * 10 + (*p - '0');
    if (acc > int64_t{INT32_MAX} + 1) return 0;
    ++p;
  }
  if (neg) acc = -acc;
  if (acc > INT32_MAX || acc < INT32_MIN) return 0;
  return static_cast<int32_t>(acc);
}

std::string NumToHexStr(int32_t Value) {
  auto u = static_cast<uint32_t>(Value);
  char digits[8];
  for (int i = 7; i >= 0; --i) {
    digits[i] = HexDigits[u & 0xF];
    u >>= 4;
  }
  int first = 0;
  while (first < 8 && digits[first] == '0') ++first;
  std::string r(1, HexPrefix);
  if (first == 8) return r + "0";
  if ((8 - first) % 2 != 0) r += '0';
  r.append(digits + first, static_cast<size_t>(8 - first));
  return r;
}

std::string NumToStr(int32_t Value) { return std::to_string(Value); }

std::string NumToStrI(int32_t Value, int Width) {
  std::string s = NumToStr(Value);
  if (static_cast<int>(s.size()) < Width) s.insert(0, static_cast<size_t>(Width) - s.size(), '0');
  return s;
}

std::string NumToHexStrI(int32_t Value, int Width) {
  std::string s = NumToHexStr(Value);
  int digits = static_cast<int>(s.size()) - 1;
  if (digits < Width) s.insert(1, static_cast<size_t>(Width - digits), '0');
  return s;
}

std::string Bin2Hex(const std::string& Bin) {
  std::string r(Bin.size() * 2, '0');
  for (size_t i = 0; i < Bin.size(); ++i) {
    auto b = static_cast<unsigned char>(Bin[i]);
    r[2 * i] = HexDigits[b >> 4];
    r[2 * i + 1] = HexDigits[b & 0xF];
  }
  return r;
}

std::string Hex2Bin(const std::string& Hex) {
  std::string r((Hex.size() + 1) / 2, '\0');
  char* out = r.data();
  for (size_t i = 0; i < Hex.size(); i += 2, ++out) {
    size_t n = std::min<size_t>(2, Hex.size() - i);
    int hi = HexValue(Hex[i]);
    int lo = n == 2 ? HexValue(Hex[i + 1]) : 0;
    if (n == 2 && hi >= 0 && lo >= 0) {
      *out = static_cast<char>(hi << 4 | lo);
    } else {
      // The general rule: the pair behind "$" through StrToNum, its low eight bits.
      *out = static_cast<char>(StrToNum(std::string(1, HexPrefix) + Hex.substr(i, n)) & 0xFF);
    }
  }
  return r;
}

std::string StripDecimals(std::string S) {
  size_t point = S.find('.');
  if (point == std::string::npos) return S;
  size_t e = UpString(S).find('E');
  if (e == 0) return S;
  size_t start = e == std::string::npos ? S.size() - 1 : e - 1;
  // Leftwards from start, never beyond the decimal point.
  size_t i = start + 1;
  while (i > point) {
    char c = S[i - 1];
    if (c != '0' && c != '.') break;
    S.erase(i - 1, 1);
    --i;
  }
  return S;
}

std::string StripExponent(std::string S) {
  size_t e = UpString(S).find('E');
  if (e == std::string::npos) return S;
  size_t p = e + 1;  // 1-based position of the "E"
  while (S.size() >= p + 2 && S[p + 1] == '0') S.erase(p + 1, 1);
  while (S.size() >= p) {
    char c = S.back();
    if (c != '+' && c != '-' && c != 'E' && c != 'e') break;
    S.pop_back();
  }
  return S;
}

int32_t NextCodePoint(std::string_view Text, size_t& Pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(Text.data());
  const unsigned c = s[Pos];
  const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len == 0 || Pos + len > Text.size()) {
    ++Pos;
    return -1;
  }
  uint32_t cp = len == 1 ? c : c & (0x7Fu >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((s[Pos + k] & 0xC0) != 0x80) {
      ++Pos;
      return -1;
    }
    cp = cp << 6 | (s[Pos + k] & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++Pos;
    return -1;
  }
  Pos += len;
  return static_cast<int32_t>(cp);
}

void AppendUtf8(std::string& Out, char32_t Cp) {
  if (Cp < 0x80) {
    Out += static_cast<char>(Cp);
  } else if (Cp < 0x800) {
    Out += static_cast<char>(0xC0 | Cp >> 6);
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else if (Cp < 0x10000) {
    Out += static_cast<char>(0xE0 | Cp >> 12);
    Out += static_cast<char>(0x80 | (Cp >> 6 & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | Cp >> 18);
    Out += static_cast<char>(0x80 | (Cp >> 12 & 0x3F));
    Out += static_cast<char>(0x80 | (Cp >> 6 & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  }
}

bool ValidUtf8(std::string_view Text) {
  for (size_t i = 0; i < Text.size();)
    if (NextCodePoint(Text, i) < 0) return false;
  return true;
}

size_t CountCodePoints(std::string_view Text) {
  size_t n = 0;
  for (size_t i = 0; i < Text.size(); ++n) NextCodePoint(Text, i);
  return n;
}

}  // namespace Halyard::AuxStr

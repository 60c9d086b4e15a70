#include "halyard/gsm/SMSAlphabet.h"

namespace Halyard::GSM {

namespace {
// Made from the Unicode table, so the two cannot disagree.
constexpr std::array<uint8_t, 256> MakeTable() {
  std::array<uint8_t, 256> t{};
  for (size_t i = 0; i < 128; ++i) {
    char32_t c = kGsmDefault[i];
    t[i] = i == 0x1B ? 0x1B : c < 0x100 ? static_cast<uint8_t>(c) : 0xB7;
  }
  for (size_t i = 128; i < 256; ++i) t[i] = 0x20;
  for (const auto& e : kGsmExtension)
    t[128 + e.Code] = e.Char < 0x100 ? static_cast<uint8_t>(e.Char) : e.Char == U'\u20AC' ? 0x80 : 0x20;
  return t;
}

// For each ISO character, the first table entry that holds it, or -1.
constexpr std::array<int16_t, 256> MakeReverse(const std::array<uint8_t, 256>& t) {
  std::array<int16_t, 256> r{};
  for (auto& v : r) v = -1;
  for (int i = 0; i < 256; ++i)
    if (r[t[static_cast<size_t>(i)]] < 0) r[t[static_cast<size_t>(i)]] = static_cast<int16_t>(i);
  // The escape is no character: kept, it would make the next one an extension code.
  r[0x1B] = -1;
  return r;
}
}  // namespace

const std::array<uint8_t, 256> SMSCharTable = MakeTable();

namespace {
constexpr std::array<int16_t, 256> kReverse = MakeReverse(MakeTable());
}

bool IsSMSCharacter(unsigned char c) { return kReverse[c] >= 0; }

std::string ISOtoSMS(const std::string& S) {
  // At most two septets a character: written through a pointer, cut to size at the end.
  std::string r(S.size() * 2, '\0');
  char* out = r.data();
  for (unsigned char c : S) {
    int i = kReverse[c];
    if (i < 0) continue;
    if (i < 128) {
      *out++ = static_cast<char>(i);
    } else {
      *out++ = '\x1B';
      *out++ = static_cast<char>(i - 128);
    }
  }
  r.resize(static_cast<size_t>(out - r.data()));
  return r;
}

std::string SMStoISO(const std::string& S) {
  std::string r;
  r.reserve(S.size());
  bool escape = false;
  for (unsigned char b : S) {
    if (b == 0x1B) {
      escape = true;
      continue;
    }
    // Octets above 127 never come from 7-bit decoding; their low seven bits are the code.
    unsigned code = b & 0x7F;
    r += static_cast<char>(SMSCharTable[escape ? code + 128 : code]);
    escape = false;
  }
  return r;
}

}  // namespace Halyard::GSM

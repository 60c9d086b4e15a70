#include "halyard/gsm/SMSText.h"

#include <array>

#include "halyard/auxstr/AuxStr.h"

namespace Halyard::GSM {

namespace {

constexpr const auto& kDefault = kGsmDefault;
constexpr const auto& kExtension = kGsmExtension;

constexpr char32_t kReplacement = 0xFFFD;

void PutUtf8(std::string& out, char32_t cp) { AuxStr::AppendUtf8(out, cp); }

// The code points of a UTF-8 text; a malformed sequence is one U+FFFD.
std::u32string CodePoints(const std::string& s) {
  std::u32string r;
  r.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    int32_t cp = AuxStr::NextCodePoint(s, i);
    r += cp < 0 ? kReplacement : static_cast<char32_t>(cp);
  }
  return r;
}

// The septets of a code point: its default code, or 0x80 | its extension code; -1 for none.
// Every character of the tables is below 0x400 but the euro sign.
int Septets(char32_t cp) {
  static const auto table = [] {
    std::array<int16_t, 0x400> t;
    t.fill(-1);
    for (const auto& e : kExtension)
      if (e.Char < t.size()) t[e.Char] = static_cast<int16_t>(0x80 | e.Code);
    for (size_t i = 0; i < kDefault.size(); ++i)
      if (i != 0x1B && kDefault[i] < t.size()) t[kDefault[i]] = static_cast<int16_t>(i);
    return t;
  }();
  if (cp == U'\u20AC') return 0x80 | 0x65;
  return cp < table.size() ? table[cp] : -1;
}

}  // namespace

TTextCoding SMSCoding(uint8_t DCS) {
  switch (DCS >> 4) {
    case 0x0: case 0x1: case 0x2: case 0x3:  // general data coding
    case 0x4: case 0x5: case 0x6: case 0x7:  // marked for automatic deletion
      if (DCS & 0x20) return tc8Bit;         // compressed
      switch ((DCS >> 2) & 3) {
        case 1: return tc8Bit;
        case 2: return tcUCS2;
        default: return tcGSM7;
      }
    case 0xC: case 0xD: return tcGSM7;  // message waiting, discard or store
    case 0xE: return tcUCS2;            // message waiting, store, UCS2
    case 0xF: return (DCS & 0x04) ? tc8Bit : tcGSM7;
    default: return tcGSM7;  // reserved groups
  }
}

std::optional<int> SMSClass(uint8_t DCS) {
  if ((DCS & 0xC0) == 0x00 || (DCS & 0xC0) == 0x40) {
    if (DCS & 0x10) return DCS & 3;
    return std::nullopt;
  }
  if ((DCS & 0xF0) == 0xF0) return DCS & 3;
  return std::nullopt;
}

std::optional<std::string> EncodeGSM7(const std::string& Utf8) {
  std::string r;
  r.reserve(Utf8.size());
  for (char32_t cp : CodePoints(Utf8)) {
    int c = Septets(cp);
    if (c < 0) return std::nullopt;
    if (c & 0x80) r += '\x1B';
    r += static_cast<char>(c & 0x7F);
  }
  return r;
}

TEncodedText EncodeText(const std::string& Utf8) {
  TEncodedText t;
  if (auto septets = EncodeGSM7(Utf8)) {
    t.Units = std::move(*septets);
    return t;
  }
  t.Coding = tcUCS2;
  for (char32_t cp : CodePoints(Utf8)) {
    auto unit = [&](uint32_t u) {
      t.Units += static_cast<char>(u >> 8);
      t.Units += static_cast<char>(u & 0xFF);
    };
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return t;
}

std::string DecodeText(TTextCoding Coding, const std::string& Units) {
  std::string out;
  out.reserve(Units.size() + Units.size() / 2);
  if (Coding == tc8Bit) {
    for (unsigned char c : Units) PutUtf8(out, c);
    return out;
  }
  if (Coding == tcGSM7) {
    for (size_t i = 0; i < Units.size(); ++i) {
      uint8_t c = static_cast<uint8_t>(Units[i]) & 0x7F;
      if (c != 0x1B) {
        PutUtf8(out, kDefault[c]);
        continue;
      }
      if (i + 1 >= Units.size()) {  // an escape at the very end: nothing follows it
        PutUtf8(out, kReplacement);
        break;
      }
      uint8_t f = static_cast<uint8_t>(Units[++i]) & 0x7F;
      char32_t cp = kReplacement;
      for (const auto& e : kExtension)
        if (e.Code == f) cp = e.Char;
      // An unknown follower shows as its default character, as the standard asks of receivers.
      if (cp == kReplacement && f != 0x1B) cp = kDefault[f];
      PutUtf8(out, cp);
    }
    return out;
  }
  for (size_t i = 0; i < Units.size(); i += 2) {
    if (i + 1 >= Units.size()) {
      PutUtf8(out, kReplacement);
      break;
    }
    char32_t u = static_cast<uint8_t>(Units[i]) << 8 | static_cast<uint8_t>(Units[i + 1]);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < Units.size()) {
      char32_t l = static_cast<uint8_t>(Units[i + 2]) << 8 | static_cast<uint8_t>(Units[i + 3]);
      if (l >= 0xDC00 && l < 0xE000) {
        PutUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00));
        i += 2;
        continue;
      }
    }
    PutUtf8(out, u >= 0xD800 && u < 0xE000 ? kReplacement : u);
  }
  return out;
}

TCBSCoding CBSCoding(uint8_t DCS) {
  TCBSCoding c;
  switch (DCS >> 4) {
    case 0x0: case 0x2: case 0x3: return c;  // languages in the default alphabet, no prefix
    case 0x1:
      if ((DCS & 0x0F) == 0) c.PrefixUnits = 3;  // default alphabet, 2 characters and a CR
      else if ((DCS & 0x0F) == 1) c = {tcUCS2, 2};
      return c;
    case 0x4: case 0x5: case 0x6: case 0x7: c.Coding = SMSCoding(DCS & 0x3F); return c;
    case 0x9: c.Coding = SMSCoding(DCS & 0x0F); return c;  // a message with a user-data header
    case 0xF: c.Coding = (DCS & 0x04) ? tc8Bit : tcGSM7; return c;
    default: return c;
  }
}

// --- the user-data header ------------------------------------------------------------------

TUserDataHeader TUserDataHeader::Parse(const std::string& Octets, size_t& Consumed) {
  if (Octets.empty()) throw ESMSDecodeError("User-data header missing");
  size_t n = static_cast<uint8_t>(Octets[0]);
  if (1 + n > Octets.size())
    throw ESMSDecodeError(Framework::Format("User-data header of %d octets in %d", static_cast<int>(n),
                                            static_cast<int>(Octets.size()) - 1));
  TUserDataHeader h;
  for (size_t p = 1; p < 1 + n;) {
    if (p + 2 > 1 + n) throw ESMSDecodeError("User-data header element cut short");
    size_t len = static_cast<uint8_t>(Octets[p + 1]);
    if (p + 2 + len > 1 + n) throw ESMSDecodeError("User-data header element runs past the header");
    h.Elements.push_back({static_cast<uint8_t>(Octets[p]), Octets.substr(p + 2, len)});
    p += 2 + len;
  }
  Consumed = 1 + n;
  return h;
}

std::string TUserDataHeader::Encode() const {
  std::string body;
  for (const auto& e : Elements) {
    body += static_cast<char>(e.IEI);
    body += static_cast<char>(e.Data.size());
    body += e.Data;
  }
  return static_cast<char>(body.size()) + body;
}

std::optional<TConcatenation> TUserDataHeader::Concatenation() const {
  for (const auto& e : Elements) {
    const auto* d = reinterpret_cast<const uint8_t*>(e.Data.data());
    TConcatenation c;
    if (e.IEI == 0x00 && e.Data.size() == 3) c = {d[0], d[1], d[2], false};
    else if (e.IEI == 0x08 && e.Data.size() == 4) c = {d[0] << 8 | d[1], d[2], d[3], true};
    else continue;
    if (c.Parts == 0 || c.Part == 0 || c.Part > c.Parts)
      throw ESMSDecodeError(Framework::Format("Concatenated message part %d of %d", c.Part, c.Parts));
    return c;
  }
  return std::nullopt;
}

std::optional<TPorts> TUserDataHeader::Ports() const {
  for (const auto& e : Elements) {
    const auto* d = reinterpret_cast<const uint8_t*>(e.Data.data());
    if (e.IEI == 0x04 && e.Data.size() == 2) return TPorts{d[0], d[1], false};
    if (e.IEI == 0x05 && e.Data.size() == 4) return TPorts{d[0] << 8 | d[1], d[2] << 8 | d[3], true};
  }
  return std::nullopt;
}

void TUserDataHeader::SetConcatenation(const TConcatenation& C) {
  std::erase_if(Elements, [](const TUDHElement& e) { return e.IEI == 0x00 || e.IEI == 0x08; });
  std::string d;
  if (C.Wide) d += static_cast<char>(C.Reference >> 8 & 0xFF);
  d += static_cast<char>(C.Reference & 0xFF);
  d += static_cast<char>(C.Parts);
  d += static_cast<char>(C.Part);
  Elements.insert(Elements.begin(), {static_cast<uint8_t>(C.Wide ? 0x08 : 0x00), d});
}

void TUserDataHeader::SetPorts(const TPorts& P) {
  std::erase_if(Elements, [](const TUDHElement& e) { return e.IEI == 0x04 || e.IEI == 0x05; });
  std::string d;
  if (P.Wide) {
    d = {static_cast<char>(P.Destination >> 8), static_cast<char>(P.Destination), static_cast<char>(P.Origin >> 8),
         static_cast<char>(P.Origin)};
  } else {
    d = {static_cast<char>(P.Destination), static_cast<char>(P.Origin)};
  }
  Elements.push_back({static_cast<uint8_t>(P.Wide ? 0x05 : 0x04), d});
}

// --- a message's content ------------------------------------------------------------------

namespace {
// Septets that pack into exactly these octets (the header of a 7-bit message, with its fill
// bits), as the message classes keep 7-bit user data.
std::string AsSeptets(const std::string& Octets) {
  size_t septets = (Octets.size() * 8 + 6) / 7;
  // The last septet is partly fill bits: a zero octet behind makes it whole for the decoder.
  return TSMS::DecodeString(static_cast<char>(septets) + Octets + '\0', true);
}
}  // namespace

TMessageContent MessageContent(const TSMS2& M) {
  TMessageContent c;
  c.Coding = SMSCoding(M.DCS);
  const bool septets = M.Packed();  // how the message class holds UD
  const bool hasHeader = M.GetPDUTypeBit(Tp::kUdhiBit) && !M.UD.empty();
  if (septets) {
    // The header is read from the septets that hold it, packed again alone (its length is in the
    // first octet: the first septet and one bit of the second); the text is taken as it stands.
    size_t headerOctets = 0;
    if (hasHeader) {
      const auto& ud = M.UD;
      size_t udhl = (static_cast<uint8_t>(ud[0]) & 0x7F) | (ud.size() > 1 ? (static_cast<uint8_t>(ud[1]) & 1) << 7 : 0);
      size_t need = std::min(ud.size(), ((1 + udhl) * 8 + 6) / 7);
      std::string octets = TSMS::EncodeString(ud.substr(0, need), true).substr(1);
      c.Header = TUserDataHeader::Parse(octets, headerOctets);
    }
    size_t from = std::min(M.UD.size(), (headerOctets * 8 + 6) / 7);
    if (c.Coding == tcGSM7) c.Units = M.UD.substr(from);
    else c.Units = TSMS::EncodeString(M.UD.substr(from), true).substr(1);  // compressed or reserved: the octets
  } else {
    size_t headerOctets = 0;
    if (hasHeader) c.Header = TUserDataHeader::Parse(M.UD, headerOctets);
    std::string rest = M.UD.substr(std::min(headerOctets, M.UD.size()));
    if (c.Coding == tcGSM7) {
      // A 7-bit group the message class holds as octets (message waiting): unpack them.
      size_t n = rest.size() * 8 / 7;
      c.Units = n ? TSMS::DecodeString(static_cast<char>(std::min<size_t>(n, 255)) + rest, true) : std::string();
    } else {
      c.Units = std::move(rest);
    }
  }
  return c;
}

void SetMessageContent(TSMS2& M, const TUserDataHeader* Header, const TEncodedText& Text) {
  M.DCS = Text.DCS();
  std::string header = Header && !Header->Elements.empty() ? Header->Encode() : std::string();
  M.SetPDUTypeBit(Tp::kUdhiBit, !header.empty());
  if (Text.Coding == tcGSM7) M.UD = (header.empty() ? std::string() : AsSeptets(header)) + Text.Units;
  else M.UD = header + Text.Units;
}

}  // namespace Halyard::GSM

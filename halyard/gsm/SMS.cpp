#include "halyard/gsm/SMS.h"

#include <cmath>
#include <cstdlib>

#include "halyard/auxstr/AuxStr.h"

namespace Halyard::GSM {

using Framework::Format;

namespace {

[[noreturn]] void Truncated(const std::string& data, size_t need) {
  throw ESMSDecodeError(Format("Truncated PDU: it has %d octets, the field needs %d",
                               static_cast<int>(data.size()), static_cast<int>(need)));
}

// The octet at a 1-based position, or a decode error when the PDU ends before it.
uint8_t At(const std::string& data, int pos) {
  if (pos < 1 || static_cast<size_t>(pos) > data.size()) Truncated(data, static_cast<size_t>(std::max(pos, 1)));
  return static_cast<uint8_t>(data[static_cast<size_t>(pos) - 1]);
}

void Require(const std::string& data, int pos, int count) {
  if (count > 0 && (pos < 1 || static_cast<size_t>(pos) - 1 + static_cast<size_t>(count) > data.size()))
    Truncated(data, static_cast<size_t>(pos - 1 + count));
}

std::string Tail(const std::string& data, int pos) {
  return static_cast<size_t>(pos) > data.size() ? std::string() : data.substr(static_cast<size_t>(pos) - 1);
}

}  // namespace

// --- TSMS ----------------------------------------------------------------------------------

std::string TSMS::GetPDU() { return AuxStr::Bin2Hex(EncodePDU()); }

void TSMS::SetPDU(const std::string& HexText) { DecodePDU(AuxStr::Hex2Bin(HexText)); }

std::string TSMS::EncodeString(const std::string& S, bool Packed) {
  std::string r(1, static_cast<char>(S.size() & 0xFF));
  if (!Packed) return r + S;
  const size_t n = S.size();
  r.resize(1 + (n * 7 + 7) / 8);
  auto* out = reinterpret_cast<unsigned char*>(r.data() + 1);
  const auto* in = reinterpret_cast<const unsigned char*>(S.data());
  size_t i = 0;
  // Eight septets fill seven octets exactly.
  for (; i + 8 <= n; i += 8, out += 7) {
    uint64_t acc = 0;
    for (int k = 0; k < 8; ++k) acc |= static_cast<uint64_t>(in[i + k] & 0x7F) << (7 * k);
    for (int k = 0; k < 7; ++k) out[k] = static_cast<unsigned char>(acc >> (8 * k));
  }
  uint32_t acc = 0;
  int bits = 0;
  for (; i < n; ++i) {
    acc |= static_cast<uint32_t>(in[i] & 0x7F) << bits;
    bits += 7;
    while (bits >= 8) {
      *out++ = static_cast<unsigned char>(acc & 0xFF);
      acc >>= 8;
      bits -= 8;
    }
  }
  if (bits > 0) *out = static_cast<unsigned char>(acc & 0xFF);
  return r;
}

std::string TSMS::DecodeString(const std::string& S, bool Packed) {
  if (S.empty()) return {};
  size_t n = static_cast<uint8_t>(S[0]);
  size_t octets = S.size() - 1;
  if (!Packed) return S.substr(1, n);
  n = std::min(n, octets * 8 / 7);  // only septets that are wholly present
  std::string r(n, '\0');
  auto* out = reinterpret_cast<unsigned char*>(r.data());
  const auto* in = reinterpret_cast<const unsigned char*>(S.data() + 1);
  size_t i = 0, next = 0;
  // Seven octets hold eight septets exactly.
  for (; i + 8 <= n; i += 8, next += 7) {
    uint64_t acc = 0;
    for (int k = 0; k < 7; ++k) acc |= static_cast<uint64_t>(in[next + k]) << (8 * k);
    for (int k = 0; k < 8; ++k) out[i + k] = static_cast<unsigned char>((acc >> (7 * k)) & 0x7F);
  }
  uint32_t acc = 0;
  int bits = 0;
  for (; i < n; ++i) {
    if (bits < 7) {
      acc |= static_cast<uint32_t>(in[next++]) << bits;
      bits += 8;
    }
    out[i] = static_cast<unsigned char>(acc & 0x7F);
    acc >>= 7;
    bits -= 7;
  }
  return r;
}

// --- validity period -----------------------------------------------------------------------

TDateTime ValPerToDT(uint8_t V) {
  constexpr double minute = 1.0 / 1440;
  if (V <= 143) return (V + 1) * 5 * minute;
  if (V <= 167) return 0.5 + (V - 143) * 30 * minute;
  if (V <= 196) return V - 166;
  return (V - 192) * 7.0;
}

uint8_t DTToValPer(TDateTime P) {
  double minutes = P * 1440;
  if (minutes < 5) return 0;
  if (minutes < 12.5 * 60) return static_cast<uint8_t>(std::clamp<long>(std::lround(minutes / 5) - 1, 0, 143));
  if (P < 2) return static_cast<uint8_t>(std::clamp<long>(143 + std::lround((minutes - 720) / 30), 144, 167));
  if (P < 31) return static_cast<uint8_t>(std::trunc(P) + 166);
  if (P < 35) return P < 33 ? 196 : 197;  // 30 days or 5 weeks, whichever is nearer
  if (P <= 441) return static_cast<uint8_t>(std::trunc(P / 7) + 192);
  return 255;
}

// --- TSMS2 field codecs --------------------------------------------------------------------

namespace {

// A character a semi-octet can carry, as EncodeODA reads them.
bool SemiOctet(char C) { return (C >= '0' && C <= '>') || C == '*' || C == '#' || (C >= 'a' && C <= 'c'); }

// An alphanumeric address (TON 101, 23.040 9.1.2.5): the text as packed septets, its length
// the number of useful semi-octets. What DecodeODA gives for one ("InternetSMS") encodes again.
std::string EncodeAlphanumeric(const std::string& A) {
  for (unsigned char c : A)
    if (!IsSMSCharacter(c))
      throw Framework::EConvertError(Framework::Format("Invalid character '%s' in the address \"%s\"", std::string(1, static_cast<char>(c)), A));
  std::string septets = ISOtoSMS(A);
  if (septets.size() > 11)
    throw Framework::EConvertError(Framework::Format("The address \"%s\" has %d characters, 11 at most", A, static_cast<int>(septets.size())));
  std::string packed = TSMS::EncodeString(septets, true).substr(1);
  std::string r;
  r += static_cast<char>((septets.size() * 7 + 3) / 4);
  r += static_cast<char>(kToaAlphanumeric);
  return r + packed;
}

}  // namespace

std::string TSMS2::EncodeODA(const std::string& A, bool Alphanumeric) {
  if (Alphanumeric && !A.empty() && A[0] != '+' && std::any_of(A.begin(), A.end(), [](char c) { return !SemiOctet(c); }))
    return EncodeAlphanumeric(A);
  uint8_t toa = kToaUnknown;
  std::string digits = A;
  if (!A.empty() && (A[0] == '+' || A[0] == '#')) {
    toa = A[0] == '+' ? kToaInternational : kToaNational;
    digits.erase(0, 1);
  }
  // A semi-octet carries a digit or one of "*#abc" (10 to 14); ":;<=>" are the same values as
  // the decoder spells them. Anything else would be sent as some other digit: refused.
  auto nibble = [&](char c) -> unsigned {
    switch (c) {
      case '*': return 0x0A;
      case '#': return 0x0B;
      case 'a': return 0x0C;
      case 'b': return 0x0D;
      case 'c': return 0x0E;
      default: break;
    }
    if (c < '0' || c > '>')
      throw Framework::EConvertError(Framework::Format("Invalid character '%s' in the number \"%s\"", std::string(1, c), A));
    return static_cast<unsigned>(c - '0');
  };
  if (digits.size() > 20)
    throw Framework::EConvertError(Framework::Format("The number \"%s\" has %d digits, 20 at most", A, static_cast<int>(digits.size())));
  std::string r;
  r.reserve(2 + (digits.size() + 1) / 2);
  r += static_cast<char>(digits.size() & 0xFF);
  r += static_cast<char>(toa);
  for (size_t i = 0; i < digits.size(); i += 2) {
    unsigned lo = nibble(digits[i]);
    unsigned hi = i + 1 < digits.size() ? nibble(digits[i + 1]) : 0x0F;
    r += static_cast<char>(lo | hi << 4);
  }
  return r;
}

std::string TSMS2::DecodeODA(const std::string& Data, int& Pos) {
  int L = At(Data, Pos);
  uint8_t toa = At(Data, Pos + 1);
  Pos += 2;
  if (L == 0) return {};
  if ((toa & 0x70) == (kToaAlphanumeric & 0x70)) {
    int septets = 4 * L / 7;
    int octets = (septets * 7 + 7) / 8;
    Require(Data, Pos, octets);
    std::string packed(1, static_cast<char>(septets));
    packed += Data.substr(static_cast<size_t>(Pos) - 1, static_cast<size_t>(octets));
    Pos += octets;
    return SMStoISO(DecodeString(packed, true));
  }
  std::string r = toa == kToaInternational ? "+" : toa == kToaNational ? "#" : "";
  int octets = (L + 1) / 2;
  Require(Data, Pos, octets);
  for (int i = 0; i < L; ++i) {
    uint8_t b = static_cast<uint8_t>(Data[static_cast<size_t>(Pos - 1 + i / 2)]);
    r += static_cast<char>(0x30 + (i % 2 == 0 ? b & 0x0F : b >> 4));
  }
  Pos += octets;
  return r;
}

std::string TSMS2::DecodeSCA(const std::string& Data, int& Pos) const {
  int L = At(Data, Pos);
  std::string r;
  if (L == 0) {
    if (GSM) r = GSM->SCA();
  } else {
    Require(Data, Pos, L + 1);
    uint8_t toa = At(Data, Pos + 1);
    r = toa == kToaInternational ? "+" : toa == kToaNational ? "#" : "";
    for (int i = 2; i <= L; ++i) {
      uint8_t b = static_cast<uint8_t>(Data[static_cast<size_t>(Pos - 1 + i)]);
      r += static_cast<char>(0x30 + (b & 0x0F));
      if ((b >> 4) != 0x0F) r += static_cast<char>(0x30 + (b >> 4));
    }
  }
  Pos += L + 1;
  return r;
}

std::string TSMS2::EncodeUD() const {
  bool packed = Packed();
  return EncodeString(UD.substr(0, packed ? 160 : 140), packed);
}

void TSMS2::DecodeUD(const std::string& TailData) { UD = DecodeString(TailData, Packed()); }

std::string TSMS2::EncodeStamp(TDateTime T) {
  int y, mo, d, h, mi, s, ms;
  Framework::DecodeDate(T, y, mo, d);
  Framework::DecodeTime(T, h, mi, s, ms);
  std::string r(6, '\0');
  const int parts[6] = {y % 100, mo, d, h, mi, s};
  for (int i = 0; i < 6; ++i) r[static_cast<size_t>(i)] = static_cast<char>(Byte2BCD(static_cast<uint8_t>(parts[i])));
  return r;
}

TDateTime TSMS2::DecodeStamp(const std::string& S) {
  Require(S, 1, 6);
  int v[6];
  for (int i = 0; i < 6; ++i) v[i] = BCD2Byte(static_cast<uint8_t>(S[static_cast<size_t>(i)]));
  int year = v[0] < 50 ? 2000 + v[0] : 1900 + v[0];
  return Framework::EncodeDate(year, v[1], v[2]) + Framework::EncodeTime(v[3], v[4], v[5], 0);
}

uint8_t TSMS2::EncodeTimeZone(int8_t Z) {
  if (Z >= 0) return Byte2BCD(static_cast<uint8_t>(Z));
  return static_cast<uint8_t>(Byte2BCD(static_cast<uint8_t>(-Z)) | 0x08);
}

int8_t TSMS2::DecodeTimeZone(uint8_t B) {
  auto v = static_cast<int8_t>(BCD2Byte(B & 0xF7));
  return (B & 0x08) ? static_cast<int8_t>(-v) : v;
}

std::string TSMS2::EncodeTextStamp(TDateTime T, int8_t Z) {
  int y, mo, d, h, mi, s, ms;
  Framework::DecodeDate(T, y, mo, d);
  Framework::DecodeTime(T, h, mi, s, ms);
  return Format("%.2d/%.2d/%.2d,%.2d:%.2d:%.2d%s%.2d", y % 100, mo, d, h, mi, s, Z < 0 ? "-" : "+",
                std::abs(static_cast<int>(Z)));
}

TDateTime TSMS2::DecodeTextStamp(const std::string& S, int8_t& Z) {
  size_t p = 0;  // 0-based cursor
  int v[6];
  for (int& n : v) {
    long long acc = 0;
    while (p < S.size() && S[p] >= '0' && S[p] <= '9') {
      if (acc < 100000) acc = acc * 10 + (S[p] - '0');
      ++p;
    }
    n = static_cast<int>(acc);
    ++p;  // the separator
  }
  int year = v[0] < 50 ? 2000 + v[0] : 1900 + v[0];
  TDateTime dt = Framework::EncodeDate(year, v[1], v[2]) + Framework::EncodeTime(v[3], v[4], v[5], 0);
  // The zone: sign and two digits, starting at the last separator passed.
  size_t zoneStart = p - 1;
  std::string zone = zoneStart < S.size() ? S.substr(zoneStart, 3) : std::string();
  Z = zone.empty() ? 0 : static_cast<int8_t>(Framework::StrToInt(zone));
  return dt;
}

int TSMS2::DecodeSCAPrefix(const std::string& Data) {
  int pos = 1;
  if (HasSCAField()) SCA = DecodeSCA(Data, pos);
  return pos;
}

// --- the six TPDU types --------------------------------------------------------------------

std::string TSMSSubmit::EncodePDU() {
  std::string r = EncodeSCAPrefix();
  r += static_cast<char>(PDUType);
  r += static_cast<char>(MR);
  r += EncodeODA(DA);
  r += static_cast<char>(PID);
  r += static_cast<char>(DCS);
  switch (GetPDUType2Bits(3)) {
    case 2: r += static_cast<char>(DTToValPer(VP)); break;
    case 3: r += EncodeStamp(VP) + static_cast<char>(EncodeTimeZone(TimeZone)); break;
    default: break;  // none, or the enhanced format that is not supported
  }
  r += EncodeUD();
  return r;
}

void TSMSSubmit::DecodePDU(const std::string& Data) {
  int pos = DecodeSCAPrefix(Data);
  PDUType = At(Data, pos++);
  MR = At(Data, pos++);
  DA = DecodeODA(Data, pos);
  PID = At(Data, pos++);
  DCS = At(Data, pos++);
  switch (GetPDUType2Bits(3)) {
    case 2: VP = ValPerToDT(At(Data, pos++)); break;
    case 3:
      Require(Data, pos, 7);
      VP = DecodeStamp(Data.substr(static_cast<size_t>(pos) - 1, 6));
      TimeZone = DecodeTimeZone(At(Data, pos + 6));
      pos += 7;
      break;
    default: break;
  }
  At(Data, pos);  // TP-UDL must be there
  DecodeUD(Tail(Data, pos));
}

std::string TSMSDeliver::EncodePDU() {
  std::string r = EncodeSCAPrefix();
  r += static_cast<char>(PDUType);
  r += EncodeODA(OA, true);  // a sender may be a name: what DecodeODA read encodes again
  r += static_cast<char>(PID);
  r += static_cast<char>(DCS);
  r += EncodeStamp(SCTS) + static_cast<char>(EncodeTimeZone(TimeZone));
  r += EncodeUD();
  return r;
}

void TSMSDeliver::DecodePDU(const std::string& Data) {
  int pos = DecodeSCAPrefix(Data);
  PDUType = At(Data, pos++);
  OA = DecodeODA(Data, pos);
  PID = At(Data, pos++);
  DCS = At(Data, pos++);
  Require(Data, pos, 7);
  SCTS = DecodeStamp(Data.substr(static_cast<size_t>(pos) - 1, 6));
  TimeZone = DecodeTimeZone(At(Data, pos + 6));
  pos += 7;
  At(Data, pos);
  DecodeUD(Tail(Data, pos));
}

std::string TSMSStatusReport::EncodePDU() {
  std::string r = EncodeSCAPrefix();
  r += static_cast<char>(PDUType);
  r += static_cast<char>(MR);
  r += EncodeODA(RA);
  r += EncodeStamp(SCTS) + static_cast<char>(EncodeTimeZone(TimeZone));
  r += EncodeStamp(DT) + static_cast<char>(EncodeTimeZone(DTTimeZone));
  r += static_cast<char>(ST);
  return r;
}

void TSMSStatusReport::DecodePDU(const std::string& Data) {
  int pos = DecodeSCAPrefix(Data);
  PDUType = At(Data, pos++);
  MR = At(Data, pos++);
  RA = DecodeODA(Data, pos);
  Require(Data, pos, 15);
  SCTS = DecodeStamp(Data.substr(static_cast<size_t>(pos) - 1, 6));
  TimeZone = DecodeTimeZone(At(Data, pos + 6));
  pos += 7;
  DT = DecodeStamp(Data.substr(static_cast<size_t>(pos) - 1, 6));
  DTTimeZone = DecodeTimeZone(At(Data, pos + 6));
  pos += 7;
  ST = At(Data, pos);
}

std::string TSMSCommand::EncodePDU() {
  std::string r = EncodeSCAPrefix();
  r += static_cast<char>(PDUType);
  r += static_cast<char>(MR);
  r += static_cast<char>(PID);
  r += static_cast<char>(CT);
  r += static_cast<char>(MN);
  r += EncodeODA(DA);
  r += EncodeUD();
  return r;
}

void TSMSCommand::DecodePDU(const std::string& Data) {
  int pos = DecodeSCAPrefix(Data);
  PDUType = At(Data, pos++);
  MR = At(Data, pos++);
  PID = At(Data, pos++);
  CT = At(Data, pos++);
  MN = At(Data, pos++);
  DA = DecodeODA(Data, pos);
  At(Data, pos);
  DecodeUD(Tail(Data, pos));
}

std::string TSMSDeliverReport::EncodeOptional() const {
  std::string r;
  if (GetPresentBit(0)) r += static_cast<char>(PID);
  if (GetPresentBit(1)) r += static_cast<char>(DCS);
  if (GetPresentBit(2)) r += EncodeUD();
  return r;
}

void TSMSDeliverReport::DecodeOptional(const std::string& Data, int Pos) {
  if (GetPresentBit(0)) PID = At(Data, Pos++);
  if (GetPresentBit(1)) DCS = At(Data, Pos++);
  if (GetPresentBit(2)) {
    At(Data, Pos);
    DecodeUD(Tail(Data, Pos));
  }
}

std::string TSMSDeliverReport::EncodePDU() {
  std::string r = EncodeSCAPrefix();
  r += static_cast<char>(PDUType);
  r += static_cast<char>(ParameterIndicator);
  return r + EncodeOptional();
}

void TSMSDeliverReport::DecodePDU(const std::string& Data) {
  int pos = DecodeSCAPrefix(Data);
  PDUType = At(Data, pos++);
  ParameterIndicator = At(Data, pos++);
  DecodeOptional(Data, pos);
}

std::string TSMSSubmitReport::EncodePDU() {
  std::string r = EncodeSCAPrefix();
  r += static_cast<char>(PDUType);
  r += static_cast<char>(ParameterIndicator);
  r += EncodeStamp(SCTS) + static_cast<char>(EncodeTimeZone(TimeZone));
  return r + EncodeOptional();
}

void TSMSSubmitReport::DecodePDU(const std::string& Data) {
  int pos = DecodeSCAPrefix(Data);
  PDUType = At(Data, pos++);
  ParameterIndicator = At(Data, pos++);
  Require(Data, pos, 7);
  SCTS = DecodeStamp(Data.substr(static_cast<size_t>(pos) - 1, 6));
  TimeZone = DecodeTimeZone(At(Data, pos + 6));
  DecodeOptional(Data, pos + 7);
}

// --- CreateSMS -----------------------------------------------------------------------------

std::unique_ptr<TSMS2> TSMS2::CreateSMS(ISMSModem* AGSM, const std::string& PDUText, bool Incoming) {
  if (PDUText.empty()) return nullptr;
  std::string data = AuxStr::Hex2Bin(PDUText);
  size_t pos = AGSM && !AGSM->SCAinPDU() ? 1 : static_cast<size_t>(static_cast<uint8_t>(data[0])) + 2;
  if (pos > data.size()) return nullptr;
  std::unique_ptr<TSMS2> sms;
  switch (static_cast<uint8_t>(data[pos - 1]) & 3) {
    case 0: sms = Incoming ? std::unique_ptr<TSMS2>(new TSMSDeliver) : std::unique_ptr<TSMS2>(new TSMSDeliverReport); break;
    case 1: sms = Incoming ? std::unique_ptr<TSMS2>(new TSMSSubmitReport) : std::unique_ptr<TSMS2>(new TSMSSubmit); break;
    case 2: sms = Incoming ? std::unique_ptr<TSMS2>(new TSMSStatusReport) : std::unique_ptr<TSMS2>(new TSMSCommand); break;
    default: return nullptr;
  }
  sms->GSM = AGSM;
  if (AGSM) sms->SCA = AGSM->SCA();
  sms->DecodePDU(data);
  return sms;
}

}  // namespace Halyard::GSM

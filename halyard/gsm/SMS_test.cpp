#include "halyard/gsm/SMS.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/CellBroadcast.h"

using namespace Halyard;
using namespace Halyard::GSM;
using AuxStr::Bin2Hex;
using AuxStr::Hex2Bin;
using Framework::EncodeDate;
using Framework::EncodeTime;

namespace {

struct TFakeModem : TFixedSMSModem {
  TFakeModem() : TFixedSMSModem(true, "+4912345") {}
};

std::string Hex(const std::string& bin) { return Bin2Hex(bin); }
std::string Spaced(const char* hex) {
  std::string s;
  for (const char* p = hex; *p; ++p)
    if (*p != ' ') s += *p;
  return s;
}

}  // namespace

// --- primitives ----------------------------------------------------------------------------

TEST(PDUPrimitives, BitsAndSemiOctets) {
  uint8_t b = 0;
  TSMS::SetBit(b, 5, true);
  EXPECT_EQ(b, 0x20);
  EXPECT_TRUE(TSMS::GetBit(b, 5));
  TSMS::Set2Bits(b, 3, 7);  // only the low two bits of the value
  EXPECT_EQ(b, 0x38);
  EXPECT_EQ(TSMS::Get2Bits(b, 3), 3);
  EXPECT_EQ(TSMS::Byte2BCD(12), 0x21);
  EXPECT_EQ(TSMS::BCD2Byte(0x21), 12);
  EXPECT_EQ(TSMS::Byte2BCD(7), 0x70);
  EXPECT_EQ(TSMS::BCD2Byte(0x70), 7);
  EXPECT_EQ(TSMS::BCD2Byte(0x90), 9);
  EXPECT_EQ(TSMS::BCD2Byte(0xFF), 165);
}

TEST(PDUPrimitives, SevenBitPackingExamples) {
  EXPECT_EQ(Hex(TSMS::EncodeString("", true)), "00");
  EXPECT_EQ(Hex(TSMS::EncodeString("", false)), "00");
  EXPECT_EQ(Hex(TSMS::EncodeString("1234567", true)), "0731D98C56B3DD00");
  EXPECT_EQ(Hex(TSMS::EncodeString("12345678", true)), "0831D98C56B3DD70");
  EXPECT_EQ(Hex(TSMS::EncodeString("123456789", true)), "0931D98C56B3DD7039");
  EXPECT_EQ(Hex(TSMS::EncodeString("hello", true)), "05E8329BFD06");
  EXPECT_EQ(Hex(TSMS::EncodeString("hi", false)), "026869");
  // Bit 7 is dropped without disturbing the neighbours.
  EXPECT_EQ(TSMS::EncodeString("a\xE9" "b", true), TSMS::EncodeString("a\x69" "b", true));
}

TEST(PDUPrimitives, SevenBitRoundTripForEveryLength) {
  std::mt19937 rng(7);
  for (int n = 0; n <= 255; ++n) {
    std::string s(static_cast<size_t>(n), '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0x7F);
    std::string packed = TSMS::EncodeString(s, true);
    ASSERT_EQ(packed.size(), 1 + (7u * n + 7) / 8);
    ASSERT_EQ(TSMS::DecodeString(packed, true), s) << n;
  }
}

TEST(PDUPrimitives, DecodeStringNeverReadsBeyondItsData) {
  EXPECT_EQ(TSMS::DecodeString("", true), "");
  EXPECT_EQ(TSMS::DecodeString("", false), "");
  EXPECT_EQ(TSMS::DecodeString("\x05hi", false), "hi");
  std::string packed = TSMS::EncodeString("hello", true);
  for (size_t cut = 1; cut < packed.size(); ++cut) {
    std::string got = TSMS::DecodeString(packed.substr(0, cut), true);
    EXPECT_EQ(got, std::string("hello").substr(0, got.size()));
    EXPECT_LE(got.size(), (cut - 1) * 8 / 7);
  }
  EXPECT_EQ(TSMS::DecodeString("\xFF", true), "");
}

// --- alphabet ------------------------------------------------------------------------------

TEST(GSMAlphabet, TableChoices) {
  EXPECT_EQ(SMSCharTable[0x09], 0xC7);
  EXPECT_EQ(SMSCharTable[0x1B], 0x1B);
  EXPECT_EQ(SMSCharTable[0x10], 0xB7);
  EXPECT_EQ(SMSCharTable[128 + 0x65], 0x80);
  EXPECT_EQ(SMSCharTable[128 + 0x41], 0x20);
  for (uint8_t c : SMSCharTable) EXPECT_NE(c, 0);
}

TEST(GSMAlphabet, ISOtoSMS) {
  EXPECT_EQ(ISOtoSMS("@"), std::string(1, '\0'));
  EXPECT_EQ(ISOtoSMS("\t`\xE1"), "");
  EXPECT_EQ(ISOtoSMS("["), "\x1B\x3C");
  EXPECT_EQ(ISOtoSMS("\x80"), "\x1B\x65");
  EXPECT_EQ(ISOtoSMS("^"), "\x1B\x14");
  EXPECT_EQ(ISOtoSMS(" "), " ");
  EXPECT_EQ(ISOtoSMS("\x0C"), "\x1B\x0A");
  EXPECT_EQ(ISOtoSMS("\xB7"), "\x10");
  EXPECT_EQ(ISOtoSMS("\x1B"), "");  // the escape is no character: kept, it would swallow the next
  EXPECT_EQ(SMStoISO(ISOtoSMS("a\x1B" "b")), "ab");
  EXPECT_EQ(ISOtoSMS("A\xE9z"), "A\x05z");
}

TEST(GSMAlphabet, SMStoISO) {
  EXPECT_EQ(SMStoISO("\x10"), "\xB7");
  EXPECT_EQ(SMStoISO("\x1B\x41"), " ");
  EXPECT_EQ(SMStoISO("\x1B"), "");
  EXPECT_EQ(SMStoISO("\x1B\x1B\x3C"), "[");
  std::mt19937 rng(3);
  for (int n = 0; n < 200; ++n) {
    std::string s(rng() % 50, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    std::string kept;
    for (unsigned char c : s)
      if (IsSMSCharacter(c)) kept += static_cast<char>(c);
    ASSERT_EQ(SMStoISO(ISOtoSMS(s)), kept);
  }
}

// --- common fields -------------------------------------------------------------------------

TEST(TPDUFields, Addresses) {
  EXPECT_EQ(Hex(TSMS2::EncodeODA("")), "0081");
  EXPECT_EQ(Hex(TSMS2::EncodeODA("+")), "0091");
  EXPECT_EQ(Hex(TSMS2::EncodeODA("+0123456789")), "0A911032547698");
  EXPECT_EQ(Hex(TSMS2::EncodeODA("0123")), "04811032");
  EXPECT_EQ(Hex(TSMS2::EncodeODA("012")), "038110F2");
  EXPECT_EQ(Hex(TSMS2::EncodeODA("#12")), "02A121");
  int pos = 1;
  EXPECT_EQ(TSMS2::DecodeODA(Hex2Bin("0A911032547698"), pos), "+0123456789");
  EXPECT_EQ(pos, 8);
  pos = 1;
  EXPECT_EQ(TSMS2::DecodeODA(Hex2Bin("04B11032"), pos), "0123");
  EXPECT_EQ(Hex(TSMS2::EncodeODA("0123")), "04811032");
  pos = 1;
  EXPECT_EQ(TSMS2::DecodeODA(Hex2Bin("02A1A1"), pos), "#1:");  // 0xA is ":", not "*"
}

TEST(TPDUFields, AddressesRefuseWhatNoSemiOctetCarries) {
  // The characters of the semi-octet table, and the decoder's spelling of them, round-trip.
  EXPECT_EQ(Hex(TSMS2::EncodeODA("*#abc1")), "0681BADC1E");
  EXPECT_EQ(Hex(TSMS2::EncodeODA(":;<=>1")), "0681BADC1E");
  EXPECT_EQ(Hex(TSMS2::EncodeODA("+12345678901234567890")), "149121436587092143658709");
  for (const char* bad : {"+1555ABC123", "call-me", "12 34", "+1-555", "++1", "123456789012345678901"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(TSMS2::EncodeODA(bad), Framework::EConvertError);
  }
  try {
    TSMS2::EncodeODA("call-me");
  } catch (const Framework::EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid character 'l' in the number \"call-me\"");
  }
  TSMSSubmit m;
  m.DA = "+1555ABC123";
  EXPECT_THROW(m.GetPDU(), Framework::EConvertError);
}

TEST(TPDUFields, AlphanumericAddress) {
  // "Hallo" in septets, 5 septets in 5 octets, length 0x0A semi-octets.
  std::string packed = TSMS::EncodeString(ISOtoSMS("Hallo"), true).substr(1);
  ASSERT_EQ(packed.size(), 5u);
  int pos = 1;
  EXPECT_EQ(TSMS2::DecodeODA(std::string("\x0A\xD0", 2) + packed, pos), "Hallo");
  EXPECT_EQ(pos, 8);
  // A sender's name encodes again as it came (length: the useful semi-octets, 23.040 9.1.2.5).
  EXPECT_EQ(Hex(TSMS2::EncodeODA("Hallo", true)), "09D0" + Hex(packed));  // 35 bits: 9 semi-octets
  EXPECT_EQ(Hex(TSMS2::EncodeODA("+4917", true)), "04919471");  // a number stays a number
  for (const char* name : {"InternetSMS", "Bank", "DHL-Paket", "Ab"}) {
    std::string enc = TSMS2::EncodeODA(name, true);
    pos = 1;
    EXPECT_EQ(TSMS2::DecodeODA(enc, pos), name);
    EXPECT_EQ(pos, static_cast<int>(enc.size()) + 1) << name;
  }
  EXPECT_THROW(TSMS2::EncodeODA("TwelveLetter", true), Framework::EConvertError);  // 11 at most
  EXPECT_THROW(TSMS2::EncodeODA("Bank", false), Framework::EConvertError);  // a recipient is a number
  // A DELIVER from a name, decoded and encoded again, is the same PDU.
  TSMSDeliver d;
  d.OA = "InternetSMS";
  d.UD = ISOtoSMS("Your code is 1234");
  d.SCTS = Framework::EncodeDate(2026, 12, 10);
  std::string pdu = d.GetPDU();
  auto back = TSMS2::CreateSMS(nullptr, pdu, true);
  auto* dd = dynamic_cast<TSMSDeliver*>(back.get());
  ASSERT_TRUE(dd);
  EXPECT_EQ(dd->OA, "InternetSMS");
  EXPECT_EQ(dd->GetPDU(), pdu);
}

TEST(TPDUFields, ServiceCentreAddress) {
  TSMSDeliver d;
  int pos = 1;
  EXPECT_EQ(d.DecodeSCA(Hex2Bin("069110325476F8"), pos), "+012345678");
  EXPECT_EQ(pos, 8);
  TFakeModem modem;
  d.GSM = &modem;
  pos = 1;
  EXPECT_EQ(d.DecodeSCA(std::string(1, '\0'), pos), "+4912345");
  EXPECT_EQ(pos, 2);
}

TEST(TPDUFields, UserDataLimits) {
  TSMSSubmit s;
  s.UD = std::string(200, 'a');
  EXPECT_EQ(static_cast<uint8_t>(s.EncodeUD()[0]), 0xA0);
  EXPECT_EQ(s.EncodeUD().size(), 1u + 140);
  s.DCS = 0x04;
  EXPECT_EQ(static_cast<uint8_t>(s.EncodeUD()[0]), 0x8C);
  s.DCS = 0x08;
  EXPECT_EQ(s.EncodeUD().size(), 141u);
  s.DCS = 0xE0;  // only bits 2 and 3 count: 7-bit
  EXPECT_TRUE(s.Packed());
  s.DCS = 0xC8;
  EXPECT_FALSE(s.Packed());
}

TEST(TPDUFields, Stamps) {
  EXPECT_EQ(TSMS2::DecodeStamp(Hex2Bin("502142315400")), EncodeDate(2005, 12, 24) + EncodeTime(13, 45, 0, 0));
  Framework::TDateTime y99 = TSMS2::DecodeStamp(Hex2Bin("990101000000"));
  int y, m, d;
  Framework::DecodeDate(y99, y, m, d);
  EXPECT_EQ(y, 1999);
  EXPECT_EQ(Hex(TSMS2::EncodeStamp(EncodeDate(2005, 12, 24) + EncodeTime(13, 45, 0, 999))), "502142315400");
  EXPECT_THROW(TSMS2::DecodeStamp(Hex2Bin("500021315400")), Framework::EConvertError);  // month 0
  EXPECT_THROW(TSMS2::DecodeStamp(Hex2Bin("5021")), Framework::EConvertError);          // too short

  auto t = EncodeDate(2005, 12, 24) + EncodeTime(13, 45, 0, 0);
  EXPECT_EQ(TSMS2::EncodeTextStamp(t, 4), "05/12/24,13:45:00+04");
  EXPECT_EQ(TSMS2::EncodeTextStamp(t, -8), "05/12/24,13:45:00-08");
  int8_t z = 0;
  EXPECT_EQ(TSMS2::DecodeTextStamp("05/12/24,13:45:00-08", z), t);
  EXPECT_EQ(z, -8);
  EXPECT_EQ(TSMS2::DecodeTextStamp("05/12/24,13:45:00", z), t);  // no zone part
  EXPECT_EQ(z, 0);
  EXPECT_THROW(TSMS2::DecodeTextStamp("05/12/24,13:45:00+x4", z), Framework::EConvertError);
  EXPECT_THROW(TSMS2::DecodeTextStamp("05/13/24,13:45:00+04", z), Framework::EConvertError);
}

TEST(TPDUFields, TimeZoneSignBit) {
  EXPECT_EQ(TSMS2::DecodeTimeZone(0x40), 4);   // +01:00
  EXPECT_EQ(TSMS2::DecodeTimeZone(0x48), -4);   // -01:00: the sign bit in the tens nibble
  EXPECT_EQ(TSMS2::DecodeTimeZone(0x4A), -24);
  EXPECT_EQ(TSMS2::DecodeTimeZone(0x97), 79);
  for (int z = -79; z <= 79; ++z)
    ASSERT_EQ(TSMS2::DecodeTimeZone(TSMS2::EncodeTimeZone(static_cast<int8_t>(z))), z);
  EXPECT_EQ(TSMS2::EncodeTimeZone(4), 0x40);
}

TEST(TPDUFields, ValidityPeriods) {
  constexpr double minute = 1.0 / 1440;
  EXPECT_DOUBLE_EQ(ValPerToDT(167), 1.0);
  EXPECT_DOUBLE_EQ(ValPerToDT(0), 5 * minute);
  EXPECT_DOUBLE_EQ(ValPerToDT(255), 63 * 7.0);
  EXPECT_DOUBLE_EQ(ValPerToDT(144), 0.5 + 30 * minute);
  EXPECT_EQ(DTToValPer(minute), 0);
  EXPECT_EQ(DTToValPer(2), 168);
  EXPECT_EQ(DTToValPer(30.5), 196);
  EXPECT_EQ(DTToValPer(35), 197);
  EXPECT_EQ(DTToValPer(441), 255);
  EXPECT_EQ(DTToValPer(500), 255);
  EXPECT_EQ(DTToValPer(3), 169);
  EXPECT_EQ(DTToValPer(32), 196);
  EXPECT_EQ(DTToValPer(34), 197);
  // Every representable period comes back as itself; others go to the nearest step in range.
  for (int v = 0; v <= 255; ++v) ASSERT_EQ(DTToValPer(ValPerToDT(static_cast<uint8_t>(v))), v) << v;
  EXPECT_EQ(DTToValPer(12 * 60 * minute + 2 * minute), 143);
  EXPECT_EQ(DTToValPer(63 * minute), 12);  // 65 minutes is nearer than 60
}

// --- TPDU types ----------------------------------------------------------------------------

TEST(TPDUTypes, SubmitExamples) {
  TSMSSubmit s;
  s.DA = "+0123456789";
  s.UD = "hello";
  EXPECT_EQ(s.GetPDU(), Spaced("00 01 00 0A 91 10 32 54 76 98 00 00 05 E8 32 9B FD 06"));
  s.PDUType = 0x11;
  s.VP = 3;
  EXPECT_EQ(s.GetPDU(), Spaced("00 11 00 0A 91 10 32 54 76 98 00 00 A9 05 E8 32 9B FD 06"));
  TFakeModem noSCA;
  noSCA.InPDU = false;
  s.GSM = &noSCA;
  EXPECT_EQ(s.GetPDU().substr(0, 2), "11");
}

TEST(TPDUTypes, SubmitAbsoluteValidityKeepsZone) {
  TSMSSubmit s;
  s.PDUType = 0x19;
  s.VP = EncodeDate(2024, 2, 29) + EncodeTime(23, 59, 58, 0);
  s.TimeZone = -20;
  s.DA = "12345";
  s.UD = "x";
  TSMSSubmit back;
  back.SetPDU(s.GetPDU());
  EXPECT_EQ(back.VP, s.VP);
  EXPECT_EQ(back.TimeZone, -20);
  EXPECT_EQ(back.DA, "12345");
}

TEST(TPDUTypes, DeliverReportAndSubmitReport) {
  TSMSDeliverReport r;
  r.ParameterIndicator = 0x04;
  r.UD = "hello";
  EXPECT_EQ(r.GetPDU(), Spaced("00 00 04 05 E8 32 9B FD 06"));
  r.ParameterIndicator = 0;
  EXPECT_EQ(r.GetPDU(), "000000");

  TSMSSubmitReport s;
  EXPECT_EQ(s.PDUType, 0x01);
  s.ParameterIndicator = 0x07;
  s.PID = 0x41;
  s.DCS = 0x04;
  s.UD = std::string("\x01\xFF", 2);
  s.SCTS = EncodeDate(2010, 5, 6) + EncodeTime(7, 8, 9, 0);
  s.TimeZone = 8;
  TSMSSubmitReport back;
  back.SetPDU(s.GetPDU());
  EXPECT_EQ(back.ParameterIndicator, 0x07);
  EXPECT_EQ(back.SCTS, s.SCTS);
  EXPECT_EQ(back.TimeZone, 8);
  EXPECT_EQ(back.PID, 0x41);
  EXPECT_EQ(back.UD, s.UD);
}

TEST(TPDUTypes, CommandPacksItsData) {
  TSMSCommand c;
  c.UD = "ab";
  c.DA = "1";
  std::string pdu = c.EncodePDU();
  // SCA, first octet, MR, PID, CT, MN, DA (3 octets), CDL, two packed septets.
  ASSERT_EQ(pdu.size(), 1u + 5 + 3 + 1 + 2);
  EXPECT_EQ(static_cast<uint8_t>(pdu[9]), 2);
  TSMSCommand back;
  back.DecodePDU(pdu);
  EXPECT_EQ(back.UD, "ab");
}

TEST(CreateSMS, DeliverFromTheExample) {
  auto sms = TSMS2::CreateSMS(nullptr, "069110325476F8040A91103254769800005021423154000005E8329BFD06", true);
  auto* d = dynamic_cast<TSMSDeliver*>(sms.get());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->SCA, "+012345678");
  EXPECT_EQ(d->PDUType, 0x04);
  EXPECT_EQ(d->OA, "+0123456789");
  EXPECT_EQ(d->SCTS, EncodeDate(2005, 12, 24) + EncodeTime(13, 45, 0, 0));
  EXPECT_EQ(d->TimeZone, 0);
  EXPECT_EQ(d->UD, "hello");
}

TEST(CreateSMS, ClassByTypeAndDirection) {
  TFakeModem modem;
  modem.InPDU = false;
  std::string pdu = "0100" "0A911032547698" "0000" "05E8329BFD06";
  EXPECT_NE(dynamic_cast<TSMSSubmit*>(TSMS2::CreateSMS(&modem, pdu, false).get()), nullptr);
  auto rep = TSMS2::CreateSMS(&modem, "01" "00" "50214231540000", true);
  ASSERT_NE(dynamic_cast<TSMSSubmitReport*>(rep.get()), nullptr);
  EXPECT_EQ(rep->SCA, "+4912345");  // the modem's address, as nothing in the PDU replaces it
  EXPECT_EQ(TSMS2::CreateSMS(nullptr, "", true), nullptr);
  EXPECT_EQ(TSMS2::CreateSMS(nullptr, "0003", true), nullptr);        // type 11
  EXPECT_EQ(TSMS2::CreateSMS(nullptr, "069110325476F8", true), nullptr);  // only an SCA
  EXPECT_NE(dynamic_cast<TSMSDeliverReport*>(TSMS2::CreateSMS(nullptr, "000000", false).get()), nullptr);
  EXPECT_NE(dynamic_cast<TSMSCommand*>(TSMS2::CreateSMS(nullptr, "0002000000000081" "00", false).get()), nullptr);
}

TEST(CreateSMS, BadDateRaisesAndReturnsNothing) {
  EXPECT_THROW(TSMS2::CreateSMS(nullptr, "00040A91103254769800005000423154000005E8329BFD06", true),
               Framework::EConvertError);
}

namespace {

template <class T>
void ExpectEveryTruncationIsClean(T& full) {
  std::string pdu = full.EncodePDU();
  for (size_t cut = 0; cut < pdu.size(); ++cut) {
    T part;
    part.GSM = full.GSM;
    try {
      part.DecodePDU(pdu.substr(0, cut));
    } catch (const Framework::EConvertError&) {
    }
  }
}

}  // namespace

TEST(PDUBounds, TruncatedPDUsRaiseOrDecodeWhatIsThere) {
  TSMSSubmit s;
  s.PDUType = 0x19;
  s.DA = "+49171234567";
  s.UD = "hello world";
  ExpectEveryTruncationIsClean(s);
  TSMSDeliver d;
  d.OA = "12345";
  d.UD = "x";
  ExpectEveryTruncationIsClean(d);
  TSMSStatusReport st;
  ExpectEveryTruncationIsClean(st);
  TSMSCommand c;
  ExpectEveryTruncationIsClean(c);
  TSMSSubmitReport sr;
  sr.ParameterIndicator = 7;
  ExpectEveryTruncationIsClean(sr);
  TSMSDeliver shortUD;
  std::string pdu = d.EncodePDU();
  pdu.back() = '\x20';  // UDL says far more than follows
  shortUD.DecodePDU(pdu);
  EXPECT_LE(shortUD.UD.size(), 1u);
  // A service-centre length that points past the end: no first octet, no object.
  EXPECT_EQ(TSMS2::CreateSMS(nullptr, "FF00", true), nullptr);
  // One that leaves the first octet but cuts the address.
  EXPECT_THROW(TSMS2::CreateSMS(nullptr, "0004" "0C91", true), Framework::EConvertError);
}

// --- round trips over random objects -------------------------------------------------------

namespace {

std::string RandomDigits(std::mt19937& rng) {
  static const char* prefixes[] = {"", "+", "#"};
  std::string s;
  for (size_t n = rng() % 20; n > 0; --n) s += static_cast<char>('0' + rng() % 10);
  return s.empty() ? s : prefixes[rng() % 3] + s;  // a lone prefix has no length to keep it
}

Framework::TDateTime RandomStamp(std::mt19937& rng) {
  return EncodeDate(1950 + static_cast<int>(rng() % 100), 1 + static_cast<int>(rng() % 12),
                    1 + static_cast<int>(rng() % 28)) +
         EncodeTime(static_cast<int>(rng() % 24), static_cast<int>(rng() % 60), static_cast<int>(rng() % 60), 0);
}

void RandomUserData(std::mt19937& rng, TSMS2& m) {
  m.DCS = static_cast<uint8_t>(rng() & 0xFF);
  size_t max = m.Packed() ? 160 : 140;
  m.UD.assign(rng() % (max + 1), '\0');
  for (char& c : m.UD) c = static_cast<char>(m.Packed() ? rng() & 0x7F : rng() & 0xFF);
}

int8_t RandomZone(std::mt19937& rng) { return static_cast<int8_t>(static_cast<int>(rng() % 113) - 56); }

}  // namespace

TEST(PDURoundTrip, RandomSubmitDeliverStatusReportThroughCreateSMS) {
  std::mt19937 rng(2024);
  TFakeModem modem;
  for (int i = 0; i < 500; ++i) {
    modem.InPDU = (i % 2) == 0;
    ISMSModem* host = (i % 3 == 0) ? nullptr : &modem;
    {
      TSMSSubmit s;
      s.GSM = host;
      s.PDUType = static_cast<uint8_t>((rng() & 0xE4) | 0x01 | ((rng() % 2) ? 0x18 : 0x10));
      s.MR = static_cast<uint8_t>(rng());
      s.PID = static_cast<uint8_t>(rng());
      s.DA = RandomDigits(rng);
      if (s.GetPDUType2Bits(3) == 3) {
        s.VP = RandomStamp(rng);
        s.TimeZone = RandomZone(rng);
      } else {
        s.VP = ValPerToDT(static_cast<uint8_t>(rng()));
      }
      RandomUserData(rng, s);
      auto back = TSMS2::CreateSMS(host, s.GetPDU(), false);
      auto* b = dynamic_cast<TSMSSubmit*>(back.get());
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->PDUType, s.PDUType);
      EXPECT_EQ(b->MR, s.MR);
      EXPECT_EQ(b->PID, s.PID);
      EXPECT_EQ(b->DA, s.DA);
      EXPECT_EQ(b->DCS, s.DCS);
      EXPECT_EQ(b->UD, s.UD);
      EXPECT_DOUBLE_EQ(b->VP, s.VP);
      if (s.GetPDUType2Bits(3) == 3) {
        EXPECT_EQ(b->TimeZone, s.TimeZone);
      }
    }
    {
      TSMSDeliver d;
      d.GSM = host;
      d.PDUType = static_cast<uint8_t>(rng() & 0xFC);
      d.PID = static_cast<uint8_t>(rng());
      d.OA = RandomDigits(rng);
      d.SCTS = RandomStamp(rng);
      d.TimeZone = RandomZone(rng);
      RandomUserData(rng, d);
      auto back = TSMS2::CreateSMS(host, d.GetPDU(), true);
      auto* b = dynamic_cast<TSMSDeliver*>(back.get());
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->PDUType, d.PDUType);
      EXPECT_EQ(b->OA, d.OA);
      EXPECT_EQ(b->SCTS, d.SCTS);
      EXPECT_EQ(b->TimeZone, d.TimeZone);
      EXPECT_EQ(b->UD, d.UD);
    }
    {
      TSMSStatusReport r;
      r.GSM = host;
      r.PDUType = static_cast<uint8_t>((rng() & 0xFC) | 0x02);
      r.MR = static_cast<uint8_t>(rng());
      r.RA = RandomDigits(rng);
      r.SCTS = RandomStamp(rng);
      r.TimeZone = RandomZone(rng);
      r.DT = RandomStamp(rng);
      r.DTTimeZone = RandomZone(rng);
      r.ST = static_cast<uint8_t>(rng());
      auto back = TSMS2::CreateSMS(host, r.GetPDU(), true);
      auto* b = dynamic_cast<TSMSStatusReport*>(back.get());
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->MR, r.MR);
      EXPECT_EQ(b->RA, r.RA);
      EXPECT_EQ(b->SCTS, r.SCTS);
      EXPECT_EQ(b->DT, r.DT);
      EXPECT_EQ(b->TimeZone, r.TimeZone);
      EXPECT_EQ(b->DTTimeZone, r.DTTimeZone);
      EXPECT_EQ(b->ST, r.ST);
    }
  }
}

// --- cell broadcast ------------------------------------------------------------------------

TEST(CellBroadcastPage, EncodeExampleAndDecodeBack) {
  TCellBroadcast cb;
  cb.MessageIdentifier = 50;
  cb.DCS = 0x01;
  cb.Content = "hello";
  std::string pdu = cb.EncodePDU();
  ASSERT_EQ(pdu.size(), 88u);
  EXPECT_EQ(Hex(pdu.substr(0, 6)), "000000320100");
  EXPECT_EQ(pdu.substr(6), TSMS::EncodeString("hello" + std::string(88, '\r'), true).substr(1));
  TCellBroadcast back;
  back.SetPDU(cb.GetPDU());
  EXPECT_EQ(back.Content, "hello");
  EXPECT_EQ(back.MessageIdentifier, 50);
}

TEST(CellBroadcastPage, CodingLengthsAndPadding) {
  TCellBroadcast cb;
  cb.DCS = 0x0F;  // 8-bit
  EXPECT_FALSE(cb.Packed());
  cb.Content = std::string(100, 'x');
  std::string pdu = cb.EncodePDU();
  ASSERT_EQ(pdu.size(), 88u);
  TCellBroadcast back;
  back.DecodePDU(pdu);
  EXPECT_EQ(back.Content, std::string(82, 'x'));
  cb.DCS = 0;
  cb.Content = std::string(100, 'y') ;
  back.DecodePDU(cb.EncodePDU());
  EXPECT_EQ(back.Content, std::string(93, 'y'));
  cb.Content = "end\r\r";
  back.DecodePDU(cb.EncodePDU());
  EXPECT_EQ(back.Content, "end");
}

TEST(CellBroadcastPage, SerialAndPageFields) {
  TCellBroadcast cb;
  cb.SerialNumber = {0xC0, 0x0F};
  cb.SetMessageCode(0x3FF);
  EXPECT_EQ(cb.SerialNumber[0], 0xFF);
  EXPECT_EQ(cb.SerialNumber[1], 0xFF);
  EXPECT_EQ(cb.GetGeographicalScope(), 3);
  EXPECT_EQ(cb.GetMessageCode(), 1023);
  EXPECT_EQ(cb.GetUpdateNumber(), 15);
  cb.SetPageNumber(4, 2);
  cb.SetPageNumber(0, 3);
  EXPECT_EQ(cb.PageParameter, 0x23);
  cb.SetUpdateNumber(1);
  cb.SetGeographicalScope(1);
  EXPECT_EQ(cb.SerialNumber[0], 0x7F);
  EXPECT_EQ(cb.SerialNumber[1], 0xF1);
}

TEST(CellBroadcastPage, ShortPagesNeverReadPastTheData) {
  TCellBroadcast cb;
  EXPECT_THROW(cb.SetPDU("0000003201"), Framework::EConvertError);
  cb.SetPDU("000000320100E832");
  EXPECT_EQ(cb.Content.size(), 2u);
}

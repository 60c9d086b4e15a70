#include "halyard/gsm/SMSText.h"

#include <gtest/gtest.h>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/LongSMS.h"

using namespace Halyard;
using namespace Halyard::GSM;

namespace {

// Every character of the default alphabet (but the escape) and of its extension table.
const std::string kAlphabet =
    "@\xC2\xA3$\xC2\xA5\xC3\xA8\xC3\xA9\xC3\xB9\xC3\xAC\xC3\xB2\xC3\x87\n\xC3\x98\xC3\xB8\r\xC3\x85\xC3\xA5"
    "\xCE\x94_\xCE\xA6\xCE\x93\xCE\x9B\xCE\xA9\xCE\xA0\xCE\xA8\xCE\xA3\xCE\x98\xCE\x9E\xC3\x86\xC3\xA6\xC3\x9F\xC3\x89"
    " !\"#\xC2\xA4%&'()*+,-./0123456789:;<=>?\xC2\xA1"
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ\xC3\x84\xC3\x96\xC3\x91\xC3\x9C\xC2\xA7\xC2\xBF"
    "abcdefghijklmnopqrstuvwxyz\xC3\xA4\xC3\xB6\xC3\xB1\xC3\xBC\xC3\xA0";
const std::string kExtension = "\f^{}\\[~]|\xE2\x82\xAC";
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair in UCS2

std::string Repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// What a receiver gets: the submit's user data in a DELIVER, through the PDU codec.
std::unique_ptr<TSMSDeliver> Received(const TSMSSubmit& s) {
  TSMSDeliver d;
  d.OA = "+4917";
  d.PDUType = static_cast<uint8_t>(s.PDUType & 0x40);
  d.DCS = s.DCS;
  d.UD = s.UD;
  d.SCTS = Framework::EncodeDate(2026, 12, 9);
  std::string pdu = d.GetPDU();
  auto back = std::make_unique<TSMSDeliver>();
  back->SetPDU(pdu);
  return back;
}

std::string Reassembled(const std::vector<std::unique_ptr<TSMSSubmit>>& parts) {
  TReassembler r;
  std::optional<TAssembled> done;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) done = r.Add(*Received(**it));  // any order
  return done ? done->Text : "(incomplete)";
}

}  // namespace

TEST(SMSText, EveryCharacterOfTheAlphabetAndItsExtensionRoundTrips) {
  TEncodedText t = EncodeText(kAlphabet);
  ASSERT_EQ(t.Coding, tcGSM7);
  EXPECT_EQ(t.Units.size(), 127u);
  EXPECT_EQ(DecodeText(tcGSM7, t.Units), kAlphabet);
  TEncodedText e = EncodeText(kExtension);
  ASSERT_EQ(e.Coding, tcGSM7);
  EXPECT_EQ(e.Units.size(), 20u);  // each an escape pair
  EXPECT_EQ(AuxStr::Bin2Hex(e.Units.substr(18)), "1B65");  // the euro sign
  EXPECT_EQ(DecodeText(tcGSM7, e.Units), kExtension);
  // Anything else makes the whole text UCS2, emoji as a surrogate pair.
  TEncodedText u = EncodeText("a\xC5\x82" + kEmoji);
  ASSERT_EQ(u.Coding, tcUCS2);
  EXPECT_EQ(AuxStr::Bin2Hex(u.Units), "00610142D83DDE00");
  EXPECT_EQ(DecodeText(tcUCS2, u.Units), "a\xC5\x82" + kEmoji);
  EXPECT_EQ(DecodeText(tc8Bit, "\x41\xE9"), "A\xC3\xA9");
}

TEST(SMSText, BadUnitsShowAsReplacementsNeverDropped) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(DecodeText(tcUCS2, std::string("\x00\x41\x00", 3)), "A" + fffd);  // odd length
  EXPECT_EQ(DecodeText(tcUCS2, std::string("\xD8\x3D\x00\x41", 4)), fffd + "A");  // lone high surrogate
  EXPECT_EQ(DecodeText(tcUCS2, std::string("\xDE\x00", 2)), fffd);                 // lone low surrogate
  EXPECT_EQ(DecodeText(tcGSM7, "A\x1B"), "A" + fffd);                              // escape at the end
  EXPECT_EQ(DecodeText(tcGSM7, "\x1B\x41"), "A");  // unknown follower: its default character
  // Malformed UTF-8 input is carried as U+FFFD, visibly.
  EXPECT_EQ(DecodeText(EncodeText("a\xFFz").Coding, EncodeText("a\xFFz").Units), "a" + fffd + "z");
}

TEST(SMSText, CodingSchemesOfSMSAndCellBroadcast) {
  EXPECT_EQ(SMSCoding(0x00), tcGSM7);
  EXPECT_EQ(SMSCoding(0x04), tc8Bit);
  EXPECT_EQ(SMSCoding(0x08), tcUCS2);
  EXPECT_EQ(SMSCoding(0x18), tcUCS2);  // with a class
  EXPECT_EQ(SMSCoding(0x28), tc8Bit);  // compressed
  EXPECT_EQ(SMSCoding(0xC8), tcGSM7);  // message waiting, discard
  EXPECT_EQ(SMSCoding(0xD0), tcGSM7);
  EXPECT_EQ(SMSCoding(0xE0), tcUCS2);
  EXPECT_EQ(SMSCoding(0xF1), tcGSM7);
  EXPECT_EQ(SMSCoding(0xF6), tc8Bit);
  EXPECT_EQ(SMSClass(0x10), 0);
  EXPECT_EQ(SMSClass(0xF2), 2);
  EXPECT_FALSE(SMSClass(0x08).has_value());
  EXPECT_EQ(CBSCoding(0x0F).Coding, tcGSM7);
  EXPECT_EQ(CBSCoding(0x10).PrefixUnits, 3u);
  EXPECT_EQ(CBSCoding(0x11).Coding, tcUCS2);
  EXPECT_EQ(CBSCoding(0x11).PrefixUnits, 2u);
  EXPECT_EQ(CBSCoding(0x48).Coding, tcUCS2);
  EXPECT_EQ(CBSCoding(0xF4).Coding, tc8Bit);
}

TEST(UserDataHeader, ElementsParsedBuiltAndBadHeadersRefused) {
  size_t used = 0;
  TUserDataHeader h = TUserDataHeader::Parse(AuxStr::Hex2Bin("0B0003A50302050415811581" "FF"), used);
  EXPECT_EQ(used, 12u);
  ASSERT_EQ(h.Elements.size(), 2u);
  auto c = h.Concatenation();
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Reference, 0xA5);
  EXPECT_EQ(c->Parts, 3);
  EXPECT_EQ(c->Part, 2);
  auto p = h.Ports();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Destination, 0x1581);  // the WAP push port
  EXPECT_EQ(AuxStr::Bin2Hex(h.Encode()), "0B0003A50302050415811581");
  TUserDataHeader w;
  w.SetConcatenation({0x1234, 2, 1, true});
  w.Elements.push_back({0x70, "\x01"});  // unknown elements pass through
  EXPECT_EQ(AuxStr::Bin2Hex(w.Encode()), "09080412340201700101");
  EXPECT_EQ(TUserDataHeader::Parse(w.Encode(), used).Elements[1].IEI, 0x70);
  for (const char* bad : {"05000301", "0600030102", "03000501"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(TUserDataHeader::Parse(AuxStr::Hex2Bin(bad), used), ESMSDecodeError);
  }
  for (const char* bad : {"050003010000", "050003010203", "050003010200"}) {  // 0 parts, part 3 of 2, part 0
    SCOPED_TRACE(bad);
    EXPECT_THROW(TUserDataHeader::Parse(AuxStr::Hex2Bin(bad), used).Concatenation(), ESMSDecodeError);
  }
}

TEST(LongSMS, PartBoundariesOfBothCodings) {
  struct Case {
    std::string Text;
    int Parts;
  };
  const Case cases[] = {
      {Repeat("a", 160), 1},  {Repeat("a", 161), 2},         {Repeat("a", 306), 2},
      {Repeat("a", 307), 3},  {Repeat("\xD0\x96", 70), 1},    {Repeat("\xD0\x96", 71), 2},
      {Repeat("\xD0\x96", 134), 2}, {Repeat("\xD0\x96", 135), 3},
      // An escape pair at 153/154 and a surrogate pair at 67/68 move to the next part whole.
      {Repeat("a", 152) + "\xE2\x82\xAC" + Repeat("a", 10), 2},
      {Repeat("\xD0\x96", 66) + kEmoji + Repeat("x", 10), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text.substr(0, 8) + "... " + std::to_string(c.Text.size()) + " bytes");
    auto parts = SplitText(c.Text, "+4917", {.Reference = 7});
    ASSERT_EQ(static_cast<int>(parts.size()), c.Parts);
    EXPECT_EQ(CountParts(c.Text), c.Parts);
    for (size_t i = 0; i < parts.size(); ++i) {
      TMessageContent mc = MessageContent(*parts[i]);
      if (c.Parts > 1) {
        ASSERT_TRUE(mc.Header);
        EXPECT_EQ(mc.Header->Concatenation()->Part, static_cast<int>(i + 1));
        EXPECT_EQ(mc.Header->Concatenation()->Reference, 7);
        size_t cap = mc.Coding == tcGSM7 ? 153 : 134;
        EXPECT_LE(mc.Units.size(), cap);
      }
      // No part ends inside a pair.
      if (mc.Coding == tcGSM7) EXPECT_NE(mc.Units.back(), '\x1B');
      else EXPECT_FALSE(static_cast<uint8_t>(mc.Units[mc.Units.size() - 2]) >= 0xD8 &&
                        static_cast<uint8_t>(mc.Units[mc.Units.size() - 2]) < 0xDC);
    }
    EXPECT_EQ(Reassembled(parts), c.Text);
  }
  // The 7-bit header's fill bits: the text behind a 6-octet header starts on a septet boundary.
  auto parts = SplitText(Repeat("b", 200), "+4917", {.Reference = 0x2A});
  std::string pdu = parts[0]->GetPDU();
  EXPECT_NE(pdu.find("A0" "050003" "2A0201" "C4"), std::string::npos) << pdu;  // 'b' << 1 behind the fill bit
  EXPECT_THROW(SplitText(Repeat("a", 153 * 256), "+4917"), Framework::EConvertError);
  EXPECT_THROW(SplitText("hi", "call-me"), Framework::EConvertError);
}

TEST(LongSMS, RealConcatenatedMessagesReassemble) {
  // The two SMS-SUBMITs another SMS program sent for 300 characters (8-bit reference 0xE8), and
  // its Unicode message with an emoji, as they came over the line.
  const char* parts[] = {
      "07915155009099F951000B915155000000F10000FFA0050003E80201C2E231B96C3EA3D3EAB0784C2E9BCFE8B43A2C1E93CBE6333AA"
      "D0E8BC7E4B2F98C4EABC3E231B96C3EA3D3EAB0784C2E9BCFE8B43A2C1E93CBE6333AAD0E8BC7E4B2F98C4EABC3E231B96C3EA3D3"
      "EAB0784C2E9BCFE8B43A2C1E93CBE6333AAD0E8BC7E4B2F98C4EABC3E231B96C3EA3D3EAB0784C2E9BCFE8B43A2C1E93CBE6333AAD"
      "0E8BC7",
      "07915155009099F951000B915155000000F10000FF9A050003E80202C865F3199D5687C56372D97C46A7D561F1985C369FD169755"
      "83C2697CD67745A1D168FC965F3199D5687C56372D97C46A7D561F1985C369FD16975583C2697CD67745A1D168FC965F3199D5687"
      "C56372D97C46A7D561F1985C369FD16975583C2697CD67745A1D168FC965F3199D5687C56372D97C46A7D561F1985C369FD16935"};
  TReassembler r;
  std::optional<TAssembled> done;
  for (int i = 1; i >= 0; --i) {
    auto sms = TSMS2::CreateSMS(nullptr, parts[i], false);
    auto* submit = dynamic_cast<TSMSSubmit*>(sms.get());
    ASSERT_NE(submit, nullptr);
    auto c = MessageContent(*submit).Header->Concatenation();
    EXPECT_EQ(c->Reference, 0xE8);
    EXPECT_EQ(c->Part, i + 1);
    done = r.Add(*Received(*submit));
  }
  ASSERT_TRUE(done);
  EXPECT_EQ(done->Text, Repeat("abcdefghij", 30));
  auto u = TSMS2::CreateSMS(nullptr, "07915155009099F911000B915155000000F10008FF10006800E9006C006C006F0020D83DDE00", false);
  EXPECT_EQ(MessageContent(*u).Text(), "h\xC3\xA9llo " + kEmoji);
  // Ours encodes the same text to the same user data.
  auto ours = SplitText(Repeat("abcdefghij", 30), "+15550000001", {.Reference = 0xE8});
  ASSERT_EQ(ours.size(), 2u);
  std::string theirs = parts[0];
  EXPECT_EQ(AuxStr::Bin2Hex(TSMS::EncodeString(ours[0]->UD, true)), theirs.substr(theirs.find("A0050003")));
}

TEST(LongSMS, ReassemblerDropsDuplicatesExpiresAndStaysBounded) {
  using namespace std::chrono;
  auto t0 = TReassembler::Clock::now();
  TReassembler r({.KeepFor = seconds(60), .MaxMessages = 4, .MaxBytes = 1 << 20});
  auto parts = SplitText(Repeat("x", 400), "+4917", {.Reference = 1});
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_FALSE(r.Add(*Received(*parts[0]), t0));
  EXPECT_FALSE(r.Add(*Received(*parts[0]), t0));  // a duplicate
  EXPECT_FALSE(r.Add(*Received(*parts[2]), t0));
  auto expired = r.TakeExpired(t0 + seconds(61));
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_FALSE(expired[0].Complete);
  EXPECT_EQ(expired[0].Received, 2);
  EXPECT_EQ(expired[0].Text, Repeat("x", 153) + "\xEF\xBF\xBD" + Repeat("x", 94));
  // A hostile sender: parts of 255-part messages under ever new references.
  for (int ref = 0; ref < 1000; ++ref) {
    TSMSDeliver d;
    d.OA = "+666";
    TUserDataHeader h;
    h.SetConcatenation({ref & 0xFF, 255, 1 + ref % 255, false});
    d.OA += std::to_string(ref / 256);
    SetMessageContent(d, &h, EncodeText(Repeat("z", 150)));
    r.Add(d, t0 + milliseconds(ref));
    EXPECT_LE(r.Pending(), 4u);
  }
  EXPECT_EQ(r.TakeExpired(t0 + seconds(1)).size(), 996u);  // pushed out, reported as incomplete
  TReassembler small({.KeepFor = hours(1), .MaxMessages = 100, .MaxBytes = 1000});
  for (int ref = 0; ref < 20; ++ref) {
    TSMSDeliver d;
    TUserDataHeader h;
    h.SetConcatenation({ref, 2, 1, false});
    SetMessageContent(d, &h, EncodeText(Repeat("z", 150)));
    small.Add(d, t0);
  }
  EXPECT_LE(small.Pending(), 6u);  // at most 1000 bytes kept
}

TEST(CellBroadcastText, CodingsPrefixesPaddingAndPages) {
  // Pages as a network sends them: 6 header octets, then 82 octets of content padded with CR
  // (93 packed septets in the default alphabet).
  auto page = [](uint8_t dcs, const std::string& content, int n, int of, int serial = 0) {
    std::string pdu = AuxStr::Hex2Bin("005011120000");
    pdu[1] = static_cast<char>(0x50 + serial);
    pdu[4] = static_cast<char>(dcs);
    pdu[5] = static_cast<char>(n << 4 | of);
    if (CBSCoding(dcs).Coding == tcGSM7) {
      std::string septets = content + std::string(93 - content.size(), '\r');
      pdu += TSMS::EncodeString(septets, true).substr(1);
    } else {
      std::string octets = content;
      while (octets.size() < 82) octets += octets.size() % 2 ? std::string("\r") : std::string(1, '\0');
      pdu += octets;
    }
    auto back = std::make_unique<TCellBroadcast>();
    back->DecodePDU(pdu);
    return back;
  };
  EXPECT_EQ(CellBroadcastText(*page(0x0F, ISOtoSMS("Flood warning"), 1, 1)), "Flood warning");
  EXPECT_EQ(CellBroadcastText(*page(0x10, ISOtoSMS("EN\rFlood warning"), 1, 1)), "Flood warning");
  // UCS2 alerts: the page's octets are the UTF-16 text, padded with CR.
  std::string ucs2 = EncodeText("\xE8\xAD\xA6\xE5\xA0\xB1 alert").Units;
  EXPECT_EQ(CellBroadcastText(*page(0x48, ucs2, 1, 1)), "\xE8\xAD\xA6\xE5\xA0\xB1 alert");
  EXPECT_EQ(CellBroadcastText(*page(0x11, "\x45\x1D" + ucs2, 1, 1)), "\xE8\xAD\xA6\xE5\xA0\xB1 alert");
  TBroadcastAssembler a;
  EXPECT_FALSE(a.Add(*page(0x0F, ISOtoSMS("second half"), 2, 2)));
  auto whole = a.Add(*page(0x0F, ISOtoSMS("first half, "), 1, 2));
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->Text, "first half, second half");
  EXPECT_EQ(whole->Pages, 2);
  EXPECT_EQ(a.Pending(), 0u);
  EXPECT_THROW(a.Add(*page(0x0F, "x", 3, 2)), ESMSDecodeError);
  // The bytes kept are bounded as well as the count: first pages of endless messages push the
  // oldest out.
  TBroadcastAssembler small({.KeepFor = std::chrono::hours(1), .MaxMessages = 100, .MaxBytes = 100});
  for (int serial = 0; serial < 20; ++serial)
    EXPECT_FALSE(small.Add(*page(0x0F, ISOtoSMS("page one of message " + std::to_string(serial) + " "), 1, 2, serial)));
  EXPECT_LE(small.Pending(), 4u);
  auto last = small.Add(*page(0x0F, ISOtoSMS("and two"), 2, 2, 19));
  ASSERT_TRUE(last);  // the newest is still there
  EXPECT_EQ(last->Text, "page one of message 19 and two");
}

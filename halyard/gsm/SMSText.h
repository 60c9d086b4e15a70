#pragma once
// Message texts as people write them: UTF-8 in and out, the GSM default alphabet with its
// extension table where it fits, UCS2 (UTF-16BE) where it does not, and the user-data header
// that long messages and port addressing need. Beside the Latin-1 accessors of the message
// classes, which stay as they are.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "halyard/gsm/SMS.h"

namespace Halyard::GSM {

enum TTextCoding { tcGSM7, tc8Bit, tcUCS2 };

// The coding an SMS data coding scheme gives its user data (TS 23.038 §4): the general groups
// (compressed texts count as 8-bit data), the message-waiting groups 0xC0-0xEF and the class
// group 0xF0. Reserved groups are read as the default alphabet.
TTextCoding SMSCoding(uint8_t DCS);
// The message class (0-3) a DCS gives, if any.
std::optional<int> SMSClass(uint8_t DCS);

// A text in the coding a user expects: the default alphabet when every character is in it or in
// its extension table (an extension character is an escape pair, two septets), else UCS2.
// Units holds one GSM code per septet for tcGSM7, UTF-16BE octets for tcUCS2.
struct TEncodedText {
  TTextCoding Coding = tcGSM7;
  std::string Units;
  uint8_t DCS() const { return Coding == tcUCS2 ? 0x08 : Coding == tc8Bit ? 0x04 : 0x00; }
};
TEncodedText EncodeText(const std::string& Utf8);
// Septets for a text, or nothing when a character is outside the alphabet and its extension.
std::optional<std::string> EncodeGSM7(const std::string& Utf8);

// UTF-8 of user data in a coding. Septets outside the table, an escape without a known follower,
// an odd UCS2 octet and a lone surrogate come out as U+FFFD, never dropped. 8-bit data is shown
// octet by octet as Latin-1 characters.
std::string DecodeText(TTextCoding Coding, const std::string& Units);

// Cell broadcast data coding (TS 23.038 §5): the coding and how many leading units of the
// content are a language prefix (2 characters and a CR in the default alphabet, 2 octets of
// language in UCS2).
struct TCBSCoding {
  TTextCoding Coding = tcGSM7;
  size_t PrefixUnits = 0;
};
TCBSCoding CBSCoding(uint8_t DCS);

// --- the user-data header (TS 23.040 §9.2.3.24) --------------------------------------------

struct TUDHElement {
  uint8_t IEI = 0;
  std::string Data;
};

struct TConcatenation {
  int Reference = 0;  // 0-255, or 0-65535 with a 16-bit reference
  int Parts = 0, Part = 0;
  bool Wide = false;  // a 16-bit reference (element 0x08)
};

struct TPorts {
  int Destination = 0, Origin = 0;
  bool Wide = false;  // 16-bit ports (element 0x05)
};

class TUserDataHeader {
 public:
  std::vector<TUDHElement> Elements;  // unknown elements are kept as they came

  // The header at the front of Octets (its length octet first); Consumed is set to its size.
  // A length that runs past the data, or an element that runs past the header, raises
  // ESMSDecodeError.
  static TUserDataHeader Parse(const std::string& Octets, size_t& Consumed);
  // Length octet and elements.
  std::string Encode() const;

  std::optional<TConcatenation> Concatenation() const;  // raises for 0 parts or a part above them
  std::optional<TPorts> Ports() const;
  void SetConcatenation(const TConcatenation& C);
  void SetPorts(const TPorts& P);
};

// The header and text of a received or stored message's user data, whatever its coding.
struct TMessageContent {
  std::optional<TUserDataHeader> Header;
  TTextCoding Coding = tcGSM7;
  std::string Units;  // the text's units, behind the header
  std::string Text() const { return DecodeText(Coding, Units); }
};
TMessageContent MessageContent(const TSMS2& M);
// Sets UD, DCS and the header bit of a message from a header (may be empty) and a text's units.
void SetMessageContent(TSMS2& M, const TUserDataHeader* Header, const TEncodedText& Text);

}  // namespace Halyard::GSM

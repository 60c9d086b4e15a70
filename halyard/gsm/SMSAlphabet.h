#pragma once
// The GSM 03.38 default alphabet and its mapping to ISO 8859-1.
#include <array>
#include <cstdint>
#include <string>

namespace Halyard::GSM {

// Entries 0..127: the ISO 8859-1 character of each default-alphabet code; entry 128 + k: the
// character of the escape sequence 1B k.
extern const std::array<uint8_t, 256> SMSCharTable;

// ISO 8859-1 text to default-alphabet codes (escape sequences as two characters); characters
// the alphabet lacks are dropped.
std::string ISOtoSMS(const std::string& S);
// Default-alphabet codes to ISO 8859-1.
std::string SMStoISO(const std::string& S);
// Whether ISOtoSMS keeps the character.
bool IsSMSCharacter(unsigned char C);

}  // namespace Halyard::GSM

#pragma once
// The GSM 03.38 default alphabet and its mapping to ISO 8859-1.
#include <array>
#include <cstdint>
#include <string>

namespace Halyard::GSM {

// The default alphabet (TS 23.038 6.2.1) as Unicode, the one table of it; 0x1B, the escape to
// the extension table, is no character (U+FFFD).
inline constexpr std::array<char32_t, 128> kGsmDefault = {
    U'@',    U'\u00A3', U'$',     U'\u00A5', U'\u00E8', U'\u00E9', U'\u00F9', U'\u00EC', U'\u00F2', U'\u00C7',
    U'\n',   U'\u00D8', U'\u00F8', U'\r',    U'\u00C5', U'\u00E5', U'\u0394', U'_',     U'\u03A6', U'\u0393',
    U'\u039B', U'\u03A9', U'\u03A0', U'\u03A8', U'\u03A3', U'\u0398', U'\u039E', 0xFFFD,  U'\u00C6', U'\u00E6',
    U'\u00DF', U'\u00C9', U' ',     U'!',     U'"',     U'#',     U'\u00A4', U'%',     U'&',     U'\'',
    U'(',    U')',     U'*',     U'+',     U',',     U'-',     U'.',     U'/',     U'0',     U'1',
    U'2',    U'3',     U'4',     U'5',     U'6',     U'7',     U'8',     U'9',     U':',     U';',
    U'<',    U'=',     U'>',     U'?',     U'\u00A1', U'A',     U'B',     U'C',     U'D',     U'E',
    U'F',    U'G',     U'H',     U'I',     U'J',     U'K',     U'L',     U'M',     U'N',     U'O',
    U'P',    U'Q',     U'R',     U'S',     U'T',     U'U',     U'V',     U'W',     U'X',     U'Y',
    U'Z',    U'\u00C4', U'\u00D6', U'\u00D1', U'\u00DC', U'\u00A7', U'\u00BF', U'a',     U'b',     U'c',
    U'd',    U'e',     U'f',     U'g',     U'h',     U'i',     U'j',     U'k',     U'l',     U'm',
    U'n',    U'o',     U'p',     U'q',     U'r',     U's',     U't',     U'u',     U'v',     U'w',
    U'x',    U'y',     U'z',     U'\u00E4', U'\u00F6', U'\u00F1', U'\u00FC', U'\u00E0'};

// The extension table: the septet after the escape, and its character.
struct TGsmExtension {
  uint8_t Code;
  char32_t Char;
};
inline constexpr std::array<TGsmExtension, 10> kGsmExtension = {{{0x0A, U'\f'},
                                                    {0x14, U'^'},
                                                    {0x28, U'{'},
                                                    {0x29, U'}'},
                                                    {0x2F, U'\\'},
                                                    {0x3C, U'['},
                                                    {0x3D, U'~'},
                                                    {0x3E, U']'},
                                                    {0x40, U'|'},
                                                    {0x65, U'\u20AC'}}};

// Entries 0..127: the ISO 8859-1 character of each default-alphabet code (a Greek capital, which
// ISO 8859-1 lacks, as a middle dot); entry 128 + k: the character of the escape sequence 1B k
// (the euro sign as 0x80, as Windows-1252 has it; a space for a code with none).
extern const std::array<uint8_t, 256> SMSCharTable;

// ISO 8859-1 text to default-alphabet codes (escape sequences as two characters); characters
// the alphabet lacks are dropped.
std::string ISOtoSMS(const std::string& S);
// Default-alphabet codes to ISO 8859-1.
std::string SMStoISO(const std::string& S);
// Whether ISOtoSMS keeps the character.
bool IsSMSCharacter(unsigned char C);

}  // namespace Halyard::GSM

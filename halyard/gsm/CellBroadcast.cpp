#include "halyard/gsm/CellBroadcast.h"

namespace Halyard::GSM {

uint16_t TCellBroadcast::GetMessageCode() const {
  return static_cast<uint16_t>((SerialNumber[0] & 0x3F) * 16 + (SerialNumber[1] >> 4));
}

void TCellBroadcast::SetMessageCode(uint16_t V) {
  SerialNumber[0] = static_cast<uint8_t>((SerialNumber[0] & 0xC0) | ((V >> 4) & 0x3F));
  SerialNumber[1] = static_cast<uint8_t>((SerialNumber[1] & 0x0F) | ((V & 0x0F) << 4));
}

void TCellBroadcast::SetPageNumber(int Index, uint8_t V) {
  auto mask = static_cast<uint8_t>(0x0F << Index);
  PageParameter = static_cast<uint8_t>((PageParameter & ~mask) | ((V & 0x0F) << Index));
}

std::string TCellBroadcast::EncodePDU() {
  std::string r;
  r.reserve(88);
  r += static_cast<char>(SerialNumber[0]);
  r += static_cast<char>(SerialNumber[1]);
  r += static_cast<char>(MessageIdentifier >> 8);
  r += static_cast<char>(MessageIdentifier & 0xFF);
  r += static_cast<char>(DCS);
  r += static_cast<char>(PageParameter);
  std::string text = Content;
  if (text.size() < 93) text.append(93 - text.size(), '\r');
  text.resize(Packed() ? 93 : 82);
  r += EncodeString(text, Packed()).substr(1);
  return r;
}

void TCellBroadcast::DecodePDU(const std::string& Data) {
  if (Data.size() < 6)
    throw ESMSDecodeError(Framework::Format("Truncated cell broadcast page: %d octets, the header needs 6",
                                            static_cast<int>(Data.size())));
  auto at = [&](size_t i) { return static_cast<uint8_t>(Data[i]); };
  SerialNumber = {at(0), at(1)};
  MessageIdentifier = static_cast<uint16_t>(at(2) * 256 + at(3));
  DCS = at(4);
  PageParameter = at(5);
  RawContent = Data.substr(6);
  Content = DecodeString(std::string(1, '\x5D') + Data.substr(6), Packed());
  while (!Content.empty() && Content.back() == '\r') Content.pop_back();
}

}  // namespace Halyard::GSM

#pragma once
// One page of a cell broadcast message (GSM 03.41): 6 header octets and 82 of content.
#include <array>
#include <cstdint>
#include <string>

#include "halyard/gsm/SMS.h"

namespace Halyard::GSM {

class TCellBroadcast : public TSMS {
 public:
  std::array<uint8_t, 2> SerialNumber{};
  uint16_t MessageIdentifier = 0;
  uint8_t DCS = 0;
  uint8_t PageParameter = 0;
  std::string Content;
  // The 82 content octets as received, for decoding them in any coding (CellBroadcastText).
  std::string RawContent;

  std::string EncodePDU() override;
  // Needs the six header octets; shorter content decodes what is there.
  void DecodePDU(const std::string& Data) override;

  uint8_t GetGeographicalScope() const { return Get2Bits(SerialNumber[0], 6); }
  void SetGeographicalScope(uint8_t V) { Set2Bits(SerialNumber[0], 6, V); }
  uint16_t GetMessageCode() const;
  void SetMessageCode(uint16_t V);
  uint8_t GetUpdateNumber() const { return SerialNumber[1] & 0x0F; }
  void SetUpdateNumber(uint8_t V) { SerialNumber[1] = static_cast<uint8_t>((SerialNumber[1] & 0xF0) | (V & 0x0F)); }
  uint8_t GetPageNumber(int Index) const { return (PageParameter >> Index) & 0x0F; }
  void SetPageNumber(int Index, uint8_t V);
  uint8_t Page() const { return GetPageNumber(4); }
  uint8_t Pages() const { return GetPageNumber(0); }

  bool Packed() const { return (DCS & 0x0C) == 0; }
};

}  // namespace Halyard::GSM

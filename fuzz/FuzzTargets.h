#pragma once
// Bodies of the fuzz targets, shared by the libFuzzer programs and the corpus test.
#include <cstddef>
#include <cstdint>
#include <string>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/framework/FormText.h"
#include "halyard/framework/SysUtils.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/GSMUtils.h"
#include "halyard/gsm/SMS.h"

namespace HalyardFuzz {


// First byte picks direction and SCA handling; the rest is the PDU in binary.
inline void CreateSMS(const uint8_t* data, size_t size) {
  if (size == 0) return;
  Halyard::GSM::TFixedSMSModem noSCA(false, "+123");
  Halyard::GSM::ISMSModem* host = (data[0] & 2) ? &noSCA : nullptr;
  std::string hex = Halyard::AuxStr::Bin2Hex(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  try {
    auto sms = Halyard::GSM::TSMS2::CreateSMS(host, hex, data[0] & 1);
    if (sms) (void)sms->GetPDU();
  } catch (const Halyard::Framework::EConvertError&) {
  }
}

inline void CellBroadcast(const uint8_t* data, size_t size) {
  Halyard::GSM::TCellBroadcast cb;
  try {
    cb.DecodePDU(std::string(reinterpret_cast<const char*>(data), size));
    (void)cb.EncodePDU();
  } catch (const Halyard::Framework::EConvertError&) {
  }
}

inline void TextStamp(const uint8_t* data, size_t size) {
  int8_t zone = 0;
  try {
    (void)Halyard::GSM::TSMS2::DecodeTextStamp(std::string(reinterpret_cast<const char*>(data), size), zone);
  } catch (const Halyard::Framework::EConvertError&) {
  }
}

// A form file of the package's components, read in the designer so no device or file is touched.
inline void FormText(const uint8_t* data, size_t size) {
  try {
    Halyard::Framework::TOwned<Halyard::Framework::TComponent> root(Halyard::Framework::ReadComponentText(
        std::string(reinterpret_cast<const char*>(data), size), nullptr, true));
    (void)Halyard::Framework::WriteComponentText(*root);
  } catch (const Halyard::Framework::Exception&) {
  }
}

// A reply line's parameters: the message header and the test-command groups.
inline void ATReplies(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  try {
    int pos = 1;
    (void)Halyard::GSM::ParseDeliverTextHeader(line, pos);
  } catch (const Halyard::Framework::Exception&) {
  }
  try {
    int pos = 1;
    for (int i = 0; i < 6 && pos <= static_cast<int>(line.size()); ++i) (void)Halyard::GSM::ExtractParamGroup(line, pos);
  } catch (const Halyard::Framework::Exception&) {
  }
  for (auto* parse : {+[](const std::string& l) { (void)Halyard::GSM::ParseRegistration(l); },
                      +[](const std::string& l) { (void)Halyard::GSM::ParseSignalQuality(l); },
                      +[](const std::string& l) { (void)Halyard::GSM::ParseStoredIndication(l, 6); }}) {
    try {
      parse(line);
    } catch (const Halyard::Framework::Exception&) {
    }
  }
}

}  // namespace HalyardFuzz

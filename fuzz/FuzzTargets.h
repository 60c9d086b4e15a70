#pragma once
// Bodies of the fuzz targets, shared by the libFuzzer programs and the corpus test.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/framework/FormText.h"
#include "halyard/framework/SysUtils.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMSText.h"
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
                      +[](const std::string& l) { (void)Halyard::GSM::ParseStoredIndication(l, 6); },
                      +[](const std::string& l) { (void)Halyard::GSM::ParseStorageAnswer(l); },
                      +[](const std::string& l) { (void)Halyard::GSM::ParseServiceAnswer(l); },
                      +[](const std::string& l) { (void)Halyard::GSM::ParseListEntry(l, false); },
                      +[](const std::string& l) { (void)Halyard::GSM::ParseListEntry(l, true); },
                      +[](const std::string& l) {
                        int pos = 1;
                        (void)Halyard::GSM::ParseSubmitTextHeader(l, pos);
                      },
                      +[](const std::string& l) { (void)Halyard::GSM::ParseStatusReportTextHeader(l); },
                      +[](const std::string& l) { (void)Halyard::GSM::ParseBroadcastTextHeader(l); }}) {
    try {
      parse(line);
    } catch (const Halyard::Framework::Exception&) {
    }
  }
}

// A port that hands over what the harness gives it.
class TFuzzPort : public Halyard::Connect::TCommunicationConnection {
 public:
  TFuzzPort() : TCommunicationConnection(nullptr) {}
  std::string Incoming;
  int InQueCount() override { return static_cast<int>(Incoming.size()); }
  void PurgeIn() override { Incoming.clear(); }
  void PurgeOut() override {}
  int Write(const void*, int Count) override { return Count; }
  int Read(void* Buffer, int Count) override {
    int n = std::min<int>(Count, static_cast<int>(Incoming.size()));
    std::memcpy(Buffer, Incoming.data(), static_cast<size_t>(n));
    Incoming.erase(0, static_cast<size_t>(n));
    return n;
  }

 protected:
  void OpenConn() override {}
  void CloseConn() override {}
};

// What a modem sends, through the receive path and the handling of unsolicited lines: the first
// byte picks the model, the second the format and the chunk size, the rest is received.
inline void ReceivePath(const uint8_t* data, size_t size) {
  namespace G = Halyard::GSM;
  if (size < 2) return;
  Halyard::Framework::TOwned<G::TGSM> gsm(new G::TGSM(nullptr));
  gsm->SetEquipment(static_cast<G::TGSMEquipment>(data[0] % 11));
  if (gsm->SupportedSMSFormats().Contains(data[1] & 1)) gsm->SetSMSFormat(data[1] & 1);
  gsm->SetUnsolicitedIndication({G::uindSMSDeliver, G::uindSMSStatusReport, G::uindCellBroadcast});
  gsm->SetOnUnsolicitedSMS([](Halyard::Framework::TObject*, int, G::TSMS* sms) {
    if (auto* m = dynamic_cast<G::TSMS2*>(sms)) (void)m->GetPDU();
  });
  Halyard::Framework::TOwned<TFuzzPort> port(new TFuzzPort);
  const size_t chunk = 1 + (data[1] >> 1);
  for (size_t at = 2; at < size; at += chunk) {
    size_t n = std::min(chunk, size - at);
    port->Incoming.assign(reinterpret_cast<const char*>(data + at), n);
    gsm->DoComRxChar(port.get(), static_cast<int>(n));
    // As the hand-over thread does: a failing line is dropped and the framing goes on.
    for (;;) {
      try {
        gsm->cmRxChar();
        break;
      } catch (...) {
      }
    }
  }
}

// User data as it may arrive: the first byte picks DCS, header bit and concatenation values; the
// rest is the user data. Parts go through the header parser, the text decoder and a reassembler
// with small bounds; every text that comes out must be valid UTF-8 (checked by re-encoding).
inline void UserData(const uint8_t* data, size_t size) {
  namespace G = Halyard::GSM;
  if (size < 2) return;
  static G::TReassembler r({std::chrono::seconds(1), 8, 4096});
  G::TSMSDeliver d;
  d.OA = "+" + std::to_string(data[0] & 3);
  static const uint8_t kDCS[] = {0x00, 0x04, 0x08, 0xC8, 0xE0, 0xF0, 0xF4, 0x28};
  d.DCS = kDCS[data[1] & 7];
  d.SetPDUTypeBit(Halyard::GSM::Tp::kUdhiBit, data[1] & 8);
  d.UD.assign(reinterpret_cast<const char*>(data + 2), size - 2);
  if (d.Packed())
    for (auto& c : d.UD) c = static_cast<char>(c & 0x7F);
  try {
    auto whole = r.Add(d, G::TReassembler::Clock::time_point(std::chrono::milliseconds(data[0])));
    if (whole) (void)G::EncodeText(whole->Text);
  } catch (const Halyard::Framework::Exception&) {
  }
  (void)r.TakeExpired(G::TReassembler::Clock::time_point(std::chrono::milliseconds(data[0] * 4)));
  G::TCellBroadcast cb;
  try {
    cb.DecodePDU(std::string(reinterpret_cast<const char*>(data), size));
    (void)G::CellBroadcastText(cb);
  } catch (const Halyard::Framework::Exception&) {
  }
}

}  // namespace HalyardFuzz

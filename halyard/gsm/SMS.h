#pragma once
// SMS transfer-layer PDUs (GSM 03.40) in the 27.005 PDU-mode form.
#include <cstdint>
#include <memory>
#include <string>

#include "halyard/framework/Classes.h"
#include "halyard/framework/SysUtils.h"
#include "halyard/gsm/SMSAlphabet.h"

namespace Halyard::GSM {

using Framework::TDateTime;

// The first octet of a TPDU (23.040 9.2.3) and the types of address (9.1.2.5), by name.
namespace Tp {
constexpr uint8_t kMtiMask = 0x03;  // TP-MTI: the message type
constexpr uint8_t kMtiDeliver = 0x00, kMtiSubmit = 0x01, kMtiStatusReport = 0x02;  // as the MS sees them
constexpr int kMmsBit = 2;     // TP-MMS (DELIVER, STATUS-REPORT) / TP-RD (SUBMIT)
constexpr int kVpfShift = 3;   // TP-VPF (SUBMIT): two bits
constexpr uint8_t kVpfNone = 0, kVpfEnhanced = 1, kVpfRelative = 2, kVpfAbsolute = 3;
constexpr int kSrBit = 5;      // TP-SRR (SUBMIT), TP-SRI (DELIVER), TP-SRQ (STATUS-REPORT)
constexpr int kUdhiBit = 6;    // TP-UDHI: the user data begins with a header
constexpr int kRpBit = 7;      // TP-RP: a reply path is set
}  // namespace Tp
// Type of address: 1, type of number (3 bits), numbering plan (4 bits).
constexpr uint8_t kToaUnknown = 0x81;        // TON 000, ISDN/telephone
constexpr uint8_t kToaInternational = 0x91;  // TON 001: spelt with a leading "+"
constexpr uint8_t kToaNational = 0xA1;       // TON 010: spelt with a leading "#"
constexpr uint8_t kToaAlphanumeric = 0xD0;   // TON 101: packed septets

// What the message classes ask of the modem engine that steers their coding.
class ISMSModem {
 public:
  virtual ~ISMSModem() = default;
  // Whether a service-centre address precedes the TPDU in this modem's PDUs.
  virtual bool SCAinPDU() const = 0;
  // The engine's default service-centre address.
  virtual std::string SCA() const = 0;
};

// A stand-in with fixed answers, for PDUs made or read without an engine: a modem whose PDUs
// carry no service-centre octet, a codec test, a tool.
struct TFixedSMSModem : ISMSModem {
  explicit TFixedSMSModem(bool AInPDU = true, std::string ACentre = "") : InPDU(AInPDU), Centre(std::move(ACentre)) {}
  bool SCAinPDU() const override { return InPDU; }
  std::string SCA() const override { return Centre; }
  bool InPDU;
  std::string Centre;
};

// A PDU that ends before a field it must hold.
class ESMSDecodeError : public Framework::EConvertError {
 public:
  using EConvertError::EConvertError;
};

class TSMS : public Framework::TObject {
 public:
  ISMSModem* GSM = nullptr;  // not owned; nil means no modem

  virtual std::string EncodePDU() = 0;
  virtual void DecodePDU(const std::string& Data) = 0;

  std::string GetPDU();
  void SetPDU(const std::string& HexText);

  static bool GetBit(uint8_t B, int N) { return (B >> N) & 1; }
  static uint8_t Get2Bits(uint8_t B, int N) { return (B >> N) & 3; }
  static void SetBit(uint8_t& B, int N, bool V) {
    B = static_cast<uint8_t>(V ? (B | (1u << N)) : (B & ~(1u << N)));
  }
  static void Set2Bits(uint8_t& B, int N, uint8_t V) {
    B = static_cast<uint8_t>((B & ~(3u << N)) | ((V & 3u) << N));
  }
  static uint8_t Byte2BCD(uint8_t V) { return static_cast<uint8_t>(((V % 10) << 4) + ((V / 10) & 0x0F)); }
  static uint8_t BCD2Byte(uint8_t B) { return static_cast<uint8_t>((B & 0x0F) * 10 + (B >> 4)); }
  // Length octet, then the characters: packed as septets when Packed, else unchanged.
  static std::string EncodeString(const std::string& S, bool Packed);
  // Reads no further than S holds: a short string gives the characters that are there.
  static std::string DecodeString(const std::string& S, bool Packed);

 protected:
  // Whether a service-centre address field stands in front of the TPDU.
  bool HasSCAField() const { return GSM == nullptr || GSM->SCAinPDU(); }
};

// Relative validity period (GSM 03.40), in days.
uint8_t DTToValPer(TDateTime Period);
TDateTime ValPerToDT(uint8_t V);

class TSMS2 : public TSMS {
 public:
  std::string SCA;
  uint8_t PDUType = 0;
  uint8_t DCS = 0;
  std::string UD;

  bool GetPDUTypeBit(int N) const { return GetBit(PDUType, N); }
  void SetPDUTypeBit(int N, bool V) { SetBit(PDUType, N, V); }
  uint8_t GetPDUType2Bits(int N) const { return Get2Bits(PDUType, N); }
  void SetPDUType2Bits(int N, uint8_t V) { Set2Bits(PDUType, N, V); }
  void SetSCA(const std::string& V) { SCA = V; }
  // 7-bit default-alphabet coding when bits 2 and 3 of DCS are clear.
  bool Packed() const { return (DCS & 0x0C) == 0; }

  // An address: digits with "+" (international) or "#" (national) in front, or, when
  // Alphanumeric, a name of up to 11 characters of the default alphabet (TON 101).
  static std::string EncodeODA(const std::string& A, bool Alphanumeric = false);
  // Pos (1-based) designates the length octet and advances past the field.
  static std::string DecodeODA(const std::string& Data, int& Pos);
  std::string DecodeSCA(const std::string& Data, int& Pos) const;
  std::string EncodeUD() const;
  void DecodeUD(const std::string& Tail);
  static std::string EncodeStamp(TDateTime T);
  static TDateTime DecodeStamp(const std::string& S);
  static std::string EncodeTextStamp(TDateTime T, int8_t Z);
  static TDateTime DecodeTextStamp(const std::string& S, int8_t& Z);
  // Time-zone octet in quarter hours; bit 3 carries the sign.
  static uint8_t EncodeTimeZone(int8_t Z);
  static int8_t DecodeTimeZone(uint8_t B);

  // A new object of the class the PDU's message type calls for, filled from it; nothing for
  // an empty text, a type 11 or a PDU without a first octet. The caller owns the object.
  static std::unique_ptr<TSMS2> CreateSMS(ISMSModem* AGSM, const std::string& PDUText, bool Incoming);

 protected:
  // Optional SCA prefix of every encoder, and its reading in every decoder.
  std::string EncodeSCAPrefix() const { return HasSCAField() ? std::string(1, '\0') : std::string(); }
  int DecodeSCAPrefix(const std::string& Data);
};

class TSMSSubmit : public TSMS2 {
 public:
  TSMSSubmit() { PDUType = Tp::kMtiSubmit; }
  uint8_t PID = 0;
  std::string DA;
  uint8_t MR = 0;
  TDateTime VP = 0;
  int8_t TimeZone = 0;
  std::string EncodePDU() override;
  void DecodePDU(const std::string& Data) override;
};

class TSMSDeliver : public TSMS2 {
 public:
  TSMSDeliver() { PDUType = Tp::kMtiDeliver; }
  uint8_t PID = 0;
  std::string OA;
  TDateTime SCTS = 0;
  int8_t TimeZone = 0;
  std::string EncodePDU() override;
  void DecodePDU(const std::string& Data) override;
};

class TSMSStatusReport : public TSMS2 {
 public:
  TSMSStatusReport() { PDUType = Tp::kMtiStatusReport; }
  uint8_t MR = 0;
  std::string RA;
  TDateTime SCTS = 0;
  int8_t TimeZone = 0;
  TDateTime DT = 0;
  int8_t DTTimeZone = 0;
  uint8_t ST = 0;
  std::string EncodePDU() override;
  void DecodePDU(const std::string& Data) override;
};

class TSMSCommand : public TSMS2 {
 public:
  TSMSCommand() { PDUType = Tp::kMtiStatusReport; }  // SMS-COMMAND shares the value, MS to SC
  uint8_t MR = 0;
  uint8_t PID = 0;
  uint8_t CT = 0;
  uint8_t MN = 0;
  std::string DA;
  std::string EncodePDU() override;
  void DecodePDU(const std::string& Data) override;
};

class TSMSDeliverReport : public TSMS2 {
 public:
  TSMSDeliverReport() { PDUType = Tp::kMtiDeliver; }
  uint8_t ParameterIndicator = 0;
  uint8_t PID = 0;
  bool GetPresentBit(int N) const { return GetBit(ParameterIndicator, N); }
  void SetPresentBit(int N, bool V) { SetBit(ParameterIndicator, N, V); }
  std::string EncodePDU() override;
  void DecodePDU(const std::string& Data) override;

 protected:
  // TP-PID, TP-DCS and UDL+UD under the bits of TP-PI.
  std::string EncodeOptional() const;
  void DecodeOptional(const std::string& Data, int Pos);
};

class TSMSSubmitReport : public TSMSDeliverReport {
 public:
  TSMSSubmitReport() { PDUType = Tp::kMtiSubmit; }
  TDateTime SCTS = 0;
  int8_t TimeZone = 0;
  std::string EncodePDU() override;
  void DecodePDU(const std::string& Data) override;
};

// Application-level message classes; Tag is the application's own.
class TMOSMS : public TSMSSubmit {
 public:
  int32_t Tag = 0;
};

class TMTSMS : public TSMSDeliver {
 public:
  int32_t Tag = 0;
};

}  // namespace Halyard::GSM

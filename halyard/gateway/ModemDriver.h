#pragma once
// What the gateway asks of a modem: open it, send a part, list, read and delete what it stored,
// and hear what it announces. The gateway's outbox and inbox rules (TModemLink) are written
// against this and nothing else, so they are tested against a driver of the test's own; the
// AT driver is the one that runs.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "halyard/gateway/GatewayConfig.h"
#include "halyard/gateway/SmsStore.h"
#include "halyard/gsm/Ussd.h"

namespace Halyard::GSM {
class TSMS;
class TSMS2;
class TSMSSubmit;
}  // namespace Halyard::GSM

namespace Halyard::Gateway {

// A part that did not go out as asked.
class EPartFailed : public std::runtime_error {
 public:
  enum TKind {
    pfRefused,    // the modem answered with an error: not sent
    pfNoAnswer,   // no answer before the body went: not sent, the modem is in trouble
    pfMaybeSent,  // the body went and no answer came: it may have gone out
  };
  EPartFailed(TKind Kind, const std::string& What, int Cms = -1)
      : std::runtime_error(What), Kind(Kind), Cms(Cms) {}
  TKind Kind;
  int Cms;  // the +CMS ERROR number of a refusal, or -1
};

// What a device answers with before it is opened for use.
struct TDeviceIdentity {
  std::string IMEI, ICCID;
};

// One message a modem holds in its storage.
struct TStoredMessage {
  int Index = -1;
  std::string Storage;
  std::string Content;               // as the modem gave it: the PDU, or text mode's header and body
  std::unique_ptr<GSM::TSMS2> Sms;   // nullptr: it could not be read
  std::string Problem;               // why not, or what was left out
  bool StampUnknown = false;         // read, but its service-centre time stamp could not be
  std::string From, Text;            // of one that could not be read, what could be
};

struct TDriverEvents {
  // The modem stored something new: list it.
  std::function<void()> Stored;
  // A message or report handed over directly, not stored: acknowledged to the network when
  // this returns, refused (to come again) when it throws.
  std::function<void(GSM::TSMS& Sms)> Direct;
};

class IModemDriver {
 public:
  virtual ~IModemDriver() = default;
  // Opens and sets the modem up, or raises. Events come from here on, on the driver's threads
  // (never on one that other modems share).
  virtual void Open(TDriverEvents Events) = 0;
  // The device and what the open chose, for the log.
  virtual std::string Describe() = 0;
  // What the modem says of itself and its network, into Record (model, IMEI, IMSI, operator);
  // what it cannot say is left as it is.
  virtual void Identify(TModemRecord& Record) = 0;
  // Its signal and registration now, into Record; raises when the modem does not answer.
  virtual void Probe(TModemRecord& Record) = 0;
  // Sends one part (its TP-MR is the modem's to give); the message reference, or -1 when the
  // modem named none. Raises EPartFailed.
  virtual int SendPart(GSM::TSMSSubmit& Part) = 0;
  // Everything in the storage where received messages go.
  virtual std::vector<TStoredMessage> ListStored() = 0;
  virtual void Delete(const TStoredMessage& Message) = 0;
  // Whether the modem started again by itself since the last call: it needs opening again.
  virtual bool TakeRestart() = 0;
  // Sends a USSD code or a menu's reply and waits for the network's answer; raises
  // GSM::EGSMError when the modem refuses it or no answer comes in time.
  virtual GSM::TUssdAnswer Ussd(const std::string& Code, int TimeoutMs) = 0;
  virtual void CancelUssd() = 0;
  // Before an open, to a modem that stopped answering: its reset (AT+CFUN=1,1), sent whether or
  // not anything answers. Raises only when the device cannot be opened at all.
  virtual void Reset() = 0;
  // Before an open: the IMEI the device answers with (AT+CGSN) and, when Iccid, its SIM's ICCID,
  // without setting anything up; "" for what it does not say. Raises when the device cannot be
  // opened or does not answer.
  virtual TDeviceIdentity ProbeIdentity(bool Iccid) = 0;
};

using TDriverFactory = std::function<std::unique_ptr<IModemDriver>(const TModemConfig& Modem, const TLogSink& Log)>;

// A modem driven by AT commands through a modem session (its events on its own thread).
std::unique_ptr<IModemDriver> MakeATDriver(const TModemConfig& Modem, const TLogSink& Log);

}  // namespace Halyard::Gateway

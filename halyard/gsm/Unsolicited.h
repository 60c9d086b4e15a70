#pragma once
// What a framed line outside a transaction asks of the engine: the line and the few facts the
// rules depend on in, an action out. No engine state, so lines test them as strings.
#include <memory>
#include <string>

#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/gsm/SMS.h"

namespace Halyard::GSM {

struct TUnsolicitedContext {
  bool TextMode = false;  // SMS format 1
  TPINStep PINStep = psStandard;
  TRegistrationStep Registration = rsCREG;
  bool StatusReportStored = false;
  bool ReportsInSR = false;
  static TUnsolicitedContext Of(const TGSMModel& Model, bool TextMode) {
    return {TextMode, Model.PINStep, Model.Registration, Model.StatusReportStored, Model.ReportsInSR};
  }
};

struct TUnsolicitedAction {
  enum TKind {
    uaLine,          // no rule takes it: the application's
    uaNone,          // taken, nothing to do (the answer to "AT+CREG=?")
    uaRegistration,  // the registration status is now Registration
    uaStartedUp,     // the WaveCom module has finished starting up
    uaStored,        // an item the modem stored, at Stored
    uaAwaitBody,     // Message waits for its body: BodyLength characters of text (0: the next
                     // line), or a PDU line (-1)
    uaMessage,       // Message came whole in its line (a text-mode status report)
  } Kind = uaLine;
  int Registration = 0;
  TStoredIndication Stored;
  std::unique_ptr<TSMS> Message;
  int BodyLength = -1;
};

// The rules in their order: the first whose prefix matches (letter case included) and that takes
// the line decides. A field that is not a number raises EConvertError (the line is dropped).
TUnsolicitedAction UnsolicitedAction(const std::string& Line, const TUnsolicitedContext& C);

// Completes a message that waited for its body with the line behind its header: the text in
// text mode, else its PDU (raises on a PDU that cannot be read).
void CompleteBody(TSMS& Message, const std::string& Line, bool TextMode);

}  // namespace Halyard::GSM

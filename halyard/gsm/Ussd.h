#pragma once
// USSD (27.007 7.15, 23.038 5): a code such as "*100#" sent with +CUSD, and the network's answer,
// which comes back as an unsolicited "+CUSD: <m>,<str>,<dcs>" line. The answer's text is in the
// cell-broadcast coding its <dcs> names: GSM 7-bit (as text, or, as Huawei modems give it, as the
// hex of the packed septets), 8-bit, or UCS2 in hex.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "halyard/gsm/GSMUtils.h"

namespace Halyard::GSM {

class TGSM;

// No answer from the network within the time given.
class EUssdNoAnswer : public EGSMError {
 public:
  using EGSMError::EGSMError;
};

struct TUssdAnswer {
  // 0 done, 1 the network waits for a reply, 2 ended by the network, 3 answered by another
  // client, 4 not supported, 5 timed out (27.007 7.15 <m>).
  int Status = -1;
  std::string Text;  // UTF-8
  int Dcs = -1;      // -1: none given
  bool MoreToCome() const { return Status == 1; }
};

// The answer of a "+CUSD:" line; nothing for any other line.
std::optional<TUssdAnswer> ParseCusd(const std::string& Line);
// A +CUSD string in the coding scheme Dcs (-1: none given, read as text).
std::string DecodeUssd(const std::string& Str, int Dcs);
// A code as the hex of its packed septets, as Huawei modems take it.
std::string PackUssd(const std::string& Text);
// Whether Code can be sent: 1 to 160 of 0-9 * # +.
bool ValidUssdCode(const std::string& Code);

// +CUSD lines as they come on the modem's unsolicited lines, for whoever waits for them.
// Thread-safe: lines are offered on the thread that frames them.
class TUssdMailbox {
 public:
  // Takes a +CUSD line, and the lines its quoted text runs on into (true); leaves any other.
  bool Offer(const std::string& Line);
  // The next answer, within Timeout; on the main thread of a program whose modem frames its
  // lines there, the hand-overs keep running meanwhile.
  std::optional<TUssdAnswer> Wait(std::chrono::milliseconds Timeout, bool PumpMainThread);
  void Clear();

 private:
  std::mutex M_;
  std::condition_variable Cv_;
  std::deque<TUssdAnswer> Answers_;
  std::string Partial_;  // a +CUSD line whose quoted text goes on in the lines after it
};

// Sends Code (or the reply to a menu) and waits for the network's answer. Raises EGSMError when
// the modem refuses it or no answer comes within TimeoutMs (the session is then cancelled).
TUssdAnswer SendUssd(TGSM& G, TUssdMailbox& Box, const std::string& Code, int TimeoutMs);
// Ends a session the network waits in (AT+CUSD=2).
void CancelUssd(TGSM& G);

}  // namespace Halyard::GSM

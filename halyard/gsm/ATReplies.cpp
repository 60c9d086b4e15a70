#include "halyard/gsm/ATReplies.h"

#include "halyard/gsm/GSMUtils.h"
#include "halyard/gsm/SMS.h"

namespace Halyard::GSM {

TDeliverTextHeader ParseDeliverTextHeader(const std::string& Params, int& Pos) {
  auto next = [&] { return ExtractParam(Params, Pos); };
  auto number = [&] { return Framework::StrToInt(next()); };
  TDeliverTextHeader h;
  h.OA = TrimQuotes(next());
  next();  // alpha
  h.SCTS = TSMS2::DecodeTextStamp(TrimQuotes(next()), h.TimeZone);
  h.Detailed = Pos <= static_cast<int>(Params.size());
  if (h.Detailed) {
    next();  // type of address
    h.FO = static_cast<uint8_t>(number());
    h.PID = static_cast<uint8_t>(number());
    h.DCS = static_cast<uint8_t>(number());
    next();
    next();  // service-centre address and its type
    h.Length = number();
  }
  return h;
}

}  // namespace Halyard::GSM

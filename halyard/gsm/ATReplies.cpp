#include "halyard/gsm/ATReplies.h"

#include <algorithm>

#include "halyard/auxstr/AuxStr.h"
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

int ParseRegistration(const std::string& Line) {
  if (Line.find(',') == std::string::npos) return Framework::StrToInt(Line.substr(std::min<size_t>(7, Line.size())));
  int pos = 7;
  int status = Framework::StrToInt(ExtractParam(Line, pos));
  std::string second = ExtractParam(Line, pos);
  if (!second.empty() && second[0] != '"') status = Framework::StrToInt(second);
  return status;
}

int ParseSignalQuality(const std::string& Line) {
  std::string signal = Line.substr(std::min<size_t>(6, Line.size()));
  return Framework::StrToInt(AuxStr::Trim(signal.substr(0, signal.find(','))));
}

TStoredIndication ParseStoredIndication(const std::string& Line, int PrefixLength) {
  int pos = PrefixLength + 1;
  TStoredIndication r;
  r.Storage = ExtractParam(Line, pos);
  r.Index = Framework::StrToInt(ExtractParam(Line, pos));
  return r;
}

}  // namespace Halyard::GSM

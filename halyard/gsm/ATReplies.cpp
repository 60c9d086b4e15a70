#include "halyard/gsm/ATReplies.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

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

void TDeliverTextHeader::ApplyTo(TSMSDeliver& D) const {
  D.OA = OA;
  D.SCTS = SCTS;
  D.TimeZone = TimeZone;
  if (Detailed) {
    D.PDUType = FO;
    D.PID = PID;
    D.DCS = DCS;
  }
}

int ParseRegistration(const std::string& Line) {
  if (Line.find(',') == std::string::npos) return Framework::StrToInt(Line.substr(std::min<size_t>(7, Line.size())));
  std::vector<std::string> fields;
  for (int pos = 7; pos <= static_cast<int>(Line.size());) fields.push_back(AuxStr::Trim(ExtractParam(Line, pos)));
  // "<n>,<stat>[,<lac>,<ci>[,<act>]]" answers a query; "<stat>,<lac>,<ci>[,<act>]" is the
  // indication. Huawei leaves the area and cell unquoted ("+CREG: 5,8BE3,2BAF"): the second
  // field is a status only when it is a short number, and three fields are always the indication.
  if (fields.size() < 2) return Framework::StrToInt(fields.empty() ? std::string() : fields[0]);
  const std::string& second = fields[1];
  bool answer = fields.size() != 3 && !second.empty() && second.size() <= 2 &&
                second.find_first_not_of("0123456789") == std::string::npos;
  return Framework::StrToInt(answer ? second : fields[0]);
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

std::vector<std::string> ParseStorages(const std::string& Params) {
  std::vector<std::string> r;
  int pos = 1;
  for (int field = 0; pos <= static_cast<int>(Params.size()); ++field) {
    std::string f = AuxStr::Trim(ExtractParam(Params, pos));
    if (field % 3 == 0 && !f.empty() && f[0] == '"') r.push_back(f);
  }
  return r;
}

std::vector<std::string> ParseStorageOffer(const std::string& Params) {
  std::vector<std::string> r;
  size_t open = Params.find('('), close = Params.find(')', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos) return r;
  for (size_t q = Params.find('"', open); q != std::string::npos && q < close;) {
    size_t e = Params.find('"', q + 1);
    if (e == std::string::npos || e > close) break;
    r.push_back(Params.substr(q, e - q + 1));
    q = Params.find('"', e + 1);
  }
  return r;
}

std::string ParseStorageAnswer(const std::string& Params) {
  int pos = 1;
  return ExtractParam(Params, pos);
}

int ParseServiceAnswer(const std::string& Params) {
  int pos = 1;
  int value = 0;
  if (!Framework::TryStrToInt(ExtractParam(Params, pos), value))
    GSMError(Framework::Format("The modem's answer to AT+CSMS? has no service number: %s", Params));
  return value;
}

int TextStatus(const std::string& Name) {
  for (int i = 0; i < static_cast<int>(StatS.size()); ++i)
    if (Name == StatS[static_cast<size_t>(i)]) return i;
  return -1;
}

TListEntry ParseListEntry(const std::string& Params, bool TextMode) {
  int pos = 1;
  TListEntry e;
  e.Index = Framework::StrToInt(ExtractParam(Params, pos));
  std::string status = ExtractParam(Params, pos);
  e.Status = TextMode ? TextStatus(TrimQuotes(status)) : Framework::StrToInt(status);
  return e;
}

TSubmitTextHeader ParseSubmitTextHeader(const std::string& Params, int& Pos) {
  auto next = [&] { return ExtractParam(Params, Pos); };
  auto number = [&] { return static_cast<uint8_t>(Framework::StrToInt(next())); };
  TSubmitTextHeader h;
  h.DA = TrimQuotes(next());
  next();  // alpha
  h.Detailed = Pos < static_cast<int>(Params.size());
  if (!h.Detailed) return h;
  next();  // type of address
  h.FO = number();
  h.PID = number();
  h.DCS = number();
  // The validity is left out by some modems: a quoted field without "/" is the service centre.
  std::string w = next();
  if (w.find('"') == std::string::npos || w.find('/') != std::string::npos) {
    w = TrimQuotes(w);
    if (!w.empty() && w.size() <= 3) {
      h.VP = ValPerToDT(static_cast<uint8_t>(Framework::StrToInt(w)));
      h.HasVP = true;
    } else if (w.size() == 20) {
      h.VP = TSMS2::DecodeTextStamp(w, h.TimeZone);
      h.HasVP = true;
    }
    next();  // service-centre address
  }
  next();  // its type
  h.Length = Framework::StrToInt(next());
  return h;
}

TStatusReportTextHeader ParseStatusReportTextHeader(const std::string& Params) {
  int pos = 1;
  auto next = [&] { return ExtractParam(Params, pos); };
  auto number = [&] { return static_cast<uint8_t>(Framework::StrToInt(next())); };
  TStatusReportTextHeader h;
  h.FO = number();
  h.MR = number();
  h.RA = TrimQuotes(next());
  next();  // type of address
  h.SCTS = TSMS2::DecodeTextStamp(TrimQuotes(next()), h.TimeZone);
  h.DT = TSMS2::DecodeTextStamp(TrimQuotes(next()), h.DTTimeZone);
  h.ST = number();
  return h;
}

TBroadcastTextHeader ParseBroadcastTextHeader(const std::string& Params) {
  int pos = 1;
  auto number = [&] { return Framework::StrToInt(ExtractParam(Params, pos)); };
  TBroadcastTextHeader h;
  h.SerialNumber = static_cast<uint16_t>(number());
  h.MessageIdentifier = static_cast<uint16_t>(number());
  h.DCS = static_cast<uint8_t>(number());
  h.Page = static_cast<uint8_t>(number());
  h.Pages = static_cast<uint8_t>(number());
  return h;
}

namespace {
// Printed by modems of their own accord, without a sigil. Boot and state lines of SIMCom
// ("RDY", "Call Ready", "SMS Ready"), Quectel ("RDY", "POWERED DOWN"), Cinterion ("^SYSSTART").
const char* const kBareReports[] = {"RDY",         "Call Ready",   "SMS Ready", "PB DONE", "NORMAL POWER DOWN",
                                    "POWERED DOWN", "UNDER-VOLTAGE POWER DOWN", "OVER-VOLTAGE POWER DOWN",
                                    "UNDER-VOLTAGE WARNNING", "OVER-VOLTAGE WARNNING", "RING"};
const char* const kRestartLines[] = {"RDY", "^SYSSTART", "SMS Ready", "+QIND: SMS DONE", "+QIND: \"SMS DONE\"",
                                     "+PBREADY"};
}  // namespace

bool IsUnsolicitedLine(const std::string& Line, const std::string& CommandName) {
  if (Line.empty()) return false;
  for (const char* bare : kBareReports)
    if (Line == bare) return true;
  if (std::string_view("+^#*$%").find(Line[0]) == std::string_view::npos) return false;
  size_t colon = Line.find(':');
  if (colon == std::string::npos || colon < 2) return false;
  for (size_t i = 1; i < colon; ++i)
    if (!std::isalnum(static_cast<unsigned char>(Line[i])) && Line[i] != '_') return false;
  return AuxStr::UpString(Line.substr(0, colon)) != AuxStr::UpString(CommandName);
}

bool IsRestartLine(const std::string& Line) {
  for (const char* l : kRestartLines)
    if (Line == l) return true;
  return false;
}

std::string ParseIccid(const std::string& Line) {
  std::string v = Line;
  bool swapped = false;
  if (size_t colon = v.find(':'); colon != std::string::npos) {
    swapped = v.compare(0, 5, "+CRSM") == 0;
    v = v.substr(colon + 1);
  }
  if (swapped) {
    // sw1,sw2,"response": only 144 (0x90) is success.
    size_t c1 = v.find(','), c2 = c1 == std::string::npos ? c1 : v.find(',', c1 + 1);
    if (c2 == std::string::npos || AuxStr::Trim(v.substr(0, c1)) != "144") return "";
    v = v.substr(c2 + 1);
  }
  std::string d;
  for (char c : v)
    if ((c >= '0' && c <= '9') || c == 'F' || c == 'f') d += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    else if (c != '"' && c != ' ') return "";
  if (swapped) {
    if (d.size() % 2) return "";
    for (size_t i = 0; i + 1 < d.size(); i += 2) std::swap(d[i], d[i + 1]);
  }
  while (!d.empty() && d.back() == 'F') d.pop_back();
  // ITU-T E.118: 18 to 20 digits (22 with an old check digit scheme), no F inside.
  if (d.size() < 18 || d.size() > 22 || d.find('F') != std::string::npos) return "";
  return d;
}

}  // namespace Halyard::GSM

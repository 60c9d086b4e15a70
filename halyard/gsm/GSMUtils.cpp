#include "halyard/gsm/GSMUtils.h"

#include "halyard/auxstr/AuxStr.h"
#include "halyard/resources/Resources.h"

namespace Halyard::GSM {

namespace R = Halyard::Resources;
using AuxStr::Trim;
using AuxStr::UpString;

const std::array<const char*, 5> StatS = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT", "ALL"};

void GSMError(const std::string& Msg) { throw EGSMError(Msg); }

bool IsATResponse(const std::string& S) {
  return !S.empty() && (S[0] == '+' || S[0] == '^') && S.find(": ") != std::string::npos;
}

std::string AnswerLine(const Framework::TStringList& Answer, const std::string& Cmd) {
  if (Answer.Count() == 0) GSMError(Framework::Format("The modem answered %s without the information asked for", Cmd));
  return Answer[0];
}

std::string StripATResponse(const std::string& S) {
  if (!IsATResponse(S)) return S;
  return Trim(S.substr(S.find(": ") + 2));
}

std::string ExtractParam(const std::string& S, int& Pos) {
  int n = static_cast<int>(S.size());
  int start = std::max(Pos, 1);
  int i = start;
  bool quoted = false;
  while (i <= n && (S[static_cast<size_t>(i - 1)] != ',' || quoted)) {
    if (S[static_cast<size_t>(i - 1)] == '"') quoted = !quoted;
    ++i;
  }
  std::string r = start <= n ? Trim(S.substr(static_cast<size_t>(start - 1), static_cast<size_t>(i - start))) : "";
  if (i <= n && S[static_cast<size_t>(i - 1)] == ',') ++i;
  Pos = i;
  return r;
}

namespace {
// The numbers and ranges ("0-3") of a text, whatever separates them.
TByteSet NumbersOf(const std::string& p) {
  TByteSet set;
  long long previous = 0;
  bool range = false;
  size_t i = 0;
  while (i < p.size()) {
    if (p[i] >= '0' && p[i] <= '9') {
      size_t j = i;
      while (j < p.size() && p[j] >= '0' && p[j] <= '9') ++j;
      long long n = Framework::StrToInt(p.substr(i, j - i));  // a run too long raises, as documented
      if (n <= 255) set.Include(static_cast<int>(n));
      if (range)
        for (long long k = previous; k <= n && k <= 255; ++k) set.Include(static_cast<int>(k));
      range = false;
      previous = n;
      i = j;
    } else {
      range = p[i] == '-';
      ++i;
    }
  }
  return set;
}
}  // namespace

TByteSet ExtractParamSet(const std::string& S, int& Pos) { return NumbersOf(ExtractParam(S, Pos) + ")"); }

TByteSet ExtractParamGroup(const std::string& S, int& Pos) {
  size_t i = static_cast<size_t>(std::max(Pos, 1) - 1);
  while (i < S.size() && S[i] == ' ') ++i;
  if (i >= S.size() || S[i] != '(') return ExtractParamSet(S, Pos);
  size_t close = S.find(')', i);
  if (close == std::string::npos) close = S.size();
  TByteSet set = NumbersOf(S.substr(i + 1, close - i - 1));
  size_t next = std::min(close + 1, S.size());
  while (next < S.size() && S[next] == ' ') ++next;
  if (next < S.size() && S[next] == ',') ++next;
  Pos = static_cast<int>(next) + 1;
  return set;
}

std::string TrimQuotes(const std::string& S) {
  size_t b = S.find_first_not_of('"');
  if (b == std::string::npos) return {};
  size_t e = S.find_last_not_of('"');
  return S.substr(b, e - b + 1);
}

TGSMEquipment Str2GMSEquipment(const std::string& S) {
  for (size_t i = 0; i < GSMEquipmentShortName.size(); ++i)
    if (UpString(S) == UpString(GSMEquipmentShortName[i])) return static_cast<TGSMEquipment>(i);
  GSMError(R::LoadResString(R::sBadEquipmentName));
}

void RaiseResponseError(const std::string& Line, const std::string& Cmd) {
  std::string u = UpString(Line);
  int ident = -1;
  int code = 0;
  if (u.rfind("+CME ERROR: ", 0) == 0 && Framework::TryStrToInt(u.substr(12), code)) ident = R::CMEErrorBase + code;
  else if (u.rfind("+CMS ERROR: ", 0) == 0 && Framework::TryStrToInt(u.substr(12), code)) ident = R::CMSErrorBase + code;
  std::string detail;
  if (ident >= 0 && R::HasResString(ident)) detail = " \"" + R::LoadResString(ident).substr(0, 255) + "\"";
  EGSMError::TSource source = u.rfind("+CMS ERROR:", 0) == 0   ? EGSMError::esCMS
                              : u.rfind("+CME ERROR:", 0) == 0 ? EGSMError::esCME
                                                               : EGSMError::esNone;
  throw EGSMError(Framework::Format(R::LoadResString(R::sResponseError), Line, detail, Cmd), source,
                  ident >= 0 ? code : -1);
}

}  // namespace Halyard::GSM

#pragma once
// Taking modem response lines apart, the model names, and the GSM error texts.
#include <array>
#include <bitset>
#include <string>

#include "halyard/commconnect/CommConnect.h"
#include "halyard/framework/Set.h"

namespace Halyard::GSM {

class EGSMError : public CommConnect::EComError {
 public:
  using EComError::EComError;
  // The modem's own error number, for a "+CMS ERROR: <n>" (27.005 3.2.5) or "+CME ERROR: <n>"
  // (27.007 9.2) answer: what a caller decides on, rather than the text.
  enum TSource { esNone, esCMS, esCME };
  EGSMError(const std::string& Msg, TSource Source, int Code) : EComError(Msg), Source(Source), Code(Code) {}
  TSource Source = esNone;
  int Code = -1;  // -1: none, or an error given as text only
};
// A two-stage command whose body went to the modem got no final answer: the modem may have acted
// on it (a message may have gone out), so it is not sent again.
class EGSMNoAnswerAfterBody : public EGSMError {
 public:
  using EGSMError::EGSMError;
};

[[noreturn]] void GSMError(const std::string& Msg);
// The first line of a command's answer; a modem that said only OK gets a clear error that
// names the command, not a list index.
std::string AnswerLine(const Framework::TStringList& Answer, const std::string& Cmd);

// The eleven classic models, then any 27.005 modem (eqGeneric) and the families of today's
// modems where they differ from it.
enum TGSMEquipment {
  eqA1, eqM1, eqM20, eqGM12, eqNokia6210, eqNokia9110, eqM35, eqS25, eqT260, eqWaveCom, eqTC35,
  eqGeneric, eqQuectel, eqSIMCom, eqHuawei, eqSierra, eqUblox, eqTelit
};
constexpr size_t kEquipmentCount = static_cast<size_t>(eqTelit) + 1;
using TGSMEquipmentSet = Framework::Set<TGSMEquipment, 32>;
// Columns of the model table (GSMModels.cpp).
extern const std::array<const char*, kEquipmentCount> GSMEquipmentShortName;
extern const std::array<const char*, kEquipmentCount> GSMEquipmentLongName;
extern const std::array<const char*, 5> StatS;

// A set of the integers 0 to 255.
class TByteSet {
 public:
  TByteSet() = default;
  TByteSet(std::initializer_list<int> v) {
    for (int i : v) Include(i);
  }
  bool Contains(int v) const { return v >= 0 && v <= 255 && Bits_.test(static_cast<size_t>(v)); }
  void Include(int v) {
    if (v >= 0 && v <= 255) Bits_.set(static_cast<size_t>(v));
  }
  bool Empty() const { return Bits_.none(); }
  int Count() const { return static_cast<int>(Bits_.count()); }
  bool operator==(const TByteSet&) const = default;

 private:
  std::bitset<256> Bits_;
};

bool IsATResponse(const std::string& S);
std::string StripATResponse(const std::string& S);
// Pos is 1-based; it moves behind the parameter and its comma.
std::string ExtractParam(const std::string& S, int& Pos);
TByteSet ExtractParamSet(const std::string& S, int& Pos);
// A parameter of a test command's answer: a parenthesised group ("(0,1,2)", "(0-3)") as one
// set, or else as ExtractParamSet reads it.
TByteSet ExtractParamGroup(const std::string& S, int& Pos);
std::string TrimQuotes(const std::string& S);
TGSMEquipment Str2GMSEquipment(const std::string& S);
[[noreturn]] void RaiseResponseError(const std::string& Line, const std::string& Cmd);

}  // namespace Halyard::GSM

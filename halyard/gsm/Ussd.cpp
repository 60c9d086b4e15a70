#include "halyard/gsm/Ussd.h"

#include <algorithm>
#include <cctype>

#include "halyard/framework/Threads.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/SMSText.h"

namespace Halyard::GSM {

namespace {

bool IsHex(const std::string& S) {
  if (S.empty() || S.size() % 2) return false;
  for (unsigned char c : S)
    if (!std::isxdigit(c)) return false;
  return true;
}

std::string Octets(const std::string& Hex) {
  std::string r;
  for (size_t i = 0; i + 1 < Hex.size(); i += 2) r += static_cast<char>(std::stoi(Hex.substr(i, 2), nullptr, 16));
  return r;
}

// The septets packed into Octets (23.038 6.1.2.1), without the CR that pads 7 spare bits.
std::string Unpack(const std::string& Packed) {
  std::string r;
  unsigned bits = 0, acc = 0;
  for (unsigned char c : Packed) {
    acc |= static_cast<unsigned>(c) << bits;
    bits += 8;
    while (bits >= 7) {
      r += static_cast<char>(acc & 0x7F);
      acc >>= 7;
      bits -= 7;
    }
  }
  if (Packed.size() % 7 == 0 && !r.empty() && r.back() == '\r') r.pop_back();
  return r;
}

bool Printable(const std::string& Utf8) {
  for (unsigned char c : Utf8)
    if (c < 0x20 && c != '\n' && c != '\r') return false;
  return Utf8.find("\xEF\xBF\xBD") == std::string::npos;
}

}  // namespace

std::optional<TUssdAnswer> ParseCusd(const std::string& Line) {
  if (Line.rfind("+CUSD:", 0) != 0) return std::nullopt;
  TUssdAnswer a;
  size_t p = 6;
  while (p < Line.size() && Line[p] == ' ') ++p;
  size_t digits = p;
  while (p < Line.size() && std::isdigit(static_cast<unsigned char>(Line[p]))) ++p;
  if (p == digits || p - digits > 2) return std::nullopt;
  a.Status = std::stoi(Line.substr(digits, p - digits));
  std::string str;
  if (p < Line.size() && Line[p] == ',') {
    ++p;
    if (p < Line.size() && Line[p] == '"') {
      size_t close = Line.rfind('"');
      if (close <= p) return std::nullopt;
      str = Line.substr(p + 1, close - p - 1);
      p = close + 1;
    } else {
      size_t comma = Line.find(',', p);
      str = Line.substr(p, comma == std::string::npos ? std::string::npos : comma - p);
      p = comma == std::string::npos ? Line.size() : comma;
    }
    if (p < Line.size() && Line[p] == ',') {
      std::string dcs = Line.substr(p + 1);
      while (!dcs.empty() && dcs.front() == ' ') dcs.erase(0, 1);
      if (!dcs.empty() && dcs.size() <= 3 && dcs.find_first_not_of("0123456789") == std::string::npos)
        a.Dcs = std::stoi(dcs);
    }
  }
  a.Text = DecodeUssd(str, a.Dcs);
  return a;
}

std::string DecodeUssd(const std::string& Str, int Dcs) {
  if (Dcs < 0 || Dcs > 255) return Str;
  TCBSCoding c = CBSCoding(static_cast<uint8_t>(Dcs));
  if (c.Coding == tcUCS2 || c.Coding == tc8Bit) {
    if (!IsHex(Str)) return Str;  // a modem that gives it as text already
    std::string o = Octets(Str);
    o.erase(0, std::min(o.size(), c.PrefixUnits));  // the language, two octets
    return DecodeText(c.Coding, o);
  }
  // The packed septets in hex, as some modems give them; text as it is otherwise. Only a string
  // with a hex letter is taken for hex: "1234" is an answer, not two octets.
  std::string text = Str;
  if (IsHex(Str) && Str.find_first_of("ABCDEFabcdef") != std::string::npos) {
    std::string decoded = DecodeText(tcGSM7, Unpack(Octets(Str)));
    if (Printable(decoded)) text = decoded;
  }
  return text.substr(std::min(text.size(), c.PrefixUnits));  // the language, two characters and a CR
}

std::string PackUssd(const std::string& Text) {
  std::string r;
  unsigned acc = 0, bits = 0;
  static const char* kHex = "0123456789ABCDEF";
  auto put = [&](unsigned o) {
    r += kHex[(o >> 4) & 15];
    r += kHex[o & 15];
  };
  for (unsigned char c : Text) {
    acc |= static_cast<unsigned>(c & 0x7F) << bits;  // digits, * # +: the same in the GSM alphabet
    bits += 7;
    while (bits >= 8) {
      put(acc & 0xFF);
      acc >>= 8;
      bits -= 8;
    }
  }
  // Seven spare bits are a CR, not a septet "@" (23.038 6.1.2.3.1).
  if (bits == 1) acc |= 0x0D << 1;
  if (bits > 0) put(acc & 0xFF);
  return r;
}

bool ValidUssdCode(const std::string& Code) {
  return !Code.empty() && Code.size() <= 160 && Code.find_first_not_of("0123456789*#+") == std::string::npos;
}

bool TUssdMailbox::Offer(const std::string& Line) {
  std::optional<TUssdAnswer> a;
  {
    std::lock_guard lk(M_);
    // A text answer with line breaks comes as several lines: joined until its quote closes.
    if (Partial_.empty() && Line.rfind("+CUSD:", 0) != 0) return false;
    Partial_ += (Partial_.empty() ? "" : "\n") + Line;
    if (std::count(Partial_.begin(), Partial_.end(), '"') % 2 == 1 && Partial_.size() < 4096) return true;
    a = ParseCusd(Partial_);
    Partial_.clear();
    if (!a) return true;  // taken, and dropped: no answer
    Answers_.push_back(*a);
  }
  Cv_.notify_all();
  return true;
}

std::optional<TUssdAnswer> TUssdMailbox::Wait(std::chrono::milliseconds Timeout, bool PumpMainThread) {
  auto take = [&]() -> std::optional<TUssdAnswer> {
    std::lock_guard lk(M_);
    if (Answers_.empty()) return std::nullopt;
    TUssdAnswer a = Answers_.front();
    Answers_.pop_front();
    return a;
  };
  if (PumpMainThread) {
    Framework::Application().WaitUntil(
        [&] {
          std::lock_guard lk(M_);
          return !Answers_.empty();
        },
        static_cast<uint32_t>(Timeout.count()));
    return take();
  }
  std::unique_lock lk(M_);
  Cv_.wait_for(lk, Timeout, [&] { return !Answers_.empty(); });
  lk.unlock();
  return take();
}

void TUssdMailbox::Clear() {
  std::lock_guard lk(M_);
  Answers_.clear();
  Partial_.clear();
}

TUssdAnswer SendUssd(TGSM& G, TUssdMailbox& Box, const std::string& Code, int TimeoutMs) {
  if (!ValidUssdCode(Code)) GSMError("Not a USSD code: " + Code);
  Box.Clear();
  // 15: the default alphabet, language unspecified. Huawei modems take (and give) it as the
  // packed septets in hex; the others encode it themselves.
  std::string request = G.Equipment() == eqHuawei ? PackUssd(Code) : Code;
  G.SendATCommand("AT+CUSD=1,\"" + request + "\",15", wmResult);
  bool pump = Framework::Application().IsMainThread() && !G.OwnThreadEvents();
  auto a = Box.Wait(std::chrono::milliseconds(TimeoutMs), pump);
  if (!a) {
    try {
      CancelUssd(G);
    } catch (const EGSMError&) {
    }
    throw EUssdNoAnswer("No answer from the network to " + Code);
  }
  return *a;
}

void CancelUssd(TGSM& G) { G.SendATCommand("AT+CUSD=2", wmResult); }

}  // namespace Halyard::GSM

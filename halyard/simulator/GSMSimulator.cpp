#include "halyard/simulator/GSMSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sstream>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMS.h"
#include "halyard/resources/Resources.h"

namespace Halyard::Simulator {

using namespace GSM;
using AuxStr::Bin2Hex;
using AuxStr::Hex2Bin;
using AuxStr::Trim;
using AuxStr::UpString;
using Framework::Format;

namespace {

TFixedSMSModem gNoSCA(false);

std::string Unquote(const std::string& s) { return TrimQuotes(Trim(s)); }

std::vector<std::string> Params(const std::string& s) {
  std::vector<std::string> r;
  int pos = 1;
  while (pos <= static_cast<int>(s.size())) r.push_back(ExtractParam(s, pos));
  if (!s.empty() && s.back() == ',') r.push_back("");
  return r;
}

int Int(const std::string& s, int def = -1) { return Framework::StrToIntDef(Trim(s), def); }

bool SameNumber(const std::string& a, const std::string& b) {
  auto digits = [](const std::string& s) {
    std::string d;
    for (char c : s)
      if (c >= '0' && c <= '9') d += c;
    return d;
  };
  return !digits(a).empty() && digits(a) == digits(b);
}

// The TPDU part of a PDU that has a service-centre field in front.
std::string WithoutSCA(const std::string& pdu) {
  size_t n = pdu.empty() ? 0 : static_cast<uint8_t>(pdu[0]) + 1u;
  return n <= pdu.size() ? pdu.substr(n) : std::string();
}

std::string TextOf(const TSMS2& m) { return m.Packed() ? SMStoISO(m.UD) : m.UD; }

// The user-data length octet and the user data of an SMS-SUBMIT TPDU, as they are.
std::string RawUserData(const std::string& t) {
  size_t p = 2;  // first octet, message reference
  if (p >= t.size()) return {};
  p += 2 + (static_cast<uint8_t>(t[p]) + 1u) / 2;  // address: length in digits, type, digits
  p += 2;                                          // PID, DCS
  switch ((static_cast<uint8_t>(t[0]) >> GSM::Tp::kVpfShift) & 3) {
    case 2: p += 1; break;
    case 1: case 3: p += 7; break;
    default: break;
  }
  return p < t.size() ? t.substr(p) : std::string(1, '\0');
}

struct TIdentity {
  const char *Name, *Maker, *Model, *Revision;
  std::initializer_list<const char*> Boot;
};
const TIdentity kIdentities[] = {
    {"classic", "HALYARD", nullptr, "HALYARD SIM 1.0", {"^SYSSTART"}},
    {"quectel-ec25", "Quectel", "EC25", "EC25EFAR06A06M4G", {"RDY", "+CPIN: READY", "+QIND: SMS DONE"}},
    {"simcom-sim7600", "SIMCOM INCORPORATED", "SIMCOM_SIM7600E-H", "LE20B04SIM7600M22",
     {"RDY", "+CPIN: READY", "SMS DONE", "PB DONE"}},
    {"simcom-sim800", "SIMCOM_Ltd", "SIMCOM_SIM800L", "Revision:1308B08SIM800L16",
     {"RDY", "+CFUN: 1", "+CPIN: READY", "Call Ready", "SMS Ready"}},
    {"huawei-e3372", "huawei", "E3372", "22.200.15.00.00", {"^SIMST: 1", "^SRVST: 2"}},
    {"huawei-e3372-325", "huawei", "E3372-325", "22.328.62.00.00", {"^SIMST: 1", "^SRVST: 2"}},
    {"sierra-mc7455", "Sierra Wireless, Incorporated", "MC7455", "SWI9X30C_02.24.05.06", {}},
    {"ublox-sara", "u-blox", "SARA-U201", "23.41", {}},
    {"telit-le910", "Telit", "LE910C1-EU", "25.21.660", {"#QSS: 1"}},
};
const TIdentity& Identity(TPersonality P) { return kIdentities[static_cast<size_t>(P)]; }

}  // namespace

const char* const PersonalityNames =
    "classic quectel-ec25 simcom-sim7600 simcom-sim800 huawei-e3372 huawei-e3372-325 sierra-mc7455 ublox-sara "
    "telit-le910";

TPersonality Str2Personality(const std::string& Name) {
  for (size_t i = 0; i < std::size(kIdentities); ++i)
    if (UpString(Name) == UpString(kIdentities[i].Name)) return static_cast<TPersonality>(i);
  GSMError("Unknown personality " + Name + " (one of: " + PersonalityNames + ")");
}

TGSMSimulator::TGSMSimulator(TSimOptions Options) : Opt_(std::move(Options)) {
  PinOk_ = Opt_.PIN.empty();
  Sca_ = Opt_.ServiceCentre;
  if (Opt_.Personality == TPersonality::QuectelEC25) Mem1_ = Mem2_ = Mem3_ = "ME";
  if (Opt_.Personality == TPersonality::Ublox) Cmee_ = 2;
  int p[2];
  if (::pipe(p) == 0) {
    StopR_ = p[0];
    StopW_ = p[1];
  }
  if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0) {
    WakeR_ = p[0];
    WakeW_ = p[1];
  }
}

TGSMSimulator::~TGSMSimulator() {
  Stop();
  if (StopR_ >= 0) ::close(StopR_);
  if (StopW_ >= 0) ::close(StopW_);
  if (WakeR_ >= 0) ::close(WakeR_);
  if (WakeW_ >= 0) ::close(WakeW_);
}

void TGSMSimulator::Start(int InFd, int OutFd) {
  InFd_ = InFd;
  OutFd_ = OutFd;
  Serving_ = true;
  Thread_ = std::thread([this] {
    Serve();
    Serving_ = false;
  });
}

void TGSMSimulator::Stop() {
  if (!Thread_.joinable()) return;
  [[maybe_unused]] ssize_t n = ::write(StopW_, "x", 1);
  Thread_.join();
}

void TGSMSimulator::Serve() {
  char buf[4096];
  for (;;) {
    pollfd fds[3] = {{InFd_, POLLIN, 0}, {StopR_, POLLIN, 0}, {WakeR_, POLLIN, 0}};
    int timeout = Noise_.load() ? 200 : -1;
    {
      std::lock_guard lk(M_);
      if (Deferred_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(DeferredDue_ - std::chrono::steady_clock::now());
        int ms = static_cast<int>(std::max<int64_t>(0, left.count()) + 1);
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
      }
    }
    int r = ::poll(fds, 3, timeout);
    if (r < 0) continue;
    if (fds[1].revents) return;
    {
      std::lock_guard lk(M_);
      if (Deferred_ && std::chrono::steady_clock::now() >= DeferredDue_) {
        auto finish = std::move(Deferred_);
        Deferred_ = nullptr;
        finish();
        std::string held;
        held.swap(HeldIn_);
        Process(held);
      }
    }
    if (fds[2].revents) {
      char sink[16];
      while (::read(WakeR_, sink, sizeof sink) > 0) {
      }
      if (!(fds[0].revents & POLLIN)) continue;
    }
    if (r == 0) {
      std::lock_guard lk(M_);
      if (Noise_ && !InBody_ && !Deferred_) Unsolicited("+CSQ: 15,99");
      continue;
    }
    ssize_t n = ::read(InFd_, buf, sizeof buf);
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == EIO) {  // a pseudo-terminal whose slave is not open: wait for a user
        pollfd p{StopR_, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) return;
        continue;
      }
      return;
    }
    std::lock_guard lk(M_);
    std::string bytes(buf, static_cast<size_t>(n));
    if (Traffic) Traffic(true, bytes);
    if (Opt_.BootNoise && !Booted_) {
      Booted_ = true;
      BootLines();
    }
    Process(bytes);
  }
}

void TGSMSimulator::Feed(const std::string& Bytes) {
  std::lock_guard lk(M_);
  if (Traffic) Traffic(true, Bytes);
  Process(Bytes);
}

bool TGSMSimulator::HungInput(const std::string& Bytes) {
  if (!Hung_) return false;
  {
    // Deaf to everything but the reset that wakes it.
    HangInput_ += Bytes;
    for (size_t cr; (cr = HangInput_.find('\r')) != std::string::npos;) {
      std::string line = UpString(Trim(HangInput_.substr(0, cr)));
      HangInput_.erase(0, cr + 1);
      if (line == "AT+CFUN=1,1") {
        Hung_ = false;
        HangInput_.clear();
        Reply("\r\nOK\r\n");
        RestartLocked();
        return true;
      }
    }
    if (HangInput_.size() > 4096) HangInput_.clear();
  }
  return true;
}

void TGSMSimulator::Reply(const std::string& Text) {
  if (Silent_) return;
  if (Traffic) Traffic(false, Text);
  if (OutFd_ >= 0) {
    size_t done = 0;
    while (done < Text.size()) {
      ssize_t n = ::write(OutFd_, Text.data() + done, Text.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{OutFd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else {
        break;
      }
    }
  }
  if (Output) Output(Text);
}

void TGSMSimulator::Line(const std::string& Text) {
  if (Text == "ERROR" || Text == "COMMAND NOT SUPPORT" || Text.rfind("+CME ERROR", 0) == 0 || Text.rfind("+CMS ERROR", 0) == 0) Failed_ = true;
  Reply("\r\n" + Text + "\r\n");
}

void TGSMSimulator::Unsolicited(const std::string& Text) { Reply("\r\n" + Text + "\r\n"); }

std::string TGSMSimulator::UssdAnswer(const std::string& Request) {
  // Huawei modems take the code as its packed septets in hex, and answer so.
  const bool huawei = Opt_.Personality == TPersonality::HuaweiE3372 || Opt_.Personality == TPersonality::HuaweiE3372Three;
  std::string Code = Request;
  if (huawei) {
    Code.clear();
    unsigned acc = 0, bits = 0;
    for (size_t i = 0; i + 1 < Request.size(); i += 2) {
      acc |= static_cast<unsigned>(std::stoi(Request.substr(i, 2), nullptr, 16)) << bits;
      for (bits += 8; bits >= 7; bits -= 7, acc >>= 7) Code += static_cast<char>(acc & 0x7F);
    }
    if (Request.size() % 14 == 0 && !Code.empty() && Code.back() == '\r') Code.pop_back();
    if (Code == "*100#") return "+CUSD: 0,\"C2303BEC1E9775A098CC35A3818A5529\",15";
  }
  if (UssdMenu_) {
    // The second step of the menu: its answer ends the session.
    UssdMenu_ = false;
    if (Code == "1") return "+CUSD: 0,\"Balance: 12.34 EUR\",15";
    if (Code == "2") return "+CUSD: 0,\"No offers today\",15";
    return "+CUSD: 0,\"Unknown choice\",15";
  }
  if (Code == "*100#") return "+CUSD: 0,\"Balance: 12.34 EUR, valid until 31.12.2026\",15";
  // The same answer as the packed septets in hex, as Huawei modems give it.
  if (Code == "*101#") return "+CUSD: 0,\"C2303BEC1E9775A098CC35A3818A5529\",15";
  // UCS2: "Баланс: 12.34 ₽".
  if (Code == "*102#") return "+CUSD: 0,\"04110430043B0430043D0441003A002000310032002E00330034002020BD\",72";
  if (Code == "*123#") {
    UssdMenu_ = true;
    return "+CUSD: 1,\"1 Balance\n2 Offers\",15";
  }
  return "+CUSD: 4";
}

void TGSMSimulator::Error(int Cme) {
  if (Cmee_ == 1) Line(Format("+CME ERROR: %d", Cme));
  else if (Cmee_ == 2) Line("+CME ERROR: " + Resources::LoadResString(Resources::CMEErrorBase + Cme));
  else Line("ERROR");
}

void TGSMSimulator::CmsError(int Cms) { Line(Format("+CMS ERROR: %d", Cms)); }

bool TGSMSimulator::SCAinPDU() const { return GSM::GSMModel(Opt_.Model).SCAinPDU; }

std::map<int, TGSMSimulator::TStored>& TGSMSimulator::Mem(const std::string& Name) {
  return Name == "ME" ? ME_ : Name == "SR" ? SR_ : SM_;
}

void TGSMSimulator::BootLines() {
  for (const char* l : Identity(Opt_.Personality).Boot) Unsolicited(l);
}

void TGSMSimulator::Chatter() {
  const TPersonality p = Opt_.Personality;
  bool huawei = (p == TPersonality::HuaweiE3372 && !Quiet_) || p == TPersonality::HuaweiE3372Three;
  if (huawei) {
    static const char* const kReports[] = {"^RSSI: 14", "^HCSQ: \"LTE\",50,44,120,20", "^MODE: 5,4"};
    if (++ChatterCount_ % 2 == 0) Unsolicited(kReports[(ChatterCount_ / 2) % 3]);
  } else if (p == TPersonality::Telit) {
    if (++ChatterCount_ % 3 == 0) Unsolicited("#STN: 150,1,\"\"");
  }
}

void TGSMSimulator::Restart() {
  std::lock_guard lk(M_);
  RestartLocked();
}

void TGSMSimulator::SetHung(bool On) {
  std::lock_guard lk(M_);
  Hung_ = On;
  HangInput_.clear();
}

void TGSMSimulator::RestartLocked() {
  Echo_ = true;
  Cmee_ = Opt_.Personality == TPersonality::Ublox ? 2 : 0;
  PinOk_ = Opt_.PIN.empty();
  Creg_ = Cgreg_ = Cmgf_ = Csdh_ = Csms_ = 0;
  std::fill(std::begin(Cnmi_), std::end(Cnmi_), 0);
  InBody_ = false;
  In_.clear();
  Quiet_ = false;
  AwaitAck_ = false;
  Mem1_ = Mem2_ = Mem3_ = Opt_.Personality == TPersonality::QuectelEC25 ? "ME" : "SM";
  BootLines();
}

void TGSMSimulator::SetCmgsDelay(int Ms) {
  std::lock_guard lk(M_);
  Opt_.CmgsDelayMs = std::max(0, Ms);
}

std::map<int, TGSMSimulator::TStored> TGSMSimulator::Storage(const std::string& MemName) const {
  std::lock_guard lk(M_);
  return MemName == "ME" ? ME_ : SM_;
}

std::vector<std::string> TGSMSimulator::Commands() const {
  std::lock_guard lk(M_);
  return Commands_;
}

int TGSMSimulator::Store(const std::string& Name, TStored Item) {
  auto& m = Mem(Name);
  int cap = Name == "ME" ? Opt_.MECapacity : Opt_.SMCapacity;
  for (int i = 1; i <= cap; ++i)
    if (!m.count(i)) {
      m[i] = std::move(Item);
      return i;
    }
  return -1;
}

void TGSMSimulator::Process(const std::string& Bytes) {
  if (HungInput(Bytes)) return;
  for (size_t k = 0; k < Bytes.size(); ++k) {
    if (Deferred_) {  // busy with a send: the rest waits
      HeldIn_ += Bytes.substr(k);
      return;
    }
    char c = Bytes[k];
    if (InBody_) {
      if (c == '\x1A' || c == '\x1B') {
        std::string body = In_;
        In_.clear();
        InBody_ = false;
        if (Echo_) Reply(body);
        FinishMessage(body, c == '\x1B');
      } else {
        In_ += c;
      }
      continue;
    }
    if (c == '\r') {
      std::string line = In_;
      In_.clear();
      if (Echo_) Reply(line + "\r");
      Commands_.push_back(line);
      if (Delay_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Delay_));
      CommandLine(line);
    } else if (static_cast<unsigned char>(c) >= 32) {
      // As modems do, other control characters (a NUL some clients put before the CR) are
      // not part of the command.
      In_ += c;
      if (In_.size() > 4096) In_.clear();  // no modem takes a line this long
    }
  }
}

std::string TGSMSimulator::ListEntry(int Index, const TStored& Item, bool Read) {
  std::string pdu = SCAinPDU() ? Item.PDU : WithoutSCA(Item.PDU);
  std::string head = Read ? "+CMGR: " : Format("+CMGL: %d,", Index);
  if (Cmgf_ == 0) return head + Format("%d,,%d", Item.Status, static_cast<int>(WithoutSCA(Item.PDU).size())) + "\r\n" + Bin2Hex(pdu);
  auto sms = TSMS2::CreateSMS(nullptr, Bin2Hex(Item.PDU), Item.Status <= 1);
  std::string stat = StatS[static_cast<size_t>(Item.Status)];
  if (auto* d = dynamic_cast<TSMSDeliver*>(sms.get())) {
    std::string h = head + "\"" + stat + "\",\"" + d->OA + "\",,\"" + TSMS2::EncodeTextStamp(d->SCTS, d->TimeZone) + "\"";
    if (Csdh_) h += Format(",145,%d,%d,%d,\"%s\",145,%d", d->PDUType, d->PID, d->DCS, Sca_, static_cast<int>(TextOf(*d).size()));
    return h + "\r\n" + TextOf(*d);
  }
  if (auto* s = dynamic_cast<TSMSSubmit*>(sms.get())) {
    std::string h = head + "\"" + stat + "\",\"" + s->DA + "\",,";
    if (Csdh_) h += Format("145,%d,%d,%d,%d,\"%s\",145,%d", s->PDUType, s->PID, s->DCS, static_cast<int>(DTToValPer(s->VP)), Sca_,
                           static_cast<int>(TextOf(*s).size()));
    return h + "\r\n" + TextOf(*s);
  }
  return head + "\"" + stat + "\",\"\",,\r\n";
}

void TGSMSimulator::CommandLine(const std::string& LineText) {
  std::string line = Trim(LineText);
  std::string u = UpString(line);
  if (u.rfind("AT", 0) != 0) {
    if (!line.empty()) Line("ERROR");
    return;
  }
  // Several commands on one line ("AT+CMEE=1;+CREG=2", "ATE0V1"): each in order, one final
  // result; the first that fails ends the line with its error.
  std::vector<std::string> parts = SplitCommandLine(line.substr(2));
  if (parts.size() <= 1) return Command(line);
  Batch_ = true;
  Failed_ = false;
  for (size_t i = 0; i < parts.size() && !Failed_ && !InBody_; ++i) Command("AT" + parts[i]);
  Batch_ = false;
  if (!Failed_ && !InBody_) Ok();
}

std::vector<std::string> TGSMSimulator::SplitCommandLine(const std::string& Rest) {
  std::vector<std::string> parts;
  size_t i = 0, n = Rest.size();
  while (i < n) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(Rest[i])));
    size_t start = i;
    if (c == '+' || c == '^' || c == '*' || c == '$' || c == '%') {
      // An extended command runs to the next ';' outside quotes.
      bool quoted = false;
      while (i < n && (quoted || Rest[i] != ';')) {
        if (Rest[i] == '"') quoted = !quoted;
        ++i;
      }
      parts.push_back(Rest.substr(start, i - start));
      if (i < n) ++i;
      continue;
    }
    if (c == ';' || c == ' ') {
      ++i;
      continue;
    }
    // A basic command: a letter (or & and a letter), then digits; S registers take "=value"
    // or "?"; D takes the rest of the line.
    if (c == 'D') {
      parts.push_back(Rest.substr(start));
      break;
    }
    if (c == '&' && i + 1 < n) ++i;
    ++i;
    while (i < n && std::isdigit(static_cast<unsigned char>(Rest[i]))) ++i;
    if (i < n && (Rest[i] == '=' || Rest[i] == '?')) {
      if (Rest[i] == '=' && c == 'S') {
        ++i;
        while (i < n && std::isdigit(static_cast<unsigned char>(Rest[i]))) ++i;
      } else if (Rest[i] == '?') {
        ++i;
      } else {
        // "ATX=..." is not basic syntax: keep the rest whole.
        while (i < n && Rest[i] != ';') ++i;
      }
    }
    parts.push_back(Rest.substr(start, i - start));
  }
  return parts;
}

void TGSMSimulator::Command(std::string LineText) {
  std::string line = Trim(LineText);
  std::string u = UpString(line);
  if (u.rfind("AT", 0) != 0) {
    if (!line.empty()) Line("ERROR");
    return;
  }
  std::string rest = line.substr(2), ur = u.substr(2);
  auto arg = [&](size_t prefix) { return rest.substr(std::min(prefix, rest.size())); };
  auto is = [&](const char* p) { return ur.rfind(p, 0) == 0; };
  auto smsReady = [&] {
    if (!PinOk_) {
      CmsError(311);
      return false;
    }
    return true;
  };
  if (ur.empty()) return Ok();
  if (ur == "E0" || ur == "E1") {
    Echo_ = ur == "E1";
    return Ok();
  }
  if (ur == "Z") {
    Echo_ = true;
    Cmgf_ = 0;
    Cmee_ = 0;
    return Ok();
  }
  if (ur == "&F") {
    Echo_ = true;
    Cmgf_ = 0;
    Cmee_ = 0;
    return Ok();
  }
  // Basic settings of the line that a simulated line need not act on.
  auto basic = [&](const char* letters) {
    for (const char* l = letters; *l; ++l) {
      size_t len = (*l == '&') ? 2 : 1;
      if (ur.size() >= len && ur.compare(0, len, std::string(l, len)) == 0 &&
          ur.find_first_not_of("0123456789", len) == std::string::npos)
        return true;
      if (*l == '&') ++l;
    }
    return false;
  };
  if (basic("VQX&C&D&K&W") || ur == "H" || ur == "H0") return Ok();
  if (!ur.empty() && ur[0] == 'S' && ur.find_first_not_of("0123456789", 1) != 1) {
    size_t end = ur.find_first_not_of("0123456789", 1);
    if (end != std::string::npos && ur[end] == '?') return Line("000"), Ok();
    if (end != std::string::npos && ur[end] == '=') return Ok();
  }
  const TIdentity& id = Identity(Opt_.Personality);
  const std::string modelName = id.Model ? id.Model : GSMEquipmentLongName[Opt_.Model];
  const TPersonality persona = Opt_.Personality;
  const bool huawei = persona == TPersonality::HuaweiE3372 || persona == TPersonality::HuaweiE3372Three;
  if (ur == "I") {
    Line(modelName);
    return Ok();
  }
  if (ur == "+CGMI") return Line(id.Maker), Ok();
  if (ur == "+CGMM") return Line(modelName), Ok();
  if (ur == "+CGMR") return Line(id.Revision), Ok();
  if (ur == "^CURC=0" && persona == TPersonality::HuaweiE3372) {
    Quiet_ = true;
    return Ok();
  }
  if (ur == "+CGSN") return Line(Opt_.IMEI), Ok();
  if (ur == "+CCID" && !huawei) return Line("+CCID: " + Opt_.ICCID), Ok();
  if (ur == "+CRSM=176,12258,0,0,10") {
    // EF_ICCID as the card stores it: BCD with the digits of each pair swapped, F-padded.
    std::string d = Opt_.ICCID;
    d.resize(20, 'F');
    for (size_t i = 0; i < d.size(); i += 2) std::swap(d[i], d[i + 1]);
    return Line("+CRSM: 144,0,\"" + d + "\""), Ok();
  }
  if (is("+CMEE=")) {
    int v = Int(arg(6));
    if (v < 0 || v > 2) return Error(4);
    Cmee_ = v;
    return Ok();
  }
  if (ur == "+CMEE?") return Line(Format("+CMEE: %d", Cmee_)), Ok();
  if (ur == "+CPIN?") {
    if (PinOk_) Line("+CPIN: READY");
    else Line(PinTries_ > 0 ? "+CPIN: SIM PIN" : "+CPIN: SIM PUK");
    return Ok();
  }
  if (is("+CPIN=")) {
    auto p = Params(arg(6));
    if (PinOk_) return Error(3);
    if (PinTries_ > 0) {
      if (!p.empty() && Unquote(p[0]) == Opt_.PIN) {
        PinOk_ = true;
        PinTries_ = 3;
        Ok();
        if (GSM::GSMModel(Opt_.Model).PINStep == GSM::psWaveCom) Unsolicited("+WIND: 4");
        return;
      }
      if (--PinTries_ == 0) return Error(12);
      return Error(16);
    }
    if (p.size() >= 2 && Unquote(p[0]) == Opt_.PUK) {
      Opt_.PIN = Unquote(p[1]);
      PinOk_ = true;
      PinTries_ = 3;
      return Ok();
    }
    return Error(16);
  }
  const std::string location = ",\"00C3\",\"0010\"";
  auto located = [&](int n) { return n == 2 && (Reg_ == 1 || Reg_ == 5) ? location : std::string(); };
  if (ur == "+CREG?") return Line(Format("+CREG: %d,%d", Creg_, Reg_) + located(Creg_)), Ok();
  if (ur == "+CREG=?") return Line("+CREG: (0-2)"), Ok();
  if (is("+CREG=")) {
    int v = Int(arg(6));
    if (v < 0 || v > 2) return Error(4);
    Creg_ = v;
    return Ok();
  }
  if (ur == "+CGREG?") return Line(Format("+CGREG: %d,%d", Cgreg_, Reg_) + located(Cgreg_)), Ok();
  if (ur == "+CGREG=?") return Line("+CGREG: (0-2)"), Ok();
  if (is("+CGREG=")) {
    int v = Int(arg(7));
    if (v < 0 || v > 2) return Error(4);
    Cgreg_ = v;
    return Ok();
  }
  if (ur == "+CGATT?") return Line(Format("+CGATT: %d", Cgatt_)), Ok();
  if (ur == "+CGATT=?") return Line("+CGATT: (0,1)"), Ok();
  if (is("+CGATT=")) {
    int v = Int(arg(7));
    if (v < 0 || v > 1) return Error(4);
    Cgatt_ = v;
    return Ok();
  }
  if (ur == "+CIMI") {
    if (!PinOk_) return Error(11);
    return Line(Opt_.IMSI), Ok();
  }
  if (ur == "+CSCS?") return Line("+CSCS: \"" + Cscs_ + "\""), Ok();
  if (ur == "+CSCS=?") return Line("+CSCS: (\"IRA\",\"GSM\",\"UCS2\",\"HEX\",\"8859-1\")"), Ok();
  if (is("+CSCS=")) {
    std::string v = UpString(Unquote(arg(6)));
    if (v != "IRA" && v != "GSM" && v != "UCS2" && v != "HEX" && v != "8859-1") return Error(4);
    Cscs_ = v;
    return Ok();
  }
  if (ur == "+CHUP" || ur == "+CHUP=?") return Ok();
  if (ur == "+CUSD=?") return Line("+CUSD: (0-2)"), Ok();
  if (is("+CUSD=")) {
    auto p = Params(arg(6));
    int n = p.empty() ? 0 : Int(p[0]);
    if (n < 0 || n > 2) return Error(4);
    if (!PinOk_) return Error(11);
    if (n == 2) {
      UssdMenu_ = false;
      return Ok();
    }
    if (p.size() < 2) return Ok();
    Ok();
    return Unsolicited(UssdAnswer(Unquote(p[1])));
  }
  if (ur == "+CSQ") return Line("+CSQ: 20,99"), Ok();
  if (ur == "+CSQ=?") return Line("+CSQ: (0-31,99),(0-7,99)"), Ok();
  if (ur == "+COPS?") {
    if (Reg_ != 1 && Reg_ != 5) return Line("+COPS: 0"), Ok();
    return Line(CopsFormat_ == 2 ? "+COPS: 0,2,\"00101\"" : Format("+COPS: 0,%d,\"HALYARD NET\"", CopsFormat_)), Ok();
  }
  if (ur == "+COPS=?") return Line("+COPS: (2,\"HALYARD NET\",\"HALYARD\",\"00101\"),,(0-4),(0-2)"), Ok();
  if (is("+COPS=")) {
    auto p = Params(arg(6));
    int mode = p.empty() ? 0 : Int(p[0]);
    if (mode < 0 || mode > 4) return Error(4);
    if (mode == 3 && p.size() > 1) {
      int f = Int(p[1]);
      if (f < 0 || f > 2) return Error(4);
      CopsFormat_ = f;
    }
    return Ok();
  }
  if (ur == "+CFUN?") return Line(Format("+CFUN: %d", Cfun_)), Ok();
  if (is("+CFUN=")) {
    auto p = Params(arg(6));
    Cfun_ = p.empty() ? 1 : Int(p[0], 1);
    if (p.size() >= 2 && Int(p[1]) == 1) {
      // A reset: the answer, then the modem starts again.
      Ok();
      return RestartLocked();
    }
    return Ok();
  }
  if (ur == "^SMSO") return Line("^SMSO: MS OFF"), Ok();
  if (is("+WIND")) return Ok();
  auto memLine = [&](const std::string& m) {
    int cap = m == "ME" ? Opt_.MECapacity : Opt_.SMCapacity;
    return Format("\"%s\",%d,%d", m, static_cast<int>(Mem(m).size()), cap);
  };
  if (ur == "+CPMS?") return Line("+CPMS: " + memLine(Mem1_) + "," + memLine(Mem2_) + "," + memLine(Mem3_)), Ok();
  const bool hasSR = persona == TPersonality::QuectelEC25;
  if (ur == "+CPMS=?")
    return Line(hasSR ? "+CPMS: (\"SM\",\"ME\",\"SR\"),(\"SM\",\"ME\"),(\"SM\",\"ME\")"
                      : "+CPMS: (\"SM\",\"ME\"),(\"SM\",\"ME\"),(\"SM\",\"ME\")"),
           Ok();
  if (is("+CPMS=")) {
    auto p = Params(arg(6));
    if (persona == TPersonality::HuaweiE3372Three && p.size() < 3) return CmsError(302);
    std::string* mems[3] = {&Mem1_, &Mem2_, &Mem3_};
    for (size_t i = 0; i < p.size() && i < 3; ++i) {
      std::string m = UpString(Unquote(p[i]));
      if (m != "SM" && m != "ME" && !(m == "SR" && hasSR && i == 0)) return CmsError(302);
      *mems[i] = m;
    }
    auto counts = [&](const std::string& m) {
      int cap = m == "ME" ? Opt_.MECapacity : Opt_.SMCapacity;
      return Format("%d,%d", static_cast<int>(Mem(m).size()), cap);
    };
    Line("+CPMS: " + counts(Mem1_) + "," + counts(Mem2_) + "," + counts(Mem3_));
    return Ok();
  }
  if (ur == "+CSMS?") return Line(Format("+CSMS: %d,1,1,1", Csms_)), Ok();
  if (is("+CSMS=")) {
    Csms_ = Int(arg(6), 0) >= 1 ? 1 : 0;
    Line("+CSMS: 1,1,1");
    return Ok();
  }
  if (ur == "+CSCA?") return Line("+CSCA: \"" + Sca_ + "\",145"), Ok();
  if (is("+CSCA=")) {
    Sca_ = Unquote(Params(arg(6)).empty() ? "" : Params(arg(6))[0]);
    return Ok();
  }
  bool hasText = GSM::GSMModel(Opt_.Model).TextMode;
  if (ur == "+CMGF?") return Line(Format("+CMGF: %d", Cmgf_)), Ok();
  if (ur == "+CMGF=?") return Line(hasText ? "+CMGF: (0,1)" : "+CMGF: (0)"), Ok();
  if (is("+CMGF=")) {
    int v = Int(arg(6));
    if (v != 0 && !(v == 1 && hasText)) return Error(4);
    Cmgf_ = v;
    return Ok();
  }
  if (is("+CSDH=")) {
    Csdh_ = Int(arg(6), 0) ? 1 : 0;
    return Ok();
  }
  if (ur == "+CSDH?") return Line(Format("+CSDH: %d", Csdh_)), Ok();
  if (is("+CSMP=")) {
    auto p = Params(arg(6));
    for (size_t i = 0; i < p.size() && i < 4; ++i)
      if (!p[i].empty() && p[i][0] != '"') Csmp_[i] = Int(p[i], Csmp_[i]);
    return Ok();
  }
  if (ur == "+CSMP?") return Line(Format("+CSMP: %d,%d,%d,%d", Csmp_[0], Csmp_[1], Csmp_[2], Csmp_[3])), Ok();
  if (ur == "+CNMI=?") return Line("+CNMI: (0-2),(0-3),(0-3),(0-2),(0,1)"), Ok();
  if (ur == "+CNMI?") return Line(Format("+CNMI: %d,%d,%d,%d,%d", Cnmi_[0], Cnmi_[1], Cnmi_[2], Cnmi_[3], Cnmi_[4])), Ok();
  if (is("+CNMI=")) {
    auto p = Params(arg(6));
    static const int limits[5] = {2, 3, 3, 2, 1};
    int v[5];
    std::copy(std::begin(Cnmi_), std::end(Cnmi_), v);
    for (size_t i = 0; i < p.size() && i < 5; ++i) {
      if (p[i].empty()) continue;
      int x = Int(p[i]);
      if (x < 0 || x > limits[i]) return CmsError(303);
      // Offered, refused: the Qualcomm firmware's <ds> 1.
      if (i == 3 && x == 1 && persona == TPersonality::SierraMC7455) return CmsError(303);
      v[i] = x;
    }
    std::copy(std::begin(v), std::end(v), Cnmi_);
    return Ok();
  }
  if (ur == "+CNMA") {
    if (Csms_ < 1 || !AwaitAck_) return CmsError(340);
    AwaitAck_ = false;
    return Ok();
  }
  if (is("+CMGS=") || is("+CMGW")) {
    if (!smsReady()) return;
    bool write = is("+CMGW");
    auto p = Params(arg(write && !is("+CMGW=") ? 5 : 6));
    BodyStat_ = 2;
    if (Cmgf_ == 0) {
      // <length>[,<stat>]
      if (p.empty() || Int(p[0]) <= 0) return CmsError(304);
      if (write && p.size() > 1) BodyStat_ = Int(p[1]);
    } else {
      // "<da>"[,<toda>] to send; [<da/oa>[,<toda/tooa>[,<stat>]]] to write
      if (!write && (p.empty() || Unquote(p[0]).empty())) return CmsError(305);
      if (write && p.size() > 2) BodyStat_ = TextStatus(UpString(Unquote(p[2])));
    }
    if (BodyStat_ < 0 || BodyStat_ > 3) return CmsError(Cmgf_ == 0 ? 304 : 305);
    InBody_ = true;
    BodyCmd_ = line;
    // Huawei goes on reporting behind the prompt, in the same write.
    Reply(huawei && !(persona == TPersonality::HuaweiE3372 && Quiet_) ? "\r\n> \r\n^RSSI: 14\r\n" : "\r\n> ");
    return;
  }
  if (is("+CMGR=")) {
    if (!smsReady()) return;
    auto& m = Mem(Mem1_);
    auto it = m.find(Int(arg(6)));
    if (it == m.end()) return CmsError(321);
    Line(ListEntry(it->first, it->second, true));
    if (it->second.Status == 0) it->second.Status = 1;
    return Ok();
  }
  if (is("+CMGL")) {
    if (!smsReady()) return;
    int want = 4;
    if (is("+CMGL=")) {
      std::string a = Unquote(arg(6));
      want = -1;
      if (Cmgf_ == 1) {
        for (int i = 0; i < 5; ++i)
          if (UpString(a) == StatS[static_cast<size_t>(i)]) want = i;
      } else {
        want = Int(a);
      }
      if (want < 0 || want > 4) return CmsError(Cmgf_ == 1 ? 305 : 304);
    } else if (Cmgf_ == 1) {
      want = 0;  // text mode lists unread messages without a filter
    }
    for (auto& [index, item] : Mem(Mem1_))
      if (want == 4 || item.Status == want) {
        Line(ListEntry(index, item, false));
        if (item.Status == 0) item.Status = 1;
      }
    return Ok();
  }
  if (is("+CMGD=")) {
    auto p = Params(arg(6));
    int index = p.empty() ? -1 : Int(p[0]);
    int flag = p.size() > 1 ? Int(p[1], 0) : 0;
    auto& m = Mem(Mem1_);
    if (flag == 4) m.clear();
    else if (!m.erase(index)) return CmsError(321);
    Ok();
    // Room again: the network delivers what it kept back, as it retries a full SIM.
    const size_t cap = static_cast<size_t>(Mem3_ == "ME" ? Opt_.MECapacity : Opt_.SMCapacity);
    while (!Waiting_.empty() && Mem(Mem3_).size() < cap) {
      auto [pdu, report] = Waiting_.front();
      Waiting_.pop_front();
      Deliver(pdu, report);
    }
    return;
  }
  Line(huawei ? "COMMAND NOT SUPPORT" : "ERROR");
}

void TGSMSimulator::FinishMessage(const std::string& Body, bool Escape) {
  if (Escape) return Ok();
  std::string u = UpString(BodyCmd_);
  bool write = u.find("+CMGW") != std::string::npos;
  TSMSSubmit submit;
  submit.GSM = &gNoSCA;
  std::string stored;  // the PDU as it is kept: a service-centre field in front
  if (Cmgf_ == 0) {
    std::string hex;
    for (char c : Body)
      if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    std::string pdu = Hex2Bin(hex);
    std::string tpdu = SCAinPDU() ? WithoutSCA(pdu) : pdu;
    size_t eq = u.find('=');
    int announced = eq == std::string::npos ? -1 : Int(u.substr(eq + 1, u.find(',', eq) - eq - 1));
    // Some models announce a fixed length; the others must announce the TPDU's.
    const GSM::TGSMModel& model = GSM::GSMModel(Opt_.Model);
    bool fixed = model.LengthRule == GSM::clFixed;
    int expected = static_cast<int>(model.LengthRule == GSM::clPDU ? pdu.size() : tpdu.size());
    if (tpdu.empty() || (!fixed && announced != expected)) return CmsError(304);
    try {
      if (write && BodyStat_ <= 1) {
        TSMSDeliver d;
        d.GSM = &gNoSCA;
        d.DecodePDU(tpdu);
      } else {
        submit.DecodePDU(tpdu);
      }
    } catch (const Framework::Exception&) {
      return CmsError(304);
    }
    stored = SCAinPDU() ? pdu : std::string(1, '\0') + pdu;
  } else {
    size_t q = BodyCmd_.find('"');
    size_t q2 = q == std::string::npos ? q : BodyCmd_.find('"', q + 1);
    if (q2 != std::string::npos) submit.DA = BodyCmd_.substr(q + 1, q2 - q - 1);
    else if (!write) return CmsError(305);
    submit.PDUType = static_cast<uint8_t>(Csmp_[0]);
    submit.VP = ValPerToDT(static_cast<uint8_t>(Csmp_[1]));
    submit.PID = static_cast<uint8_t>(Csmp_[2]);
    submit.DCS = static_cast<uint8_t>(Csmp_[3]);
    submit.UD = submit.Packed() ? ISOtoSMS(Body) : Body;
    stored = std::string(1, '\0') + submit.EncodePDU();
  }
  if (write) {
    int index = Store(Mem2_, {BodyStat_, stored});
    if (index < 0) return CmsError(322);
    Line(Format("+CMGW: %d", index));
    return Ok();
  }
  int mr = NextMR_++ & 0xFF;
  std::string back = SameNumber(submit.DA, Opt_.OwnNumber) ? AsDelivered(submit, WithoutSCA(stored), Opt_.OwnNumber) : "";
  bool report = submit.GetPDUTypeBit(GSM::Tp::kSrBit);
  std::string to = submit.DA;
  auto finish = [this, mr, back, report, to] {
    Line(Format("+CMGS: %d", mr));
    Ok();
    if (!back.empty()) Deliver(back, false);
    if (report) {
      TSMSStatusReport r;
      r.PDUType = GSM::Tp::kMtiStatusReport | 1 << GSM::Tp::kMmsBit;  // no more messages
      r.MR = static_cast<uint8_t>(mr);
      r.RA = to;
      r.SCTS = r.DT = std::floor(Framework::Now() * 86400) / 86400;
      Deliver(r.EncodePDU(), true);
    }
  };
  if (Opt_.CmgsDelayMs <= 0) return finish();
  Deferred_ = finish;
  DeferredDue_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(Opt_.CmgsDelayMs);
}

std::string TGSMSimulator::AsDelivered(const TSMSSubmit& Submit, const std::string& TPDU, const std::string& From) {
  // A DELIVER with the user data exactly as sent: its header bit, PID and DCS too.
  TSMSDeliver d;
  d.PDUType = static_cast<uint8_t>(GSM::Tp::kMtiDeliver | 1 << GSM::Tp::kMmsBit |
                                   (Submit.PDUType & (1 << GSM::Tp::kRpBit | 1 << GSM::Tp::kUdhiBit)));
  d.OA = From;
  d.PID = Submit.PID;
  d.DCS = Submit.DCS;
  d.SCTS = std::floor(Framework::Now() * 86400) / 86400;
  std::string pdu = d.EncodePDU();
  pdu.pop_back();  // the empty user data
  return pdu + RawUserData(TPDU);
}

void TGSMSimulator::Deliver(const std::string& Received, bool StatusReport) {
  // What arrives carries the service centre it came through, as from a real network.
  std::string Pdu = Received;
  if (!Pdu.empty() && Pdu[0] == '\0' && !Sca_.empty()) {
    std::string sca = TSMS2::EncodeODA(Sca_);
    sca[0] = static_cast<char>(sca.size() - 1);  // counted in octets here, not digits
    Pdu = sca + Pdu.substr(1);
  }
  int tpduLength = static_cast<int>(WithoutSCA(Pdu).size());
  if (StatusReport) {
    int ds = Cnmi_[3];
    if (ds == 1) {
      if (Cmgf_ == 0) {
        Line(Format("+CDS: %d", tpduLength) + "\r\n" + Bin2Hex(Pdu));
      } else {
        TSMSStatusReport r;
        r.DecodePDU(Pdu);
        Line(Format("+CDS: %d,%d,\"%s\",145,\"%s\",\"%s\",%d", r.PDUType, r.MR, r.RA,
                    TSMS2::EncodeTextStamp(r.SCTS, r.TimeZone), TSMS2::EncodeTextStamp(r.DT, r.DTTimeZone), r.ST));
      }
      AwaitAck_ = Csms_ >= 1;
    } else if (ds == 2) {
      // Quectel keeps reports in "SR" and names "SM".
      bool sr = Opt_.Personality == TPersonality::QuectelEC25;
      int index = Store(sr ? "SR" : Mem3_, {0, Pdu});
      if (index > 0) Unsolicited(Format("+CDSI: \"%s\",%d", sr ? std::string("SM") : Mem3_, index));
      else KeepBack(Pdu, true);
    }
    return;
  }
  int mt = Cnmi_[1];
  if (mt == 2 || mt == 3) {
    if (Cmgf_ == 0) {
      Line(Format("+CMT: ,%d", tpduLength) + "\r\n" + Bin2Hex(Pdu));
    } else {
      TSMSDeliver d;
      d.DecodePDU(Pdu);
      std::string h = "+CMT: \"" + d.OA + "\",,\"" + TSMS2::EncodeTextStamp(d.SCTS, d.TimeZone) + "\"";
      if (Csdh_) h += Format(",145,%d,%d,%d,\"%s\",145,%d", d.PDUType, d.PID, d.DCS, Sca_, static_cast<int>(TextOf(d).size()));
      Line(h + "\r\n" + TextOf(d));
    }
    AwaitAck_ = Csms_ >= 1;
    return;
  }
  int index = Store(Mem3_, {0, Pdu});
  if (index > 0 && mt == 1) Unsolicited(Format("+CMTI: \"%s\",%d", Mem3_, index));
  if (index < 0) KeepBack(Pdu, false);
}

void TGSMSimulator::KeepBack(const std::string& Pdu, bool StatusReport) {
  // A real network keeps trying for days; this one keeps a bounded number.
  if (Waiting_.size() < kMaxWaiting) Waiting_.emplace_back(Pdu, StatusReport);
}

// --- control -------------------------------------------------------------------------------

void TGSMSimulator::InjectSMS(const std::string& From, const std::string& Text, bool Reversed) {
  // As a network delivers it: in as many parts as it needs, in the coding that carries it.
  auto parts = SplitText(Text, From);
  if (Reversed) std::reverse(parts.begin(), parts.end());
  std::lock_guard lk(M_);
  for (auto& p : parts) {
    p->GSM = &gNoSCA;
    Deliver(AsDelivered(*p, p->EncodePDU(), From), false);
  }
}

void TGSMSimulator::InjectPDU(const std::string& DeliverHex) {
  std::string pdu = std::string(1, '\0') + Hex2Bin(DeliverHex);
  std::lock_guard lk(M_);
  Deliver(pdu, false);
}

void TGSMSimulator::InjectStatusReport(uint8_t MR, uint8_t Status) {
  TSMSStatusReport r;
  r.PDUType = GSM::Tp::kMtiStatusReport | 1 << GSM::Tp::kMmsBit;
  r.MR = MR;
  r.ST = Status;
  r.RA = Opt_.OwnNumber;
  r.SCTS = r.DT = std::floor(Framework::Now() * 86400) / 86400;
  std::lock_guard lk(M_);
  Deliver(r.EncodePDU(), true);
}

void TGSMSimulator::InjectCellBroadcast(uint16_t Id, const std::string& Text) {
  TCellBroadcast cb;
  cb.MessageIdentifier = Id;
  cb.Content = ISOtoSMS(Text);
  cb.SetPageNumber(4, 1);
  cb.SetPageNumber(0, 1);
  std::lock_guard lk(M_);
  int bm = Cnmi_[2];
  if (bm != 2 && bm != 3) return;
  if (Cmgf_ == 0) Line("+CBM: 88\r\n" + cb.GetPDU());
  else Line(Format("+CBM: %d,%d,%d,1,1", cb.GetMessageCode(), Id, cb.DCS) + "\r\n" + Text);
}

void TGSMSimulator::SetRegistration(int Status) {
  std::lock_guard lk(M_);
  Reg_ = Status;
  bool unquoted = Opt_.Personality == TPersonality::HuaweiE3372 || Opt_.Personality == TPersonality::HuaweiE3372Three;
  if (Creg_ >= 1)
    Unsolicited(Creg_ == 2 ? Format(unquoted ? "+CREG: %d,8BE3,2BAF" : "+CREG: %d,\"00C3\",\"0010\"", Status)
                           : Format("+CREG: %d", Status));
}

void TGSMSimulator::SetDelay(int Ms) {
  std::lock_guard lk(M_);
  Delay_ = std::max(0, Ms);
}

void TGSMSimulator::SetSilent(bool On) {
  std::lock_guard lk(M_);
  Silent_ = On;
}

void TGSMSimulator::SetNoise(bool On) {
  std::lock_guard lk(M_);
  Noise_ = On;
  [[maybe_unused]] ssize_t n = ::write(WakeW_, "w", 1);  // the serve loop takes up its new time-out
}

const char* TGSMSimulator::ControlHelp() {
  return "  sms NUMBER TEXT...   an incoming short message (UTF-8, in parts when long)\n"
         "  smsrev NUMBER TEXT... the same, its parts arriving last first\n"
         "  pdu HEX              an incoming SMS-DELIVER TPDU (hexadecimal, no service centre)\n"
         "  report MR STATUS     a status report for message reference MR\n"
         "  cb ID TEXT...        a cell broadcast page\n"
         "  creg STATUS          a registration change (0 to 5)\n"
         "  slow MS              wait MS milliseconds before every answer\n"
         "  silent on|off        stop or resume answering\n"
         "  noise on|off         unsolicited +CSQ lines five times a second\n"
         "  hang                 stop answering anything until AT+CFUN=1,1 resets the modem\n"
         "  slowcmgs MS          answer each sent message MS milliseconds late\n"
         "  restart              start again as after a power cut (settings lost, boot lines)\n";
}

std::string TGSMSimulator::Control(const std::string& LineText) {
  std::istringstream in(LineText);
  std::string verb;
  in >> verb;
  auto rest = [&] {
    std::string r;
    std::getline(in, r);
    return Trim(r);
  };
  try {
    if (verb == "sms" || verb == "smsrev") {
      std::string number;
      in >> number;
      InjectSMS(number, rest(), verb == "smsrev");
    } else if (verb == "pdu") {
      InjectPDU(rest());
    } else if (verb == "report") {
      int mr = 0, st = 0;
      in >> mr >> st;
      InjectStatusReport(static_cast<uint8_t>(mr), static_cast<uint8_t>(st));
    } else if (verb == "cb") {
      int id = 0;
      in >> id;
      InjectCellBroadcast(static_cast<uint16_t>(id), rest());
    } else if (verb == "creg") {
      int st = 0;
      in >> st;
      SetRegistration(st);
    } else if (verb == "slow") {
      int ms = 0;
      in >> ms;
      SetDelay(ms);
    } else if (verb == "slowcmgs") {
      int ms = 0;
      in >> ms;
      SetCmgsDelay(ms);
    } else if (verb == "restart") {
      Restart();
    } else if (verb == "hang") {
      SetHung(true);
    } else if (verb == "silent" || verb == "noise") {
      std::string v = rest();
      if (v != "on" && v != "off") return "expected on or off";
      if (verb == "silent") SetSilent(v == "on");
      else SetNoise(v == "on");
    } else if (!verb.empty()) {
      return "unknown control command: " + verb;
    }
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace Halyard::Simulator

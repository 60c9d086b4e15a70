// halyard: the package's main job from a shell. Sends, lists, reads and deletes short messages,
// shows the modem, monitors what it reports, runs AT commands and codes PDUs offline; without
// --device it runs everything against a simulated modem.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <chrono>
#include <string>
#include <vector>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/connect/Loggers.h"
#include "halyard/framework/FormText.h"
#include "halyard/framework/Registry.h"
#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/GSMModels.h"
#include "halyard/gsm/LongSMS.h"
#include "halyard/gsm/SMSText.h"
#include "halyard/gsm/Ussd.h"
#include "halyard/package/Package.h"
#include "halyard/platform/Pty.h"
#include "halyard/resources/PaletteBitmaps.h"
#include "halyard/session/ModemSession.h"
#include "halyard/simulator/GSMSimulator.h"

using namespace Halyard;
using nlohmann::json;

namespace {

// Set by the signal handler, read by the commands and the watchdog thread.
std::atomic<int> gInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
// How a command ended by a signal exits: 130, or 0 for those that run until interrupted.
std::atomic<int> gInterruptStatus{130};
void OnSignal(int) { gInterrupted.store(1); }

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

// Output that is valid JSON whatever the texts hold.
std::string Dump(const json& j, int indent = -1) { return j.dump(indent, ' ', false, json::error_handler_t::replace); }

const char* kUsage =
    "usage: halyard [options] COMMAND [arguments]\n\n"
    "Commands:\n"
    "  send NUMBER TEXT...     send a message (--pdu | --text, --status-report, --validity 1d|2h|30m|1w)\n"
    "  send --batch FILE       send one \"number,text\" per line (CSV quoting)\n"
    "  list [--status S]       list stored messages; S: unread read unsent sent all (default all)\n"
    "  read INDEX              show one stored message\n"
    "  delete INDEX | --all    delete stored messages\n"
    "  info                    identification, formats, registration and storage\n"
    "  monitor                 print incoming messages, reports, broadcasts and lines until Ctrl-C\n"
    "  at COMMAND...           run AT commands, print their lines and results\n"
    "  ussd CODE [REPLY...]    send a USSD code (*100#) and print the network's answer; each REPLY\n"
    "                          answers the menu before it (--ussd-timeout MS, default 30000)\n"
    "  pdu decode HEX [--incoming|--outgoing] [--no-sca]\n"
    "  pdu encode --to NUMBER --text TEXT [--no-sca] [--status-report] [--validity V]\n"
    "  sim                     run the modem simulator on a pseudo-terminal and print its path\n"
    "  demo                    a short guided tour on a simulated modem\n"
    "  palette [CLASS]         the registered components, or the published properties of one\n"
    "  palette --bitmap CLASS  write the palette bitmap of a component (BMP) to standard output\n"
    "  form FILE               read a form file as the designer does and print it back\n\n"
    "Options:\n"
    "  --device PATH   serial device of the modem (default: an in-process simulated modem)\n"
    "  --model NAME    auto (default: picked from what the modem says of itself), generic (any\n"
    "                  27.005 modem), Quectel SIMCom Huawei Sierra u-blox Telit, or one of\n"
    "                  A1 M1 M20 GM12 Nokia6210 Nokia9110 M35 S25 T260 WaveCom TC35\n"
    "  --baud N        line speed (default 19200)\n"
    "  --pin PIN       SIM PIN\n"
    "  --sca NUMBER    service centre address\n"
    "  --format F      pdu or text (default pdu where the model has it)\n"
    "  --storage NAME  storage of list, read and delete: SM, ME, MT, ... (default: where the\n"
    "                  modem puts new messages; SM for the eleven classic models)\n"
    "  --log FILE      log the traffic to FILE\n"
    "  --json          one JSON document on standard output\n"
    "  --timeout MS    answer time-out per command (default 6000); a device that does not\n"
    "                  answer its first command in this time fails at once\n"
    "  --help          this text\n\n"
    "Exit status: 0 success, 1 modem or message error, 2 usage error, 3 no answer after a\n"
    "message went to the modem (it may have been sent; it is not sent again), 130 interrupted.\n";

struct Options {
  std::string Device, Pin, Sca, Log, Format, Storage;
  GSM::TGSMEquipment Model = GSM::eqTC35;  // the simulator's, while AutoModel
  bool AutoModel = true;
  int Baud = 19200, Timeout = 6000;
  bool Json = false;
  std::vector<std::string> Args;  // the command and its own arguments
};

// UTF-8 to ISO 8859-1; code points above 255 are collected in `bad`.
std::string Latin1(const std::string& utf8, std::vector<std::string>& bad) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    size_t at = i;
    int32_t cp = AuxStr::NextCodePoint(utf8, i);
    if (cp < 0) cp = static_cast<unsigned char>(utf8[at]);  // not UTF-8: a byte of a Latin-1 terminal
    if (cp < 256) out += static_cast<char>(cp);
    else if (cp == 0x20AC) out += '\x80';  // the euro sign, where the GSM table keeps it
    else bad.push_back(utf8.substr(at, i - at));
  }
  return out;
}

std::string Utf8(const std::string& latin1) {
  std::string out;
  for (unsigned char c : latin1) AuxStr::AppendUtf8(out, c == 0x80 ? U'\u20AC' : char32_t{c});
  return out;
}

// Text of a message for people, in UTF-8 from whichever coding it has, behind its header; a
// malformed header leaves the user data shown as it is.
std::string Readable(const GSM::TSMS2& m) {
  try {
    return GSM::MessageContent(m).Text();
  } catch (const GSM::ESMSDecodeError&) {
    return GSM::DecodeText(m.Packed() ? GSM::tcGSM7 : GSM::tc8Bit, m.UD);
  }
}

// Where a stored or received message belongs in a longer one.
std::optional<GSM::TConcatenation> PartOf(const GSM::TSMS2& m) {
  try {
    auto c = GSM::MessageContent(m);
    if (c.Header) return c.Header->Concatenation();
  } catch (const GSM::ESMSDecodeError&) {
  }
  return std::nullopt;
}

// The GSM alphabet form of a UTF-8 text, or a usage-level complaint about what it lacks.
std::string ToSMS(const std::string& utf8) {
  std::vector<std::string> bad;
  std::string latin = Latin1(utf8, bad);
  for (unsigned char c : latin)
    if (!GSM::IsSMSCharacter(c)) bad.push_back(Utf8(std::string(1, static_cast<char>(c))));
  if (!bad.empty()) {
    std::string list;
    for (auto& b : bad) list += (list.empty() ? "" : " ") + std::string("'") + b + "'";
    throw GSM::EGSMError("Characters the GSM alphabet lacks: " + list);
  }
  return GSM::ISOtoSMS(latin);
}

double ParseValidity(const std::string& v) {
  if (v.size() < 2) throw UsageError("bad --validity: " + v);
  double n = 0;
  try {
    n = std::stod(v.substr(0, v.size() - 1));
  } catch (...) {
    throw UsageError("bad --validity: " + v);
  }
  switch (v.back()) {
    case 'm': return n / 1440;
    case 'h': return n / 24;
    case 'd': return n;
    case 'w': return n * 7;
    default: throw UsageError("bad --validity (use m, h, d or w): " + v);
  }
}

std::string Stamp(double dt) { return dt == 0 ? "" : Framework::DateTimeToStr(dt); }

json Describe(GSM::TSMS* sms) {
  json j;
  if (auto* d = dynamic_cast<GSM::TSMSDeliver*>(sms)) {
    j = {{"type", "deliver"}, {"from", d->OA}, {"time", Stamp(d->SCTS)}, {"zone", d->TimeZone}, {"text", Readable(*d)}};
  } else if (auto* s = dynamic_cast<GSM::TSMSSubmit*>(sms)) {
    j = {{"type", "submit"}, {"to", s->DA}, {"text", Readable(*s)}, {"reference", s->MR}};
  } else if (auto* r = dynamic_cast<GSM::TSMSStatusReport*>(sms)) {
    j = {{"type", "status-report"}, {"reference", r->MR}, {"recipient", r->RA}, {"status", r->ST},
         {"time", Stamp(r->SCTS)}, {"discharged", Stamp(r->DT)}};
  } else if (auto* c = dynamic_cast<GSM::TCellBroadcast*>(sms)) {
    j = {{"type", "cell-broadcast"}, {"id", c->MessageIdentifier}, {"page", c->Page()}, {"pages", c->Pages()},
         {"text", GSM::CellBroadcastText(*c)}};
  } else if (auto* m = dynamic_cast<GSM::TSMS2*>(sms)) {
    j = {{"type", "other"}, {"pdutype", m->PDUType}};
  }
  if (auto* m = dynamic_cast<GSM::TSMS2*>(sms)) {
    if (!m->SCA.empty()) j["sca"] = m->SCA;
    if (auto part = PartOf(*m)) j["part"] = {{"reference", part->Reference}, {"index", part->Part}, {"of", part->Parts}};
  }
  return j;
}

// Every field of a message, as the peers' decoders show them, for "pdu decode".
json Details(GSM::TSMS* sms) {
  json j = Describe(sms);
  auto* m = dynamic_cast<GSM::TSMS2*>(sms);
  if (!m) return j;
  static const char* codings[] = {"7-bit", "8-bit", "UCS2"};
  j["pdutype"] = m->PDUType;
  auto* deliver = dynamic_cast<GSM::TSMSDeliver*>(m);
  auto* submit = dynamic_cast<GSM::TSMSSubmit*>(m);
  if (deliver || submit) {
    j["pid"] = deliver ? deliver->PID : submit->PID;
    j["dcs"] = m->DCS;
    j["coding"] = codings[GSM::SMSCoding(m->DCS)];
    if (auto c = GSM::SMSClass(m->DCS)) j["class"] = *c;
  }
  if (auto* s = dynamic_cast<GSM::TSMSSubmit*>(m)) {
    int vpf = s->GetPDUType2Bits(3);
    if (vpf == 2) j["validity"] = std::to_string(static_cast<long long>(std::llround(s->VP * 1440))) + " minutes";
    else if (vpf == 3) j["validity"] = Stamp(s->VP);
    j["status_report_requested"] = s->GetPDUTypeBit(GSM::Tp::kSrBit);
  }
  // The user-data header: its elements (the text behind it is Describe's).
  if ((deliver || submit) && m->GetPDUTypeBit(GSM::Tp::kUdhiBit)) {
    json elements = json::array();
    try {
      const GSM::TMessageContent content = GSM::MessageContent(*m);
      for (const auto& e : content.Header->Elements) {
        json je = {{"iei", e.IEI}, {"data", AuxStr::Bin2Hex(e.Data)}};
        GSM::TUserDataHeader one;
        one.Elements.push_back(e);
        if (auto c = one.Concatenation()) je.update({{"name", "concatenation"}, {"reference", c->Reference}, {"parts", c->Parts}, {"part", c->Part}});
        if (auto p = one.Ports()) je.update({{"name", "ports"}, {"destination", p->Destination}, {"origin", p->Origin}});
        elements.push_back(je);
      }
    } catch (const GSM::ESMSDecodeError& e) {
      j["udh_error"] = e.what();
    }
    j["udh"] = elements;
  }
  return j;
}

// "name  value" lines, the values in one column.
void PrintFields(const json& j) {
  size_t w = 0;
  for (auto& [k, v] : j.items()) w = std::max(w, k.size());
  for (auto& [k, v] : j.items())
    std::cout << AuxStr::LStr(k, static_cast<int>(w) + 2) << (v.is_string() ? v.get<std::string>() : Dump(v)) << "\n";
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width;
  for (auto& r : rows)
    for (size_t i = 0; i < r.size(); ++i) {
      if (width.size() <= i) width.push_back(0);
      width[i] = std::max(width[i], r[i].size());
    }
  for (auto& r : rows) {
    std::string line;
    for (size_t i = 0; i < r.size(); ++i) line += (i + 1 < r.size() ? AuxStr::LStr(r[i], static_cast<int>(width[i]) + 2) : r[i]);
    std::cout << AuxStr::RTrim(line) << "\n";
  }
}

// One modem session, as the package opens one, with the tool's words for what went wrong.
class Session {
 public:
  explicit Session(const Options& o) : Opt(o), M(SessionOptions(o)), Gsm(&M.Gsm()) {
    if (M.Simulated())
      std::cerr << "halyard: no --device given; using a simulated " << GSM::GSMEquipmentLongName[o.Model]
                << " modem on " << M.Device()
                << " whose store lasts for this command only (run \"halyard sim\" for one that stays)\n";
  }
  static Halyard::Session::TModemOptions SessionOptions(const Options& o) {
    CommConnect::TBaudrate b;
    if (!CommConnect::Int2BaudRate(o.Baud, b)) throw UsageError("unsupported --baud " + std::to_string(o.Baud));
    Halyard::Session::TModemOptions so;
    so.Device = o.Device;
    so.Model = o.AutoModel ? "auto" : GSM::GSMEquipmentShortName[o.Model];
    so.Baud = o.Baud;
    so.PIN = o.Pin;
    so.SCA = o.Sca;
    so.Format = o.Format;
    so.TrafficLog = o.Log;
    so.TimeoutMs = o.Timeout;
    return so;
  }
  // Opens the modem; errors name the device in words before the library's own message.
  void Open() {
    bool tty = isatty(STDERR_FILENO);
    if (tty) std::cerr << "halyard: opening " << M.Device() << "...\r" << std::flush;
    try {
      M.Open([] {
        if (gInterrupted) throw Interrupted();
      });
    } catch (const Interrupted&) {
      throw;
    } catch (const std::exception& e) {
      if (tty) std::cerr << "\x1b[K";
      throw GSM::EGSMError(M.Device() + ": " + InWords(e.what()) + " (" + e.what() + ")");
    }
    if (tty) std::cerr << "\x1b[K" << std::flush;
  }
  // list, read and delete work on the storage asked for, not on what another program left.
  void UseStorage() {
    std::string name = Opt.Storage;
    const GSM::TGSMModel& model = GSM::GSMModel(Gsm->Equipment());
    if (name.empty() && model.ReadStorages) name = GSM::TrimQuotes(Gsm->ReceiveStorage());
    if (name.empty()) name = model.OpenStorage ? GSM::TrimQuotes(model.OpenStorage) : "SM";
    Gsm->Setmem1("\"" + AuxStr::UpString(name) + "\"");
  }
  static std::string InWords(const std::string& m) {
    auto has = [&](const char* t) { return m.find(t) != std::string::npos; };
    if (has("Error 2 ")) return "no such device";
    if (has("Error 13 ")) return "permission denied";
    if (has("Error 16 ")) return "the device is busy";
    if (has("Error 25 ") || has("SetCommState") || has("GetCommState")) return "not a serial port";
    if (has("Error 5 ")) return "input/output error (unplugged?)";
    if (has("No reply on AT command: AT\r") || m == "No reply on AT command: AT") return "the modem does not answer";
    if (has("No reply on AT command")) return "the modem stopped answering";
    if (has("PIN")) return "the SIM wants its PIN";
    return "cannot open the modem";
  }

  const Options& Opt;
  Halyard::Session::TModemSession M;
  GSM::TGSM* Gsm;
};

// --- sub-commands ------------------------------------------------------------------------------

// A number the codec can carry, or an error that names it.
void CheckNumber(const std::string& number) {
  if (number.empty()) throw UsageError("the NUMBER is empty");
  try {
    (void)GSM::TSMS2::EncodeODA(number);
  } catch (const Framework::EConvertError& e) {
    throw GSM::EGSMError("Not a phone number: " + number + " (" + e.what() + ")");
  }
}

std::unique_ptr<GSM::TSMSSubmit> MakeSubmit(Session* s, const std::string& number, const std::string& utf8,
                                            bool report, const std::string& validity, bool textMode) {
  CheckNumber(number);
  auto m = std::make_unique<GSM::TSMSSubmit>();
  if (s) m->GSM = s->Gsm;
  m->DA = number;
  std::string sms = ToSMS(utf8);
  if (sms.size() > 160) throw GSM::EGSMError("Text too long: " + std::to_string(sms.size()) + " septets, 160 at most");
  m->UD = textMode ? GSM::SMStoISO(sms) : sms;
  if (report) m->SetPDUTypeBit(GSM::Tp::kSrBit, true);
  if (!validity.empty()) {
    m->SetPDUType2Bits(3, 2);
    m->VP = ParseValidity(validity);
  }
  return m;
}

// The messages that carry a text to a number: in PDU mode as many concatenated parts as it
// needs, in whichever coding fits; in text mode one message of the GSM alphabet.
std::vector<std::unique_ptr<GSM::TSMSSubmit>> MakeSubmits(Session* s, const std::string& number, const std::string& utf8,
                                                          bool report, const std::string& validity, bool textMode) {
  std::vector<std::unique_ptr<GSM::TSMSSubmit>> parts;
  if (textMode) {
    parts.push_back(MakeSubmit(s, number, utf8, report, validity, true));
    return parts;
  }
  CheckNumber(number);
  GSM::TSplitOptions opt;
  opt.StatusReport = report;
  if (!validity.empty()) opt.Validity = ParseValidity(validity);
  parts = GSM::SplitText(utf8, number, opt);
  for (auto& p : parts) p->GSM = s ? s->Gsm : nullptr;
  return parts;
}

// Sends the parts in order; the JSON of what went out.
json SendParts(Session& s, const std::vector<std::unique_ptr<GSM::TSMSSubmit>>& parts) {
  json sent = json::array();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (gInterrupted) throw Interrupted();
    s.Gsm->SendSMS(parts[i].get());
    auto c = PartOf(*parts[i]);
    sent.push_back({{"index", i + 1}, {"reference", c ? c->Reference : -1}});
  }
  return sent;
}

std::vector<std::string> ParseCsvLine(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += '"', ++i;
      else if (c == '"') quoted = false;
      else fields.back() += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',' && fields.size() == 1) {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

int CmdSend(const Options& o, std::vector<std::string> a, json& out) {
  bool report = false, pdu = false, text = false;
  std::string validity, batch;
  std::vector<std::string> rest;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--status-report") report = true;
    else if (a[i] == "--pdu") pdu = true;
    else if (a[i] == "--text") text = true;
    else if (a[i] == "--validity" && i + 1 < a.size()) validity = a[++i];
    else if (a[i] == "--batch" && i + 1 < a.size()) batch = a[++i];
    else rest.push_back(a[i]);
  }
  Options opt = o;
  if (pdu) opt.Format = "pdu";
  if (text) opt.Format = "text";
  if (batch.empty() && rest.size() < 2) throw UsageError("send needs NUMBER and TEXT");
  if (!batch.empty() && !rest.empty()) throw UsageError("send --batch takes no NUMBER or TEXT");
  if (!validity.empty()) ParseValidity(validity);
  if (batch.empty()) CheckNumber(rest[0]);
  Session s(opt);
  s.Open();
  bool textMode = s.Gsm->SMSFormat() == 1;
  if (batch.empty()) {
    std::string body;
    for (size_t i = 1; i < rest.size(); ++i) body += (i > 1 ? " " : "") + rest[i];
    auto parts = MakeSubmits(&s, rest[0], body, report, validity, textMode);
    json sent = SendParts(s, parts);
    out = {{"sent", sent.size()}, {"to", rest[0]}, {"parts", sent}};
    if (!o.Json) {
      std::cout << "Sent to " << rest[0];
      if (parts.size() > 1) std::cout << " in " << parts.size() << " parts";
      std::cout << "\n";
    }
    return 0;
  }
  std::ifstream in(batch);
  if (!in) throw UsageError("cannot read " + batch);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);)
    if (!AuxStr::Trim(l).empty()) lines.push_back(l);
  int sent = 0;
  json failed = json::array();
  bool bar = isatty(STDERR_FILENO) && !o.Json;
  auto started = std::chrono::steady_clock::now();
  for (size_t i = 0; i < lines.size() && !gInterrupted; ++i) {
    auto f = ParseCsvLine(lines[i]);
    try {
      if (f.size() < 2 || AuxStr::Trim(f[0]).empty()) throw GSM::EGSMError("expected number,text");
      SendParts(s, MakeSubmits(&s, AuxStr::Trim(f[0]), f[1], report, validity, textMode));
      ++sent;
    } catch (const std::exception& e) {
      failed.push_back({{"line", i + 1}, {"why", e.what()}});
    }
    if (bar) {
      int w = 30, done = static_cast<int>(w * (i + 1) / lines.size());
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      std::fprintf(stderr, "\r[%s%s] %zu/%zu, %.1f/s, %zu failed", std::string(static_cast<size_t>(done), '#').c_str(),
                   std::string(static_cast<size_t>(w - done), ' ').c_str(), i + 1, lines.size(),
                   secs > 0 ? static_cast<double>(i + 1) / secs : 0.0, failed.size());
    }
  }
  if (bar) std::fprintf(stderr, "\n");
  out = {{"sent", sent}, {"failed", failed}};
  if (!o.Json) {
    std::cout << "Sent " << sent << ", failed " << failed.size() << "\n";
    for (auto& f : failed) std::cout << "  line " << f["line"].get<int>() << ": " << f["why"].get<std::string>() << "\n";
  }
  return failed.empty() ? 0 : 1;
}

// The entries of a message list, the parts of a long message joined into one entry (in part
// order, a missing part shown as U+FFFD) that names all their indexes.
json Entries(const Framework::TStringList& list) {
  json out = json::array();
  struct TGroup {
    size_t Entry;
    int Parts;
    std::map<int, std::string> Texts;
  };
  std::map<std::tuple<std::string, int, int>, TGroup> groups;
  for (int i = 0; i < list.Count(); ++i) {
    int st = Framework::StrToIntDef(list.ValueFromIndex(i), -1);
    auto* sms = static_cast<GSM::TSMS*>(list.Objects(i));
    json j = sms ? Describe(sms) : json{{"type", "undecodable"}};
    int index = Framework::StrToIntDef(list.Names(i), -1);
    j["index"] = index;
    j["status"] = st >= 0 && st <= 4 ? GSM::StatS[static_cast<size_t>(st)] : std::to_string(st);
    auto* m = dynamic_cast<GSM::TSMS2*>(sms);
    auto part = m ? PartOf(*m) : std::nullopt;
    if (!part) {
      out.push_back(j);
      continue;
    }
    auto key = std::make_tuple(j.value("from", j.value("to", "")), part->Reference, part->Parts);
    auto [g, fresh] = groups.try_emplace(key, TGroup{out.size(), part->Parts, {}});
    if (fresh) {
      j["indexes"] = json::array();
      out.push_back(j);
    }
    out[g->second.Entry]["indexes"].push_back(index);
    g->second.Texts.try_emplace(part->Part, j.value("text", ""));
  }
  for (auto& [key, g] : groups) {
    std::string text;
    for (int n = 1; n <= g.Parts; ++n) text += g.Texts.count(n) ? g.Texts[n] : "\xEF\xBF\xBD";
    json& e = out[g.Entry];
    e["text"] = text;
    e["complete"] = static_cast<int>(g.Texts.size()) == g.Parts;
    e.erase("part");
    e["parts"] = g.Parts;
  }
  return out;
}

int CmdList(const Options& o, const std::vector<std::string>& a, json& out) {
  static const std::map<std::string, int> statuses = {{"unread", 0}, {"read", 1}, {"unsent", 2}, {"sent", 3}, {"all", 4}};
  int stat = 4;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--status" && i + 1 < a.size() && statuses.count(a[i + 1])) stat = statuses.at(a[++i]);
    else throw UsageError("list takes --status unread|read|unsent|sent|all");
  }
  Session s(o);
  s.Open();
  s.UseStorage();
  out = Entries(*s.Gsm->GetSMSList(stat));
  std::vector<std::vector<std::string>> rows = {{"INDEX", "STATUS", "ADDRESS", "TIME", "TEXT"}};
  for (auto& j : out) {
    std::string index = std::to_string(j["index"].get<int>());
    if (j.contains("indexes")) {
      index.clear();
      for (auto& i : j["indexes"]) index += (index.empty() ? "" : ",") + std::to_string(i.get<int>());
    }
    rows.push_back({index, j["status"], j.value("from", j.value("to", "")), j.value("time", ""), j.value("text", "")});
  }
  if (!o.Json) PrintTable(rows);
  return 0;
}

int CmdRead(const Options& o, const std::vector<std::string>& a, json& out) {
  int index;
  if (a.size() != 1 || !Framework::TryStrToInt(a[0], index)) throw UsageError("read needs one INDEX");
  Session s(o);
  s.Open();
  s.UseStorage();
  int status = -1;
  auto m = s.Gsm->ReadSMS(index, status);
  if (!m) throw GSM::EGSMError("No message at index " + a[0]);
  out = Describe(m.get());
  out["index"] = index;
  if (status >= 0 && status <= 4) out["status"] = GSM::StatS[static_cast<size_t>(status)];
  // A part of a long message: the whole of it, from the other parts stored beside it.
  if (PartOf(*m)) {
    for (auto& e : Entries(*s.Gsm->GetSMSList(4))) {
      if (!e.contains("indexes")) continue;
      for (auto& i : e["indexes"])
        if (i.get<int>() == index) {
          out["text"] = e["text"];
          out["indexes"] = e["indexes"];
          out["complete"] = e["complete"];
        }
    }
  }
  if (!o.Json) PrintFields(out);
  return 0;
}

int CmdDelete(const Options& o, const std::vector<std::string>& a, json& out) {
  int index = 0;
  bool all = a.size() == 1 && a[0] == "--all";
  if (!all && (a.size() != 1 || !Framework::TryStrToInt(a[0], index))) throw UsageError("delete needs INDEX or --all");
  Session s(o);
  s.Open();
  s.UseStorage();
  std::vector<int> done;
  if (all) {
    auto list = s.Gsm->GetSMSList(4);
    for (int i = 0; i < list->Count(); ++i) done.push_back(Framework::StrToInt(list->Names(i)));
  } else {
    done.push_back(index);
  }
  for (int i : done) s.Gsm->DeleteSMS(i);
  out = {{"deleted", done}};
  if (!o.Json) std::cout << "Deleted " << done.size() << " message" << (done.size() == 1 ? "" : "s") << "\n";
  return 0;
}

int CmdInfo(const Options& o, const std::vector<std::string>& a, json& out) {
  if (!a.empty()) throw UsageError("info takes no arguments");
  Session s(o);
  s.Open();
  static const char* names[] = {"manufacturer", "model", "revision", "serial"};
  std::vector<std::vector<std::string>> rows;
  for (int i = 1; i <= 4; ++i) {
    out[names[i - 1]] = s.Gsm->GetMEId(i);
    rows.push_back({names[i - 1], out[names[i - 1]]});
  }
  Framework::Application().ProcessMessages();  // the registration answer of the open
  json formats = json::array();
  if (s.Gsm->GetSupportedSMSFormats().Contains(0)) formats.push_back("pdu");
  if (s.Gsm->GetSupportedSMSFormats().Contains(1)) formats.push_back("text");
  out["formats"] = formats;
  out["format"] = s.Gsm->SMSFormat() ? "text" : "pdu";
  out["registration"] = s.Gsm->RegistrationStatus();
  out["storage"] = GSM::TrimQuotes(s.Gsm->MessageStorage());
  out["equipment"] = GSM::GSMEquipmentLongName[s.Gsm->Equipment()];
  rows.push_back({"formats", formats.dump()});
  rows.push_back({"format", out["format"]});
  rows.push_back({"registration", std::to_string(s.Gsm->RegistrationStatus())});
  rows.push_back({"storage", out["storage"]});
  rows.push_back({"equipment", out["equipment"]});
  if (!o.Json) PrintTable(rows);
  return 0;
}

int CmdMonitor(const Options& o, const std::vector<std::string>& a, json& out) {
  if (!a.empty()) throw UsageError("monitor takes no arguments");
  Session s(o);
  out = json::array();
  auto emit = [&](json j) {
    if (o.Json) {
      std::cout << Dump(j) << "\n";  // one event per line while it runs
    } else {
      std::cout << j.value("event", "") << ": ";
      j.erase("event");
      std::cout << Dump(j) << "\n";
    }
    std::cout.flush();
  };
  // The open dialogue's own answers reach the unsolicited handling after it; they are not
  // events. Set up first, let its lines pass until 300 ms go by without one (3 s at most, for a
  // modem that never stops talking), then listen.
  s.Gsm->SetUnsolicitedIndication({GSM::uindSMSDeliver, GSM::uindSMSStatusReport, GSM::uindCellBroadcast});
  s.Open();
  bool heard = false, settling = false;
  auto settle = [&] {
    settling = true;
    for (int window = 0; window < 10 && !gInterrupted; ++window) {
      heard = false;
      Framework::Application().WaitUntil([] { return false; }, 300);
      if (!heard) break;
    }
    settling = false;
  };
  s.Gsm->SetOnUnsolicitedLine([&](Framework::TObject*, const std::string&) { heard = true; });
  s.Gsm->SetOnNetworkRegistration([&](Framework::TObject*, int) { heard = true; });
  settle();
  // Parts of long messages and pages of alerts are events once they are whole.
  GSM::TReassembler parts;
  GSM::TBroadcastAssembler pages;
  // The handlers use the locals above; the modem, closed after them, must not reach them.
  struct TUnhook {
    GSM::TGSM* g;
    ~TUnhook() {
      g->SetOnUnsolicitedSMS(nullptr);
      g->SetOnNetworkRegistration(nullptr);
      g->SetOnUnsolicitedLine(nullptr);
    }
  } unhook{s.Gsm};
  s.Gsm->SetOnUnsolicitedSMS([&](Framework::TObject*, int idx, GSM::TSMS* sms) {
    json j = sms ? Describe(sms) : json{{"stored", idx}, {"storage", GSM::TrimQuotes(s.Gsm->MessageStorage())}};
    j["event"] = sms ? "message" : "stored";
    try {
      if (auto* d = dynamic_cast<GSM::TSMSDeliver*>(sms); d && PartOf(*d)) {
        auto whole = parts.Add(*d);
        if (!whole) return;
        j["text"] = whole->Text;
        j["parts"] = whole->Parts;
        j.erase("part");
      } else if (auto* cb = dynamic_cast<GSM::TCellBroadcast*>(sms); cb && cb->Pages() > 1) {
        auto whole = pages.Add(*cb);
        if (!whole) return;
        j["text"] = whole->Text;
        j.erase("page");
      }
    } catch (const GSM::ESMSDecodeError& e) {
      j["error"] = e.what();  // shown as it came
    }
    emit(j);
  });
  s.Gsm->SetOnNetworkRegistration([&](Framework::TObject*, int st) {
    if (settling) heard = true;
    else emit({{"event", "registration"}, {"status", st}});
  });
  s.Gsm->SetOnUnsolicitedLine([&](Framework::TObject*, const std::string& l) {
    if (settling) heard = true;
    else if (!l.empty() && l != "OK" && l.rfind("AT", 0) != 0 && l[0] != '>') emit({{"event", "line"}, {"line", l}});
  });
  std::cerr << "halyard: monitoring; Ctrl-C ends\n";
  while (!gInterrupted) {
    Framework::Application().HandleMessage(500);
    if (s.Gsm->TakeRestart()) {
      // Started again by itself: its indications and formats are gone until it is set up again.
      emit({{"event", "restart"}});
      s.Gsm->Close();
      s.Open();
      settle();  // the set-up's own answers are no events
    }
    for (auto& lost : parts.TakeExpired())
      emit({{"event", "incomplete"}, {"from", lost.From}, {"text", lost.Text}, {"received", lost.Received},
            {"parts", lost.Parts}});
  }
  out = nullptr;
  return 0;
}

int CmdAt(const Options& o, const std::vector<std::string>& a, json& out) {
  if (a.empty()) throw UsageError("at needs a COMMAND");
  Session s(o);
  s.Gsm->OpenComDevice();
  out = json::array();
  int rc = 0;
  for (auto& cmd : a) {
    Framework::TStringList lines;
    int code = s.Gsm->SendATCommand(cmd, GSM::wmAnswerOrError, &lines);
    json j = {{"command", cmd}, {"lines", json::array()}, {"result", s.Gsm->LastResultLine()}, {"code", code}};
    for (auto& e : lines) j["lines"].push_back(e.S);
    out.push_back(j);
    if (!o.Json) {
      for (auto& e : lines) std::cout << e.S << "\n";
      std::cout << s.Gsm->LastResultLine() << "\n";
    }
    if (code != 0) rc = 1;
  }
  s.Gsm->CloseComDevice(true);
  return rc;
}

int CmdUssd(const Options& o, std::vector<std::string> a, json& out) {
  int timeout = 30000;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] == "--ussd-timeout" && i + 1 < a.size()) {
      timeout = std::atoi(a[i + 1].c_str());
      a.erase(a.begin() + static_cast<long>(i), a.begin() + static_cast<long>(i) + 2);
      break;
    }
  if (a.empty()) throw UsageError("ussd needs a CODE");
  for (auto& c : a)
    if (!GSM::ValidUssdCode(c)) throw UsageError("not a USSD code or reply: " + c);
  if (timeout < 1000) throw UsageError("--ussd-timeout must be 1000 ms or more");
  Session s(o);
  s.Open();
  GSM::TUssdMailbox box;
  s.Gsm->SetOnUnsolicitedLine([&box](Framework::TObject*, const std::string& Line) { box.Offer(Line); });
  out = json::array();
  int rc = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    GSM::TUssdAnswer answer = GSM::SendUssd(*s.Gsm, box, a[i], timeout);
    out.push_back({{"sent", a[i]}, {"status", answer.Status}, {"text", answer.Text}, {"more", answer.MoreToCome()}});
    if (!o.Json) std::cout << answer.Text << (answer.Text.empty() ? "" : "\n");
    if (answer.Status >= 2) {
      if (!o.Json) std::cerr << "halyard: the network ended the session (+CUSD: " << answer.Status << ")\n";
      rc = 1;
      break;
    }
    if (!answer.MoreToCome()) break;
    // A menu left open when the replies run out is closed, not left to time out in the network.
    if (i + 1 == a.size()) GSM::CancelUssd(*s.Gsm);
  }
  s.Gsm->SetOnUnsolicitedLine(nullptr);
  return rc;
}

int CmdPdu(const Options& o, std::vector<std::string> a, json& out) {
  if (a.empty()) throw UsageError("pdu needs decode or encode");
  std::string verb = a[0];
  a.erase(a.begin());
  bool noSca = false, incoming = true, report = false, directionGiven = false;
  std::string to, text, validity, hex;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--no-sca") noSca = true;
    else if (a[i] == "--incoming") incoming = directionGiven = true;
    else if (a[i] == "--outgoing") incoming = false, directionGiven = true;
    else if (a[i] == "--status-report") report = true;
    else if (a[i] == "--to" && i + 1 < a.size()) to = a[++i];
    else if (a[i] == "--text" && i + 1 < a.size()) text = a[++i];
    else if (a[i] == "--validity" && i + 1 < a.size()) validity = a[++i];
    else if (hex.empty() && a[i][0] != '-') hex = a[i];
    else throw UsageError("unexpected argument " + a[i]);
  }
  GSM::TFixedSMSModem noScaModem(false);
  GSM::ISMSModem* host = noSca ? &noScaModem : nullptr;
  if (verb == "decode") {
    if (hex.empty()) throw UsageError("pdu decode needs HEX");
    for (char c : hex)
      if (!std::isxdigit(static_cast<unsigned char>(c))) throw GSM::EGSMError("Not hexadecimal: " + hex);
    if (hex.size() % 2) throw GSM::EGSMError("Odd number of hex digits (" + std::to_string(hex.size()) + ")");
    // The direction given, else the one that decodes: received first, then sent.
    std::unique_ptr<GSM::TSMS2> sms;
    try {
      sms = GSM::TSMS2::CreateSMS(host, hex, incoming);
    } catch (const std::exception&) {
      if (directionGiven) throw;
      try {
        sms = GSM::TSMS2::CreateSMS(host, hex, !incoming);
      } catch (const std::exception&) {
        sms.reset();
      }
      if (!sms && hex.size() != 176) throw;
    }
    if (!sms) {
      GSM::TCellBroadcast cb;  // an 88-octet page is a cell broadcast
      if (hex.size() == 176) {
        cb.SetPDU(hex);
        out = Details(&cb);
      } else {
        throw GSM::EGSMError("Not a PDU that can be decoded");
      }
    } else {
      out = Details(sms.get());
    }
  } else if (verb == "encode") {
    if (to.empty()) throw UsageError("pdu encode needs --to NUMBER");
    auto parts = MakeSubmits(nullptr, to, text, report, validity, false);
    json list = json::array();
    for (auto& m : parts) {
      m->GSM = host;
      list.push_back({{"pdu", m->GetPDU()}, {"length", m->EncodePDU().size() - (noSca ? 0 : 1)}});
    }
    out = list.size() == 1 ? list[0] : json{{"parts", list}};
    if (!o.Json && list.size() > 1) {
      for (auto& p : list) std::cout << p["pdu"].get<std::string>() << "\n";
      return 0;
    }
  } else {
    throw UsageError("pdu needs decode or encode");
  }
  if (!o.Json) {
    if (out.contains("pdu")) std::cout << out["pdu"].get<std::string>() << "\n";
    else
      PrintFields(out);
  }
  return 0;
}

const char* KindName(Framework::TTypeKind k) {
  switch (k) {
    case Framework::tkInteger: return "integer";
    case Framework::tkBoolean: return "boolean";
    case Framework::tkString: return "string";
    case Framework::tkChar: return "char";
    case Framework::tkEnumeration: return "enumeration";
    case Framework::tkSet: return "set";
    case Framework::tkClass: return "reference";
    case Framework::tkMethod: return "event";
  }
  return "";
}

int CmdPalette(const Options& o, const std::vector<std::string>& a, json& out) {
  Package::Register();
  if (a.size() == 2 && a[0] == "--bitmap") {
    std::string bmp = Resources::PaletteBitmap(Framework::UpperCase(a[1]));
    if (bmp.empty()) throw std::runtime_error("No palette bitmap for " + a[1]);
    std::cout.write(bmp.data(), static_cast<std::streamsize>(bmp.size()));
    std::cout.flush();
    out = nullptr;
    return 0;
  }
  if (a.size() > 1) throw UsageError("palette takes at most a class name");
  if (a.empty()) {
    out = json::object();
    for (const auto& page : Framework::RegisteredPages()) out[page] = Framework::RegisteredClasses(page);
    if (!o.Json)
      for (auto& [page, classes] : out.items()) {
        std::cout << page << ":";
        for (auto& c : classes) std::cout << " " << c.get<std::string>();
        std::cout << "\n";
      }
    return 0;
  }
  if (!Framework::FindClassInfo(a[0])) throw std::runtime_error("Class " + a[0] + " not found");
  out = json::array();
  for (const Framework::TPropInfo* p : Framework::GetPropList(a[0])) {
    json prop = {{"name", p->Name}, {"kind", KindName(p->Kind)}, {"type", p->TypeName}};
    if (p->Default && p->Kind != Framework::tkClass) prop["default"] = Framework::DefaultText(*p);
    if (!p->ValueNames.empty()) prop["values"] = p->ValueNames;
    out.push_back(prop);
  }
  if (!o.Json)
    for (auto& p : out) {
      std::cout << AuxStr::LStr(p["name"].get<std::string>(), 24) << AuxStr::LStr(p["type"].get<std::string>(), 30);
      if (p.contains("default")) std::cout << "default " << p["default"].get<std::string>();
      std::cout << "\n";
    }
  return 0;
}

int CmdForm(const Options& o, const std::vector<std::string>& a, json& out) {
  if (a.size() != 1) throw UsageError("form needs FILE");
  Package::Register();
  Framework::TOwned<Framework::TComponent> root(Framework::ReadComponentFile(a[0], nullptr, true));
  std::string text = Framework::WriteComponentText(*root);
  out = {{"root", root->Name()}, {"class", root->ClassName()}, {"text", text}};
  if (!o.Json) std::cout << text;
  return 0;
}

int CmdSim(const Options& o, const std::vector<std::string>& a, json& out) {
  if (!a.empty()) throw UsageError("sim takes no arguments");
  Simulator::TSimOptions so;
  so.Model = o.Model;
  so.PIN = o.Pin;
  Simulator::TGSMSimulator sim(so);
  Platform::TPseudoTerminal pty;
  const std::string& name = pty.SlavePath();
  sim.Start(pty.Master(), pty.Master());
  if (o.Json) std::cout << json{{"device", name}, {"model", GSM::GSMEquipmentShortName[o.Model]}}.dump() << "\n";
  else std::cout << name << "\n";
  std::cout.flush();
  std::cerr << "halyard: simulated " << GSM::GSMEquipmentLongName[o.Model] << " on " << name
            << "; control lines on standard input:\n" << Simulator::TGSMSimulator::ControlHelp();
  std::string line;
  while (!gInterrupted && std::getline(std::cin, line)) {
    std::string err = sim.Control(line);
    if (!err.empty()) std::cerr << "halyard: " << err << "\n";
  }
  while (!gInterrupted) ::pause();
  sim.Stop();
  out = nullptr;
  return 0;
}

int CmdDemo(const Options& o, json& out) {
  Options opt = o;
  opt.Device.clear();
  Session s(opt);
  auto step = [&](const std::string& what) {
    if (!o.Json) std::cout << "\n== " << what << "\n";
  };
  out = json::object();
  step("Opening the modem (PIN stage, registration, storage, message format)");
  s.Open();
  std::cout << (o.Json ? "" : "open, model " + std::string(GSM::GSMEquipmentLongName[s.Gsm->Equipment()]) + "\n");
  step("Identification");
  for (int i = 1; i <= 4; ++i) {
    std::string id = s.Gsm->GetMEId(i);
    out["identification"].push_back(id);
    if (!o.Json) std::cout << "  " << id << "\n";
  }
  step("Sending a message to our own number, stored on arrival");
  std::vector<int> stored;
  s.Gsm->SetOnUnsolicitedSMS([&](Framework::TObject*, int idx, GSM::TSMS*) { stored.push_back(idx); });
  s.Gsm->SetUnsolicitedIndication({GSM::uindSMSDeliver, GSM::uindOnlyIndication});
  SendParts(s, MakeSubmits(&s, "+15550000001", "Hello from Halyard!", false, "1d", s.Gsm->SMSFormat() == 1));
  Framework::Application().WaitUntil([&] { return !stored.empty(); }, 5000);
  if (stored.empty()) throw GSM::EGSMError("The message did not come back");
  if (!o.Json) std::cout << "  came back, stored at index " << stored[0] << " of " << s.Gsm->MessageStorage() << "\n";
  out["stored"] = stored[0];
  step("Listing the storage");
  auto list = s.Gsm->GetSMSList(4);
  for (int i = 0; i < list->Count(); ++i) {
    auto* sms = static_cast<GSM::TSMS*>(list->Objects(i));
    json j = sms ? Describe(sms) : json::object();
    j["entry"] = (*list)[i];
    out["list"].push_back(j);
    if (!o.Json) std::cout << "  " << (*list)[i] << "  " << j.value("text", "") << "\n";
  }
  step("Reading it");
  int status = -1;
  auto read = s.Gsm->ReadSMS(stored[0], status);
  out["read"] = read ? Describe(read.get()) : json();
  if (!o.Json && read) std::cout << "  from " << out["read"].value("from", "") << ": " << out["read"].value("text", "") << "\n";
  step("Deleting it");
  s.Gsm->DeleteSMS(stored[0]);
  out["left"] = s.Gsm->GetSMSList(4)->Count();
  if (!o.Json) std::cout << "  " << out["left"].get<int>() << " messages left\n";
  step("Closing");
  s.Gsm->Close();
  if (!o.Json) std::cout << "  done\n";
  return 0;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(a + " needs a value");
      return argv[++i];
    };
    // Common options may stand before or after the command; after it, anything else is the
    // command's own.
    bool common = true;
    if (a == "--json") o.Json = true;
    else if (a == "--device") o.Device = value();
    else if (a == "--model") {
      std::string m = value();
      o.AutoModel = AuxStr::UpString(m) == "AUTO";
      if (!o.AutoModel) o.Model = GSM::Str2GMSEquipment(m);
    }
    else if (a == "--pin") o.Pin = value();
    else if (a == "--sca") o.Sca = value();
    else if (a == "--log") o.Log = value();
    else if (a == "--format") o.Format = value();
    else if (a == "--storage") o.Storage = value();
    else if (a == "--baud") o.Baud = Framework::StrToIntDef(value(), -1);
    else if (a == "--timeout") o.Timeout = Framework::StrToIntDef(value(), -1);
    else common = false;
    if (common) continue;
    if (!o.Args.empty()) o.Args.push_back(a);
    else if (a == "--help" || a == "-h") o.Args = {"help"};
    else if (!a.empty() && a[0] == '-') throw UsageError("unknown option " + a);
    else o.Args.push_back(a);
  }
  if (!o.Format.empty() && o.Format != "pdu" && o.Format != "text") throw UsageError("--format is pdu or text");
  if (o.Timeout <= 0) throw UsageError("--timeout needs milliseconds");
  return o;
}

// In --json mode an error is a JSON object on standard output too.
int Fail(const Options& o, int status, const std::string& message, bool usage) {
  std::cerr << "halyard: " << message << "\n";
  if (usage) std::cerr << kUsage;
  if (o.Json) std::cout << Dump({{"error", message}, {"status", status}}) << "\n";
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Ctrl-C and SIGTERM end any command within a second: commands stop at their next step, and
  // one stuck waiting for a modem is ended here.
  std::thread([] {
    while (!gInterrupted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    if (gInterruptStatus.load() != 0) std::fprintf(stderr, "halyard: interrupted\n");
    std::_Exit(gInterruptStatus.load());
  }).detach();
  Options o;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--json") o.Json = true;  // so that even option errors are JSON
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    return Fail(o, 2, e.what(), true);
  } catch (const GSM::EGSMError& e) {
    return Fail(o, 2, e.what(), false);
  }
  if (o.Args.empty()) return Fail(o, 2, "no COMMAND given", true);
  std::string cmd = o.Args[0];
  std::vector<std::string> args(o.Args.begin() + 1, o.Args.end());
  bool wantsHelp = cmd == "help" || std::find(args.begin(), args.end(), "--help") != args.end();
  if (wantsHelp) {
    std::cout << kUsage;
    return 0;
  }
  json out;
  int rc = 0;
  if (cmd == "monitor" || cmd == "sim") gInterruptStatus = 0;
  try {
    if (cmd == "send") rc = CmdSend(o, args, out);
    else if (cmd == "list") rc = CmdList(o, args, out);
    else if (cmd == "read") rc = CmdRead(o, args, out);
    else if (cmd == "delete") rc = CmdDelete(o, args, out);
    else if (cmd == "info") rc = CmdInfo(o, args, out);
    else if (cmd == "monitor") rc = CmdMonitor(o, args, out);
    else if (cmd == "at") rc = CmdAt(o, args, out);
    else if (cmd == "ussd") rc = CmdUssd(o, args, out);
    else if (cmd == "pdu") rc = CmdPdu(o, args, out);
    else if (cmd == "sim") rc = CmdSim(o, args, out);
    else if (cmd == "demo") rc = CmdDemo(o, out);
    else if (cmd == "palette") rc = CmdPalette(o, args, out);
    else if (cmd == "form") rc = CmdForm(o, args, out);
    else throw UsageError("unknown command " + cmd);
  } catch (const UsageError& e) {
    return Fail(o, 2, e.what(), true);
  } catch (const Interrupted&) {
    return Fail(o, 130, "interrupted", false);
  } catch (const GSM::EGSMNoAnswerAfterBody& e) {
    return Fail(o, gInterrupted ? 130 : 3, e.what(), false);
  } catch (const std::exception& e) {
    return Fail(o, gInterrupted ? 130 : 1, e.what(), false);
  }
  if (o.Json && !out.is_null()) std::cout << Dump(out, 2) << "\n";
  if (gInterrupted && cmd != "monitor" && cmd != "sim") return 130;
  return rc;
}

// The halyard command against a gsmsim modem on a pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "PtyPair.h"

namespace {

struct Child {
  pid_t Pid = -1;
  int In = -1, Out = -1;
  Child(const std::vector<std::string>& argv) {
    int a[2], b[2];
    if (::pipe(a) != 0 || ::pipe(b) != 0) return;
    Pid = ::fork();
    if (Pid == 0) {
      ::dup2(a[0], 0);
      ::dup2(b[1], 1);
      ::close(a[1]);
      ::close(b[0]);
      std::vector<char*> args;
      for (auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      _exit(127);
    }
    ::close(a[0]);
    ::close(b[1]);
    In = a[1];
    Out = b[0];
  }
  std::string Line(int timeoutMs = 10000) {
    std::string l;
    char c;
    pollfd p{Out, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) > 0 && ::read(Out, &c, 1) == 1 && c != '\n') l += c;
    return l;
  }
  void Send(const std::string& s) { [[maybe_unused]] auto n = ::write(In, s.data(), s.size()); }
  int Stop() {
    ::kill(Pid, SIGTERM);
    int st = 0;
    ::waitpid(Pid, &st, 0);
    ::close(In);
    ::close(Out);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
};

std::string Bin(const char* name) { return std::string(HALYARD_BINARY_DIR) + "/tools/" + name; }

struct Result {
  int Code;
  std::string Out;
};

Result RunTool(const std::string& args, bool withStderr = false) {
  std::string cmd = Bin("halyard") + " " + args + (withStderr ? " 2>&1" : " 2>/dev/null");
  FILE* f = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  int st = ::pclose(f);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

class HalyardTool : public ::testing::Test {
 protected:
  void SetUp() override {
    Sim = std::make_unique<Child>(std::vector<std::string>{Bin("gsmsim"), "--model", "TC35"});
    Device = Sim->Line();
    ASSERT_FALSE(Device.empty());
  }
  void TearDown() override { EXPECT_EQ(Sim->Stop(), 0); }
  std::string Dev() { return "--device " + Device + " --timeout 3000 "; }
  std::unique_ptr<Child> Sim;
  std::string Device;
};

}  // namespace

TEST_F(HalyardTool, SendListReadDelete) {
  EXPECT_EQ(RunTool(Dev() + "send +15550000001 hello there").Code, 0);  // comes back, stored
  auto list = RunTool(Dev() + "--json list");
  ASSERT_EQ(list.Code, 0);
  auto j = nlohmann::json::parse(list.Out);
  ASSERT_EQ(j.size(), 1u);
  EXPECT_EQ(j[0]["text"], "hello there");
  EXPECT_EQ(j[0]["status"], "REC UNREAD");
  auto read = nlohmann::json::parse(RunTool(Dev() + "--json read " + std::to_string(j[0]["index"].get<int>())).Out);
  EXPECT_EQ(read["from"], "+15550000001");
  EXPECT_NE(RunTool(Dev() + "list --status read").Out.find("hello there"), std::string::npos);
  EXPECT_EQ(RunTool(Dev() + "delete --all").Code, 0);
  EXPECT_EQ(nlohmann::json::parse(RunTool(Dev() + "--json list").Out).size(), 0u);
  EXPECT_EQ(RunTool(Dev() + "read 7").Code, 1);
}

TEST_F(HalyardTool, BatchWithAFailingLine) {
  std::string file = "/tmp/halyard_batch_" + std::to_string(::getpid()) + ".csv";
  std::ofstream(file) << "+15550000001,first\n\"+15550000001\",\"with, comma\"\n+49-17,snow \xE2\x98\x83\n";
  auto r = RunTool(Dev() + "--json send --batch " + file);
  EXPECT_EQ(r.Code, 1);
  auto j = nlohmann::json::parse(r.Out);
  EXPECT_EQ(j["sent"], 2);
  ASSERT_EQ(j["failed"].size(), 1u);
  EXPECT_EQ(j["failed"][0]["line"], 3);
  EXPECT_NE(j["failed"][0]["why"].get<std::string>().find("Not a phone number: +49-17"), std::string::npos);
  auto texts = nlohmann::json::parse(RunTool(Dev() + "--json list").Out);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1]["text"], "with, comma");
  ::unlink(file.c_str());
}

TEST_F(HalyardTool, InfoAtAndMonitor) {
  auto info = nlohmann::json::parse(RunTool(Dev() + "--json info").Out);
  EXPECT_EQ(info["manufacturer"], "HALYARD");
  EXPECT_EQ(info["formats"].size(), 2u);
  auto at = RunTool(Dev() + "at AT+CSQ");
  EXPECT_EQ(at.Code, 0);
  EXPECT_EQ(at.Out, "+CSQ: 20,99\nOK\n");
  EXPECT_EQ(RunTool(Dev() + "at AT+NOPE").Code, 1);
  Child monitor({Bin("halyard"), "--device", Device, "--json", "monitor"});
  // The monitor is ready once it has set the indications; inject until an event shows.
  std::string line, before;
  for (int i = 0; i < 20 && line.find("\"message\"") == std::string::npos; ++i) {
    Sim->Send("sms +4917 watched\n");
    line = monitor.Line(1000);
    while (!line.empty() && line.find("\"message\"") == std::string::npos) {
      before += line + "\n";
      line = monitor.Line(500);
    }
  }
  ASSERT_NE(line.find("watched"), std::string::npos);
  // Only what the modem reported after the set-up is an event, not the set-up's own answers.
  EXPECT_EQ(before.find("+CPIN"), std::string::npos) << before;
  EXPECT_EQ(before.find("+CPMS"), std::string::npos) << before;
  EXPECT_EQ(monitor.Stop(), 0);
}

// A balance in three codings, a two-step menu, a code the network does not support.
TEST_F(HalyardTool, UssdBalanceInThreeCodingsAndAMenu) {
  EXPECT_EQ(RunTool(Dev() + "ussd '*100#'").Out, "Balance: 12.34 EUR, valid until 31.12.2026\n");
  EXPECT_EQ(RunTool(Dev() + "ussd '*101#'").Out, "Balance: 12.34 EUR\n");  // packed septets in hex
  EXPECT_EQ(RunTool(Dev() + "ussd '*102#'").Out, "\xD0\x91\xD0\xB0\xD0\xBB\xD0\xB0\xD0\xBD\xD1\x81: 12.34 \xE2\x82\xBD\n");
  auto menu = RunTool(Dev() + "--json ussd '*123#' 1");
  ASSERT_EQ(menu.Code, 0) << menu.Out;
  auto j = nlohmann::json::parse(menu.Out);
  ASSERT_EQ(j.size(), 2u);
  EXPECT_EQ(j[0]["text"], "1 Balance\n2 Offers");
  EXPECT_EQ(j[0]["more"], true);
  EXPECT_EQ(j[1]["text"], "Balance: 12.34 EUR");
  EXPECT_EQ(RunTool(Dev() + "ussd '*999#'").Code, 1);
  EXPECT_EQ(RunTool(Dev() + "ussd 'AT+CFUN=0'").Code, 2);
}

TEST(HalyardToolOffline, PduRoundTripUsageErrorsAndDemo) {
  auto enc = RunTool("pdu encode --to +4917 --text \"hello \xE2\x82\xAC\"");
  ASSERT_EQ(enc.Code, 0);
  std::string hex = enc.Out.substr(0, enc.Out.find('\n'));
  auto dec = nlohmann::json::parse(RunTool("--json pdu decode " + hex + " --outgoing").Out);
  EXPECT_EQ(dec["type"], "submit");
  EXPECT_EQ(dec["to"], "+4917");
  EXPECT_EQ(dec["text"], "hello \xE2\x82\xAC");
  EXPECT_EQ(RunTool("").Code, 2);
  EXPECT_EQ(RunTool("frobnicate").Code, 2);
  EXPECT_EQ(RunTool("--model Nokia").Code, 2);
  EXPECT_EQ(RunTool("read").Code, 2);
  EXPECT_EQ(RunTool("pdu decode").Code, 2);
  EXPECT_EQ(RunTool("--help").Code, 0);
  EXPECT_EQ(RunTool("pdu decode ZZ").Code, 1);
  auto demo = RunTool("--json demo");
  ASSERT_EQ(demo.Code, 0);
  auto j = nlohmann::json::parse(demo.Out);
  EXPECT_EQ(j["read"]["text"], "Hello from Halyard!");
  EXPECT_EQ(j["left"], 0);
}

TEST(HalyardToolOffline, PaletteAndFormFiles) {
  auto palette = nlohmann::json::parse(RunTool("--json palette").Out);
  EXPECT_NE(palette["Communication"].dump().find("\"TGSM\""), std::string::npos);
  auto props = nlohmann::json::parse(RunTool("--json palette TComm").Out);
  ASSERT_TRUE(props.is_array());
  EXPECT_EQ(props.back()["name"], "DeviceName");
  EXPECT_EQ(RunTool("palette TNoSuch").Code, 1);

  std::string file = "/tmp/halyard_form_" + std::to_string(::getpid()) + ".txt";
  std::ofstream(file) << "object Comm1: TComm\n  Baudrate = br19200\n  DeviceName = 'x'\nend\n";
  auto r = RunTool("form " + file);
  EXPECT_EQ(r.Code, 0);
  EXPECT_NE(r.Out.find("  Baudrate = br19200\n"), std::string::npos);
  EXPECT_NE(r.Out.find("  Active = False\n"), std::string::npos);
  std::ofstream(file) << "object Comm1: TComm\n  Baudrate = 19200\nend\n";
  EXPECT_EQ(RunTool("form " + file).Code, 1);
  std::remove(file.c_str());
  EXPECT_EQ(RunTool("form /nonexistent/form.txt").Code, 1);
}

TEST_F(HalyardTool, NumbersAreCheckedAndFailuresNamed) {
  auto bad = RunTool(Dev() + "--json send call-me hello");
  EXPECT_EQ(bad.Code, 1);
  auto j = nlohmann::json::parse(bad.Out);
  EXPECT_EQ(j["status"], 1);
  EXPECT_NE(j["error"].get<std::string>().find("Not a phone number: call-me"), std::string::npos) << bad.Out;
  EXPECT_EQ(RunTool(Dev() + "send +1555ABC123 hello").Code, 1);
  EXPECT_EQ(RunTool(Dev() + "send 12345678901234567890123456 hello").Code, 1);
  auto empty = RunTool(Dev() + "--json send '' hello");
  EXPECT_EQ(empty.Code, 2);
  EXPECT_EQ(nlohmann::json::parse(empty.Out)["status"], 2);
  EXPECT_EQ(RunTool("--json --model Nokia info").Out, "{\"error\":\"Bad equipment name\",\"status\":2}\n");
  std::string file = "/tmp/halyard_numbers_" + std::to_string(::getpid()) + ".csv";
  std::ofstream(file) << "+15550000001,fine\nbad number!,not sent\n";
  auto batch = nlohmann::json::parse(RunTool(Dev() + "--json send --batch " + file).Out);
  ::unlink(file.c_str());
  EXPECT_EQ(batch["sent"], 1);
  ASSERT_EQ(batch["failed"].size(), 1u);
  EXPECT_EQ(batch["failed"][0]["line"], 2);
  EXPECT_NE(batch["failed"][0]["why"].get<std::string>().find("bad number!"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(RunTool(Dev() + "--json list").Out).size(), 1u);  // nothing else went out
}

TEST_F(HalyardTool, UnicodeMessagesAreValidJsonAndStorageIsChosen) {
  // A UCS2 DELIVER with an emoji: "h\u00e9 \U0001F600".
  Sim->Send("pdu 040B915155000000F10008629021410000000A006800E90020D83DDE00\n");
  Sim->Send("sms +4917 plain\n");
  ASSERT_TRUE(HalyardTest::WaitFor([&] { return RunTool(Dev() + "list").Out.find("plain") != std::string::npos; }, 10000));
  auto list = RunTool(Dev() + "--json list");
  ASSERT_EQ(list.Code, 0);
  auto j = nlohmann::json::parse(list.Out);  // throws on invalid UTF-8
  ASSERT_EQ(j.size(), 2u);
  EXPECT_EQ(j[0]["text"], "h\xC3\xA9 \xF0\x9F\x98\x80");
  auto read = nlohmann::json::parse(RunTool(Dev() + "--json read " + std::to_string(j[0]["index"].get<int>())).Out);
  EXPECT_EQ(read["text"], "h\xC3\xA9 \xF0\x9F\x98\x80");
  // Another program leaves ME selected: list still reads SM unless told otherwise.
  EXPECT_EQ(RunTool(Dev() + "at 'AT+CPMS=\"ME\",\"ME\",\"ME\"'").Code, 0);
  EXPECT_EQ(nlohmann::json::parse(RunTool(Dev() + "--json list").Out).size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(RunTool(Dev() + "--json --storage ME list").Out).size(), 0u);
}

TEST_F(HalyardTool, SilentDevicesFailInTheirTimeAndSignalsEndCommands) {
  Sim->Send("silent on\n");
  using Clock = std::chrono::steady_clock;
  auto t0 = Clock::now();
  auto r = RunTool("--device " + Device + " --timeout 1000 info", true);
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Out.find(Device + ": the modem does not answer"), std::string::npos) << r.Out;
  EXPECT_LT(secs, 15.0);  // one probe, not the open dialogue's retries of a 1 s time-out each
  Child info({Bin("halyard"), "--device", Device, "--timeout", "60000", "info"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  t0 = Clock::now();
  ::kill(info.Pid, SIGINT);
  int st = 0;
  ::waitpid(info.Pid, &st, 0);
  ::close(info.In);
  ::close(info.Out);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 10.0);  // not the 60 s wait
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 130) << st;
  Sim->Send("silent off\n");
}

TEST(HalyardToolOffline, DeviceErrorsInWordsAndPduDecodingOfEveryField) {
  auto nope = RunTool("--device /dev/ttyNOPE info", true);
  EXPECT_EQ(nope.Code, 1);
  EXPECT_NE(nope.Out.find("/dev/ttyNOPE: no such device (Error 2"), std::string::npos) << nope.Out;
  auto null = RunTool("--device /dev/null info", true);
  EXPECT_NE(null.Out.find("/dev/null: not a serial port ("), std::string::npos) << null.Out;
  EXPECT_NE(RunTool("pdu decode ZZZZ", true).Out.find("Not hexadecimal: ZZZZ"), std::string::npos);
  EXPECT_NE(RunTool("pdu decode ABC", true).Out.find("Odd number of hex digits (3)"), std::string::npos);
  // An SMS-SUBMIT without --outgoing: the other direction is tried.
  auto submit = nlohmann::json::parse(RunTool("--json pdu decode 0031000B915155000000F10008AA0400680069").Out);
  EXPECT_EQ(submit["type"], "submit");
  EXPECT_EQ(submit["coding"], "UCS2");
  EXPECT_EQ(submit["validity"], "5760 minutes");
  EXPECT_EQ(submit["status_report_requested"], true);
  EXPECT_EQ(submit["text"], "hi");
  // A DELIVER part with a concatenation header.
  auto part = nlohmann::json::parse(
      RunTool("--json pdu decode 07911326040000F0440B911346610089F6000820806291731448080500030A02010068").Out);
  ASSERT_EQ(part["udh"].size(), 1u);
  EXPECT_EQ(part["udh"][0]["name"], "concatenation");
  EXPECT_EQ(part["udh"][0]["parts"], 2);
  EXPECT_EQ(part["text"], "h");
}

TEST_F(HalyardTool, LongUnicodeTextsGoInPartsAndComeBackWhole) {
  std::string text;
  while (text.size() < 500) text += "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80 und {Klammern} ";
  auto sent = RunTool(Dev() + "--json send +15550000001 '" + text + "'");
  ASSERT_EQ(sent.Code, 0) << sent.Out;
  auto s = nlohmann::json::parse(sent.Out);
  int parts = s["sent"].get<int>();
  EXPECT_GE(parts, 7);  // UCS2: 67 characters a part
  EXPECT_EQ(s["parts"][parts - 1]["index"], parts);
  EXPECT_EQ(s["parts"][0]["reference"], s["parts"][parts - 1]["reference"]);
  nlohmann::json list;
  ASSERT_TRUE(HalyardTest::WaitFor(
      [&] {
        list = nlohmann::json::parse(RunTool(Dev() + "--json list").Out);
        return list.size() == 1 && list[0].value("complete", false);
      },
      20000));
  EXPECT_EQ(list[0]["text"], text);
  EXPECT_EQ(list[0]["indexes"].size(), static_cast<size_t>(parts));
  auto read = nlohmann::json::parse(RunTool(Dev() + "--json read " + std::to_string(list[0]["indexes"][2].get<int>())).Out);
  EXPECT_EQ(read["text"], text);
  // Injected by the network side, long and Unicode too; and offline encoding gives every part.
  Sim->Send("sms +4917 " + text + "\n");
  ASSERT_TRUE(HalyardTest::WaitFor(
      [&] { return nlohmann::json::parse(RunTool(Dev() + "--json list").Out).size() == 2; }, 20000));
  auto enc = nlohmann::json::parse(RunTool("--json pdu encode --to +4917 --text '" + text + "'").Out);
  EXPECT_EQ(enc["parts"].size(), static_cast<size_t>(parts));
}

TEST_F(HalyardTool, MonitorReportsALongMessageOnceWhole) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "part of a long text ";  // 800 characters, 6 parts
  text.pop_back();  // the control line is trimmed
  Child monitor({Bin("halyard"), "--device", Device, "--json", "monitor"});
  // Ready once a probe message shows as an event; then the long one goes in.
  std::string line;
  for (int i = 0; i < 20 && line.find("probe") == std::string::npos; ++i) {
    Sim->Send("sms +4917 probe\n");
    for (line = monitor.Line(1000); !line.empty() && line.find("probe") == std::string::npos;) line = monitor.Line(500);
  }
  ASSERT_NE(line.find("probe"), std::string::npos);
  while (!(line = monitor.Line(500)).empty()) {
  }  // further probes, if any
  Sim->Send("sms +4918 " + text + "\n");
  std::vector<nlohmann::json> events;
  for (line = monitor.Line(10000); !line.empty(); line = monitor.Line(1500)) {
    auto j = nlohmann::json::parse(line);
    if (j.value("from", "") == "+4918") events.push_back(j);
  }
  ASSERT_EQ(events.size(), 1u);  // one event for the six parts
  EXPECT_EQ(events[0]["event"], "message");
  EXPECT_EQ(events[0]["text"], text);
  EXPECT_EQ(events[0]["parts"], 6);
  EXPECT_EQ(monitor.Stop(), 0);
}

// The command with its default model (auto) against each family of today's modems as gsmsim
// plays it: identified, sending a three-part Unicode text that comes back, listing it where the
// modem stored it, reading, deleting, and monitoring direct messages and reports.
class HalyardPersonality : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
 protected:
  void SetUp() override {
    Sim = std::make_unique<Child>(
        std::vector<std::string>{Bin("gsmsim"), "--personality", GetParam().first, "--boot-noise"});
    Device = Sim->Line();
    ASSERT_FALSE(Device.empty());
  }
  void TearDown() override { EXPECT_EQ(Sim->Stop(), 0); }
  std::string Dev() { return "--device " + Device + " --timeout 3000 "; }
  std::unique_ptr<Child> Sim;
  std::string Device;
};

INSTANTIATE_TEST_SUITE_P(Families, HalyardPersonality,
                         ::testing::Values(std::pair{"quectel-ec25", "Quectel"}, std::pair{"simcom-sim7600", "SIMCom"},
                                           std::pair{"simcom-sim800", "SIMCom"}, std::pair{"huawei-e3372", "Huawei"},
                                           std::pair{"huawei-e3372-325", "Huawei"},
                                           std::pair{"sierra-mc7455", "Sierra Wireless"},
                                           std::pair{"ublox-sara", "u-blox"}, std::pair{"telit-le910", "Telit"}),
                         [](const auto& p) {
                           std::string n = p.param.first;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST_P(HalyardPersonality, EverythingWorksWithTheDefaultModel) {
  auto info = RunTool(Dev() + "--json info");
  ASSERT_EQ(info.Code, 0) << info.Out;
  EXPECT_EQ(nlohmann::json::parse(info.Out)["equipment"], GetParam().second);
  // Huawei's take the code packed and answer packed; the others as text.
  EXPECT_EQ(RunTool(Dev() + "ussd '*100#'").Out.rfind("Balance: 12.34 EUR", 0), 0u);
  std::string text;
  for (int i = 0; i < 18; ++i) text += "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE2\x82\xAC ";  // "Привет € "
  text.pop_back();
  auto sent = RunTool(Dev() + "--json send +15550000001 '" + text + "'");
  ASSERT_EQ(sent.Code, 0) << sent.Out;
  EXPECT_EQ(nlohmann::json::parse(sent.Out)["parts"].size(), 3u);
  auto list = RunTool(Dev() + "--json list");
  ASSERT_EQ(list.Code, 0) << list.Out;
  auto j = nlohmann::json::parse(list.Out);
  ASSERT_EQ(j.size(), 1u) << list.Out;  // found where the modem stores, without --storage
  EXPECT_EQ(j[0]["text"], text);
  int first = j[0]["indexes"][0];
  auto read = RunTool(Dev() + "--json read " + std::to_string(first));
  ASSERT_EQ(read.Code, 0) << read.Out;
  EXPECT_EQ(nlohmann::json::parse(read.Out)["from"], "+15550000001");
  EXPECT_EQ(RunTool(Dev() + "delete --all").Code, 0);
  EXPECT_EQ(nlohmann::json::parse(RunTool(Dev() + "--json list").Out).size(), 0u);

  Child monitor({Bin("halyard"), "--device", Device, "--json", "monitor"});
  std::string line;
  for (int i = 0; i < 20 && line.find("probe") == std::string::npos; ++i) {
    Sim->Send("sms +4917 probe\n");
    for (line = monitor.Line(1000); !line.empty() && line.find("probe") == std::string::npos;) line = monitor.Line(500);
  }
  ASSERT_NE(line.find("probe"), std::string::npos);
  Sim->Send("report 9 0\n");
  bool report = false;
  for (line = monitor.Line(10000); !line.empty() && !report; line = monitor.Line(1500)) {
    auto e = nlohmann::json::parse(line);
    // Directly (+CDS), or stored where the modem refuses that (+CDSI).
    report = e.value("type", "") == "status-report" || e.value("event", "") == "stored";
  }
  EXPECT_TRUE(report);
  EXPECT_EQ(monitor.Stop(), 0);
}

// Quectel allows +CMGS two minutes; an answer after 30 s is the send's, and the message goes to
// the modem once.
TEST(HalyardToolSlowModem, ASlowSendGoesOnceAndSucceeds) {
  std::string log = "/tmp/halyard_slow_" + std::to_string(::getpid()) + ".log";
  Child sim({Bin("gsmsim"), "--personality", "quectel-ec25", "--slow-cmgs", "30000", "--log", log});
  std::string device = sim.Line();
  ASSERT_FALSE(device.empty());
  auto r = RunTool("--device " + device + " --timeout 3000 send +4917 slow one", true);
  EXPECT_EQ(r.Code, 0) << r.Out;
  std::ifstream in(log);
  std::string all;
  size_t n = 0;
  for (std::string l; std::getline(in, l);) {
    all += l + "\n";
    if (l.rfind("< ", 0) == 0)  // what the modem received
      for (size_t at = 0; (at = l.find("AT+CMGS=", at)) != std::string::npos; ++at) ++n;
  }
  EXPECT_EQ(n, 1u) << all;
  EXPECT_EQ(sim.Stop(), 0);
  ::unlink(log.c_str());
}

// A modem that starts again by itself under the monitor: one "restart" event, set up again, and
// what arrives afterwards is an event as before.
TEST(HalyardToolRestart, TheMonitorSetsARestartedModemUpAgain) {
  Child sim({Bin("gsmsim"), "--personality", "quectel-ec25"});
  std::string device = sim.Line();
  ASSERT_FALSE(device.empty());
  Child monitor({Bin("halyard"), "--device", device, "--json", "monitor"});
  std::string line;
  for (int i = 0; i < 20 && line.find("probe") == std::string::npos; ++i) {
    sim.Send("sms +4917 probe\n");
    for (line = monitor.Line(1000); !line.empty() && line.find("probe") == std::string::npos;) line = monitor.Line(500);
  }
  ASSERT_NE(line.find("probe"), std::string::npos);
  sim.Send("restart\n");
  for (line = monitor.Line(10000); !line.empty() && line.find("\"restart\"") == std::string::npos;) line = monitor.Line(5000);
  ASSERT_NE(line.find("\"restart\""), std::string::npos);
  std::string after;
  for (int i = 0; i < 20 && after.find("again") == std::string::npos; ++i) {
    sim.Send("sms +4917 again\n");
    for (line = monitor.Line(1000); !line.empty(); line = monitor.Line(500)) after += line + "\n";
  }
  EXPECT_NE(after.find("\"message\""), std::string::npos) << after;
  EXPECT_EQ(after.find("+CPMS"), std::string::npos) << after;  // the set-up's answers are no events
  EXPECT_EQ(monitor.Stop(), 0);
  EXPECT_EQ(sim.Stop(), 0);
}

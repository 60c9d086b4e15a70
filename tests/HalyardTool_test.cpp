// The halyard command against a gsmsim modem on a pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

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

Result RunTool(const std::string& args) {
  std::string cmd = Bin("halyard") + " " + args + " 2>/dev/null";
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
  std::ofstream(file) << "+15550000001,first\n\"+15550000001\",\"with, comma\"\n+4917,snow \xE2\x98\x83\n";
  auto r = RunTool(Dev() + "--json send --batch " + file);
  EXPECT_EQ(r.Code, 1);
  auto j = nlohmann::json::parse(r.Out);
  EXPECT_EQ(j["sent"], 2);
  ASSERT_EQ(j["failed"].size(), 1u);
  EXPECT_EQ(j["failed"][0]["line"], 3);
  EXPECT_NE(j["failed"][0]["why"].get<std::string>().find("lacks"), std::string::npos);
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
  std::string line;
  for (int i = 0; i < 20 && line.find("\"message\"") == std::string::npos; ++i) {
    Sim->Send("sms +4917 watched\n");
    line = monitor.Line(1000);
    while (!line.empty() && line.find("\"message\"") == std::string::npos) line = monitor.Line(500);
  }
  ASSERT_NE(line.find("watched"), std::string::npos);
  EXPECT_EQ(monitor.Stop(), 0);
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

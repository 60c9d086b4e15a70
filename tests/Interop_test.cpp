// gsmsim as programs written elsewhere see it: gammu, gsmlib and smsd drive it unchanged. Each
// client is looked for on PATH; a test whose client is absent is skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Processes.h"
#include "halyard/auxstr/AuxStr.h"

namespace fs = std::filesystem;
using namespace HalyardTest;

namespace {

#define REQUIRE_CLIENT(program) \
  if (!OnPath(program)) GTEST_SKIP() << program << " is not installed"

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/halyard-interop-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    Sim = std::make_unique<TSim>(Dir);
    ASSERT_TRUE(fs::exists(Sim->Modem()));
  }
  void TearDown() override {
    Sim.reset();
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  TRun Gammu(std::vector<std::string> args) {
    fs::path rc = Dir / "gammurc";
    if (!fs::exists(rc)) std::ofstream(rc) << "[gammu]\ndevice = " << Sim->Modem() << "\nconnection = at\n";
    args.insert(args.begin(), {"gammu", "-c", rc.string()});
    return RunProgram(args);
  }
  bool WaitForFile(const fs::path& dir, int ms) {
    for (int i = 0; i < ms / 100; ++i) {
      if (fs::exists(dir) && !fs::is_empty(dir)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  fs::path Dir;
  std::unique_ptr<TSim> Sim;
};

}  // namespace

TEST_F(Interop, GammuIdentifiesAndReadsTheNetwork) {
  REQUIRE_CLIENT("gammu");
  TRun id = Gammu({"identify"});
  ASSERT_EQ(id.Status, 0) << id.Output;
  EXPECT_NE(id.Output.find("Manufacturer         : HALYARD\n"), std::string::npos) << id.Output;
  EXPECT_NE(id.Output.find("IMEI                 : 490154200000001\n"), std::string::npos) << id.Output;
  TRun net = Gammu({"networkinfo"});
  ASSERT_EQ(net.Status, 0) << net.Output;
  EXPECT_NE(net.Output.find("Network state        : home network\n"), std::string::npos) << net.Output;
  EXPECT_NE(net.Output.find("Network              : 001 01"), std::string::npos) << net.Output;
  EXPECT_NE(net.Output.find("GPRS                 : attached\n"), std::string::npos) << net.Output;
}

TEST_F(Interop, GammuSendsAndReadsBackSevenBitUnicodeAndMultipart) {
  REQUIRE_CLIENT("gammu");
  const std::string own = "+15550000001";
  TRun a = Gammu({"sendsms", "TEXT", own, "-text", "hello world"});
  ASSERT_EQ(a.Status, 0) << a.Output;
  TRun b = Gammu({"sendsms", "TEXT", own, "-unicode", "-text", "h\xC3\xA9llo \xF0\x9F\x98\x80"});
  ASSERT_EQ(b.Status, 0) << b.Output;
  std::string long300;
  for (int i = 0; i < 30; ++i) long300 += "abcdefghij";
  TRun c = Gammu({"sendsms", "TEXT", own, "-len", "300", "-autolen", "300", "-text", long300});
  ASSERT_EQ(c.Status, 0) << c.Output;
  EXPECT_NE(c.Output.find("Sending SMS 2/2"), std::string::npos) << c.Output;
  // On the line: the septets of the 7-bit text and the UTF-16 of the Unicode one, a surrogate
  // pair for the emoji.
  std::string traffic = Halyard::AuxStr::UpString(Sim->Received());
  EXPECT_NE(traffic.find("0BE8329BFD06DDDF723619\\X1A"), std::string::npos) << traffic;
  EXPECT_NE(traffic.find("10006800E9006C006C006F0020D83DDE00\\X1A"), std::string::npos);

  TRun all = Gammu({"getallsms"});
  ASSERT_EQ(all.Status, 0) << all.Output;
  EXPECT_NE(all.Output.find("\nhello world\n"), std::string::npos) << all.Output;
  EXPECT_NE(all.Output.find("\nh\xC3\xA9llo \xF0\x9F\x98\x80\n"), std::string::npos) << all.Output;
  EXPECT_NE(all.Output.find("Coding               : Unicode (no compression)"), std::string::npos);
  EXPECT_NE(all.Output.find("Concatenated (linked) message"), std::string::npos);
  EXPECT_NE(all.Output.find("SMSC number          : \"+15550009999\""), std::string::npos);
  EXPECT_NE(all.Output.find("4 SMS parts in 4 SMS sequences"), std::string::npos);
  TRun each = Gammu({"geteachsms"});
  ASSERT_EQ(each.Status, 0) << each.Output;
  EXPECT_NE(each.Output.find("\n" + long300 + "\n"), std::string::npos) << each.Output;
  EXPECT_NE(each.Output.find("4 SMS parts in 3 SMS sequences"), std::string::npos) << each.Output;
}

TEST_F(Interop, GammuSavesAndDeletes) {
  REQUIRE_CLIENT("gammu");
  TRun save = Gammu({"savesms", "TEXT", "-text", "draft text"});
  ASSERT_EQ(save.Status, 0) << save.Output;
  EXPECT_NE(save.Output.find("location 1"), std::string::npos) << save.Output;
  TRun get = Gammu({"getsms", "1", "1"});
  ASSERT_EQ(get.Status, 0) << get.Output;
  EXPECT_NE(get.Output.find("\ndraft text\n"), std::string::npos) << get.Output;
  TRun del = Gammu({"deletesms", "1", "1"});
  ASSERT_EQ(del.Status, 0) << del.Output;
  TRun gone = Gammu({"getsms", "1", "1"});
  EXPECT_NE(gone.Status, 0) << gone.Output;
  EXPECT_EQ(gone.Output.find("draft text"), std::string::npos);
}

TEST_F(Interop, GsmlibIdentifiesSendsListsAndDeletes) {
  REQUIRE_CLIENT("gsmctl");
  TRun me = RunProgram({"gsmctl", "-d", Sim->Modem(), "ME"}, true);
  ASSERT_EQ(me.Status, 0) << me.Output;
  EXPECT_NE(me.Output.find("<ME0>  Manufacturer: HALYARD\n<ME1>  Model: Siemens TC35\n"), std::string::npos)
      << me.Output;
  // gsmlib puts a NUL before the CR of its commands.
  TRun send = RunProgram({"gsmsendsms", "-d", Sim->Modem(), "+15550000001", "from gsmlib"}, true);
  ASSERT_EQ(send.Status, 0) << send.Output;
  EXPECT_NE(Sim->Received().find("AT+CMGS=24\\x00\\r"), std::string::npos);
  TRun list = RunProgram({"gsmsmsstore", "-s", Sim->Modem(), "-t", "SM", "-l"}, true);
  ASSERT_EQ(list.Status, 0) << list.Output;
  EXPECT_NE(list.Output.find("Message type: SMS-DELIVER"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("User data: 'from gsmlib'"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("SC address: '15550009999'"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("index #0\n"), std::string::npos) << list.Output;  // its indexes count from 0
  EXPECT_EQ(list.Output.find("index #1\n"), std::string::npos) << list.Output;
  TRun del = RunProgram({"gsmsmsstore", "-d", Sim->Modem(), "-t", "SM", "-x", "0"}, true);
  ASSERT_EQ(del.Status, 0) << del.Output;
  TRun after = RunProgram({"gsmsmsstore", "-s", Sim->Modem(), "-t", "SM", "-l"}, true);
  EXPECT_EQ(after.Output.find("from gsmlib"), std::string::npos) << after.Output;
}

TEST_F(Interop, SmsdSendsFromItsOutboxAndStoresWhatArrives) {
  REQUIRE_CLIENT("smsd");
  for (const char* d : {"outgoing", "checked", "incoming", "sent", "failed"}) fs::create_directory(Dir / d);
  std::ofstream(Dir / "smsd.conf") << "devices = GSM1\n"
                                   << "outgoing = " << (Dir / "outgoing").string() << "\n"
                                   << "checked = " << (Dir / "checked").string() << "\n"
                                   << "incoming = " << (Dir / "incoming").string() << "\n"
                                   << "sent = " << (Dir / "sent").string() << "\n"
                                   << "failed = " << (Dir / "failed").string() << "\n"
                                   << "logfile = " << (Dir / "smsd.log").string() << "\n"
                                   << "infofile = " << (Dir / "smsd.info").string() << "\n"
                                   << "pidfile = " << (Dir / "smsd.pid").string() << "\n"
                                   << "loglevel = 7\ndelaytime = 1\ndelaytime_mainprocess = 1\n\n"
                                   << "[GSM1]\ndevice = " << Sim->Modem() << "\nincoming = yes\n";
  std::ofstream(Dir / "outgoing" / "first") << "To: 15550000002\n\nhello from smsd\n";
  std::string log = (Dir / "smsd.log").string();
  auto smsdLog = [&] {
    std::ifstream l(log);
    return std::string(std::istreambuf_iterator<char>(l), {});
  };
  bool sent, received;
  {
    TBackground smsd({"smsd", "-c" + (Dir / "smsd.conf").string(), "-t"}, true);
    sent = WaitForFile(Dir / "sent", 20000);
    Sim->Control("sms +15550000009 hello to smsd");
    received = WaitForFile(Dir / "incoming", 20000);
  }
  ASSERT_TRUE(sent) << smsdLog();
  EXPECT_TRUE(fs::exists(Dir / "sent" / "first"));
  EXPECT_NE(Sim->Received().find("0FE8329BFD0699E5EF3668DE9E9301"), std::string::npos);  // "hello from smsd"
  ASSERT_TRUE(received) << smsdLog();
  std::string in;
  for (auto& f : fs::directory_iterator(Dir / "incoming")) {
    std::ifstream s(f.path());
    in.assign(std::istreambuf_iterator<char>(s), {});
  }
  EXPECT_NE(in.find("From: 15550000009\n"), std::string::npos) << in;
  EXPECT_NE(in.find("\n\nhello to smsd"), std::string::npos) << in;
}

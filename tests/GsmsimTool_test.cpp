// The gsmsim program: serves on a pseudo-terminal whose path it prints, takes control lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "PtyPair.h"
#include "halyard/gsm/GSM.h"

using namespace Halyard;

TEST(GsmsimTool, ServesAModemAndTakesControlLines) {
  std::string exe = std::string(HALYARD_BINARY_DIR) + "/tools/gsmsim";
  int toChild[2], fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(toChild[0], 0);
    ::dup2(fromChild[1], 1);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    ::execl(exe.c_str(), exe.c_str(), "--model", "TC35", nullptr);
    _exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  std::string path;
  char c;
  while (::read(fromChild[0], &c, 1) == 1 && c != '\n') path += c;
  ASSERT_FALSE(path.empty());
  {
    auto port = Framework::MakeComponent<CommConnect::TComm>(nullptr);
    port->SetDeviceName(path);
    auto gsm = Framework::MakeComponent<GSM::TGSM>(nullptr);
    gsm->SetComDevice(port.get());
    gsm->SetEquipment(GSM::eqTC35);
    gsm->SetRecTimeout(2000);
    std::vector<int> indexes;
    gsm->SetOnUnsolicitedSMS([&](Framework::TObject*, int idx, GSM::TSMS*) { indexes.push_back(idx); });
    gsm->Open();
    gsm->SetUnsolicitedIndication({GSM::uindSMSDeliver, GSM::uindOnlyIndication});
    std::string line = "sms +4917 hello from the control side\n";
    ASSERT_EQ(::write(toChild[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ASSERT_TRUE(HalyardTest::WaitFor([&] { return !indexes.empty(); }, 5000, true));
    int status = 0;
    auto sms = gsm->ReadSMS(indexes[0], status);
    ASSERT_NE(sms, nullptr);
    EXPECT_EQ(GSM::SMStoISO(sms->UD), "hello from the control side");
  }
  ::kill(pid, SIGTERM);
  int st = 0;
  ::waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  ::close(toChild[1]);
  ::close(fromChild[0]);
}

TEST(GsmsimTool, StdioEndsWithItsInputAndLogsTheTraffic) {
  std::string exe = std::string(HALYARD_BINARY_DIR) + "/tools/gsmsim";
  char logPath[] = "/tmp/halyard-gsmsim-log-XXXXXX";
  int fd = ::mkstemp(logPath);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::string cmd = "printf 'ATE0\\rAT+CIMI\\r' | timeout 20 " + exe + " --stdio --log " + logPath;
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[256];
  while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int st = ::pclose(p);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;  // not the time-out's 124
  EXPECT_EQ(out, "ATE0\r\r\nOK\r\n\r\n001010123456789\r\n\r\nOK\r\n");
  FILE* l = std::fopen(logPath, "r");
  ASSERT_NE(l, nullptr);
  std::string log;
  while (size_t n = std::fread(buf, 1, sizeof buf, l)) log.append(buf, n);
  std::fclose(l);
  ::unlink(logPath);
  EXPECT_NE(log.find("< ATE0\\rAT+CIMI\\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("> \\r\\n001010123456789\\r\\n\n"), std::string::npos) << log;
}

#include "halyard/connect/Loggers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "halyard/framework/Registry.h"

using namespace Halyard;
using namespace Halyard::Connect;
using Framework::MakeComponent;
using Framework::TMemoryStream;

namespace {

class TMemLogger : public TStreamLogger {
 public:
  explicit TMemLogger(TComponent* owner) : TStreamLogger(owner) { SetLogStream(&Stream); }
  TMemoryStream Stream;
  std::string Text() const { return Stream.DataString(); }

 protected:
  void CloseConn() override {}
};

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string TempLog(const char* tag) {
  return std::string("/tmp/halyard_log_") + tag + "_" + std::to_string(::getpid()) + ".log";
}

}  // namespace

TEST(StreamLoggerLayout, DefaultsAndTheWorkedExample) {
  auto l = MakeComponent<TMemLogger>(nullptr);
  EXPECT_EQ(l->LogFlags(), (TLogFormatFlags{lfInsertName, lfInsertChannel, lfDivideNames, lfDivideChannels, lfHexadecimal}));
  EXPECT_EQ(l->MaxLineLength(), 80);
  l->Open();
  l->Log("COM1", 1, "AB");
  l->Log("COM1", 1, "C");
  l->Log("COM1", 2, "D");
  l->Log("COM2", 2, "E");
  EXPECT_EQ(l->Text(), "\r\nCOM1-01)41 42 43 \r\nCOM1-02)44 \r\nCOM2-02)45 ");
}

TEST(StreamLoggerLayout, PlainTextAndChannelOnly) {
  auto l = MakeComponent<TMemLogger>(nullptr);
  l->SetLogFlags({lfInsertName, lfInsertChannel, lfDivideNames, lfDivideChannels});
  l->Open();
  l->Log("COM1", 1, "AB");
  EXPECT_EQ(l->Text(), "\r\nCOM1-01) AB");

  auto c = MakeComponent<TMemLogger>(nullptr);
  c->SetLogFlags({lfInsertChannel});
  c->Open();
  c->Log("X", 0, "ab");
  c->Log("X", 3, "cd");
  EXPECT_EQ(c->Text(), "00) ab03) cd");

  auto h = MakeComponent<TMemLogger>(nullptr);
  h->SetLogFlags({lfInsertChannel, lfHexadecimal});
  h->Open();
  h->Log("X", 255, "\x01");
  EXPECT_EQ(h->Text(), "ff)01 ");
}

TEST(StreamLoggerLayout, EmptyTextStillBecomesLastNameAndChannel) {
  auto l = MakeComponent<TMemLogger>(nullptr);
  l->Open();
  l->Log("COM1", 1, "A");
  l->Log("COM2", 5, "");
  EXPECT_EQ(l->Text(), "\r\nCOM1-01)41 ");
  l->Log("COM2", 5, "B");  // no new division: COM2/5 is already the last source
  EXPECT_EQ(l->Text(), "\r\nCOM1-01)41 42 ");

  auto a = MakeComponent<TMemLogger>(nullptr);
  a->SetLogFlags({lfAutoCR});
  a->Open();
  a->Log("N", 0, "");
  EXPECT_EQ(a->Text(), "\r\n");
}

TEST(StreamLoggerLayout, AutoCRWithDivisionsGivesAnEmptyLine) {
  auto l = MakeComponent<TMemLogger>(nullptr);
  l->SetLogFlags({lfInsertName, lfDivideNames, lfAutoCR});
  l->Open();
  l->Log("A", 0, "x");
  l->Log("A", 0, "y");
  l->Log("B", 0, "z");
  EXPECT_EQ(l->Text(), "\r\nA-x\r\nA-y\r\n\r\nB-z\r\n");
}

TEST(StreamLoggerLayout, StampHeadsEveryLineAndSegment) {
  auto l = MakeComponent<TMemLogger>(nullptr);
  l->SetLogFlags({lfStamp, lfInsertChannel});
  l->SetMaxLineLength(30);
  l->Open();
  l->Log("N", 7, "0123456789");
  // Stamp ")" then "07) " then the characters; the limit cuts a segment onto its own line.
  std::string text = l->Text();
  size_t stampLen = Framework::DateTimeToStr(Framework::Now()).size();
  ASSERT_GT(text.size(), stampLen + 1);
  EXPECT_EQ(text.substr(stampLen, 5), ")07) ");
  auto cr = text.find("\r\n");
  ASSERT_NE(cr, std::string::npos);
  EXPECT_EQ(text.substr(cr + 2 + stampLen, 5), ")07) ");
  EXPECT_EQ(text.substr(0, cr).size(), 30u);
}

TEST(StreamLoggerLayout, MaxLineLength) {
  auto l = MakeComponent<TMemLogger>(nullptr);
  l->SetLogFlags({lfHexadecimal});
  l->SetMaxLineLength(6);
  l->Open();
  l->Log("N", 0, "ABCDE");
  EXPECT_EQ(l->Text(), "41 42 \r\n43 44 \r\n45 ");

  auto z = MakeComponent<TMemLogger>(nullptr);
  z->SetLogFlags({lfHexadecimal});
  z->SetMaxLineLength(0);
  z->Open();
  z->Log("N", 0, std::string(200, 'a'));
  EXPECT_EQ(z->Text().find("\r\n"), std::string::npos);

  auto one = MakeComponent<TMemLogger>(nullptr);
  one->SetLogFlags({lfInsertChannel});
  one->SetMaxLineLength(1);
  one->Open();
  one->Log("N", 1, "ab");
  EXPECT_EQ(one->Text(), "01) a\r\n01) b");
}

TEST(StreamLoggerLayout, DivideStreamHandler) {
  auto l = MakeComponent<TMemLogger>(nullptr);
  l->SetLogFlags({lfDivideStream});
  l->SetOnDivideStream([](TStreamLogger*, const std::string&, uint8_t, std::string& text, int& i, bool& divide) {
    divide = i > 1 && text[static_cast<size_t>(i) - 2] == '\n';
  });
  l->Open();
  l->Log("N", 0, "ab\ncd");
  EXPECT_EQ(l->Text(), "ab\n\r\ncd");
}

TEST(StreamLoggerState, GuardsAndFailures) {
  auto l = MakeComponent<TMemLogger>(nullptr);
  l->Open();
  TMemoryStream other;
  EXPECT_THROW(l->SetLogStream(&other), EComError);
  l->Close();
  l->SetLogStream(nullptr);
  EXPECT_THROW(l->Open(), EComError);
  EXPECT_FALSE(l->Active());
}

TEST(FileLogger, CreatesAppendsAndKeepsLayoutAcrossReopen) {
  std::string name = TempLog("append");
  ::unlink(name.c_str());
  auto l = MakeComponent<TFileLogger>(nullptr);
  l->SetLogFile(name);
  l->Open();
  l->Log("COM1", 1, "A");
  l->Close();
  l->Open();
  l->Log("COM1", 1, "B");  // continues the line as if never closed
  l->Close();
  EXPECT_EQ(ReadFile(name), "\r\nCOM1-01)41 42 ");
  auto l2 = MakeComponent<TFileLogger>(nullptr);
  l2->SetLogFile(name);
  l2->SetAutoOpen(true);
  l2->Log("X", 0, "C");
  EXPECT_FALSE(l2->Active());
  EXPECT_EQ(ReadFile(name), "\r\nCOM1-01)41 42 \r\nX-00)43 ");
  ::unlink(name.c_str());
}

TEST(FileLogger, ActiveLoggerRefusesOtherWriters) {
  std::string name = TempLog("share");
  auto l = MakeComponent<TFileLogger>(nullptr);
  l->SetLogFile(name);
  l->Open();
  EXPECT_THROW(Framework::TFileStream(name, Framework::fmOpenWrite | Framework::fmShareDenyNone), Framework::EFOpenError);
  auto second = MakeComponent<TFileLogger>(nullptr);
  second->SetLogFile(name);
  EXPECT_THROW(second->Open(), Framework::EFOpenError);
  EXPECT_FALSE(second->Active());
  EXPECT_EQ(second->LogStream(), nullptr);
  l->Close();
  second->Open();  // free again once the first is closed
  ::unlink(name.c_str());
}

TEST(FileLogger, SetLogFileOnActiveLoggerMovesWithOpenEventsOnly) {
  std::string a = TempLog("a"), b = TempLog("b");
  auto l = MakeComponent<TFileLogger>(nullptr);
  std::vector<std::string> events;
  l->SetBeforeOpen([&](TConnection*) { events.push_back("BeforeOpen"); });
  l->SetAfterOpen([&](TConnection*) { events.push_back("AfterOpen"); });
  l->SetBeforeClose([&](TConnection*) { events.push_back("BeforeClose"); });
  l->SetAfterClose([&](TConnection*) { events.push_back("AfterClose"); });
  l->SetLogFile(a);
  l->Open();
  events.clear();
  l->SetLogFile(b);
  EXPECT_TRUE(l->Active());
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeOpen", "AfterOpen"}));
  l->Log("N", 0, "z");
  EXPECT_NE(ReadFile(b).find("7a"), std::string::npos);
  l->SetLogFile("");
  EXPECT_FALSE(l->Active());
  EXPECT_EQ(l->LogStream(), nullptr);
  Framework::TFileStream free(b, Framework::fmOpenWrite | Framework::fmShareDenyWrite);
  ::unlink(a.c_str());
  ::unlink(b.c_str());
}

TEST(FileLogger, UnopenableFileLeavesLoggerInactiveAndDesignerTouchesNothing) {
  auto l = MakeComponent<TFileLogger>(nullptr);
  l->SetLogFile("/nonexistent/dir/x.log");
  EXPECT_THROW(l->Open(), Framework::EFileStreamError);
  EXPECT_FALSE(l->Active());
  EXPECT_EQ(l->LogStream(), nullptr);
  std::string name = TempLog("designer");
  ::unlink(name.c_str());
  auto d = MakeComponent<TFileLogger>(nullptr);
  d->SetDesigning(true);
  d->SetLogFile(name);
  d->Open();
  EXPECT_TRUE(d->Active());
  EXPECT_FALSE(Framework::FileExists(name));
}

TEST(FileLogger, FourThreadsLoseNothingAndNeverMix) {
  std::string name = TempLog("threads");
  ::unlink(name.c_str());
  auto l = MakeComponent<TFileLogger>(nullptr);
  l->SetLogFile(name);
  l->SetLogFlags({lfInsertName, lfDivideNames, lfAutoCR});
  l->Open();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) l->Log("T" + std::to_string(t), 0, "text-" + std::to_string(i) + "-end");
    });
  for (auto& th : threads) th.join();
  l->Close();
  std::string all = ReadFile(name);
  int lines = 0;
  size_t pos = 0;
  while ((pos = all.find("-end\r\n", pos)) != std::string::npos) {
    ++lines;
    pos += 6;
  }
  EXPECT_EQ(lines, 1200);
  for (int t = 0; t < 4; ++t)
    for (int i : {0, 150, 299})
      EXPECT_NE(all.find("T" + std::to_string(t) + "-text-" + std::to_string(i) + "-end\r\n"), std::string::npos);
  ::unlink(name.c_str());
}

namespace {
// Counts what reaches the file, and whether it was ever asked to write while closed.
class TCountingFileLogger : public TFileLogger {
 public:
  explicit TCountingFileLogger(TComponent* owner) : TFileLogger(owner) {}
  std::atomic<int> Written{0}, WrittenWhileClosed{0};

 protected:
  void DoLog(const std::string& aText) override {
    if (!Active()) ++WrittenWhileClosed;
    TFileLogger::DoLog(aText);
    ++Written;
  }
};

off_t FileSize(const std::string& name) {
  struct stat st{};
  return ::stat(name.c_str(), &st) == 0 ? st.st_size : -1;
}
}  // namespace

TEST(FileLogger, OwnerClosesAndReopensWhileFourThreadsLog) {
  std::string name = TempLog("shared");
  ::unlink(name.c_str());
  auto l = MakeComponent<TCountingFileLogger>(nullptr);
  l->SetLogFile(name);
  l->SetLogFlags({lfAutoCR});
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200000 && !stop; ++i) l->Log("T", 0, "t" + std::to_string(t) + "-" + std::to_string(i) + ".");
    });
  int grewWhileClosed = 0, refused = 0;
  for (int round = 0; round < 1000; ++round) {
    try {
      l->Open();
    } catch (const std::exception&) {
      ++refused;  // the owner's own open must never be refused
    }
    std::this_thread::yield();
    l->Close();
    off_t closedSize = FileSize(name);
    std::this_thread::yield();
    if (FileSize(name) != closedSize) ++grewWhileClosed;
  }
  stop = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(grewWhileClosed, 0);
  EXPECT_EQ(l->WrittenWhileClosed, 0);
  EXPECT_FALSE(l->Active());
  // Every text handed to the file while it was open is there, whole.
  std::string all = ReadFile(name);
  int lines = 0;
  for (size_t pos = 0; (pos = all.find(".\r\n", pos)) != std::string::npos; pos += 3) ++lines;
  EXPECT_EQ(lines, l->Written.load());
  EXPECT_GT(lines, 0);
  ::unlink(name.c_str());
}

TEST(FileLogger, RegistersOnCommunicationPage) {
  Register();
  auto classes = Framework::RegisteredClasses("Communication");
  EXPECT_NE(std::find(classes.begin(), classes.end(), "TFileLogger"), classes.end());
  const auto* cls = Framework::FindComponentClass("TFileLogger");
  ASSERT_NE(cls, nullptr);
  Framework::TOwned<Framework::TComponent> made(cls->Create(nullptr));
  EXPECT_NE(dynamic_cast<TFileLogger*>(made.get()), nullptr);
}

#include "halyard/connect/Connect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace Halyard;
using namespace Halyard::Connect;
using Framework::MakeComponent;

namespace {

// Records every step of its life cycle.
class TRecordingConnection : public TCommunicationConnection {
 public:
  explicit TRecordingConnection(TComponent* owner, std::vector<std::string>* log)
      : TCommunicationConnection(owner), Steps_(log) {
    SetBeforeOpen([this](TConnection*) { Steps_->push_back("BeforeOpen"); });
    SetAfterOpen([this](TConnection*) { Steps_->push_back("AfterOpen"); });
    SetBeforeClose([this](TConnection*) { Steps_->push_back("BeforeClose"); });
    SetAfterClose([this](TConnection*) { Steps_->push_back("AfterClose"); });
  }
  bool FailOpen = false;
  std::string Incoming;
  std::vector<int> Writes;

  int InQueCount() override { return Active() ? static_cast<int>(Incoming.size()) : -1; }
  void PurgeIn() override { Incoming.clear(); }
  void PurgeOut() override {}
  int Write(const void*, int Count) override {
    Writes.push_back(Count);
    return Count;
  }
  int Read(void* Buffer, int Count) override {
    int n = std::min<int>(Count, static_cast<int>(Incoming.size()));
    std::memcpy(Buffer, Incoming.data(), static_cast<size_t>(n));
    Incoming.erase(0, static_cast<size_t>(n));
    return n;
  }

 protected:
  void OpenConn() override {
    Steps_->push_back("OpenConn");
    if (FailOpen) throw EComError("no device");
  }
  void CloseConn() override { Steps_->push_back("CloseConn"); }

 private:
  std::vector<std::string>* Steps_;
};

using Steps = std::vector<std::string>;

}  // namespace

TEST(ConnectionLifecycle, OpenAndCloseRunTheEventsInOrder) {
  Steps log;
  auto c = MakeComponent<TRecordingConnection>(nullptr, &log);
  c->Open();
  EXPECT_TRUE(c->Active());
  c->SetActive(true);  // same value: nothing
  c->Close();
  EXPECT_EQ(log, (Steps{"BeforeOpen", "OpenConn", "AfterOpen", "BeforeClose", "CloseConn", "AfterClose"}));
  log.clear();
  c->Close();
  EXPECT_TRUE(log.empty());
}

TEST(ConnectionLifecycle, FailedOpenClosesAndReraises) {
  Steps log;
  auto c = MakeComponent<TRecordingConnection>(nullptr, &log);
  c->FailOpen = true;
  try {
    c->Open();
    FAIL();
  } catch (const EComError& e) {
    EXPECT_STREQ(e.what(), "no device");
  }
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(log, (Steps{"BeforeOpen", "OpenConn", "CloseConn"}));
}

TEST(ConnectionLifecycle, DestroyingActiveConnectionSkipsCloseEvents) {
  Steps log;
  auto* c = new TRecordingConnection(nullptr, &log);
  c->Open();
  log.clear();
  c->Free();
  EXPECT_EQ(log, (Steps{"CloseConn"}));
}

TEST(ConnectionLifecycle, ActivationIsDeferredWhileLoading) {
  Steps log;
  auto c = MakeComponent<TRecordingConnection>(nullptr, &log);
  c->SetReading(true);
  c->SetActive(true);
  c->SetActive(false);  // a later false does not cancel the pending open
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(c->Active());
  c->SetReading(false);
  c->Loaded();
  EXPECT_TRUE(c->Active());
  EXPECT_EQ(log, (Steps{"BeforeOpen", "OpenConn", "AfterOpen"}));

  Steps log2;
  auto d = MakeComponent<TRecordingConnection>(nullptr, &log2);
  d->SetReading(true);
  d->SetActive(false);
  d->SetReading(false);
  d->Loaded();
  EXPECT_FALSE(d->Active());
  EXPECT_TRUE(log2.empty());
}

TEST(ConnectionGuards, MessagesComeFromResources) {
  Steps log;
  auto c = MakeComponent<TRecordingConnection>(nullptr, &log);
  try {
    c->CheckActive();
    FAIL();
  } catch (const EComError& e) {
    EXPECT_STREQ(e.what(), "Connection is inactive");
  }
  c->CheckInactive();
  c->Open();
  try {
    c->CheckInactive();
    FAIL();
  } catch (const EComError& e) {
    EXPECT_STREQ(e.what(), "Connection is active");
  }
}

TEST(ByteStream, SendAndRetrieve) {
  Steps log;
  auto c = MakeComponent<TRecordingConnection>(nullptr, &log);
  EXPECT_EQ(c->Send(""), 0);
  EXPECT_EQ(c->Send("abc"), 3);
  EXPECT_EQ(c->Writes, (std::vector<int>{0, 3}));
  c->Incoming = "xyz";
  EXPECT_EQ(c->Retrieve(10), "xyz");
  EXPECT_EQ(c->Retrieve(0), "");
  int count = -1;
  c->SetOnRxChar([&](Framework::TObject*, int n) { count = n; });
  c->DoOnRxChar(5);
  EXPECT_EQ(count, 5);
}

namespace {

class TRecordingLogger : public TLogger {
 public:
  TRecordingLogger(TComponent* owner, Steps* log) : TLogger(owner), Steps_(log) {
    SetBeforeOpen([this](TConnection*) { Steps_->push_back("BeforeOpen"); });
    SetAfterOpen([this](TConnection*) { Steps_->push_back("AfterOpen"); });
    SetBeforeClose([this](TConnection*) { Steps_->push_back("BeforeClose"); });
    SetAfterClose([this](TConnection*) { Steps_->push_back("AfterClose"); });
  }
  bool FailWrite = false;
  std::atomic<int> Inside{0};
  std::atomic<int> Overlaps{0};
  std::vector<std::string> Written;

 protected:
  void OpenConn() override {}
  void CloseConn() override {}
  std::string PreformatText(const std::string& name, uint8_t ch, const std::string& text) override {
    if (Inside.fetch_add(1) != 0) ++Overlaps;
    return name + ":" + std::to_string(ch) + ":" + text;
  }
  void DoLog(const std::string& text) override {
    Steps_->push_back("DoLog " + text);
    Written.push_back(text);
    Inside.fetch_sub(1);
    if (FailWrite) throw Framework::EWriteError("Stream write error");
  }

 private:
  Steps* Steps_;
};

}  // namespace

TEST(Logger, InactiveWithoutAutoOpenDoesNothingAndAsksNothing) {
  Steps log;
  auto l = MakeComponent<TRecordingLogger>(nullptr, &log);
  bool asked = false;
  l->SetAcceptChannel([&](TLogger*, const std::string&, uint8_t, bool&) { asked = true; });
  l->Log("COM1", 1, "x");
  EXPECT_FALSE(asked);
  EXPECT_TRUE(log.empty());
}

TEST(Logger, AutoOpenOpensAndClosesAroundEachText) {
  Steps log;
  auto l = MakeComponent<TRecordingLogger>(nullptr, &log);
  l->SetAutoOpen(true);
  l->Log("COM1", 1, "x");
  EXPECT_FALSE(l->Active());
  EXPECT_EQ(log, (Steps{"BeforeOpen", "AfterOpen", "DoLog COM1:1:x", "BeforeClose", "AfterClose"}));
  l->Open();
  EXPECT_THROW(l->SetAutoOpen(false), EComError);
  EXPECT_TRUE(l->AutoOpen());
}

TEST(Logger, RefusedChannelWritesNothingAndDoesNotOpen) {
  Steps log;
  auto l = MakeComponent<TRecordingLogger>(nullptr, &log);
  l->SetAutoOpen(true);
  l->SetAcceptChannel([](TLogger*, const std::string&, uint8_t ch, bool& ok) { ok = ch != 2; });
  l->Log("COM1", 2, "x");
  EXPECT_TRUE(log.empty());
}

TEST(Logger, FailedWriteRestoresState) {
  Steps log;
  auto l = MakeComponent<TRecordingLogger>(nullptr, &log);
  l->SetAutoOpen(true);
  l->FailWrite = true;
  EXPECT_THROW(l->Log("A", 0, "x"), Framework::EWriteError);
  EXPECT_FALSE(l->Active());
  EXPECT_EQ(log.back(), "AfterClose");
}

TEST(Logger, ConnectionFormatsEvenWithoutLoggerAndLoggerRefIsCleared) {
  Steps log;
  auto c = MakeComponent<TRecordingConnection>(nullptr, &log);
  int formatted = 0;
  c->SetOnFormatLog([&](Framework::TObject*, uint8_t, std::string& t) {
    ++formatted;
    t = "[" + t + "]";
  });
  c->Log(1, "a");
  EXPECT_EQ(formatted, 1);
  Steps llog;
  auto* l = new TRecordingLogger(nullptr, &llog);
  l->Open();
  c->SetLogger(l);
  c->SetLogName("COM1");
  c->Log(3, "b");
  EXPECT_EQ(l->Written, (std::vector<std::string>{"COM1:3:[b]"}));
  l->Free();
  EXPECT_EQ(c->Logger(), nullptr);  // no dangling reference left behind
  c->Log(3, "c");
}

TEST(Logger, TextsFromManyThreadsNeverInterleave) {
  Steps log;
  auto l = MakeComponent<TRecordingLogger>(nullptr, &log);
  l->SetAutoOpen(true);  // every text opens and closes under the lock
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) l->Log("T" + std::to_string(t), static_cast<uint8_t>(t), std::to_string(i));
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(l->Overlaps.load(), 0);
  EXPECT_EQ(l->Written.size(), 2000u);
  EXPECT_FALSE(l->Active());
}

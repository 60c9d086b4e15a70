#include "halyard/terminal/Terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

#include "../../tests/PtyPair.h"
#include "halyard/terminal/LogTerm.h"

using namespace Halyard;
using namespace Halyard::Terminal;
using Framework::MakeComponent;
using HalyardTest::WaitFor;

namespace {

std::vector<std::string> LinesOf(const TTerminal& t) {
  std::vector<std::string> v;
  for (int i = 0; i < t.Lines().Count(); ++i) v.push_back(t.Lines()[i]);
  return v;
}

// Feeds, then pumps the main thread until the control shows Expected.
bool Shows(TTerminal& t, const std::vector<std::string>& Expected) {
  return WaitFor([&] { return LinesOf(t) == Expected; }, 5000, true);
}

using Lines = std::vector<std::string>;

TEST(Terminal, RawCharactersMoveTheCursor) {
  struct Case {
    std::vector<std::string> Batches;
    Lines Expected;
    int Column;
  };
  const Case cases[] = {
      {{"AB", "C"}, {"ABC"}, 3},
      {{"ABC\rx"}, {"xBC"}, 1},
      {{"AB\nC"}, {"AB", "  C"}, 3},
      {{"AB\r\nC"}, {"AB", "C"}, 1},
      {{"\b", "AB\b\b\bx"}, {"xB"}, 1},
      {{"a\tb\x1b"}, {"a\tb\x1b"}, 4},
      {{"\rAB\r\r\n\n"}, {"AB", "", ""}, 0},
  };
  for (const Case& c : cases) {
    auto t = MakeComponent<TTerminal>(nullptr);
    for (const auto& b : c.Batches) t->LogTerm(b);
    EXPECT_TRUE(Shows(*t, c.Expected)) << c.Batches[0];
    EXPECT_EQ(t->Column(), c.Column) << c.Batches[0];
    // The caret stands at the cursor: earlier lines count with their CR LF.
    int pos = c.Column;
    for (size_t i = 0; i + 1 < c.Expected.size(); ++i) pos += static_cast<int>(c.Expected[i].size()) + 2;
    EXPECT_EQ(t->SelStart(), pos) << c.Batches[0];
    EXPECT_EQ(t->SelLength(), 0);
  }
}

TEST(Terminal, LinesAndCharactersInterleave) {
  auto t = MakeComponent<TTerminal>(nullptr);
  EXPECT_TRUE(t->ReadOnly());
  EXPECT_FALSE(t->WordWrap());
  int scrolls = 0;
  t->SetOnScrollCaret([&](Framework::TObject*) { ++scrolls; });
  t->LogTerm("par");
  ASSERT_TRUE(Shows(*t, {"par"}));
  t->Log("one");
  ASSERT_TRUE(Shows(*t, {"par", "one"}));
  t->LogTerm("xy");
  EXPECT_TRUE(Shows(*t, {"par", "one", "xy"}));
  EXPECT_EQ(t->Column(), 2);
  EXPECT_GE(scrolls, 3);

  // Within one pass, whole lines come before characters, whatever the order of queueing.
  auto u = MakeComponent<TTerminal>(nullptr);
  u->LogTerm("c");
  u->Log("line");
  u->LogErr("COM1", "gone");
  EXPECT_TRUE(WaitFor([&] { return !LinesOf(*u).empty() && LinesOf(*u).back() == "c"; }, 5000, true));
  EXPECT_EQ(LinesOf(*u), (Lines{"line", "COM1: gone", "c"}));
}

TEST(Terminal, MaxLinesTrimsOnTheNextPass) {
  auto t = MakeComponent<TTerminal>(nullptr);
  EXPECT_EQ(t->MaxLines(), 100);
  t->SetMaxLines(3);
  for (const char* s : {"1", "2", "3", "4", "5"}) t->Log(s);
  ASSERT_TRUE(Shows(*t, {"3", "4", "5"}));
  // Lines written straight into the control are kept and trimmed like queued ones.
  t->Lines().Add("direct");
  t->SetMaxLines(2);
  EXPECT_EQ(t->Lines().Count(), 4);  // nothing at once
  t->Log("6");
  EXPECT_TRUE(Shows(*t, {"direct", "6"}));
  t->SetMaxLines(0);
  t->Log("7");
  EXPECT_TRUE(Shows(*t, {}));
}

TEST(Terminal, ManyThreadsFeedWholeLines) {
  auto t = MakeComponent<TTerminal>(nullptr);
  t->SetMaxLines(10000);
  std::vector<std::thread> feeders;
  for (int f = 0; f < 4; ++f)
    feeders.emplace_back([&, f] {
      for (int i = 0; i < 200; ++i) t->Log("feeder " + std::to_string(f) + " line " + std::to_string(i));
    });
  for (auto& th : feeders) th.join();
  ASSERT_TRUE(WaitFor([&] { return t->Lines().Count() == 800; }, 10000, true));
  for (int f = 0; f < 4; ++f) {
    int next = 0;
    for (const auto& l : LinesOf(*t))
      if (l.rfind("feeder " + std::to_string(f) + " ", 0) == 0) {
        EXPECT_EQ(l, "feeder " + std::to_string(f) + " line " + std::to_string(next));
        ++next;
      }
    EXPECT_EQ(next, 200);
  }
}

TEST(Terminal, DestroyedWhileTextIsPending) {
  // Text queued, and a hand-over possibly waiting for the main thread, when the control goes:
  // nothing of it may reach the control once its destruction has begun.
  for (int round = 0; round < 20; ++round) {
    auto t = MakeComponent<TTerminal>(nullptr);
    bool destroying = false;
    int late = 0;
    t->SetOnChange([&](Framework::TObject*) { late += destroying; });
    std::thread feeder([&] {
      for (int i = 0; i < 2000; ++i) t->LogTerm("x");
    });
    Framework::Application().ProcessMessages();
    feeder.join();
    t->Log("last");
    destroying = true;
    t.reset();
    Framework::Application().ProcessMessages();
    EXPECT_EQ(late, 0);
  }
}

TEST(Terminal, PassThatChangesNothingFiresNoChange) {
  auto t = MakeComponent<TTerminal>(nullptr);
  int changes = 0;
  t->SetOnChange([&](Framework::TObject*) { ++changes; });
  t->LogTerm("AB");
  ASSERT_TRUE(WaitFor([&] { return t->Lines().Count() == 1; }, 5000, true));
  EXPECT_EQ(changes, 1);
  t->LogTerm("\r");  // moves the cursor only
  ASSERT_TRUE(WaitFor([&] { return t->Column() == 0; }, 5000, true));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(t->SelStart(), 0);
}

TEST(Terminal, LongRawLineAndDeepTrimStayWhole) {
  auto t = MakeComponent<TTerminal>(nullptr);
  t->SetMaxLines(100);
  std::string raw(300000, 'r');
  raw[123456] = 'X';
  t->LogTerm(raw);
  ASSERT_TRUE(WaitFor([&] { return t->Column() == 300000; }, 20000, true));
  ASSERT_EQ(t->Lines().Count(), 1);
  EXPECT_EQ(t->Lines()[0].size(), 300000u);
  EXPECT_EQ(t->Lines()[0][123456], 'X');
  for (int i = 0; i < 50000; ++i) t->Log("line " + std::to_string(i));
  ASSERT_TRUE(WaitFor([&] { return t->Lines().Count() == 100 && t->Lines()[99] == "line 49999"; }, 20000, true));
  EXPECT_EQ(t->Lines()[0], "line 49900");
}

class FileTermLogger : public ::testing::Test {
 protected:
  void SetUp() override { File = "/tmp/halyard_logterm_" + std::to_string(::getpid()) + ".log"; }
  void TearDown() override { std::remove(File.c_str()); }
  std::string FileText() {
    std::ifstream in(File, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string File;
};

TEST_F(FileTermLogger, MirrorsTheFileAsLinesOrCharacters) {
  auto t = MakeComponent<TTerminal>(nullptr);
  auto log = MakeComponent<LogTerm::TFileTermLogger>(nullptr);
  log->SetLogFlags({});
  log->SetLogFile(File);
  log->Open();
  log->Log("A", 1, "first");
  log->SetTerminal(t.get());
  log->Log("A", 1, "one");
  log->Log("A", 1, "two");
  ASSERT_TRUE(Shows(*t, {"one", "two"}));  // each text a line of its own
  EXPECT_EQ(FileText(), "firstonetwo");

  log->SetTermChar(true);
  log->Log("A", 1, "thr");
  log->Log("A", 1, "ee");
  EXPECT_TRUE(Shows(*t, {"one", "two", "three"}));  // continued on the same screen line

  log->SetTermChar(false);
  log->Close();
  log->SetLogFlags({Connect::lfAutoCR});
  log->Open();
  log->Log("A", 1, "x\ry");
  EXPECT_TRUE(WaitFor([&] { return LinesOf(*t).size() > 3; }, 5000, true));  // fed as characters

  // The control goes first: the logger forgets it and keeps writing the file.
  t.reset();
  EXPECT_EQ(log->Terminal(), nullptr);
  log->Log("A", 1, "after");
  EXPECT_NE(FileText().find("after"), std::string::npos);
}

}  // namespace

TEST(Terminal, HandlerRunByAHandOverMayFeedTheTerminal) {
  // OnChange runs inside the hand-over: feeding from there only queues, for the next pass.
  auto t = MakeComponent<TTerminal>(nullptr);
  bool answered = false;
  t->SetOnChange([&](Framework::TObject*) {
    if (!answered && t->Lines().Count() > 0 && t->Lines()[t->Lines().Count() - 1] == "ping") {
      answered = true;
      t->Log("pong");
    }
  });
  t->Log("ping");
  ASSERT_TRUE(WaitFor([&] { return t->Lines().Count() == 2; }, 5000, true));
  EXPECT_EQ(t->Lines()[1], "pong");
}

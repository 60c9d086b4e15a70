#include "halyard/framework/Classes.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace Halyard::Framework;

namespace {

class TProbe : public TComponent {
 public:
  TProbe(TComponent* owner, std::vector<std::string>* log, std::string tag)
      : TComponent(owner), Log(log), Tag(std::move(tag)) {}
  ~TProbe() override { Log->push_back("~" + Tag); }
  void BeforeDestruction() override { Log->push_back("before " + Tag + (IsDestroying() ? " destroying" : "")); }
  TComponent* Ref = nullptr;
  void Watch(TComponent* c) {
    Ref = c;
    FreeNotification(c);
  }

 protected:
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == opRemove && c == Ref) {
      Ref = nullptr;
      Log->push_back(Tag + " lost ref");
    }
  }

 private:
  std::vector<std::string>* Log;
  std::string Tag;
};

}  // namespace

TEST(Component, OwnerFreesOwnedAfterItsOwnCleanUp) {
  std::vector<std::string> log;
  auto* root = new TProbe(nullptr, &log, "root");
  auto* a = new TProbe(root, &log, "a");
  new TProbe(a, &log, "a1");
  EXPECT_EQ(root->ComponentCount(), 1);
  EXPECT_EQ(a->Owner(), root);
  root->Free();
  std::vector<std::string> want = {"before root destroying", "~root", "before a destroying",
                                   "~a", "before a1 destroying", "~a1"};
  EXPECT_EQ(log, want);
}

TEST(Component, FreeNotificationClearsReferences) {
  std::vector<std::string> log;
  auto root = MakeComponent<TProbe>(nullptr, &log, "root");
  auto* holder = new TProbe(root.get(), &log, "holder");
  auto* target = new TProbe(nullptr, &log, "target");  // owned by nobody: only notification helps
  holder->Watch(target);
  target->Free();
  EXPECT_EQ(holder->Ref, nullptr);
  EXPECT_NE(std::find(log.begin(), log.end(), "holder lost ref"), log.end());
  // The holder dying first must not leave the target pointing at it.
  auto* t2 = new TProbe(nullptr, &log, "t2");
  holder->Watch(t2);
  holder->Free();
  t2->Free();
}

TEST(Component, NamesAreCheckedAndFound) {
  std::vector<std::string> log;
  auto root = MakeComponent<TProbe>(nullptr, &log, "root");
  auto* a = new TProbe(root.get(), &log, "a");
  a->SetName("GSM1");
  EXPECT_EQ(root->FindComponent("gsm1"), a);
  auto* b = new TProbe(root.get(), &log, "b");
  EXPECT_THROW(b->SetName("GSM1"), EComponentError);
  EXPECT_THROW(b->SetName("1abc"), EComponentError);
  EXPECT_EQ(b->Name(), "");
}

TEST(Component, DesigningStateReachesOwnedComponents) {
  std::vector<std::string> log;
  auto root = MakeComponent<TProbe>(nullptr, &log, "root");
  root->SetDesigning(true);
  auto* a = new TProbe(root.get(), &log, "a");
  EXPECT_TRUE(a->IsDesigning());
}

TEST(ComponentDeathTest, PlainDeleteIsLoud) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::vector<std::string> log;
        TComponent* c = new TProbe(nullptr, &log, "x");
        delete c;
      },
      "deleted without Free");
}

TEST(Lists, IndexErrorsRaise) {
  TList<int> l;
  int x = 1, y = 2;
  l.Add(&x);
  l.Add(&y);
  EXPECT_EQ(l.IndexOf(&y), 1);
  EXPECT_EQ(l.Remove(&x), 0);
  EXPECT_EQ(l[0], &y);
  EXPECT_THROW(l.Items(1), EListError);
  EXPECT_THROW(l.Delete(-1), EListError);
  try {
    l.Items(5);
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (5)");
  }
}

TEST(StringList, NameValueAccessIgnoresCase) {
  TStringList s;
  s.Add("0=OK");
  s.SetValue("Busy", "7");
  s.SetValue("busy", "8");
  EXPECT_EQ(s.Count(), 2);
  EXPECT_EQ(s.GetValue("BUSY"), "8");
  EXPECT_EQ(s.GetValue("0"), "OK");
  EXPECT_EQ(s.GetValue("missing"), "");
  EXPECT_EQ(s.Names(1), "busy");  // the name as last written
  s.SetValue("Busy", "");
  EXPECT_EQ(s.Count(), 1);
  EXPECT_EQ(s.IndexOf("0=ok"), 0);
  EXPECT_THROW(s.Strings(3), EListError);
}

TEST(StringList, UpdatesBatchChangeEventsAndObjectsAreOwnedOnRequest) {
  struct Counted : TObject {
    explicit Counted(int* n) : N(n) {}
    ~Counted() override { ++*N; }
    int* N;
  };
  int deleted = 0, changes = 0;
  {
    TStringList s;
    s.SetOwnsObjects(true);
    s.OnChange = [&](TObject*) { ++changes; };
    s.BeginUpdate();
    s.AddObject("a", new Counted(&deleted));
    s.AddObject("b", new Counted(&deleted));
    s.AddObject("c", new Counted(&deleted));
    s.EndUpdate();
    EXPECT_EQ(changes, 1);
    s.Delete(0);
    EXPECT_EQ(deleted, 1);
    TObject* kept = s.ExtractObject(0);
    delete kept;
    EXPECT_EQ(deleted, 2);
  }
  EXPECT_EQ(deleted, 3);
}

TEST(StringList, TextSplitsOnEveryLineEnd) {
  TStringList s;
  s.SetText("a\r\nb\nc\rd");
  ASSERT_EQ(s.Count(), 4);
  EXPECT_EQ(s[3], "d");
  EXPECT_EQ(s.Text(), "a\nb\nc\nd\n");
}

namespace {
std::string TempName(const char* tag) {
  return std::string("/tmp/halyard_") + tag + "_" + std::to_string(::getpid());
}

class TRefusingStream : public TMemoryStream {
 public:
  int64_t Write(const void* b, int64_t n) override { return TMemoryStream::Write(b, n / 2); }
};
}  // namespace

TEST(Streams, MemoryStreamAndWriteBufferRaisesOnShortWrite) {
  TMemoryStream m;
  m.WriteString("hello");
  EXPECT_EQ(m.Size(), 5);
  m.SetPosition(1);
  char buf[3];
  m.ReadBuffer(buf, 3);
  EXPECT_EQ(std::string(buf, 3), "ell");
  EXPECT_THROW(m.ReadBuffer(buf, 3), EReadError);
  TRefusingStream r;
  EXPECT_THROW(r.WriteString("abcd"), EWriteError);
}

TEST(Streams, DenyWriteRefusesSecondWriterHereAndInAnotherProcess) {
  std::string name = TempName("share");
  { TFileStream create(name, fmCreate); }
  {
    TFileStream writer(name, fmOpenWrite | fmShareDenyWrite);
    writer.WriteString("abc");
    EXPECT_THROW(TFileStream(name, fmOpenWrite | fmShareDenyWrite), EFOpenError);
    EXPECT_THROW(TFileStream(name, fmOpenReadWrite | fmShareDenyNone), EFOpenError);
    EXPECT_THROW(TFileStream(name, fmCreate), EFCreateError);
    TFileStream reader(name, fmOpenRead | fmShareDenyNone);  // readers are let in
    EXPECT_EQ(reader.Size(), 3);
    pid_t pid = ::fork();
    if (pid == 0) {
      try {
        TFileStream other(name, fmOpenWrite | fmShareDenyWrite);
        _exit(0);
      } catch (const EFOpenError&) {
        _exit(7);
      }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 7);
  }
  // A refused fmCreate must not have truncated the file.
  TFileStream again(name, fmOpenWrite | fmShareDenyWrite);
  EXPECT_EQ(again.Size(), 3);
  ::unlink(name.c_str());
}

TEST(Streams, MissingFileGivesOpenErrorWithSystemText) {
  try {
    TFileStream f("/nonexistent/dir/x.log", fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_NE(e.Message().find("No such file or directory"), std::string::npos);
  }
}

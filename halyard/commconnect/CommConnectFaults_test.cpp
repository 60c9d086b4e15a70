// The serial port on a bad day: a device that hangs up, handlers that close their own port,
// throw or read less than offered, and line settings the driver refuses.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "ScriptedSerial.h"
#include "halyard/commconnect/CommConnect.h"

using namespace Halyard;
using namespace Halyard::CommConnect;
using Framework::Application;
using Framework::MakeComponent;
using HalyardTest::TPtyPair;
using HalyardTest::WaitFor;

namespace {

int Threads() { return HalyardTest::ProcEntries("task"); }

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Framework::TOwned<TComm> OpenPort(const std::string& path, bool direct) {
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(path);
  c->SetDontSynchronize(direct);
  c->Open();
  return c;
}

std::string Message(const std::function<void()>& f) { return HalyardTest::MessageOf(f); }

// Collects what reaches the application's exception handler, and in which thread.
class TExceptionLog {
 public:
  TExceptionLog() {
    Application().SetOnException([this](const std::exception_ptr& e) {
      std::string text;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        text = x.what();
      }
      std::lock_guard lk(M_);
      Texts_.push_back(text);
      OnMain_.push_back(Application().IsMainThread());
    });
  }
  ~TExceptionLog() { Application().SetOnException(nullptr); }
  std::vector<std::string> Texts() const {
    std::lock_guard lk(M_);
    return Texts_;
  }
  std::vector<bool> OnMain() const {
    std::lock_guard lk(M_);
    return OnMain_;
  }

 private:
  mutable std::mutex M_;
  std::vector<std::string> Texts_;
  std::vector<bool> OnMain_;
};

class SerialByMode : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Delivery, SerialByMode, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "InEventThread" : "InMainThread"; });

}  // namespace

TEST(SerialHangUp, ReportedOnceCostsNoCpuAndReadsThenFails) {
  auto pty = std::make_unique<TPtyPair>();
  auto c = OpenPort(pty->SlavePath(), true);
  std::atomic<int> errors{0}, flags{0};
  c->SetOnError([&](TObject*, int e) {
    flags = e;
    ++errors;
  });
  std::atomic<int> reports{0};
  c->SetOnRxChar([&](TObject*, int) { ++reports; });
  pty->Write("tail");
  // The report of these bytes is over (its ClearCommError would take the hang-up's flags).
  ASSERT_TRUE(WaitFor([&] { return reports > 0 && c->InQueCount() == 4; }));
  pty->CloseMaster();
  ASSERT_TRUE(WaitFor([&] { return errors == 1; }));
  EXPECT_EQ(flags, static_cast<int>(Platform::CE_IOE));

  // Idle until closed: a hung-up descriptor that were still polled would spin a core here.
  double before = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double used = CpuSeconds() - before;
  EXPECT_LT(used, 0.05) << used << " s of CPU in 0.5 s after the hang-up";
  EXPECT_EQ(errors, 1);

  char buf[16];
  EXPECT_EQ(c->Read(buf, sizeof buf), 4);  // what had arrived is not lost
  EXPECT_EQ(Message([&] { c->Read(buf, sizeof buf); }), "Error 5 Input/output error in function: ReadFile");
  EXPECT_EQ(Message([&] { c->Send("AT\r"); }), "Error 5 Input/output error in function: WriteFile");
  c->Close();
  EXPECT_FALSE(c->Active());

  // The same component opens the next device as usual.
  pty = std::make_unique<TPtyPair>();
  c->SetDeviceName(pty->SlavePath());
  c->Open();
  EXPECT_EQ(c->Send("AT\r"), 3);
  EXPECT_EQ(pty->Read(3), "AT\r");
}

TEST(SerialHangUp, PendingWriteFailsAtOnce) {
  TPtyPair pty;
  auto c = OpenPort(pty.SlavePath(), true);
  c->SetWriteTimeout(60000);
  std::string big(4 << 20, 'x');  // more than the line takes while nobody reads
  std::atomic<int> written{-1};
  std::thread writer([&] { written = c->Write(big.data(), static_cast<int>(big.size())); });
  ASSERT_TRUE(WaitFor([&] { return c->OutQueCount() > 0; }));
  pty.CloseMaster();
  // Ends well inside the write's own minute.
  ASSERT_TRUE(WaitFor([&] { return written >= 0; }, 20000));
  writer.join();
  EXPECT_LT(written, static_cast<int>(big.size()));
  c->Close();
}

TEST_P(SerialByMode, CloseFromOwnHandlerClosesAndEndsTheThread) {
  TPtyPair pty;
  OpenPort(pty.SlavePath(), GetParam())->Close();  // a sanitizer's helper threads start with the first port
  int threads = HalyardTest::SettledThreads();
  TExceptionLog log;
  auto c = OpenPort(pty.SlavePath(), GetParam());
  std::atomic<int> calls{0};
  c->SetOnRxChar([&](TObject*, int n) {
    ++calls;
    c->Retrieve(n);
    c->Close();  // a "STOP" received
  });
  pty.Write("STOP");
  ASSERT_TRUE(WaitFor([&] { return !c->Active(); }, 10000, true));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(log.Texts().empty()) << log.Texts().front();
  EXPECT_TRUE(WaitFor([&] { return Threads() == threads; }, 5000, true)) << Threads() << " vs " << threads;

  // The device is free again, and a reopened port delivers as before.
  c->SetOnRxChar([&](TObject*, int n) {
    ++calls;
    c->Retrieve(n);
  });
  c->Open();
  pty.Write("again");
  EXPECT_TRUE(WaitFor([&] { return calls == 2; }, 10000, true));
  c->Close();
}

TEST_P(SerialByMode, HandlerExceptionGoesToTheApplicationAndDeliveryGoesOn) {
  TPtyPair pty;
  TExceptionLog log;
  auto c = OpenPort(pty.SlavePath(), GetParam());
  std::atomic<int> calls{0};
  std::atomic<bool> got{false};
  c->SetOnRxChar([&](TObject*, int n) {
    std::string s = c->Retrieve(n);
    if (++calls == 1) throw Framework::Exception("handler failed on " + s);
    if (s.find("next") != std::string::npos) got = true;
  });
  pty.Write("first");
  ASSERT_TRUE(WaitFor([&] { return log.Texts().size() == 1; }, 10000, true));
  EXPECT_EQ(log.Texts()[0], "handler failed on first");
  EXPECT_EQ(log.OnMain()[0], !GetParam());  // handled where the handler ran
  pty.Write("next");
  EXPECT_TRUE(WaitFor([&] { return got.load(); }, 10000, true));
  EXPECT_TRUE(c->Active());
  c->Close();
}

TEST(SerialRx, HandlerThatReadsLessStillHearsOfTheRest) {
  TPtyPair pty;
  auto c = OpenPort(pty.SlavePath(), true);
  constexpr size_t kTotal = 200000;  // well past the input queue's limit
  std::atomic<size_t> got{0};
  c->SetOnRxChar([&](TObject*, int n) { got += c->Retrieve(std::min(n, 100)).size(); });
  std::thread writer([&] { pty.Write(std::string(kTotal, 'r')); });
  EXPECT_TRUE(WaitFor([&] { return got == kTotal; }, 60000)) << got << " of " << kTotal;
  writer.join();
  c->Close();
}

TEST(SerialSettings, EveryFlowControlAndOptionChangeReachesTermiosBothWays) {
  TPtyPair pty;
  auto c = OpenPort(pty.SlavePath(), false);
  auto flags = [&] {
    termios t{};
    ::tcgetattr(pty.Slave(), &t);
    return std::make_tuple((t.c_cflag & CRTSCTS) != 0, (t.c_iflag & IXON) != 0, (t.c_iflag & IXOFF) != 0,
                           (t.c_iflag & INPCK) != 0);
  };
  using F = std::tuple<bool, bool, bool, bool>;  // CRTSCTS, IXON, IXOFF, INPCK
  EXPECT_EQ(flags(), F(false, false, false, false));
  c->SetFlowControl(fcSoftware);
  EXPECT_EQ(flags(), F(false, true, true, false));
  c->SetFlowControl(fcNone);
  EXPECT_EQ(flags(), F(false, false, false, false));
  c->SetFlowControl(fcCTS);
  EXPECT_EQ(flags(), F(true, false, false, false));
  c->SetFlowControl(fcDefault);  // keeps what the port has
  EXPECT_EQ(flags(), F(true, false, false, false));
  c->SetFlowControl(fcNone);
  EXPECT_EQ(flags(), F(false, false, false, false));
  c->SetOptions({coParityCheck});
  EXPECT_EQ(flags(), F(false, false, false, true));
  c->SetOptions({});
  EXPECT_EQ(flags(), F(false, false, false, false));
  c->SetOptions({coParityCheck, coNullStrip});
  c->SetFlowControl(fcSoftware);
  EXPECT_EQ(flags(), F(false, true, true, true));
  c->SetOptions({coNullStrip});
  c->SetFlowControl(fcNone);
  EXPECT_EQ(flags(), F(false, false, false, false));
}

TEST(SerialSettings, RefusedSettingKeepsTheOldOne) {
  TPtyPair pty;
  auto c = OpenPort(pty.SlavePath(), false);
  c->SetFlowControl(fcSoftware);
  termios before{};
  ::tcgetattr(pty.Slave(), &before);
  Platform::DCB dcbBefore;
  Platform::GetCommState(c->hCommDev(), &dcbBefore);
  EXPECT_EQ(Message([&] { c->SetFlowControl(fcDTR); }), "Error 22 Invalid argument in function: SetCommState");
  EXPECT_EQ(c->FlowControl(), fcSoftware);
  EXPECT_NE(Message([&] { c->SetStopbits(sb15); }), "");
  EXPECT_EQ(c->Stopbits(), sb10);
  termios after{};
  ::tcgetattr(pty.Slave(), &after);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  Platform::DCB dcbAfter;
  Platform::GetCommState(c->hCommDev(), &dcbAfter);
  EXPECT_EQ(dcbAfter.Flags, dcbBefore.Flags);
  EXPECT_EQ(dcbAfter.StopBits, dcbBefore.StopBits);
  // The next valid setting works, and so does a reopen.
  c->SetBaudrate(br19200);
  EXPECT_EQ(c->Baudrate(), br19200);
  c->Close();
  c->Open();
  EXPECT_TRUE(c->Active());
}

TEST(SerialEvents, LineThatChangedAndChangedBackIsNotMissed) {
  HalyardTest::TScriptedSerial dev;
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(HalyardTest::TScriptedSerial::kPath);
  c->SetDontSynchronize(true);
  std::atomic<int> cts{0}, dsr{0};
  c->SetOnCts([&](TObject*) { ++cts; });
  c->SetOnDsr([&](TObject*) { ++dsr; });
  c->Open();
  dev.Pulse(TIOCM_CTS);
  EXPECT_TRUE(WaitFor([&] { return cts == 1; }));
  EXPECT_EQ(dsr, 0);
  c->Close();
}

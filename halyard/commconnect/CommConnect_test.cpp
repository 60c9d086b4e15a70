#include "halyard/commconnect/CommConnect.h"

#include <poll.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "ScriptedSerial.h"

using namespace Halyard;
using namespace Halyard::CommConnect;
using Framework::Application;
using Framework::MakeComponent;
using HalyardTest::TPtyPair;
using HalyardTest::WaitFor;

namespace {

int OpenDescriptors() { return HalyardTest::ProcEntries("fd"); }
int Threads() { return HalyardTest::ProcEntries("task"); }

Framework::TOwned<TComm> OpenPort(TPtyPair& pty) {
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(pty.SlavePath());
  c->Open();
  return c;
}

std::string Message(const std::function<void()>& f) { return HalyardTest::MessageOf(f); }

}  // namespace

TEST(SerialOpen, MissingDeviceNamesCreateFile) {
  int threads = HalyardTest::SettledThreads();
  auto c = MakeComponent<TComm>(nullptr);
  EXPECT_EQ(c->DeviceName(), "Com2");
  c->SetDeviceName("/dev/halyard-no-such-port");
  EXPECT_EQ(Message([&] { c->Open(); }), "Error 2 No such file or directory in function: CreateFile");
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(c->hCommDev(), Platform::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WaitFor([&] { return Threads() == threads; }, 2000));
}

TEST(SerialOpen, HandleWithoutDeviceAndRegularFile) {
  auto h = MakeComponent<TCommHandle>(nullptr);
  EXPECT_NE(Message([&] { h->Open(); }).find("in function: CreateFile"), std::string::npos);
  std::string name = "/tmp/halyard_regular_" + std::to_string(::getpid());
  std::ofstream(name) << "x";
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(name);
  EXPECT_NE(Message([&] { c->Open(); }).find("in function: GetFileType"), std::string::npos);
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(c->hCommDev(), Platform::INVALID_HANDLE_VALUE);
  ::unlink(name.c_str());
}

TEST(SerialOpen, SecondOpenerIsRefusedAndGuardsHold) {
  TPtyPair pty;
  auto c = OpenPort(pty);
  auto d = MakeComponent<TComm>(nullptr);
  d->SetDeviceName(pty.SlavePath());
  EXPECT_NE(Message([&] { d->Open(); }).find("CreateFile"), std::string::npos);
  EXPECT_EQ(Message([&] { c->SetDeviceName("x"); }), "Connection is active");
  EXPECT_EQ(Message([&] { c->SetReadBufSize(1); }), "Connection is active");
  EXPECT_EQ(Message([&] { c->SetMonitorEvents({}); }), "Connection is active");
  EXPECT_EQ(Message([&] { c->SethCommDev(nullptr); }), "Connection is active");
  EXPECT_EQ(c->ReadBufSize(), 4096);
}

TEST(SerialSettings, BaudRateAppliedAtOnceWhenOpenStoredWhenClosed) {
  TPtyPair pty;
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(pty.SlavePath());
  c->SetBaudrate(br115200);  // closed: stored only
  termios t{};
  ::tcgetattr(pty.Slave(), &t);
  EXPECT_NE(cfgetospeed(&t), static_cast<speed_t>(B115200));
  c->Open();
  ::tcgetattr(pty.Slave(), &t);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  c->SetBaudrate(br19200);
  ::tcgetattr(pty.Slave(), &t);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  c->SetBaudrate(br14400);  // no B constant: the kernel's arbitrary-rate interface
  Platform::DCB dcb;
  Platform::GetCommState(c->hCommDev(), &dcb);
  EXPECT_EQ(dcb.BaudRate, 14400u);
}

TEST(SerialSettings, LineSettingsReachTheDriver) {
  // A pseudo-terminal keeps 8 bits without parity whatever it is told: use the scripted device.
  HalyardTest::TScriptedSerial dev;
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(HalyardTest::TScriptedSerial::kPath);
  c->Open();
  auto cflag = [&] { return dev.Termios().c_cflag & (PARENB | PARODD | CMSPAR | CSIZE | CSTOPB); };
  c->SetParity(paEven);
  c->SetDatabits(da7);
  c->SetStopbits(sb20);
  EXPECT_EQ(cflag(), static_cast<tcflag_t>(PARENB | CS7 | CSTOPB));
  c->SetParity(paMark);
  EXPECT_EQ(cflag(), static_cast<tcflag_t>(PARENB | PARODD | CMSPAR | CS7 | CSTOPB));
  c->SetParity(paSpace);
  c->SetDatabits(da5);
  c->SetStopbits(sb10);
  EXPECT_EQ(cflag(), static_cast<tcflag_t>(PARENB | CMSPAR | CS5));
}

TEST(SerialSettings, UnsupportedSettingsFailLoudly) {
  TPtyPair pty;
  auto c = OpenPort(pty);
  EXPECT_EQ(Message([&] { c->SetStopbits(sb15); }), "Error 22 Invalid argument in function: SetCommState");
  EXPECT_NE(Message([&] { c->SetDatabits(da4); }).find("SetCommState"), std::string::npos);
  EXPECT_NE(Message([&] { c->SetFlowControl(fcDTR); }).find("SetCommState"), std::string::npos);
}

TEST(SerialSettings, XonXoffLimitsAndFlowControlAccumulation) {
  TPtyPair pty;
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(pty.SlavePath());
  c->SetReadBufSize(4099);
  c->Open();
  Platform::DCB dcb;
  Platform::GetCommState(c->hCommDev(), &dcb);
  EXPECT_EQ(dcb.XonLim, 1024);
  EXPECT_EQ(dcb.XoffLim, 1024);
  c->SetFlowControl(fcCTS);
  c->SetFlowControl(fcSoftware);
  Platform::GetCommState(c->hCommDev(), &dcb);
  EXPECT_TRUE(dcb.Flags & Platform::fOutxCtsFlow);
  EXPECT_TRUE(dcb.Flags & Platform::fOutX);
  termios t{};
  ::tcgetattr(pty.Slave(), &t);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_iflag & IXON);
  c->SetOptions({coParityCheck});
  c->SetFlowControl(fcNone);
  Platform::GetCommState(c->hCommDev(), &dcb);
  EXPECT_EQ(dcb.Flags, Platform::fBinary | Platform::fParity);
  c->SetXonChar('Q');
  Platform::GetCommState(c->hCommDev(), &dcb);
  EXPECT_EQ(dcb.XonChar, 'Q');
}

TEST(SerialQueues, CountsReadsAndPurges) {
  TPtyPair pty;
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(pty.SlavePath());
  EXPECT_EQ(c->InQueCount(), -1);
  c->PurgeIn();  // closed: nothing
  EXPECT_EQ(Message([&] { c->SetEsc(1, true); }), "Connection is inactive");
  c->Open();
  char buf[16];
  EXPECT_EQ(c->Read(buf, sizeof buf), 0);  // nothing waiting: at once
  pty.Write("hello");
  ASSERT_TRUE(WaitFor([&] { return c->InQueCount() == 5; }));
  EXPECT_EQ(c->Retrieve(3), "hel");
  EXPECT_EQ(c->InQueCount(), 2);
  c->SetEsc(3, true);  // break, and both queues purged
  EXPECT_EQ(c->InQueCount(), 0);
  c->SetEsc(3, false);
  c->SetEsc(1, true);
  c->SetEsc(2, false);
  EXPECT_FALSE(c->GetModemState(Platform::MS_CTS_ON));  // a pseudo-terminal has no lines
  EXPECT_FALSE(c->GetComState(0));
}

TEST(SerialRx, EmptyQueueNeverFiresOnRxChar) {
  TPtyPair pty;
  auto c = OpenPort(pty);
  int calls = 0;
  c->SetOnRxChar([&](TObject*, int) { ++calls; });
  c->HandleCommEvent(Platform::EV_RXCHAR);
  EXPECT_EQ(calls, 0);
}

TEST(SerialRx, DeliveredInMainThreadOrInEventThread) {
  TPtyPair pty;
  auto c = OpenPort(pty);
  std::atomic<int> total{0};
  std::atomic<bool> offMain{false}, onMain{false};
  c->SetOnRxChar([&](TObject* sender, int count) {
    (Application().IsMainThread() ? onMain : offMain) = true;
    total += static_cast<int>(static_cast<TComm*>(sender)->Retrieve(count).size());
  });
  pty.Write("abc");
  ASSERT_TRUE(WaitFor([&] { return total == 3; }, 5000, true));
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(offMain);
  c->SetDontSynchronize(true);
  onMain = false;
  pty.Write("defg");
  ASSERT_TRUE(WaitFor([&] { return total == 7; }));  // no pumping needed
  EXPECT_TRUE(offMain);
  EXPECT_FALSE(onMain);
}

// The event thread reads the device while it waits; a handler that keeps it away must not stop
// the reading: the I/O thread takes over, so the input queue fills beyond what the terminal's
// own buffer holds, and nothing is lost or reordered.
TEST(SerialRx, AHandlerThatTakesLongDoesNotStopTheReading) {
  TPtyPair pty;
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(pty.SlavePath());
  c->SetDontSynchronize(true);
  std::atomic<bool> release{false}, entered{false};
  std::string got;
  std::mutex m;
  c->SetOnRxChar([&](TObject* sender, int count) {
    entered = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard lk(m);
    got += static_cast<TComm*>(sender)->Retrieve(count);
  });
  c->Open();
  std::string sent;
  for (int i = 0; sent.size() < 48 * 1024; ++i) sent += "line " + std::to_string(i) + "\r\n";
  pty.Write("x");
  ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
  std::thread writer([&] { pty.Write(sent); });
  // More than the terminal's buffers hold (4 KiB here, the writer blocks beyond them): read.
  bool queued = WaitFor([&] { return c->InQueCount() > 16 * 1024; }, 20000);
  writer.join();
  release = true;
  ASSERT_TRUE(queued) << c->InQueCount();
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lk(m);
    return got.size() == sent.size() + 1;
  }, 20000));
  std::lock_guard lk(m);
  EXPECT_EQ(got, "x" + sent);
}

TEST(SerialTransfer, OneMegabyteEachWay) {
  TPtyPair pty;
  auto c = OpenPort(pty);
  std::mt19937 rng(99);
  std::string data(1 << 20, '\0');
  for (char& ch : data) ch = static_cast<char>(rng());
  std::thread writer([&] {
    std::mt19937 r(5);
    size_t off = 0;
    while (off < data.size()) {
      size_t n = std::min<size_t>(1 + r() % 5000, data.size() - off);
      pty.Write(data.substr(off, n));
      off += n;
    }
  });
  std::string got;
  char buf[8192];
  WaitFor([&] {
    int n = c->Read(buf, sizeof buf);
    got.append(buf, static_cast<size_t>(n));
    return got.size() >= data.size();
  }, 30000);
  writer.join();
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);

  c->SetWriteTimeout(30000);
  std::string back;
  std::thread reader([&] { back = pty.Read(data.size(), 30000); });
  EXPECT_EQ(c->Write(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  reader.join();
  EXPECT_TRUE(back == data);
}

TEST(SerialTransfer, WriteTimeoutReportsWhatWentOutAndCancels) {
  TPtyPair pty;
  auto c = OpenPort(pty);
  c->SetWriteTimeout(50);
  std::string big(4 << 20, 'x');  // more than the pseudo-terminal takes while nobody reads
  int written = c->Write(big.data(), static_cast<int>(big.size()));
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<int>(big.size()));
  // Exactly the bytes reported reach the other end, and nothing after the cancel.
  EXPECT_EQ(pty.Read(static_cast<size_t>(written), 10000).size(), static_cast<size_t>(written));
  EXPECT_EQ(pty.Read(1, 200), "");
  c->Close();  // nothing pending may touch the finished call
}

TEST(SerialLifecycle, NoThreadOrDescriptorLeftBehind) {
  TPtyPair pty;
  OpenPort(pty)->Close();  // a sanitizer's helper threads start with the first port
  int fds = OpenDescriptors(), threads = HalyardTest::SettledThreads();
  {
    auto c = OpenPort(pty);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
      std::string chunk(512, 'z');
      while (!stop)
        if (pty.TryWrite(chunk) == 0) ::poll(nullptr, 0, 1);
    });
    c->SetOnRxChar([&](TObject*, int n) { c->Retrieve(n); });
    c->SetDontSynchronize(true);
    WaitFor([&] { return false; }, 50);
    c->Close();  // while bytes stream in
    stop = true;
    feeder.join();
  }
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(pty.SlavePath());
  for (int i = 0; i < 1000; ++i) {
    c->Open();
    c->Close();
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  // A joined thread's task entry can linger a moment while the kernel finishes its exit.
  EXPECT_TRUE(WaitFor([&] { return Threads() == threads; }, 2000)) << Threads() << " vs " << threads;
}

TEST(SerialEvents, LineEventsInOrderWithErrorFlags) {
  HalyardTest::TScriptedSerial dev;
  auto c = MakeComponent<TComm>(nullptr);
  c->SetDeviceName(HalyardTest::TScriptedSerial::kPath);
  c->SetEvtChar('~');
  std::vector<std::string> seen;  // main thread only
  c->SetOnBreak([&](TObject*) { seen.push_back("break"); });
  c->SetOnCts([&](TObject*) { seen.push_back("cts"); });
  c->SetOnDsr([&](TObject*) { seen.push_back("dsr"); });
  c->SetOnError([&](TObject*, int e) { seen.push_back("error " + std::to_string(e)); });
  c->SetOnRing([&](TObject*) { seen.push_back("ring"); });
  c->SetOnRlsd([&](TObject*) { seen.push_back("rlsd"); });
  c->SetOnRxChar([&](TObject*, int n) { seen.push_back("rx " + std::to_string(n)); });
  c->SetOnRxFlag([&](TObject*) { seen.push_back("flag"); });
  c->SetOnTxEmpty([&](TObject*) { seen.push_back("txempty"); });
  c->Open();
  EXPECT_FALSE(c->GetModemState(0xFFFF));  // no line is up yet
  // First report (carrier up) blocks the event thread in its hand-over to this thread...
  dev.Fire(TIOCM_CD);
  ASSERT_TRUE(WaitFor([] { return Application().PendingCount() == 1; }));
  // ...while every other kind of event piles up for the next report.
  dev.SendFromDevice("x~");
  c->Send("abc");
  dev.Fire(TIOCM_CTS | TIOCM_DSR | TIOCM_RNG, /*breaks*/ 1, /*frames*/ 1);
  // (InQueCount would clear the error flags, as ClearCommError does: watch the device instead.)
  ASSERT_TRUE(WaitFor([&] { return dev.BytesRead() == 2 && dev.LineReads() >= 2 && dev.EmptyReports() >= 1; }));
  Platform::DCB dcb;
  Platform::GetCommState(c->hCommDev(), &dcb);  // takes the device lock: all raised by now
  ASSERT_TRUE(WaitFor([&] { return seen.size() >= 10; }, 5000, true));
  // The first report's ClearCommError has already taken the error flags (as the platform's
  // does); the flags themselves are checked below with a report of their own.
  std::vector<std::string> want = {"rlsd", "break", "cts", "dsr", "error 0", "ring", "rlsd", "rx 2", "flag", "txempty"};
  EXPECT_EQ(seen, want);
  seen.clear();
  dev.Fire(TIOCM_CTS | TIOCM_DSR | TIOCM_RNG, /*breaks*/ 0, /*frames*/ 1, /*overruns*/ 1);
  ASSERT_TRUE(WaitFor([&] { return !seen.empty(); }, 5000, true));
  EXPECT_EQ(seen, (std::vector<std::string>{"error " + std::to_string(Platform::CE_FRAME | Platform::CE_OVERRUN)}));
  c->SetEsc(1, true);
  EXPECT_TRUE(dev.ModemBits() & TIOCM_DTR);
  EXPECT_TRUE(c->GetModemState(Platform::MS_CTS_ON | Platform::MS_RING_ON));
  EXPECT_FALSE(c->GetModemState(Platform::MS_RLSD_ON));
  c->Close();
}

TEST(SerialUnit, BaudRateTable) {
  TBaudrate b = br300;
  EXPECT_TRUE(Int2BaudRate(9600, b));
  EXPECT_EQ(b, br9600);
  EXPECT_FALSE(Int2BaudRate(9601, b));
  EXPECT_EQ(b, br9600);
  EXPECT_EQ(BaudRate2Int(br256000), 256000);
  EXPECT_EQ(BaudRate2Int(br110), 110);
  Framework::TEvent e;
  EXPECT_EQ(Event_WaitFor(&e, 1), Framework::wrTimeout);
}

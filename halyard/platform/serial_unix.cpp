// The POSIX backend of the serial layer.
#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "halyard/framework/FrontBuffer.h"
#include "halyard/framework/SysUtils.h"
#include "halyard/platform/Serial.h"
#include "halyard/platform/SerialSystem.h"

namespace Halyard::Platform {

// --- the real system calls -----------------------------------------------------------------

namespace {
constexpr int kInterruptSignal = 38;  // a real-time signal that glibc leaves to applications
void NoOpHandler(int) {}
void InstallInterruptHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa{};
    sa.sa_handler = NoOpHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the blocked ioctl must return
    sigaction(kInterruptSignal, &sa, nullptr);
  });
}
}  // namespace

int ISerialSystem::Open(const char* p, int f) { return ::open(p, f); }
int ISerialSystem::Close(int fd) { return ::close(fd); }
ssize_t ISerialSystem::Read(int fd, void* b, size_t n) { return ::read(fd, b, n); }
ssize_t ISerialSystem::Write(int fd, const void* b, size_t n) { return ::write(fd, b, n); }
int ISerialSystem::Poll(pollfd* f, nfds_t n, int t) { return ::poll(f, n, t); }
int ISerialSystem::Ioctl(int fd, unsigned long r, void* a) { return ::ioctl(fd, r, a); }
int ISerialSystem::TcGetAttr(int fd, termios* t) { return ::tcgetattr(fd, t); }
int ISerialSystem::TcSetAttr(int fd, int a, const termios* t) { return ::tcsetattr(fd, a, t); }
int ISerialSystem::TcFlush(int fd, int q) { return ::tcflush(fd, q); }
int ISerialSystem::TcFlow(int fd, int a) { return ::tcflow(fd, a); }
int ISerialSystem::FStat(int fd, struct stat* st) { return ::fstat(fd, st); }
int ISerialSystem::Flock(int fd, int op) { return ::flock(fd, op); }
void ISerialSystem::InterruptModemWait(pthread_t t) {
  InstallInterruptHandler();
  pthread_kill(t, kInterruptSignal);
}

namespace {
ISerialSystem gRealSystem;
std::atomic<ISerialSystem*> gSystem{&gRealSystem};
thread_local DWORD gLastError = 0;

// The kernel's termios2, for rates that have no B constant.
struct KTermios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
const unsigned long kTCGETS2 = _IOR('T', 0x2A, KTermios2);
const unsigned long kTCSETS2 = _IOW('T', 0x2B, KTermios2);
constexpr tcflag_t kBOTHER = 0010000;
constexpr tcflag_t kCBAUD = 0010017;
constexpr int kIBSHIFT = 16;

struct RateCode {
  DWORD Rate;
  speed_t Code;
};
constexpr RateCode kRates[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                               {150, B150},       {200, B200},       {300, B300},       {600, B600},
                               {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                               {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                               {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

bool Fail(int err) {
  gLastError = static_cast<DWORD>(err);
  return false;
}
// Success leaves the last error alone, as the platform's calls do.
bool Ok() { return true; }
// A device without modem lines answers these ioctls so; it simply has nothing to report.
bool NoLines(int err) { return err == ENOTTY || err == EINVAL; }
}  // namespace

ISerialSystem& SerialSystem() { return *gSystem.load(); }
void SetSerialSystem(ISerialSystem* s) { gSystem.store(s ? s : &gRealSystem); }

DWORD GetLastError() { return gLastError; }
void SetLastError(DWORD code) { gLastError = code; }

std::string FormatMessageA(DWORD code) {
  switch (code) {
    case ERROR_IO_PENDING: return "Overlapped I/O operation is in progress.";
    case ERROR_IO_INCOMPLETE: return "Overlapped I/O event is not in a signaled state.";
    case ERROR_OPERATION_ABORTED:
      return "The I/O operation has been aborted because of either a thread exit or an application request.";
    default: return Framework::SysErrorMessage(static_cast<int>(code));
  }
}

// --- the device ----------------------------------------------------------------------------

struct TCommDevice {
  ISerialSystem* Sys = nullptr;
  int Fd = -1;
  bool IsChar = false;
  int WakeR = -1, WakeW = -1;
  std::thread Io, Lines;
  std::atomic<bool> Stop{false};
  std::atomic<bool> LinesDone{false};

  std::mutex M;
  Framework::TFrontBuffer InQ;  // the input queue
  size_t InCap = 64 * 1024;
  DCB Dcb;
  DWORD Mask = 0;
  DWORD Pending = 0;
  DWORD Errors = 0;
  DWORD* WaitMask = nullptr;
  OVERLAPPED* WaitOv = nullptr;
  struct WriteReq {
    std::string Data;
    size_t Off = 0;
    OVERLAPPED* Ov = nullptr;
  };
  std::deque<WriteReq> OutQ;
  bool TxCheck = false;
  // Input is read by the event thread while it waits for an event (WaitCommEventReading), so a
  // byte reaches its handler with no hand-over between threads; the I/O thread reads only once
  // nobody has waited for kAway (a handler that takes long, or no event thread at all).
  bool Waiter = false;
  Framework::TEvent* WaiterEvent = nullptr;
  static constexpr int kAway = 5;  // ms
  bool AwayExpired = false;  // kAway has passed without a waiter: the I/O thread reads
  bool IoReading = false;    // the I/O thread polls for input
  int AwayTimer = -1, TxTimer = -1;
  bool HungUp = false;
  int HangupError = 0;
  bool XoffHold = false;
  bool HasLines = false;
  int LineBits = 0;
  bool HasCounters = false;
  serial_icounter_struct Counters{};

  // Has the I/O thread, and a waiter that reads, look at the device again.
  void Wake() {
    WakeIo();
    if (Waiter && WaiterEvent) WaiterEvent->Notify();
  }
  void WakeIo() {
    char c = 1;
    [[maybe_unused]] ssize_t r = ::write(WakeW, &c, 1);
  }
  static void Arm(int Timer, int Ms) {
    itimerspec t{};
    t.it_value.tv_nsec = static_cast<long>(Ms) * 1000000L;
    ::timerfd_settime(Timer, 0, &t, nullptr);
  }
  static bool Expired(int Timer) {
    uint64_t n = 0;
    return ::read(Timer, &n, sizeof n) == static_cast<ssize_t>(sizeof n) && n > 0;
  }
  // Reads what the device has into the input queue (a hang-up when it has gone) and raises
  // one event for it, written bytes that have left included. Under M, so two readers keep the
  // order of the bytes.
  void ReadInput() {
    char buf[4096];
    ssize_t n = Sys->Read(Fd, buf, sizeof buf);
    int err = n == 0 ? EIO : n < 0 ? errno : 0;
    if (n > 0) {
      std::string_view chunk(buf, static_cast<size_t>(n));
      DWORD ev = EV_RXCHAR;
      if (chunk.find(Dcb.EvtChar) != std::string_view::npos) ev |= EV_RXFLAG;
      if (Dcb.Flags & fNull) {
        for (char c : chunk)
          if (c != '\0') InQ.Push(c);
      } else {
        InQ.Append(chunk);
      }
      CheckCounters();
      // An answer means the command has gone out: one event says both.
      if (TxCheck && OutQ.empty() && Drained()) {
        TxCheck = false;
        Arm(TxTimer, 0);
        ev |= EV_TXEMPTY;
      }
      Raise(ev);
    } else if (err != EAGAIN && err != EINTR) {
      // The other end has gone (a pseudo-terminal whose master closed, a USB modem pulled).
      HangUp(err);
    }
  }
  static void Complete(OVERLAPPED* ov, DWORD status, DWORD bytes) {
    ov->Internal = status;
    ov->InternalHigh = bytes;
    if (ov->hEvent) ov->hEvent->SetEvent();
  }
  // Under M.
  void Raise(DWORD bits) {
    Pending |= bits & Mask;
    if (WaitOv && Pending) {
      *WaitMask = Pending;
      Pending = 0;
      OVERLAPPED* ov = WaitOv;
      WaitOv = nullptr;
      WaitMask = nullptr;
      Complete(ov, 0, 0);
    }
  }
  void CheckCounters() {  // under M
    if (!HasCounters) return;
    serial_icounter_struct now{};
    if (Sys->Ioctl(Fd, TIOCGICOUNT, &now) < 0) return;
    DWORD ev = 0, err = 0;
    if (now.brk != Counters.brk) ev |= EV_BREAK, err |= CE_BREAK;
    if (now.frame != Counters.frame) ev |= EV_ERR, err |= CE_FRAME;
    if (now.overrun != Counters.overrun || now.buf_overrun != Counters.buf_overrun) ev |= EV_ERR, err |= CE_OVERRUN;
    if (now.parity != Counters.parity) ev |= EV_ERR, err |= CE_RXPARITY;
    if (now.rng != Counters.rng) ev |= EV_RING;
    // A line that changed and changed back between two looks still counts as a change.
    if (now.cts != Counters.cts) ev |= EV_CTS;
    if (now.dsr != Counters.dsr) ev |= EV_DSR;
    if (now.dcd != Counters.dcd) ev |= EV_RLSD;
    Counters = now;
    Errors |= err;
    if (ev) Raise(ev);
  }
  void CheckLines() {  // under M
    int bits = 0;
    if (Sys->Ioctl(Fd, TIOCMGET, &bits) < 0) return;
    int changed = bits ^ LineBits;
    DWORD ev = 0;
    if (changed & TIOCM_CTS) ev |= EV_CTS;
    if (changed & TIOCM_DSR) ev |= EV_DSR;
    if (changed & TIOCM_CD) ev |= EV_RLSD;
    if ((changed & TIOCM_RNG) && (bits & TIOCM_RNG)) ev |= EV_RING;
    LineBits = bits;
    if (ev) Raise(ev);
  }
  bool NoLsr = false;  // the driver has no line status register to ask (a pseudo-terminal, USB)
  bool Drained() {  // under M
    unsigned int lsr = 0;
    if (!NoLsr) {
      if (Sys->Ioctl(Fd, TIOCSERGETLSR, &lsr) == 0) return (lsr & TIOCSER_TEMT) != 0;
      NoLsr = errno == ENOTTY || errno == EINVAL;
    }
    int n = 0;
    if (Sys->Ioctl(Fd, TIOCOUTQ, &n) == 0) return n == 0;
    return true;
  }
  // The device has gone for good: nothing more is watched, and nothing waits for it.
  void HangUp(int err) {  // under M
    if (HungUp) return;
    HungUp = true;
    HangupError = err;
    TxCheck = false;
    CancelWrites(static_cast<DWORD>(err));
    Errors |= CE_IOE;
    Raise(EV_ERR);
  }
  void CancelWrites(DWORD status) {  // under M
    while (!OutQ.empty()) {
      WriteReq r = std::move(OutQ.front());
      OutQ.pop_front();
      if (r.Ov) Complete(r.Ov, status, static_cast<DWORD>(r.Off));
    }
  }
  void IoLoop();
  void LineLoop();
};

void TCommDevice::IoLoop() {
  for (;;) {
    // Checked before every wait too: the wake-up byte of a stop may have been drained already.
    if (Stop.load()) return;
    bool wantRead, wantWrite, hungUp;
    {
      std::lock_guard lk(M);
      hungUp = HungUp;
      wantRead = !HungUp && InQ.size() < InCap && !Waiter && AwayExpired;
      IoReading = wantRead;
      wantWrite = !HungUp && !OutQ.empty();
    }
    // A hung-up descriptor reports POLLHUP at once whatever is asked: leave it out of the poll.
    const short what = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    pollfd fds[4] = {{hungUp || !what ? -1 : Fd, what, 0},
                     {WakeR, POLLIN, 0},
                     {AwayTimer, POLLIN, 0},
                     {TxTimer, POLLIN, 0}};
    int r = Sys->Poll(fds, 4, -1);
    if (Stop.load()) return;
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents & POLLIN) {
      char sink[64];
      while (::read(WakeR, sink, sizeof sink) > 0) {
      }
    }
    if ((fds[2].revents & POLLIN) && Expired(AwayTimer)) {
      std::lock_guard lk(M);
      if (!Waiter) AwayExpired = true;
    }
    if ((fds[3].revents & POLLIN) && Expired(TxTimer)) {
      // Written bytes may still sit in the driver's queue: look again until they have left.
      std::lock_guard lk(M);
      if (TxCheck && OutQ.empty()) {
        if (Drained()) {
          TxCheck = false;
          Raise(EV_TXEMPTY);
        } else {
          Arm(TxTimer, 5);
        }
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      std::lock_guard lk(M);
      if (wantRead || (fds[0].revents & POLLIN)) ReadInput();
      else HangUp(EIO);
    }
    if (fds[0].revents & POLLOUT) {
      std::lock_guard lk(M);
      while (!OutQ.empty()) {
        WriteReq& w = OutQ.front();
        ssize_t n = w.Data.size() > w.Off ? Sys->Write(Fd, w.Data.data() + w.Off, w.Data.size() - w.Off) : 0;
        if (n < 0) {
          if (errno == EAGAIN || errno == EINTR) break;
          CancelWrites(static_cast<DWORD>(errno));
          break;
        }
        w.Off += static_cast<size_t>(n);
        if (w.Off < w.Data.size()) break;
        OVERLAPPED* ov = w.Ov;
        DWORD done = static_cast<DWORD>(w.Off);
        OutQ.pop_front();
        if (ov) Complete(ov, 0, done);
        if (OutQ.empty()) {
          TxCheck = true;
          Arm(TxTimer, 5);
        }
      }
    }
  }
}

void TCommDevice::LineLoop() {
  {
    std::lock_guard lk(M);  // what changed between the open and this thread's first wait
    CheckLines();
    CheckCounters();
  }
  while (!Stop.load()) {
    int r = Sys->Ioctl(Fd, TIOCMIWAIT, reinterpret_cast<void*>(static_cast<uintptr_t>(TIOCM_RNG | TIOCM_DSR | TIOCM_CD | TIOCM_CTS)));
    if (Stop.load()) break;
    if (r < 0 && errno != EINTR) break;  // the device cannot wait for line changes
    std::lock_guard lk(M);
    CheckLines();
    CheckCounters();
  }
  LinesDone.store(true);
}

// --- the calls -----------------------------------------------------------------------------

HANDLE CreateFileA(const std::string& FileName, DWORD DesiredAccess, DWORD, void*, DWORD, DWORD, void*) {
  ISerialSystem* sys = &SerialSystem();
  int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  bool rd = DesiredAccess & GENERIC_READ, wr = DesiredAccess & GENERIC_WRITE;
  flags |= rd && wr ? O_RDWR : wr ? O_WRONLY : O_RDONLY;
  int fd = sys->Open(FileName.c_str(), flags);
  if (fd < 0) {
    Fail(errno);
    return INVALID_HANDLE_VALUE;
  }
  if (sys->Flock(fd, LOCK_EX | LOCK_NB) < 0) {
    int e = errno == EWOULDBLOCK ? EBUSY : errno;
    sys->Close(fd);
    Fail(e);
    return INVALID_HANDLE_VALUE;
  }
  auto* d = new TCommDevice;
  d->Sys = sys;
  d->Fd = fd;
  struct stat st{};
  d->IsChar = sys->FStat(fd, &st) == 0 && S_ISCHR(st.st_mode);
  if (d->IsChar) {
    termios t{};
    if (sys->TcGetAttr(fd, &t) == 0) {
      speed_t code = cfgetospeed(&t);
      for (auto& rc : kRates)
        if (rc.Code == code) d->Dcb.BaudRate = rc.Rate;
      d->Dcb.Flags = fBinary | DTR_CONTROL_ENABLE | RTS_CONTROL_ENABLE;
      if (t.c_cflag & CRTSCTS) d->Dcb.Flags |= fOutxCtsFlow | RTS_CONTROL_HANDSHAKE;
      if (t.c_iflag & IXON) d->Dcb.Flags |= fOutX;
      if (t.c_iflag & IXOFF) d->Dcb.Flags |= fInX;
    }
    int bits = 0;
    if (sys->Ioctl(fd, TIOCMGET, &bits) == 0) {
      d->HasLines = true;
      d->LineBits = bits;
    }
    d->HasCounters = sys->Ioctl(fd, TIOCGICOUNT, &d->Counters) == 0;
    int p[2];
    if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) < 0) {
      int e = errno;
      sys->Close(fd);
      delete d;
      Fail(e);
      return INVALID_HANDLE_VALUE;
    }
    d->WakeR = p[0];
    d->WakeW = p[1];
    d->AwayTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    d->TxTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (d->AwayTimer < 0 || d->TxTimer < 0) {
      int e = errno;
      for (int f : {d->AwayTimer, d->TxTimer, d->WakeR, d->WakeW})
        if (f >= 0) ::close(f);
      sys->Close(fd);
      delete d;
      Fail(e);
      return INVALID_HANDLE_VALUE;
    }
    // Until an event thread waits, the I/O thread reads.
    TCommDevice::Arm(d->AwayTimer, TCommDevice::kAway);
    d->Io = std::thread([d] { d->IoLoop(); });
    if (d->HasLines) {
      InstallInterruptHandler();
      d->Lines = std::thread([d] { d->LineLoop(); });
    }
  }
  Ok();
  return d;
}

BOOL CloseHandle(HANDLE h) {
  if (!h) return Fail(EBADF);
  h->Stop.store(true);
  if (h->Io.joinable()) {
    h->Wake();
    h->Io.join();
  }
  if (h->Lines.joinable()) {
    // The signal may come before the thread enters its wait: repeat until it has left.
    while (!h->LinesDone.load()) {
      h->Sys->InterruptModemWait(h->Lines.native_handle());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    h->Lines.join();
  }
  {
    std::lock_guard lk(h->M);
    h->CancelWrites(ERROR_OPERATION_ABORTED);
    if (h->WaitOv) TCommDevice::Complete(h->WaitOv, ERROR_OPERATION_ABORTED, 0);
    h->WaitOv = nullptr;
    h->WaitMask = nullptr;
  }
  for (int f : {h->WakeR, h->WakeW, h->AwayTimer, h->TxTimer})
    if (f >= 0) ::close(f);
  h->Sys->Close(h->Fd);
  delete h;
  return Ok();
}

DWORD GetFileType(HANDLE h) {
  if (!h) {
    Fail(EBADF);
    return FILE_TYPE_UNKNOWN;
  }
  struct stat st{};
  if (h->Sys->FStat(h->Fd, &st) < 0) {
    Fail(errno);
    return FILE_TYPE_UNKNOWN;
  }
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  gLastError = ENOTTY;  // the reason a caller that wanted a character device will report
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_UNKNOWN;
}

namespace {
bool Usable(HANDLE h) {
  if (!h) return Fail(EBADF);
  if (!h->IsChar) return Fail(ENOTTY);
  return true;
}
}  // namespace

BOOL SetupComm(HANDLE h, DWORD InQueue, DWORD) {
  if (!Usable(h)) return false;
  std::lock_guard lk(h->M);
  h->InCap = std::max<size_t>(InQueue, 64 * 1024);
  return Ok();
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
  if (!Usable(h) || !dcb) return false;
  std::lock_guard lk(h->M);
  *dcb = h->Dcb;
  return Ok();
}

BOOL SetCommState(HANDLE h, const DCB* dcb) {
  if (!Usable(h) || !dcb) return Fail(EINVAL);
  termios old{};
  if (h->Sys->TcGetAttr(h->Fd, &old) < 0) return Fail(errno);
  // Every flag below comes from the record: what a former setting turned on is turned off.
  termios t = old;
  ::cfmakeraw(&t);
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  t.c_cflag &= ~CSIZE;
  switch (dcb->ByteSize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: return Fail(EINVAL);
  }
  switch (dcb->StopBits) {
    case ONESTOPBIT: t.c_cflag &= ~CSTOPB; break;
    case TWOSTOPBITS: t.c_cflag |= CSTOPB; break;
    default: return Fail(EINVAL);  // 1.5 stop bits: no Linux driver takes them
  }
  t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (dcb->Parity) {
    case NOPARITY: break;
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: return Fail(EINVAL);
  }
  DWORD f = dcb->Flags;
  if ((f & fOutxDsrFlow) || (f & fDtrControlMask) == DTR_CONTROL_HANDSHAKE) return Fail(EINVAL);
  if ((f & fOutxCtsFlow) || (f & fRtsControlMask) == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  else t.c_cflag &= ~CRTSCTS;
  if (f & fOutX) t.c_iflag |= IXON;
  if (f & fInX) t.c_iflag |= IXOFF;
  if (f & fParity) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
  const RateCode* standard = nullptr;
  for (auto& rc : kRates)
    if (rc.Rate == dcb->BaudRate) standard = &rc;
  if (dcb->BaudRate == 0) return Fail(EINVAL);
  if (standard) {
    cfsetispeed(&t, standard->Code);
    cfsetospeed(&t, standard->Code);
  }
  if (h->Sys->TcSetAttr(h->Fd, TCSANOW, &t) < 0) return Fail(errno);
  if (!standard) {
    KTermios2 t2{};
    int r = h->Sys->Ioctl(h->Fd, kTCGETS2, &t2);
    if (r == 0) {
      t2.c_cflag &= ~(kCBAUD | (kCBAUD << kIBSHIFT));
      t2.c_cflag |= kBOTHER | (kBOTHER << kIBSHIFT);
      t2.c_ispeed = t2.c_ospeed = dcb->BaudRate;
      r = h->Sys->Ioctl(h->Fd, kTCSETS2, &t2);
    }
    if (r < 0) {  // refused: the device keeps the settings it had
      int e = errno;
      h->Sys->TcSetAttr(h->Fd, TCSANOW, &old);
      return Fail(e);
    }
  }
  std::lock_guard lk(h->M);
  auto line = [&](DWORD oldCtl, DWORD newCtl, DWORD enable, int bit) {
    if (oldCtl == newCtl) return;
    int b = bit;
    if (newCtl == 0) h->Sys->Ioctl(h->Fd, TIOCMBIC, &b);
    else if (newCtl == enable) h->Sys->Ioctl(h->Fd, TIOCMBIS, &b);
  };
  line(h->Dcb.Flags & fDtrControlMask, f & fDtrControlMask, DTR_CONTROL_ENABLE, TIOCM_DTR);
  line(h->Dcb.Flags & fRtsControlMask, f & fRtsControlMask, RTS_CONTROL_ENABLE, TIOCM_RTS);
  h->Dcb = *dcb;
  return Ok();
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* t) {
  if (!Usable(h)) return false;
  if (!t) return Fail(EINVAL);
  return Ok();
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  if (!Usable(h)) return false;
  std::lock_guard lk(h->M);
  h->Mask = mask;
  h->Pending &= mask;
  if (h->WaitOv) {
    *h->WaitMask = 0;
    TCommDevice::Complete(h->WaitOv, 0, 0);
    h->WaitOv = nullptr;
    h->WaitMask = nullptr;
  }
  return Ok();
}

BOOL WaitCommEvent(HANDLE h, DWORD* EvtMask, OVERLAPPED* ov) {
  if (!Usable(h) || !EvtMask || !ov) return Fail(EINVAL);
  std::lock_guard lk(h->M);
  if (h->WaitOv) return Fail(EINVAL);  // one wait at a time
  if (h->Pending) {
    *EvtMask = h->Pending;
    h->Pending = 0;
    TCommDevice::Complete(ov, 0, 0);
    gLastError = 0;  // the caller tells completion from ERROR_IO_PENDING
    return true;
  }
  h->WaitMask = EvtMask;
  h->WaitOv = ov;
  ov->Internal = ERROR_IO_PENDING;
  return Fail(ERROR_IO_PENDING);
}

Framework::TWaitResult WaitCommEventReading(HANDLE h, Framework::TEvent* Event) {
  if (!Event) return Framework::wrError;
  if (!Usable(h) || !h->IsChar || Event->PollFd() < 0) return Event->WaitFor(Framework::INFINITE);
  const int eventFd = Event->PollFd();
  {
    std::lock_guard lk(h->M);
    h->Waiter = true;
    h->WaiterEvent = Event;
    h->AwayExpired = false;
    TCommDevice::Arm(h->AwayTimer, 0);
    if (h->IoReading) h->WakeIo();  // it stops reading
  }
  struct Leave {
    TCommDevice* d;
    ~Leave() {
      std::lock_guard lk(d->M);
      d->Waiter = false;
      d->WaiterEvent = nullptr;
      TCommDevice::Arm(d->AwayTimer, TCommDevice::kAway);
    }
  } leave{h};
  Framework::TWaitResult result = Framework::wrError;
  for (;;) {
    if (!Event->BeginPoll(result)) return result;
    bool wantRead;
    {
      std::lock_guard lk(h->M);
      wantRead = !h->HungUp && h->InQ.size() < h->InCap;
    }
    pollfd fds[2] = {{wantRead ? h->Fd : -1, POLLIN, 0}, {eventFd, POLLIN, 0}};
    int r = h->Sys->Poll(fds, 2, -1);
    int err = errno;
    Event->EndPoll();
    if (r < 0 && err != EINTR) return Event->WaitFor(Framework::INFINITE);
    if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      std::lock_guard lk(h->M);
      h->ReadInput();
    }
  }
}

BOOL ClearCommError(HANDLE h, DWORD* Errors, COMSTAT* Stat) {
  if (!Usable(h)) return false;
  std::lock_guard lk(h->M);
  // Once the bytes written are known to have left, the driver's queue needs no asking.
  int outq = 0;
  if ((h->TxCheck || !h->OutQ.empty()) && h->Sys->Ioctl(h->Fd, TIOCOUTQ, &outq) < 0) outq = 0;
  if (Errors) *Errors = h->Errors;
  h->Errors = 0;
  if (Stat) {
    Stat->cbInQue = static_cast<DWORD>(h->InQ.size());
    size_t pending = 0;
    for (auto& w : h->OutQ) pending += w.Data.size() - w.Off;
    Stat->cbOutQue = static_cast<DWORD>(pending) + static_cast<DWORD>(std::max(outq, 0));
    Stat->Flags = 0;
    bool ctsFlow = (h->Dcb.Flags & fOutxCtsFlow) || (h->Dcb.Flags & fRtsControlMask) == RTS_CONTROL_HANDSHAKE;
    if (ctsFlow && h->HasLines && !(h->LineBits & TIOCM_CTS)) Stat->Flags |= 1u << 0;
    if (h->XoffHold) Stat->Flags |= 1u << 3;
  }
  return Ok();
}

BOOL PurgeComm(HANDLE h, DWORD Flags) {
  if (!Usable(h)) return false;
  std::lock_guard lk(h->M);
  if (Flags & PURGE_RXCLEAR) {
    h->InQ.Clear();
    h->Sys->TcFlush(h->Fd, TCIFLUSH);
    h->Wake();  // reading may resume
  }
  if (Flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
    h->CancelWrites(ERROR_OPERATION_ABORTED);
    if (Flags & PURGE_TXCLEAR) h->Sys->TcFlush(h->Fd, TCOFLUSH);
  }
  return Ok();
}

BOOL EscapeCommFunction(HANDLE h, DWORD Func) {
  if (!Usable(h)) return false;
  int bits;
  int r = 0;
  switch (Func) {
    case SETXOFF: case SETXON: {
      std::lock_guard lk(h->M);
      r = h->Sys->TcFlow(h->Fd, Func == SETXOFF ? TCOOFF : TCOON);
      if (r == 0) h->XoffHold = Func == SETXOFF;
      break;
    }
    case SETRTS: case CLRRTS:
      bits = TIOCM_RTS;
      r = h->Sys->Ioctl(h->Fd, Func == SETRTS ? TIOCMBIS : TIOCMBIC, &bits);
      break;
    case SETDTR: case CLRDTR:
      bits = TIOCM_DTR;
      r = h->Sys->Ioctl(h->Fd, Func == SETDTR ? TIOCMBIS : TIOCMBIC, &bits);
      break;
    case SETBREAK: r = h->Sys->Ioctl(h->Fd, TIOCSBRK, nullptr); break;
    case CLRBREAK: r = h->Sys->Ioctl(h->Fd, TIOCCBRK, nullptr); break;
    default: return Fail(EINVAL);
  }
  if (r < 0 && !NoLines(errno)) return Fail(errno);
  return Ok();
}

BOOL GetCommModemStatus(HANDLE h, DWORD* ModemStat) {
  if (!Usable(h) || !ModemStat) return false;
  int bits = 0;
  if (h->Sys->Ioctl(h->Fd, TIOCMGET, &bits) < 0) {
    if (!NoLines(errno)) return Fail(errno);
    bits = 0;
  }
  *ModemStat = ((bits & TIOCM_CTS) ? MS_CTS_ON : 0) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0) |
               ((bits & TIOCM_RNG) ? MS_RING_ON : 0) | ((bits & TIOCM_CD) ? MS_RLSD_ON : 0);
  return Ok();
}

BOOL ReadFile(HANDLE h, void* Buffer, DWORD Count, DWORD* Read, OVERLAPPED* ov) {
  if (!h) return Fail(EBADF);
  if (!h->IsChar) {
    ssize_t n = h->Sys->Read(h->Fd, Buffer, Count);
    if (n < 0) return Fail(errno);
    if (Read) *Read = static_cast<DWORD>(n);
    if (ov) TCommDevice::Complete(ov, 0, static_cast<DWORD>(n));
    return Ok();
  }
  std::lock_guard lk(h->M);
  // Reads return at once with what has arrived (the time-outs the port sets).
  bool wasFull = h->InQ.size() >= h->InCap;
  size_t n = h->InQ.Take(Buffer, Count);
  if (n == 0 && Count > 0 && h->HungUp) return Fail(static_cast<DWORD>(h->HangupError));
  if (wasFull && h->InQ.size() < h->InCap) h->Wake();
  // Bytes left behind get an event of their own: while the queue is full nothing new arrives
  // to raise one.
  if (n > 0 && h->InQ.size() > 0) h->Raise(EV_RXCHAR);
  if (Read) *Read = static_cast<DWORD>(n);
  if (ov) TCommDevice::Complete(ov, 0, static_cast<DWORD>(n));
  return Ok();
}

BOOL WriteFile(HANDLE h, const void* Buffer, DWORD Count, DWORD* Written, OVERLAPPED* ov) {
  if (!h) return Fail(EBADF);
  const char* p = static_cast<const char*>(Buffer);
  if (!h->IsChar) {
    ssize_t n = h->Sys->Write(h->Fd, p, Count);
    if (n < 0) return Fail(errno);
    if (Written) *Written = static_cast<DWORD>(n);
    if (ov) TCommDevice::Complete(ov, 0, static_cast<DWORD>(n));
    return Ok();
  }
  std::lock_guard lk(h->M);
  if (h->HungUp) return Fail(static_cast<DWORD>(h->HangupError));
  size_t done = 0;
  if (h->OutQ.empty()) {
    while (done < Count) {
      ssize_t n = h->Sys->Write(h->Fd, p + done, Count - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        return Fail(errno);
      }
      done += static_cast<size_t>(n);
    }
  }
  if (done == Count) {
    if (Written) *Written = Count;
    if (ov) TCommDevice::Complete(ov, 0, Count);
    // Whoever reads the answer tells that the bytes have left; the timer, when none comes.
    h->TxCheck = true;
    TCommDevice::Arm(h->TxTimer, 5);
    return Ok();
  }
  TCommDevice::WriteReq req;
  req.Data.assign(p, Count);
  req.Off = done;
  req.Ov = ov;
  if (ov) ov->Internal = ERROR_IO_PENDING;
  h->OutQ.push_back(std::move(req));
  h->WakeIo();
  return Fail(ERROR_IO_PENDING);
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* Transferred, BOOL Wait) {
  if (!h || !ov) return Fail(EINVAL);
  for (;;) {
    {
      std::lock_guard lk(h->M);
      if (ov->Internal != ERROR_IO_PENDING) {
        if (Transferred) *Transferred = ov->InternalHigh;
        return ov->Internal == 0 ? Ok() : Fail(ov->Internal);
      }
    }
    if (!Wait || !ov->hEvent) return Fail(ERROR_IO_INCOMPLETE);
    ov->hEvent->WaitFor(Framework::INFINITE);
  }
}

BOOL CancelIoEx(HANDLE h, OVERLAPPED* ov) {
  if (!h) return Fail(EBADF);
  std::lock_guard lk(h->M);
  bool found = false;
  if (h->WaitOv && (!ov || h->WaitOv == ov)) {
    TCommDevice::Complete(h->WaitOv, ERROR_OPERATION_ABORTED, 0);
    h->WaitOv = nullptr;
    h->WaitMask = nullptr;
    found = true;
  }
  for (auto it = h->OutQ.begin(); it != h->OutQ.end();) {
    if (!ov || it->Ov == ov) {
      if (it->Ov) TCommDevice::Complete(it->Ov, ERROR_OPERATION_ABORTED, static_cast<DWORD>(it->Off));
      it = h->OutQ.erase(it);
      found = true;
    } else {
      ++it;
    }
  }
  return found ? Ok() : Fail(ENOENT);
}

}  // namespace Halyard::Platform

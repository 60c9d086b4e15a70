#pragma once
// A scripted serial device behind the platform seam: a socket pair carries the bytes, and the
// test sets the modem lines, the kernel's error counters and the transmitter state that a
// pseudo-terminal lacks, all reaching the real I/O threads and event thread.
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>

#include "halyard/platform/SerialSystem.h"

namespace HalyardTest {

class TScriptedSerial : public Halyard::Platform::ISerialSystem {
 public:
  static constexpr const char* kPath = "/scripted/ttyS0";

  TScriptedSerial() {
    int sv[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    DeviceFd_ = sv[0];
    Peer_ = sv[1];
    Halyard::Platform::SetSerialSystem(this);
  }
  ~TScriptedSerial() override {
    Halyard::Platform::SetSerialSystem(nullptr);
    ::close(Peer_);
    if (DeviceFd_ >= 0) ::close(DeviceFd_);
  }

  int Peer() const { return Peer_; }
  void SendFromDevice(const std::string& s) { [[maybe_unused]] auto n = ::write(Peer_, s.data(), s.size()); }

  // Changes the lines and counters and wakes the line watcher once, as one hardware interrupt.
  void Fire(int lines, int breaks = 0, int frames = 0, int overruns = 0, int parity = 0) {
    std::lock_guard lk(M_);
    Lines_ = lines;
    Counters_.brk += breaks;
    Counters_.frame += frames;
    Counters_.overrun += overruns;
    Counters_.parity += parity;
    ++Fires_;
    Cv_.notify_all();
  }
  // A line that goes up and down again within one interrupt: the kernel's counters show it,
  // the line bits do not.
  void Pulse(int lines) {
    std::lock_guard lk(M_);
    if (lines & TIOCM_CTS) Counters_.cts += 2;
    if (lines & TIOCM_DSR) Counters_.dsr += 2;
    if (lines & TIOCM_CD) Counters_.dcd += 2;
    ++Fires_;
    Cv_.notify_all();
  }
  int LineReads() const {
    std::lock_guard lk(M_);
    return LineReads_;
  }
  int EmptyReports() const {
    std::lock_guard lk(M_);
    return EmptyReports_;
  }
  termios Termios() const {
    std::lock_guard lk(M_);
    return Termios_;
  }
  int ModemBits() const {
    std::lock_guard lk(M_);
    return SetBits_;
  }

  int Open(const char* path, int flags) override {
    if (std::string(path) != kPath) return ISerialSystem::Open(path, flags);
    return DeviceFd_;
  }
  int Close(int fd) override {
    if (fd != DeviceFd_) return ISerialSystem::Close(fd);
    return 0;  // the socket stays for the next open
  }
  ssize_t Read(int fd, void* b, size_t n) override {
    ssize_t r = ISerialSystem::Read(fd, b, n);
    if (fd == DeviceFd_ && r > 0) {
      std::lock_guard lk(M_);
      BytesRead_ += static_cast<size_t>(r);
    }
    return r;
  }
  size_t BytesRead() const {
    std::lock_guard lk(M_);
    return BytesRead_;
  }
  int FStat(int fd, struct stat* st) override {
    int r = ISerialSystem::FStat(fd, st);
    if (fd == DeviceFd_) st->st_mode = (st->st_mode & ~S_IFMT) | S_IFCHR;
    return r;
  }
  int Flock(int fd, int op) override { return fd == DeviceFd_ ? 0 : ISerialSystem::Flock(fd, op); }
  int TcGetAttr(int fd, termios* t) override {
    if (fd != DeviceFd_) return ISerialSystem::TcGetAttr(fd, t);
    std::lock_guard lk(M_);
    *t = Termios_;
    return 0;
  }
  int TcSetAttr(int fd, int a, const termios* t) override {
    if (fd != DeviceFd_) return ISerialSystem::TcSetAttr(fd, a, t);
    std::lock_guard lk(M_);
    Termios_ = *t;
    return 0;
  }
  int TcFlush(int fd, int q) override { return fd == DeviceFd_ ? 0 : ISerialSystem::TcFlush(fd, q); }
  int TcFlow(int fd, int a) override { return fd == DeviceFd_ ? 0 : ISerialSystem::TcFlow(fd, a); }
  int Ioctl(int fd, unsigned long req, void* arg) override {
    if (fd != DeviceFd_) return ISerialSystem::Ioctl(fd, req, arg);
    std::unique_lock lk(M_);
    switch (req) {
      case TIOCMGET:
        *static_cast<int*>(arg) = Lines_ | SetBits_;
        if (Fires_ > 0) ++LineReads_;
        FiresSeen_ = Fires_;
        return 0;
      case TIOCMBIS: SetBits_ |= *static_cast<int*>(arg); return 0;
      case TIOCMBIC: SetBits_ &= ~*static_cast<int*>(arg); return 0;
      case TIOCGICOUNT: *static_cast<serial_icounter_struct*>(arg) = Counters_; return 0;
      case TIOCSERGETLSR:
        *static_cast<unsigned*>(arg) = TIOCSER_TEMT;
        ++EmptyReports_;
        return 0;
      case TIOCOUTQ: *static_cast<int*>(arg) = 0; return 0;
      case TIOCSBRK: case TIOCCBRK: return 0;
      case TIOCMIWAIT: {
        // Like the kernel's, but a change the caller has not read yet is not missed.
        Cv_.wait(lk, [&] { return Fires_ != FiresSeen_ || Interrupted_; });
        if (Interrupted_) {
          Interrupted_ = false;
          errno = EINTR;
          return -1;
        }
        return 0;
      }
      default: errno = ENOTTY; return -1;
    }
  }
  void InterruptModemWait(pthread_t) override {
    std::lock_guard lk(M_);
    Interrupted_ = true;
    Cv_.notify_all();
  }

 private:
  int DeviceFd_ = -1;
  int Peer_ = -1;
  mutable std::mutex M_;
  std::condition_variable Cv_;
  termios Termios_{};
  int Lines_ = 0;
  int SetBits_ = 0;
  int Fires_ = 0;
  int FiresSeen_ = 0;
  int LineReads_ = 0;
  int EmptyReports_ = 0;
  bool Interrupted_ = false;
  size_t BytesRead_ = 0;
  serial_icounter_struct Counters_{};
};

}  // namespace HalyardTest

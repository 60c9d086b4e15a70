#pragma once
// A pseudo-terminal pair: the component opens the slave by name, the test speaks on the master.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

namespace HalyardTest {

class TPtyPair {
 public:
  TPtyPair() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&Master_, &slave, name, nullptr, nullptr) < 0) throw std::runtime_error("openpty failed");
    SlavePath_ = name;
    // Raw from the start, so nothing written before the port opens is echoed or translated.
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    Slave_ = slave;  // kept open so the master never sees a hang-up between users
    ::fcntl(Master_, F_SETFL, ::fcntl(Master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(Master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(Slave_, F_SETFD, FD_CLOEXEC);
  }
  TPtyPair(const TPtyPair&) = delete;
  TPtyPair& operator=(const TPtyPair&) = delete;
  ~TPtyPair() {
    if (Master_ >= 0) ::close(Master_);
    ::close(Slave_);
  }

  const std::string& SlavePath() const { return SlavePath_; }
  // Hangs up the line, as pulling the cable does: the slave's users see POLLHUP and EIO.
  void CloseMaster() {
    if (Master_ >= 0) ::close(Master_);
    Master_ = -1;
  }
  int Master() const { return Master_; }
  int Slave() const { return Slave_; }

  // Writes all of s on the master (waiting while the slave's buffer is full).
  void Write(const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::write(Master_, s.data() + done, s.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{Master_, POLLOUT, 0};
        ::poll(&p, 1, 1000);
      }
    }
  }

  // One non-blocking write; returns what the slave took.
  size_t TryWrite(const std::string& s) {
    ssize_t n = ::write(Master_, s.data(), s.size());
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  // Reads until n bytes have come or the deadline passes.
  std::string Read(size_t n, int timeoutMs = 5000) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{Master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      ssize_t r = ::read(Master_, buf, std::min(sizeof buf, n - out.size()));
      if (r > 0) out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }

  // Reads until the text contains `until` or the deadline passes.
  std::string ReadUntil(const std::string& until, int timeoutMs = 5000) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (out.find(until) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{Master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      ssize_t r = ::read(Master_, buf, sizeof buf);
      if (r > 0) out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }

 private:
  int Master_ = -1;
  int Slave_ = -1;
  std::string SlavePath_;
};

// Waits, without sleeping blindly, until cond() holds or the deadline passes; pumps the
// main-thread queue meanwhile when asked to.
template <class Cond>
bool WaitFor(Cond cond, int timeoutMs = 5000, bool pump = false);

}  // namespace HalyardTest

#include "halyard/framework/Threads.h"

template <class Cond>
bool HalyardTest::WaitFor(Cond cond, int timeoutMs, bool pump) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (pump) Halyard::Framework::Application().HandleMessage(2);
    else ::poll(nullptr, 0, 1);
  }
  return true;
}

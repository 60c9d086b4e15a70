#pragma once
// A pseudo-terminal pair: the component opens the slave by name, the test speaks on the master.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "halyard/platform/Pty.h"

namespace HalyardTest {

class TPtyPair {
 public:
  TPtyPair() { ::fcntl(Pty_.Master(), F_SETFL, ::fcntl(Pty_.Master(), F_GETFL) | O_NONBLOCK); }

  const std::string& SlavePath() const { return Pty_.SlavePath(); }
  void CloseMaster() { Pty_.CloseMaster(); }
  int Master() const { return Pty_.Master(); }
  int Slave() const { return Pty_.Slave(); }

  // Writes all of s on the master (waiting while the slave's buffer is full).
  void Write(const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::write(Pty_.Master(), s.data() + done, s.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{Pty_.Master(), POLLOUT, 0};
        ::poll(&p, 1, 1000);
      }
    }
  }

  // One non-blocking write; returns what the slave took.
  size_t TryWrite(const std::string& s) {
    ssize_t n = ::write(Pty_.Master(), s.data(), s.size());
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
      pollfd p{Pty_.Master(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      ssize_t r = ::read(Pty_.Master(), buf, std::min(sizeof buf, n - out.size()));
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
      pollfd p{Pty_.Master(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      ssize_t r = ::read(Pty_.Master(), buf, sizeof buf);
      if (r > 0) out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }

 private:
  Halyard::Platform::TPseudoTerminal Pty_;
};

// The message of what f raises, or "" when it raises nothing.
inline std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Entries in a /proc folder of this process: its threads ("task") or descriptors ("fd").
inline int ProcEntries(const char* name) {
  int n = 0;
  if (DIR* d = ::opendir((std::string("/proc/self/") + name).c_str())) {
    while (readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

// Waits, without sleeping blindly, until cond() holds or the deadline passes; pumps the
// main-thread queue meanwhile when asked to.
template <class Cond>
bool WaitFor(Cond cond, int timeoutMs = 5000, bool pump = false);

// This process's threads, counted once the threads already joined have left /proc: a
// joined thread's task entry lingers while the kernel finishes its exit, and a count taken
// then is one too high for the rest of a test.
inline int SettledThreads() {
  int low = ProcEntries("task"), same = 0;
  for (int i = 0; i < 200 && same < 5; ++i) {
    ::poll(nullptr, 0, 10);
    int n = ProcEntries("task");
    same = n == low ? same + 1 : 0;
    if (n < low) low = n;
  }
  return low;
}

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

#pragma once
// Programs the tests run: to their end, in the background, and gsmsim on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GsmsimProcess.h"

namespace HalyardTest {

namespace fs = std::filesystem;

inline bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((fs::path(dir) / program).c_str(), X_OK) == 0) return true;
  return false;
}

struct TRun {
  int Status = -1;  // exit status, or -1 when killed at the time-out
  std::string Output;  // standard output and error
};

// In a forked child: a process group of its own, input from /dev/null, output to OutFd
// (standard output and error), the pty shim preloaded when asked; then the program.
[[noreturn]] inline void ExecChild(const std::vector<std::string>& Args, bool Shim, int OutFd) {
  ::setpgid(0, 0);
  int devnull = ::open("/dev/null", O_RDWR);
  ::dup2(devnull, 0);
  ::dup2(OutFd < 0 ? devnull : OutFd, 1);
  ::dup2(OutFd < 0 ? devnull : OutFd, 2);
  if (Shim) ::setenv("LD_PRELOAD", HALYARD_PTY_SHIM, 1);
  std::vector<char*> argv;
  for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  _exit(127);
}

// Runs a program to its end, at most Seconds.
inline TRun RunProgram(const std::vector<std::string>& Args, bool Shim = false, int Seconds = 60) {
  int out[2];
  if (::pipe(out) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    ExecChild(Args, Shim, out[1]);
  }
  ::close(out[1]);
  TRun r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(-pid, SIGKILL);
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    r.Output.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int st = 0;
  ::waitpid(pid, &st, 0);
  r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// A program left running in the background until the end of the scope; its output is dropped.
class TBackground {
 public:
  // Output to OutFd (closed here) or dropped.
  TBackground(const std::vector<std::string>& Args, bool Shim, int OutFd = -1) {
    Pid_ = ::fork();
    if (Pid_ == 0) ExecChild(Args, Shim, OutFd);
    if (OutFd >= 0) ::close(OutFd);
  }
  pid_t Pid() const { return Pid_; }
  // SIGKILL at once: what a crash leaves behind.
  void Kill() {
    if (Pid_ <= 0) return;
    ::kill(-Pid_, SIGKILL);
    ::waitpid(Pid_, nullptr, 0);
    Pid_ = -1;
  }
  // SIGTERM, then the exit status (-1 after 10 s or a signal).
  int Terminate() {
    if (Pid_ <= 0) return -1;
    ::kill(-Pid_, SIGTERM);
    int st = 0;
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(Pid_, &st, WNOHANG) == Pid_) {
        Pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Kill();
    return -1;
  }
  ~TBackground() {
    if (Pid_ <= 0) return;
    ::kill(-Pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(Pid_, nullptr, WNOHANG) == Pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(-Pid_, SIGKILL);
    ::waitpid(Pid_, nullptr, 0);
  }

 private:
  pid_t Pid_ = -1;
};

// One gsmsim on a pseudo-terminal, with a control FIFO and a log of its traffic.
class TSim : public TGsmsimProcess {
 public:
  using TGsmsimProcess::TGsmsimProcess;
  // All it received, as the log shows it (control characters escaped), whatever the chunks.
  std::string Received() const {
    std::ifstream in(Log());
    std::string all;
    for (std::string line; std::getline(in, line);)
      if (line.rfind("< ", 0) == 0) all += line.substr(2);
    return all;
  }
  void Control(const std::string& Line) const { ASSERT_TRUE(Send(Line)) << Line; }
};

}  // namespace HalyardTest

#pragma once
// gsmsim in a process of its own on a pseudo-terminal, with a control FIFO and a log of its
// traffic: the tests' modem peer, and the benchmarks' (so the measured process holds only the
// gateway). Without GoogleTest, so that the benchmarks can use it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace HalyardTest {

class TGsmsimProcess {
 public:
  explicit TGsmsimProcess(const std::filesystem::path& Dir, const std::string& Number = "+15550000001",
                          const std::string& Model = "TC35", const std::vector<std::string>& Extra = {})
      : Dir_(Dir) {
    std::string exe = std::string(HALYARD_BINARY_DIR) + "/tools/gsmsim";
    std::vector<std::string> argv = {exe,   "--link", Modem(),  "--control", Fifo(), "--log",
                                     Log(), "--number", Number, "--model",   Model};
    argv.insert(argv.end(), Extra.begin(), Extra.end());
    // A modem and a SIM of its own: an IMEI and an ICCID from its number, unless the test gives
    // them (a gateway refuses two modems with one IMEI).
    std::string digits;
    for (char c : Number)
      if (c >= '0' && c <= '9') digits += c;
    digits = std::string(7, '0') + digits;
    digits = digits.substr(digits.size() - 7);
    if (std::find(Extra.begin(), Extra.end(), "--imei") == Extra.end())
      argv.insert(argv.end(), {"--imei", "49015420" + digits});
    if (std::find(Extra.begin(), Extra.end(), "--iccid") == Extra.end())
      argv.insert(argv.end(), {"--iccid", "890010101234" + digits});
    std::filesystem::create_directories(Dir_);
    int out[2];
    if (::pipe(out) != 0) return;
    Pid_ = ::fork();
    if (Pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      ::execv(exe.c_str(), args.data());
      _exit(127);
    }
    ::close(out[1]);
    char c;  // its first line says it serves
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
    }
    ::close(out[0]);
    for (int i = 0; i < 200 && !std::filesystem::exists(Fifo()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~TGsmsimProcess() {
    if (Pid_ > 0) {
      ::kill(Pid_, SIGTERM);
      ::waitpid(Pid_, nullptr, 0);
    }
  }
  TGsmsimProcess(const TGsmsimProcess&) = delete;
  TGsmsimProcess& operator=(const TGsmsimProcess&) = delete;

  bool Started() const { return Pid_ > 0 && std::filesystem::exists(Fifo()); }
  std::string Modem() const { return (Dir_ / "modem").string(); }
  std::string Log() const { return (Dir_ / "traffic.log").string(); }
  // One control line ("sms NUMBER TEXT", ...); false when it could not be written.
  bool Send(const std::string& Line) const {
    int fd = ::open(Fifo().c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return false;
    std::string l = Line + "\n";
    bool ok = ::write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    ::close(fd);
    return ok;
  }

 private:
  std::string Fifo() const { return (Dir_ / "control").string(); }
  std::filesystem::path Dir_;
  pid_t Pid_ = -1;
};

}  // namespace HalyardTest

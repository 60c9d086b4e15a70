#pragma once
// A scripted modem on the master side of a pseudo-terminal: it answers commands by rules,
// echoes them if asked, speaks the ">" prompt of two-stage commands, injects unsolicited
// lines, and records what it received.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"

namespace HalyardTest {

class TScriptedModem {
 public:
  // An answer: chunks written in order with a pause before each one after the first.
  struct TReply {
    std::vector<std::string> Chunks;
    int PauseMs = 0;
    bool Prompt = false;                   // two-stage: "> " first, Chunks after the body's Ctrl-Z
    std::string PromptText = "\r\n> ";     // what the prompt is written as (with reports around it)
    int PromptDelayMs = 0;                 // how long the prompt takes
    std::vector<int> PromptDelays;         // per attempt, overriding PromptDelayMs; -1: none
    bool Silent = false;
  };

  explicit TScriptedModem(TPtyPair& pty) : Pty_(pty) {
    int p[2];
    [[maybe_unused]] int r = ::pipe(p);
    StopR_ = p[0];
    StopW_ = p[1];
    Thread_ = std::thread([this] { Run(); });
  }
  ~TScriptedModem() {
    [[maybe_unused]] ssize_t n = ::write(StopW_, "x", 1);
    Thread_.join();
    ::close(StopR_);
    ::close(StopW_);
  }

  void SetEcho(bool on) { Echo_ = on; }
  // Answers every command with what the function returns (nothing for an empty text), in
  // place of the rules: a plain Hayes dialogue.
  using TAnswer = std::function<std::string(const std::string& Command)>;
  void SetAnswer(TAnswer a) {
    std::lock_guard lk(M_);
    Answer_ = std::move(a);
  }
  // The line end of every answer line ("\r\n" by default; "\n" or "\r" to test framing).
  void SetLineEnd(const std::string& e) {
    std::lock_guard lk(M_);
    LineEnd_ = e;
  }
  // Rule for a command, matched in capitals: exact text first, then the longest prefix.
  void On(const std::string& cmd, TReply reply) {
    std::lock_guard lk(M_);
    Rules_[cmd] = std::move(reply);
  }
  // Answer lines, each framed "\r\n<line>\r\n" as a modem does.
  void Answer(const std::string& cmd, const std::vector<std::string>& lines, int pauseMs = 0) {
    TReply r;
    for (auto& l : lines) r.Chunks.push_back(Framed(l));
    r.PauseMs = pauseMs;
    On(cmd, std::move(r));
  }
  std::string Framed(const std::string& line) {
    std::lock_guard lk(M_);
    return LineEnd_ == "\r\n" ? "\r\n" + line + "\r\n" : line + LineEnd_;
  }
  void Inject(const std::string& raw) { Pty_.Write(raw); }

  std::vector<std::string> Received() {
    std::lock_guard lk(M_);
    return Received_;
  }
  std::vector<std::string> Bodies() {
    std::lock_guard lk(M_);
    return Bodies_;
  }
  int Count(const std::string& cmd) {
    std::lock_guard lk(M_);
    int n = 0;
    for (auto& r : Received_) n += r == cmd;
    return n;
  }

 private:
  const TReply* Find(const std::string& cmd) {
    std::string u = cmd;
    u.erase(0, u.find_first_not_of(' '));
    u.erase(u.find_last_not_of(' ') + 1);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto it = Rules_.find(u);
    if (it != Rules_.end()) return &it->second;
    const TReply* best = nullptr;
    size_t bestLen = 0;
    for (auto& [k, v] : Rules_)
      if (u.rfind(k, 0) == 0 && k.size() > bestLen) best = &v, bestLen = k.size();
    return best;
  }
  bool Sleep(int ms) {  // false when told to stop
    pollfd p{StopR_, POLLIN, 0};
    return ms <= 0 || ::poll(&p, 1, ms) == 0;
  }
  void Run() {
    std::string buf;
    bool inBody = false;
    TReply pending;
    char tmp[4096];
    for (;;) {
      pollfd fds[2] = {{Pty_.Master(), POLLIN, 0}, {StopR_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      ssize_t n = ::read(Pty_.Master(), tmp, sizeof tmp);
      if (n <= 0) continue;
      buf.append(tmp, static_cast<size_t>(n));
      if (!inBody && buf == "+++") {  // the escape, alone between two guard times
        buf.clear();
        Command("+++");
        continue;
      }
      for (;;) {
        if (inBody) {
          size_t z = buf.find('\x1A');
          if (z == std::string::npos) break;
          {
            std::lock_guard lk(M_);
            Bodies_.push_back(buf.substr(0, z));
          }
          buf.erase(0, z + 1);
          inBody = false;
          if (!Reply(pending)) return;
          continue;
        }
        size_t cr = buf.find('\r');
        if (cr == std::string::npos) break;
        std::string cmd = buf.substr(0, cr);
        buf.erase(0, cr + 1);
        while (!cmd.empty() && (cmd[0] == '\n')) cmd.erase(0, 1);
        if (cmd.empty()) continue;
        TReply reply;
        int attempt;
        {
          std::lock_guard lk(M_);
          Received_.push_back(cmd);
          attempt = 0;
          for (auto& r : Received_) attempt += r == cmd;
          const TReply* r = Answer_ ? nullptr : Find(cmd);
          if (Answer_) {
            std::string a = Answer_(cmd);
            if (!a.empty()) reply.Chunks = {a};
          } else if (r) {
            reply = *r;
          } else {
            reply.Chunks = {"\r\nERROR\r\n"};
          }
        }
        if (Echo_) {  // modems drop the blanks around a command line
          std::string echo = cmd;
          echo.erase(0, echo.find_first_not_of(' '));
          echo.erase(echo.find_last_not_of(' ') + 1);
          Pty_.Write(echo + "\r");
        }
        if (reply.Silent) continue;
        if (reply.Prompt) {
          int delay = reply.PromptDelays.size() >= static_cast<size_t>(attempt) ? reply.PromptDelays[attempt - 1]
                                                                                 : reply.PromptDelayMs;
          if (delay < 0) continue;  // this attempt never gets its prompt
          if (!Sleep(delay)) return;
          Pty_.Write(reply.PromptText);
          pending = reply;
          inBody = true;
          continue;
        }
        if (!Reply(reply)) return;
      }
    }
  }
  void Command(const std::string& cmd) {  // a command outside the line rules: record, answer
    std::string a;
    {
      std::lock_guard lk(M_);
      Received_.push_back(cmd);
      if (Answer_) a = Answer_(cmd);
    }
    if (!a.empty()) Pty_.Write(a);
  }
  bool Reply(const TReply& r) {
    for (size_t i = 0; i < r.Chunks.size(); ++i) {
      if (i > 0 && !Sleep(r.PauseMs)) return false;
      Pty_.Write(r.Chunks[i]);
    }
    return true;
  }

  TPtyPair& Pty_;
  std::thread Thread_;
  int StopR_ = -1, StopW_ = -1;
  std::atomic<bool> Echo_{true};
  std::mutex M_;
  std::string LineEnd_ = "\r\n";
  std::map<std::string, TReply> Rules_;
  TAnswer Answer_;
  std::vector<std::string> Received_;
  std::vector<std::string> Bodies_;
};

}  // namespace HalyardTest

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "halyard/platform/Tapi.h"

namespace Halyard::Platform {

namespace {

class THayesLine : public ITapiLineDevice {
 public:
  THayesLine(std::string Name, std::string Port, std::string Init, int ConnectTimeout)
      : Name_(std::move(Name)), Port_(std::move(Port)), Init_(std::move(Init)), ConnectTimeout_(ConnectTimeout) {}
  ~THayesLine() override { Stop(); }

  std::string Name() const override { return Name_; }

  void MakeCall(DWORD RequestID, HCALL Call, const std::string& Dialable, bool PassThrough) override {
    std::thread old;
    {
      std::lock_guard lk(M_);
      if (Call_ != 0) {
        TapiCompleteRequest(RequestID, LINEERR_INUSE);
        return;
      }
      old = std::move(Worker_);
    }
    // Joined outside the lock: the worker takes it on its way out.
    if (old.joinable()) old.join();
    std::lock_guard lk(M_);
    Call_ = Call;
    Connected_ = false;
    Cancel_ = false;
    Worker_ = std::thread([this, RequestID, Call, Dialable, PassThrough] { Dial(RequestID, Call, Dialable, PassThrough); });
  }

  void Answer(DWORD RequestID, HCALL) override { TapiCompleteRequest(RequestID, LINEERR_OPERATIONUNAVAIL); }

  void Drop(DWORD RequestID, HCALL Call) override {
    std::thread old;
    {
      std::lock_guard lk(M_);
      if (Call != Call_) {
        TapiCompleteRequest(RequestID, LINEERR_INVALCALLHANDLE);
        return;
      }
      Cancel_ = true;
      old = std::move(Worker_);
    }
    if (old.joinable()) old.join();
    std::lock_guard lk(M_);
    Cancel_ = false;
    bool wasConnected = Connected_;
    Connected_ = false;
    Worker_ = std::thread([this, RequestID, Call, wasConnected] {
      if (wasConnected) HangUp();
      TapiCompleteRequest(RequestID, 0);
      TapiSetCallState(Call, LINECALLSTATE_IDLE, 0);
    });
  }

  void Release(HCALL Call) override {
    std::lock_guard lk(M_);
    if (Call == Call_) {
      Cancel_ = true;
      Call_ = 0;
    }
  }

  std::string PortName(HCALL Call) const override {
    std::lock_guard lk(M_);
    return Call == Call_ && Connected_ ? Port_ : std::string();
  }

 private:
  void Stop() {
    std::thread old;
    {
      std::lock_guard lk(M_);
      Cancel_ = true;
      old = std::move(Worker_);
    }
    if (old.joinable()) old.join();
  }

  // Raw, and without hang-up on close: the call must outlive this descriptor.
  int OpenPort() const {
    int fd = ::open(Port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
      ::cfmakeraw(&t);
      t.c_cflag &= ~HUPCL;
      t.c_cflag |= CLOCAL | CREAD;
      ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
  }

  static void Put(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::write(fd, s.data() + done, s.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return;
      } else {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }

  // Sends Cmd and waits for a line that begins with one of Answers; -1 on time-out or cancel.
  int Exchange(int fd, const std::string& Cmd, const std::vector<std::string>& Answers, int TimeoutMs) {
    Put(fd, Cmd + "\r");
    std::string text = "\r";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Cancel_ && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) continue;
      for (ssize_t i = 0; i < n; ++i) text += buf[i] == '\n' ? '\r' : buf[i];
      if (text.size() > 4096) text.erase(0, text.size() - 4096);
      for (size_t i = 0; i < Answers.size(); ++i) {
        size_t at = text.find("\r" + Answers[i]);
        // Only a whole answer line counts.
        if (at != std::string::npos && text.find('\r', at + 1) != std::string::npos) return static_cast<int>(i);
      }
    }
    return -1;
  }

  void Dial(DWORD RequestID, HCALL Call, std::string Dialable, bool PassThrough) {
    int fd = OpenPort();
    if (fd < 0) {
      TapiCompleteRequest(RequestID, LINEERR_RESOURCEUNAVAIL);
      return;
    }
    TapiCompleteRequest(RequestID, 0);
    TapiSetCallState(Call, LINECALLSTATE_DIALTONE, 0x01);
    DWORD state = LINECALLSTATE_DISCONNECTED, mode = LINEDISCONNECTMODE_NORMAL;
    if (Exchange(fd, Init_, {"OK"}, 2000) != 0) {
      mode = 0x0800;  // unavailable: the modem does not answer
    } else if (PassThrough) {
      state = LINECALLSTATE_CONNECTED;
      mode = 0;
    } else {
      TapiSetCallState(Call, LINECALLSTATE_DIALING, 0);
      int r = Exchange(fd, "ATDT" + Dialable, {"CONNECT", "BUSY", "NO CARRIER", "NO DIALTONE", "NO ANSWER"},
                       ConnectTimeout_);
      static const DWORD modes[] = {0, LINEDISCONNECTMODE_BUSY, 0x0100 /* unreachable */,
                                    LINEDISCONNECTMODE_NODIALTONE, LINEDISCONNECTMODE_NOANSWER};
      if (r == 0) {
        state = LINECALLSTATE_CONNECTED;
        mode = 0;
      } else if (r > 0) {
        mode = modes[r];
      } else {
        mode = LINEDISCONNECTMODE_NOANSWER;
        Put(fd, "\r");  // any character ends a dial in progress
      }
    }
    ::close(fd);
    if (Cancel_) return;
    {
      std::lock_guard lk(M_);
      if (Call != Call_) return;
      Connected_ = state == LINECALLSTATE_CONNECTED;
    }
    TapiSetCallState(Call, state, mode);
  }

  void HangUp() {
    int fd = OpenPort();
    if (fd < 0) return;
    // The escape needs a guard time of silence on either side.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    Put(fd, "+++");
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    Exchange(fd, "ATH", {"OK"}, 2000);
    ::close(fd);
  }

  std::string Name_, Port_, Init_;
  int ConnectTimeout_;
  mutable std::mutex M_;
  std::thread Worker_;
  std::atomic<bool> Cancel_{false};
  HCALL Call_ = 0;
  bool Connected_ = false;
};

}  // namespace

std::shared_ptr<ITapiLineDevice> MakeHayesLineDevice(const std::string& Name, const std::string& PortName,
                                                     const std::string& InitCommand, int ConnectTimeout) {
  return std::make_shared<THayesLine>(Name, PortName, InitCommand, ConnectTimeout);
}

}  // namespace Halyard::Platform

#include "halyard/framework/Threads.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

namespace Halyard::Framework {

using Clock = std::chrono::steady_clock;

namespace {
Clock::time_point Deadline(uint32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }
}  // namespace

// --- TEvent --------------------------------------------------------------------------------

TEvent::~TEvent() {
  std::unique_lock lk(M_);
  Abandoned_ = true;
  Cv_.notify_all();
  Cv_.wait(lk, [&] { return Waiters_ == 0; });
  if (PollFd_ >= 0) ::close(PollFd_);
}

void TEvent::SetEvent() {
  std::lock_guard lk(M_);
  Signaled_ = true;
  Cv_.notify_all();
  PokePoller();
}

void TEvent::PokePoller() {
  if (!Polling_ || Poked_) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(PollFd_, &one, sizeof one);
  Poked_ = true;
}

int TEvent::PollFd() {
  std::lock_guard lk(M_);
  if (PollFd_ < 0) PollFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return PollFd_;
}

bool TEvent::BeginPoll(TWaitResult& Result) {
  std::lock_guard lk(M_);
  if (Signaled_ || Abandoned_) {
    Result = Signaled_ ? wrSignaled : wrAbandoned;
    return false;
  }
  Polling_ = PollFd_ >= 0;
  return Polling_;
}

void TEvent::EndPoll() {
  std::lock_guard lk(M_);
  Polling_ = false;
  if (Poked_) {
    uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(PollFd_, &count, sizeof count);
    Poked_ = false;
  }
}

void TEvent::Notify() {
  std::lock_guard lk(M_);
  PokePoller();
}

void TEvent::ResetEvent() {
  std::lock_guard lk(M_);
  Signaled_ = false;
}

bool TEvent::Signaled() const {
  std::lock_guard lk(M_);
  return Signaled_;
}

void TEvent::Abandon() {
  std::lock_guard lk(M_);
  Abandoned_ = true;
  Cv_.notify_all();
  PokePoller();
}

TWaitResult TEvent::WaitFor(uint32_t Timeout) {
  std::unique_lock lk(M_);
  ++Waiters_;
  auto ready = [&] { return Signaled_ || Abandoned_; };
  bool ok = true;
  if (Timeout == INFINITE) Cv_.wait(lk, ready);
  else ok = Cv_.wait_until(lk, Deadline(Timeout), ready);
  --Waiters_;
  TWaitResult r = Signaled_ ? wrSignaled : Abandoned_ ? wrAbandoned : ok ? wrError : wrTimeout;
  if (Waiters_ == 0) Cv_.notify_all();
  return r;
}

// --- TApplication --------------------------------------------------------------------------

struct TApplication::Call {
  TThreadMethod Method;
  bool Sync = false;
  std::thread::id Caller;
  std::mutex M;
  std::condition_variable Cv;
  bool Done = false;
  std::exception_ptr Error;
};

TApplication::TApplication() : MainThreadID_(std::this_thread::get_id()) {}

TApplication& Application() {
  static TApplication app;
  return app;
}

namespace {
// The threads whose Synchronize calls this thread is running, innermost last.
thread_local std::vector<std::thread::id> tServing;

// The main thread is the one that loads the library: create the object there.
[[maybe_unused]] const bool kApplicationCreated = (Application(), true);
}  // namespace

std::string TApplication::Title() const {
  std::lock_guard lk(M_);
  return Title_;
}

void TApplication::SetTitle(const std::string& Value) {
  std::lock_guard lk(M_);
  Title_ = Value;
}

void TApplication::SetOnException(TExceptionEvent Handler) {
  std::lock_guard lk(M_);
  OnException_ = std::move(Handler);
}

void TApplication::HandleException(const std::exception_ptr& E) {
  if (!E) return;
  TExceptionEvent handler;
  {
    std::lock_guard lk(M_);
    handler = OnException_;
  }
  if (handler) {
    handler(E);
    return;
  }
  try {
    std::rethrow_exception(E);
  } catch (const EAbort&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Unknown exception\n");
  }
}

void TApplication::HandleException(const std::exception& E) {
  // Rebuild an exception_ptr only for the handler; the default path needs the text alone.
  TExceptionEvent handler;
  {
    std::lock_guard lk(M_);
    handler = OnException_;
  }
  if (handler) {
    handler(std::make_exception_ptr(Exception(E.what())));
    return;
  }
  if (dynamic_cast<const EAbort*>(&E)) return;
  std::fprintf(stderr, "%s\n", E.what());
}

void TApplication::Post(std::shared_ptr<Call> c) {
  {
    std::lock_guard lk(M_);
    Queue_.push_back(std::move(c));
  }
  Cv_.notify_all();
}

void TApplication::Queue(TThreadMethod Method) {
  auto c = std::make_shared<Call>();
  c->Method = std::move(Method);
  Post(std::move(c));
}

void TApplication::Synchronize(const TThreadMethod& Method) {
  if (IsMainThread()) {
    Method();
    return;
  }
  auto c = std::make_shared<Call>();
  c->Method = Method;
  c->Sync = true;
  c->Caller = std::this_thread::get_id();
  Post(c);
  std::exception_ptr error;
  {
    std::unique_lock lk(c->M);
    c->Cv.wait(lk, [&] { return c->Done; });
    // Take the only reference, so the exception is released in this thread.
    error = std::move(c->Error);
  }
  if (error) std::rethrow_exception(error);
}

bool TApplication::IsServing(std::thread::id Thread) const {
  return std::find(tServing.begin(), tServing.end(), Thread) != tServing.end();
}

size_t TApplication::PendingCount() const {
  std::lock_guard lk(M_);
  return Queue_.size();
}

bool TApplication::ProcessMessages() {
  bool any = false;
  for (;;) {
    std::shared_ptr<Call> c;
    {
      std::lock_guard lk(M_);
      if (Queue_.empty()) break;
      c = std::move(Queue_.front());
      Queue_.pop_front();
    }
    any = true;
    std::exception_ptr error;
    if (c->Sync) tServing.push_back(c->Caller);
    try {
      c->Method();
    } catch (...) {
      error = std::current_exception();
    }
    if (c->Sync) tServing.pop_back();
    if (c->Sync) {
      std::lock_guard lk(c->M);
      c->Error = std::move(error);  // the waiting thread releases it
      c->Done = true;
      c->Cv.notify_all();
    } else if (error) {
      HandleException(error);
    }
  }
  return any;
}

void TApplication::Wake() {
  {
    std::lock_guard lk(M_);
    ++WakeCount_;
  }
  Cv_.notify_all();
}

bool TApplication::HandleMessage(uint32_t Timeout) {
  if (ProcessMessages()) return true;
  {
    std::unique_lock lk(M_);
    uint64_t seen = WakeCount_;
    auto pred = [&] { return !Queue_.empty() || WakeCount_ != seen || Terminated_.load(); };
    if (Timeout == INFINITE) Cv_.wait(lk, pred);
    else Cv_.wait_until(lk, Deadline(Timeout), pred);
  }
  return ProcessMessages();
}

bool TApplication::WaitUntil(const std::function<bool()>& Done, uint32_t Timeout) {
  auto deadline = Deadline(Timeout == INFINITE ? 0 : Timeout);
  bool main = IsMainThread();
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard lk(M_);
      seen = WakeCount_;
    }
    if (main) ProcessMessages();
    if (Done()) return true;
    std::unique_lock lk(M_);
    auto pred = [&] { return WakeCount_ != seen || (main && !Queue_.empty()); };
    if (Timeout == INFINITE) {
      Cv_.wait(lk, pred);
    } else if (!Cv_.wait_until(lk, deadline, pred)) {
      lk.unlock();
      if (main) ProcessMessages();
      return Done();
    }
  }
}

void TApplication::Run() {
  Terminated_.store(false);
  while (!Terminated_.load()) HandleMessage(INFINITE);
  ProcessMessages();
}

void TApplication::Terminate() {
  Terminated_.store(true);
  Wake();
}

// --- TThread -------------------------------------------------------------------------------

TThread::TThread() = default;

TThread::~TThread() {
  bool started;
  {
    std::lock_guard lk(M_);
    started = Started_;
  }
  if (started && std::this_thread::get_id() != Id_) {
    if (!Finished_.load()) {
      Terminate();
      WaitFor();
    }
    if (Thread_.joinable()) Thread_.join();
  }
}

void TThread::Start() {
  std::lock_guard lk(M_);
  if (Started_) throw EThread("Thread already started");
  Thread_ = std::thread([this] { Run(); });
  Id_ = Thread_.get_id();
  Started_ = true;
  Cv_.notify_all();
}

void TThread::Run() {
  {
    std::unique_lock lk(M_);
    Cv_.wait(lk, [&] { return Started_; });
  }
  Tid_.store(static_cast<int>(::syscall(SYS_gettid)));
  ApplyPriority();
  try {
    Execute();
  } catch (...) {
    std::lock_guard lk(M_);
    Fatal_ = std::current_exception();
  }
  bool selfFree = FreeOnTerminate_.load();
  if (selfFree) {
    std::lock_guard lk(M_);
    Thread_.detach();
  }
  {
    std::lock_guard lk(M_);
    Finished_.store(true);
  }
  Cv_.notify_all();
  Application().Wake();
  // Last of all that touches shared state, so whoever waits for the release may end the process.
  if (OnRetired_) OnRetired_();
  if (selfFree) delete this;
}

int TThread::WaitFor() {
  if (std::this_thread::get_id() == Id_) throw EThread("A thread cannot wait for itself");
  if (Application().IsMainThread()) {
    Application().WaitUntil([this] { return Finished_.load(); });
  } else {
    std::unique_lock lk(M_);
    Cv_.wait(lk, [&] { return Finished_.load(); });
  }
  {
    std::lock_guard lk(M_);
    if (Thread_.joinable()) Thread_.join();
  }
  return ReturnValue_.load();
}

namespace {
// The caller runs in that thread, or in a handler the thread handed over and waits for.
bool Inside(std::thread::id Thread) {
  return std::this_thread::get_id() == Thread || Application().IsServing(Thread);
}
}  // namespace

bool TThread::CallerIsInside() const { return Inside(Id_); }

bool TRetiredThread::WaitFor() const {
  if (!Done_ || Inside(Id_)) return false;
  // A retired thread has left its loop and never hands anything to the main thread again.
  Done_->WaitFor(INFINITE);
  return true;
}

TRetiredThread TThread::Retire(TThread* Thread, TThreadMethod Release) {
  TRetiredThread r;  // nothing to wait for unless the release is left to the thread
  if (Thread && Thread->CallerIsInside()) {
    r.Done_ = std::make_shared<TEvent>();
    r.Id_ = Thread->Id_;
    // The thread cannot pass its own end while this caller runs: it is this caller, or it is
    // blocked until this handler returns. So its state may be set without a race.
    Thread->OnRetired_ = [Release = std::move(Release), Done = r.Done_] {
      if (Release) Release();
      Done->SetEvent();
    };
    Thread->SetFreeOnTerminate(true);
    Thread->Terminate();
    return r;
  }
  if (Thread) {
    Thread->Terminate();
    Thread->WaitFor();
    delete Thread;
  }
  if (Release) Release();
  return r;
}

void TThread::Deliver(bool InThisThread, const TThreadMethod& Handler) {
  auto run = [&Handler] {
    try {
      Handler();
    } catch (...) {
      Application().HandleException(std::current_exception());
    }
  };
  if (InThisThread) run();
  else Synchronize(run);
}

std::exception_ptr TThread::FatalException() const {
  std::lock_guard lk(const_cast<std::mutex&>(M_));
  return Fatal_;
}

void TThread::SetPriority(TThreadPriority p) {
  Priority_ = p;
  if (Tid_.load() != 0) ApplyPriority();
}

void TThread::ApplyPriority() {
  int tid = Tid_.load();
  if (tid == 0) return;
  // Linux gives each thread a nice value; one step of priority is one step of nice.
  static const int steps[] = {19, 2, 1, 0, -1, -2, -20};
  errno = 0;
  int base = ::getpriority(PRIO_PROCESS, 0);
  if (base == -1 && errno != 0) return;
  int target = std::clamp(base + steps[Priority_.load()], -20, 19);
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target);  // refusal ignored
}

}  // namespace Halyard::Framework

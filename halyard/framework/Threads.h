#pragma once
// Threads, the main-thread queue, events and locks of the host layer.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "halyard/framework/SysUtils.h"

namespace Halyard::Framework {

constexpr uint32_t INFINITE = 0xFFFFFFFFu;

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// Manual-reset event.
class TEvent {
 public:
  explicit TEvent(bool InitialState = false) : Signaled_(InitialState) {}
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  ~TEvent();
  void SetEvent();
  void ResetEvent();
  // Milliseconds, or INFINITE. Abandoned once the event is abandoned (its owner is going away).
  TWaitResult WaitFor(uint32_t Timeout);
  bool Signaled() const;
  // Wakes every waiter with wrAbandoned, now and in future waits.
  void Abandon();

  // For a wait that watches descriptors too (poll): PollFd becomes readable when the event is
  // set or abandoned, or Notify is called, between BeginPoll and EndPoll. BeginPoll returns
  // false, with the result, when the wait is over already; -1 when no descriptor can be made.
  int PollFd();
  bool BeginPoll(TWaitResult& Result);
  void EndPoll();
  // Wakes a poller without setting the event.
  void Notify();

 private:
  void PokePoller();  // under M_
  mutable std::mutex M_;
  std::condition_variable Cv_;
  bool Signaled_;
  bool Abandoned_ = false;
  int Waiters_ = 0;
  int PollFd_ = -1;
  bool Polling_ = false, Poked_ = false;
};

// Re-entrant lock, as the platform's critical sections are. Meets BasicLockable.
class TCriticalSection {
 public:
  void Enter() { M_.lock(); }
  void Leave() { M_.unlock(); }
  bool TryEnter() { return M_.try_lock(); }
  void Acquire() { Enter(); }
  void Release() { Leave(); }
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex M_;
};

using TThreadMethod = std::function<void()>;

// The application object: the main thread (the one that loaded the library), its queue of
// calls handed over by other threads, the exception handler and the message loop.
class TApplication {
 public:
  TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  std::thread::id MainThreadID() const { return MainThreadID_; }
  bool IsMainThread() const { return std::this_thread::get_id() == MainThreadID_; }

  std::string Title() const;
  void SetTitle(const std::string& Value);
  // Stand-in for the main window's handle; 0 means none.
  intptr_t Handle() const { return Handle_.load(); }
  void SetHandle(intptr_t h) { Handle_.store(h); }

  using TExceptionEvent = std::function<void(const std::exception_ptr& E)>;
  // Default: the message of the exception on stderr; EAbort is silent.
  void HandleException(const std::exception_ptr& E);
  void HandleException(const std::exception& E);
  void SetOnException(TExceptionEvent Handler);

  // Posts a call to the main thread without waiting.
  void Queue(TThreadMethod Method);
  // Runs Method on the main thread and waits until it has run there; its exception is
  // re-raised in the caller. On the main thread it runs at once.
  void Synchronize(const TThreadMethod& Method);

  // Whether the calling thread is running, right now, a call that Thread handed over with
  // Synchronize (Thread is then blocked until it returns).
  bool IsServing(std::thread::id Thread) const;

  // Calls queued and not yet run.
  size_t PendingCount() const;
  // Runs every queued call (also those queued meanwhile); returns whether any ran.
  bool ProcessMessages();
  // Waits up to Timeout ms for a queued call or a Wake(), then runs the queue.
  bool HandleMessage(uint32_t Timeout = INFINITE);
  // Wakes a HandleMessage or WaitUntil in progress so it re-checks its condition.
  void Wake();
  // Main thread only: runs queued calls until Done() is true or the time-out passes;
  // returns Done(). The condition is re-checked after every Wake() and every call run.
  bool WaitUntil(const std::function<bool()>& Done, uint32_t Timeout = INFINITE);

  void Run();
  void Terminate();
  bool Terminated() const { return Terminated_.load(); }

 private:
  struct Call;
  void Post(std::shared_ptr<Call> c);

  std::thread::id MainThreadID_;
  mutable std::mutex M_;
  std::condition_variable Cv_;
  std::deque<std::shared_ptr<Call>> Queue_;
  uint64_t WakeCount_ = 0;
  std::string Title_;
  std::atomic<intptr_t> Handle_{0};
  TExceptionEvent OnException_;
  std::atomic<bool> Terminated_{false};
};

TApplication& Application();
inline std::thread::id MainThreadID() { return Application().MainThreadID(); }

// What is left of a thread handed to TThread::Retire: a later user of the resources it
// released (reopening the same device) waits here until they are free.
class TRetiredThread {
 public:
  TRetiredThread() = default;
  // Waits until the release has run and the thread touches nothing shared any more; returns
  // false at once when there is nothing to wait for (Retire released at once) or the caller is
  // inside the thread and cannot wait for it.
  bool WaitFor() const;
  bool Released() const { return !Done_ || Done_->Signaled(); }

 private:
  friend class TThread;
  std::shared_ptr<TEvent> Done_;
  std::thread::id Id_;
};

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A worker thread. The derived class's constructor calls Start() as its last step (a base
// constructor cannot start code of a class not yet built); "starts at once" then holds for
// everyone who creates the thread. With FreeOnTerminate the object deletes itself when
// Execute returns; WaitFor must not be used on such a thread.
class TThread {
 public:
  TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Terminates and waits for a thread still running (never from inside itself).
  virtual ~TThread();

  void Start();
  // Descendants that wait on something of their own also wake that wait.
  virtual void Terminate() { Terminated_.store(true); }
  bool Terminated() const { return Terminated_.load(); }
  bool Finished() const { return Finished_.load(); }
  // Blocks until Execute has returned; on the main thread it keeps running queued calls,
  // so a worker blocked in Synchronize never deadlocks it. Returns ReturnValue.
  int WaitFor();

  bool FreeOnTerminate() const { return FreeOnTerminate_.load(); }
  void SetFreeOnTerminate(bool v) { FreeOnTerminate_.store(v); }
  TThreadPriority Priority() const { return Priority_.load(); }
  // One step or more away from normal; a refusal by the system is ignored.
  void SetPriority(TThreadPriority p);
  std::thread::id ThreadID() const { return Id_; }
  int ReturnValue() const { return ReturnValue_.load(); }
  // An exception that escaped Execute, if any.
  std::exception_ptr FatalException() const;

  // Whether the calling code runs in this thread, directly or in a handler that this thread
  // handed to the main thread and waits for. Such a caller cannot wait for the thread to end.
  bool CallerIsInside() const;

  // Ends Thread, frees it and then runs Release, which frees what the thread still used (its
  // port, its socket). A caller that can wait does all of it before returning. A caller inside
  // the thread (an event handler that closes its own connection) cannot: the thread then
  // ends once the handler has returned, runs Release and frees itself, and the call returns
  // at once. Release must not throw.
  static TRetiredThread Retire(TThread* Thread, TThreadMethod Release);

  void Synchronize(const TThreadMethod& Method) { Application().Synchronize(Method); }
  // Runs a handler of this thread's component: in this thread when InThisThread, otherwise in
  // the main thread, waiting until it has run there. Its exception goes to the application's
  // exception handler in the thread where it ran, so the thread delivers the next event.
  void Deliver(bool InThisThread, const TThreadMethod& Handler);
  static void StaticSynchronize(const TThreadMethod& Method) { Application().Synchronize(Method); }

 protected:
  virtual void Execute() = 0;
  void SetReturnValue(int v) { ReturnValue_.store(v); }

 private:
  void Run();
  void ApplyPriority();

  std::thread Thread_;
  std::thread::id Id_;
  std::mutex M_;
  std::condition_variable Cv_;
  bool Started_ = false;
  std::atomic<bool> Terminated_{false};
  std::atomic<bool> Finished_{false};
  std::atomic<bool> FreeOnTerminate_{false};
  std::atomic<int> ReturnValue_{0};
  std::atomic<int> Tid_{0};
  std::atomic<TThreadPriority> Priority_{tpNormal};
  std::exception_ptr Fatal_;
  TThreadMethod OnRetired_;  // set by Retire, run after Execute returns
};

// A thread that sleeps on an event of its own between rounds of work: Terminate also wakes it,
// so a pending sleep ends at once.
class TWakeableThread : public TThread {
 public:
  void Terminate() override {
    TThread::Terminate();
    WakeEvent_.SetEvent();
  }
  void Wake() { WakeEvent_.SetEvent(); }

 protected:
  TEvent& WakeEvent() { return WakeEvent_; }

 private:
  TEvent WakeEvent_;
};

}  // namespace Halyard::Framework

#include "halyard/framework/Threads.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Halyard::Framework;

namespace {

class TLambdaThread : public TThread {
 public:
  explicit TLambdaThread(std::function<void(TLambdaThread&)> body, bool freeOnTerminate = false)
      : Body(std::move(body)) {
    SetFreeOnTerminate(freeOnTerminate);
    Start();
  }
  ~TLambdaThread() override {
    Terminate();
    if (!FreeOnTerminate()) WaitFor();
  }
  using TThread::Terminated;

 protected:
  void Execute() override { Body(*this); }

 private:
  std::function<void(TLambdaThread&)> Body;
};

}  // namespace

TEST(Synchronize, EightWorkersRunOnMainThreadInOrder) {
  constexpr int kWorkers = 8, kCalls = 1000;
  std::vector<std::vector<int>> seen(kWorkers);  // touched on the main thread only
  std::atomic<int> offMain{0};
  std::vector<std::unique_ptr<TLambdaThread>> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.push_back(std::make_unique<TLambdaThread>([&, w](TLambdaThread& t) {
      for (int i = 0; i < kCalls; ++i)
        t.Synchronize([&, w, i] {
          if (!Application().IsMainThread()) ++offMain;
          seen[w].push_back(i);
        });
    }));
  }
  for (auto& t : threads) t->WaitFor();  // pumps the queue meanwhile
  EXPECT_EQ(offMain.load(), 0);
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_EQ(seen[w].size(), static_cast<size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) ASSERT_EQ(seen[w][i], i);
  }
}

TEST(Synchronize, ExceptionReachesTheWorker) {
  std::string caught;
  TLambdaThread t([&](TLambdaThread& self) {
    try {
      self.Synchronize([] { throw Exception("boom on main"); });
    } catch (const Exception& e) {
      caught = e.Message();
    }
  });
  t.WaitFor();
  EXPECT_EQ(caught, "boom on main");
}

TEST(Synchronize, OnMainThreadRunsAtOnce) {
  bool ran = false;
  Application().Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(ThreadWaitFor, ReturnsForWorkerStuckInSynchronize) {
  // The worker blocks in Synchronize until the main thread runs the call; WaitFor on the
  // main thread must run it rather than deadlock.
  TEvent entered;
  TLambdaThread t([&](TLambdaThread& self) {
    entered.SetEvent();
    self.Synchronize([] {});
  });
  ASSERT_EQ(entered.WaitFor(5000), wrSignaled);
  t.WaitFor();
  EXPECT_TRUE(t.Finished());
}

TEST(ThreadLifecycle, TerminateFlagFreeOnTerminateAndFatalException) {
  TEvent done;
  TEvent gone;
  struct Flag {
    TEvent* e;
    ~Flag() { e->SetEvent(); }
  };
  new TLambdaThread(
      [&, flag = std::make_shared<Flag>(Flag{&gone})](TLambdaThread&) { done.SetEvent(); }, true);
  EXPECT_EQ(done.WaitFor(5000), wrSignaled);
  EXPECT_EQ(gone.WaitFor(5000), wrSignaled);  // the object released itself (and its body)

  TLambdaThread loop([](TLambdaThread& self) {
    while (!self.Terminated()) std::this_thread::yield();
  });
  loop.SetPriority(tpHigher);  // refused without privileges: ignored
  loop.Terminate();
  loop.WaitFor();

  TLambdaThread bad([](TLambdaThread&) { throw Exception("fatal"); });
  bad.WaitFor();
  EXPECT_TRUE(bad.FatalException() != nullptr);
}

TEST(Events, ManualResetAndTimeouts) {
  TEvent e;
  EXPECT_EQ(e.WaitFor(0), wrTimeout);
  EXPECT_EQ(e.WaitFor(10), wrTimeout);
  e.SetEvent();
  EXPECT_EQ(e.WaitFor(0), wrSignaled);
  EXPECT_EQ(e.WaitFor(INFINITE), wrSignaled);  // stays set
  e.ResetEvent();
  EXPECT_FALSE(e.Signaled());
  TLambdaThread t([&](TLambdaThread&) { e.SetEvent(); });
  EXPECT_EQ(e.WaitFor(5000), wrSignaled);
  TEvent a;
  a.Abandon();
  EXPECT_EQ(a.WaitFor(INFINITE), wrAbandoned);
}

// A wait that polls descriptors too: the event's descriptor is readable exactly while the event
// is set or poked during the poll, and a set event ends the wait before it starts.
TEST(Events, PollableWait) {
  TEvent e;
  int fd = e.PollFd();
  ASSERT_GE(fd, 0);
  auto readable = [&](int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
  };
  TWaitResult r = wrError;
  ASSERT_TRUE(e.BeginPoll(r));
  EXPECT_FALSE(readable(0));
  TLambdaThread setter([&](TLambdaThread&) { e.SetEvent(); });
  EXPECT_TRUE(readable(5000));
  e.EndPoll();
  EXPECT_FALSE(readable(0));  // drained for the next wait
  EXPECT_FALSE(e.BeginPoll(r));
  EXPECT_EQ(r, wrSignaled);
  e.ResetEvent();
  ASSERT_TRUE(e.BeginPoll(r));
  e.Notify();
  EXPECT_TRUE(readable(0));
  e.EndPoll();
  EXPECT_FALSE(e.Signaled());
  e.Notify();  // nobody polls: nothing to drain later
  EXPECT_FALSE(readable(0));
  e.Abandon();
  EXPECT_FALSE(e.BeginPoll(r));
  EXPECT_EQ(r, wrAbandoned);
}

TEST(Locks, CriticalSectionIsReentrant) {
  TCriticalSection cs;
  cs.Enter();
  cs.Enter();
  std::atomic<bool> got{false};
  TLambdaThread t([&](TLambdaThread&) {
    std::lock_guard g(cs);
    got = true;
  });
  cs.Leave();
  EXPECT_FALSE(got.load());
  cs.Leave();
  t.WaitFor();
  EXPECT_TRUE(got.load());
}

TEST(ApplicationObject, QueueHandleExceptionAndRun) {
  std::vector<std::string> handled;
  Application().SetOnException([&](const std::exception_ptr& e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      handled.push_back(x.what());
    }
  });
  Application().Queue([] { throw Exception("queued failure"); });
  int order = 0;
  Application().Queue([&] { order = 1; });
  Application().ProcessMessages();
  EXPECT_EQ(order, 1);
  EXPECT_EQ(handled, std::vector<std::string>{"queued failure"});
  Application().SetOnException(nullptr);

  TLambdaThread t([&](TLambdaThread&) { Application().Queue([] { Application().Terminate(); }); });
  Application().Run();  // returns once the worker's call has run
  EXPECT_TRUE(Application().Terminated());
  t.WaitFor();
  testing::internal::CaptureStderr();
  Application().HandleException(std::make_exception_ptr(EAbort("silent")));
  Application().HandleException(std::make_exception_ptr(Exception("shown")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown\n");
}

TEST(ThreadRetire, FromInsideItsOwnHandlerTheThreadReleasesAfterwards) {
  // A handler run for the thread (here on the main thread, through Synchronize) retires it:
  // the call cannot wait, so the release follows once the handler has returned.
  std::atomic<bool> released{false}, handlerReturned{false};
  TRetiredThread retired;
  TLambdaThread* t = nullptr;
  TEvent created;
  t = new TLambdaThread([&](TLambdaThread& self) {
    created.WaitFor(INFINITE);
    self.Synchronize([&] {
      EXPECT_TRUE(self.CallerIsInside());
      retired = TThread::Retire(&self, [&] { released = handlerReturned.load(); });
      EXPECT_FALSE(retired.WaitFor());  // would wait for itself
      handlerReturned = true;
    });
    while (!self.Terminated()) std::this_thread::yield();
  });
  EXPECT_FALSE(t->CallerIsInside());
  created.SetEvent();
  ASSERT_TRUE(Application().WaitUntil([&] { return handlerReturned.load(); }, 10000));
  EXPECT_TRUE(retired.WaitFor());
  EXPECT_TRUE(released);
  EXPECT_TRUE(retired.Released());

  // From outside, it is all done before the call returns.
  bool releasedNow = false;
  auto* u = new TLambdaThread([](TLambdaThread& self) {
    while (!self.Terminated()) std::this_thread::yield();
  });
  EXPECT_TRUE(TThread::Retire(u, [&] { releasedNow = true; }).Released());
  EXPECT_TRUE(releasedNow);
}

TEST(ThreadDeliver, HandlerExceptionIsHandledWhereItRan) {
  std::vector<std::pair<std::string, bool>> handled;
  std::mutex m;
  Application().SetOnException([&](const std::exception_ptr& e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      std::lock_guard lk(m);
      handled.emplace_back(x.what(), Application().IsMainThread());
    }
  });
  TLambdaThread t([&](TLambdaThread& self) {
    self.Deliver(false, [] { throw Exception("on main"); });
    self.Deliver(true, [] { throw Exception("here"); });
  });
  t.WaitFor();
  Application().SetOnException(nullptr);
  EXPECT_EQ(handled, (std::vector<std::pair<std::string, bool>>{{"on main", true}, {"here", false}}));
  EXPECT_EQ(t.FatalException(), nullptr);
}

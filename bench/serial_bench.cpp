// Receive latency from a byte written on a pseudo-terminal's master to OnRxChar, in both
// delivery modes, and the CPU an idle open port uses.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "../tests/PtyPair.h"
#include "halyard/commconnect/CommConnect.h"

using namespace Halyard;

namespace {

void Latency(benchmark::State& state, bool inEventThread) {
  HalyardTest::TPtyPair pty;
  auto c = Framework::MakeComponent<CommConnect::TComm>(nullptr);
  c->SetDeviceName(pty.SlavePath());
  c->SetDontSynchronize(inEventThread);
  std::atomic<int> got{0};
  c->SetOnRxChar([&](Framework::TObject*, int n) { got += static_cast<int>(c->Retrieve(n).size()); });
  c->Open();
  for (auto _ : state) {
    int before = got.load();
    pty.Write("x");
    if (inEventThread) {
      while (got.load() == before) std::this_thread::yield();
    } else {
      while (got.load() == before) Framework::Application().HandleMessage(100);
    }
  }
}

// The floor: a thread of its own polling the slave in raw mode and reading what comes, the least
// any serial library can do between the byte and its handler.
void BM_RxLatencyBareReader(benchmark::State& state) {
  HalyardTest::TPtyPair pty;
  int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  int stop[2];
  if (::pipe(stop) != 0) return;
  std::atomic<int> got{0};
  std::thread reader([&] {
    char buf[4096];
    for (;;) {
      pollfd p[2] = {{fd, POLLIN, 0}, {stop[0], POLLIN, 0}};
      ::poll(p, 2, -1);
      if (p[1].revents) return;
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) got += static_cast<int>(n);
    }
  });
  for (auto _ : state) {
    int before = got.load();
    pty.Write("x");
    while (got.load() == before) std::this_thread::yield();
  }
  (void)!::write(stop[1], "q", 1);
  reader.join();
  ::close(stop[0]);
  ::close(stop[1]);
  ::close(fd);
}
BENCHMARK(BM_RxLatencyBareReader)->UseRealTime();

void BM_RxLatencyEventThread(benchmark::State& state) { Latency(state, true); }
void BM_RxLatencyMainThread(benchmark::State& state) { Latency(state, false); }
BENCHMARK(BM_RxLatencyEventThread)->UseRealTime();
BENCHMARK(BM_RxLatencyMainThread)->UseRealTime();

double ProcessCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Reports the CPU seconds the process spends per second while a port sits open and idle.
void BM_IdlePortCpu(benchmark::State& state) {
  HalyardTest::TPtyPair pty;
  auto c = Framework::MakeComponent<CommConnect::TComm>(nullptr);
  c->SetDeviceName(pty.SlavePath());
  c->Open();
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    cpu += ProcessCpuSeconds() - before;
    wall += 2;
  }
  state.counters["cpu_per_s"] = cpu / wall;
}
BENCHMARK(BM_IdlePortCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// One "AT" transaction against a peer that answers at once: the time beyond the fixed
// 150 ms pause after every attempt, and the CPU time per transaction.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "../tests/PtyPair.h"
#include "../tests/ScriptedModem.h"
#include "halyard/gsm/GSM.h"

using namespace Halyard;

namespace {

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_ATTransaction(benchmark::State& state) {
  HalyardTest::TPtyPair pty;
  HalyardTest::TScriptedModem modem(pty);
  modem.Answer("AT", {"OK"});
  auto port = Framework::MakeComponent<CommConnect::TComm>(nullptr);
  port->SetDeviceName(pty.SlavePath());
  auto gsm = Framework::MakeComponent<GSM::TGSM>(nullptr);
  gsm->SetComDevice(port.get());
  gsm->OpenComDevice();
  double beyond = 0, cpu = 0;
  for (auto _ : state) {
    double c0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    gsm->SendATCommand("AT", 1);
    beyond += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() - 0.150;
    cpu += CpuSeconds() - c0;
  }
  state.counters["ms_beyond_pause"] = 1000 * beyond / static_cast<double>(state.iterations());
  state.counters["cpu_ms"] = 1000 * cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ATTransaction)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

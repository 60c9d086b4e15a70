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
    gsm->SendATCommand("AT", GSM::wmResult);
    beyond += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() - 0.150;
    cpu += CpuSeconds() - c0;
  }
  state.counters["ms_beyond_pause"] = 1000 * beyond / static_cast<double>(state.iterations());
  state.counters["cpu_ms"] = 1000 * cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ATTransaction)->Iterations(20)->Unit(benchmark::kMillisecond);

// A transaction during which the modem floods N lines: the framing of them on the main
// thread afterwards (seen through the unsolicited handler). Linear in N.
void BM_FramingAfterFlood(benchmark::State& state) {
  const int lines = static_cast<int>(state.range(0));
  HalyardTest::TPtyPair pty;
  HalyardTest::TScriptedModem modem(pty);
  std::string flood;
  for (int i = 0; i < lines; ++i) flood += "\r\n+FLOOD: " + std::to_string(i) + "\r\n";
  HalyardTest::TScriptedModem::TReply reply;
  reply.Chunks = {flood + "\r\nOK\r\n"};
  modem.On("AT", reply);
  auto port = Framework::MakeComponent<CommConnect::TComm>(nullptr);
  port->SetDeviceName(pty.SlavePath());
  auto gsm = Framework::MakeComponent<GSM::TGSM>(nullptr);
  gsm->SetComDevice(port.get());
  gsm->SetRecTimeout(30000);
  int seen = 0;
  gsm->SetOnUnsolicitedLine([&](Framework::TObject*, const std::string& l) { seen += l == "OK"; });
  gsm->OpenComDevice();
  for (auto _ : state) {
    seen = 0;
    gsm->SendATCommand("AT", GSM::wmResult);
    auto t0 = std::chrono::steady_clock::now();
    while (seen == 0) Framework::Application().HandleMessage(10);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_FramingAfterFlood)->Arg(5000)->Arg(20000)->Arg(80000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

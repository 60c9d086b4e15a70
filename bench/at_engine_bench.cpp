// One "AT" transaction against a peer that answers at once: the time beyond the fixed
// 150 ms pause after every attempt, and the CPU time per transaction. Beside it, "AT+CSQ" as
// the package sends it and as libgammu does (GSM_GetSignalQuality) against one peer in a child
// process, so that the process's CPU time is the AT engine's alone; without libgammu (found with
// pkg-config when this is built) the anchor is left out, and the run says so.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "../tests/PtyPair.h"
#include "../tests/ScriptedModem.h"
#include "halyard/gsm/GSM.h"

#ifdef HALYARD_HAVE_GAMMU
#include <gammu.h>
#endif

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

// A modem that echoes and answers at once, in a child process on the pair's master. Forked
// before the caller starts threads of its own for this run; it ends with its parent's pair.
class TChildModem {
 public:
  explicit TChildModem(HalyardTest::TPtyPair& Pty) {
    Pid_ = ::fork();
    if (Pid_ == 0) {
      Serve(Pty.Master());
      ::_exit(0);
    }
  }
  ~TChildModem() {
    ::kill(Pid_, SIGKILL);
    ::waitpid(Pid_, nullptr, 0);
  }

 private:
  static void Serve(int Fd) {
    static const std::map<std::string, std::string> kAnswers = {
        {"AT+CSQ", "+CSQ: 20,99"}, {"AT+CGMI", "Quectel"}, {"AT+CGMM", "EC25"}, {"AT+CGMR", "EC25EFAR06A03M4G"},
        {"AT+CGSN", "866758040000000"}, {"AT+CSCS?", "+CSCS: \"IRA\""},
        {"AT+CSCS=?", "+CSCS: (\"IRA\",\"GSM\",\"UCS2\")"}};
    std::string in;
    char buf[1024];
    bool echo = true;
    for (;;) {
      pollfd p{Fd, POLLIN, 0};
      if (::poll(&p, 1, -1) < 0) continue;
      ssize_t n = ::read(Fd, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        return;
      }
      in.append(buf, static_cast<size_t>(n));
      for (size_t cr; (cr = in.find('\r')) != std::string::npos;) {
        std::string cmd = in.substr(0, cr);
        in.erase(0, cr + 1);
        cmd.erase(0, cmd.find_first_not_of("\n\x1b "));
        if (cmd.empty()) continue;
        std::string out = echo ? cmd + "\r" : "";
        if (cmd == "ATE0") echo = false;
        if (cmd == "ATE1") echo = true;
        if (auto a = kAnswers.find(cmd); a != kAnswers.end()) out += "\r\n" + a->second + "\r\n";
        out += "\r\nOK\r\n";
        for (size_t done = 0; done < out.size();) {
          ssize_t w = ::write(Fd, out.data() + done, out.size() - done);
          if (w > 0) done += static_cast<size_t>(w);
          else ::poll(nullptr, 0, 1);
        }
      }
    }
  }
  pid_t Pid_;
};

// The CPU time of one "AT+CSQ" and its answer (the pause after an attempt costs none).
void BM_SignalQuality(benchmark::State& state) {
  HalyardTest::TPtyPair pty;
  TChildModem modem(pty);
  auto port = Framework::MakeComponent<CommConnect::TComm>(nullptr);
  port->SetDeviceName(pty.SlavePath());
  auto gsm = Framework::MakeComponent<GSM::TGSM>(nullptr);
  gsm->SetComDevice(port.get());
  gsm->OpenComDevice();
  Framework::TStringList lines;
  double cpu = 0;
  for (auto _ : state) {
    double c0 = CpuSeconds();
    gsm->SendATCommand("AT+CSQ", GSM::wmPrefixedAnswer, &lines);
    cpu += CpuSeconds() - c0;
  }
  state.counters["cpu_ms"] = 1000 * cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SignalQuality)->Iterations(100)->Unit(benchmark::kMillisecond);

#ifdef HALYARD_HAVE_GAMMU
void BM_SignalQualityLibgammu(benchmark::State& state) {
  HalyardTest::TPtyPair pty;
  TChildModem modem(pty);
  const std::string rc = "/tmp/halyard-bench-gammurc-" + std::to_string(::getpid());
  std::ofstream(rc) << "[gammu]\ndevice = " << pty.SlavePath() << "\nconnection = at\n";
  GSM_StateMachine* s = GSM_AllocStateMachine();
  INI_Section* cfg = nullptr;
  bool ready = GSM_FindGammuRC(&cfg, rc.c_str()) == ERR_NONE && GSM_ReadConfig(cfg, GSM_GetConfig(s, 0), 0) == ERR_NONE;
  if (cfg) INI_Free(cfg);
  std::remove(rc.c_str());
  GSM_SetConfigNum(s, 1);
  ready = ready && GSM_InitConnection(s, 1) == ERR_NONE;
  double cpu = 0;
  for (auto _ : state) {
    if (!ready) {
      state.SkipWithError("libgammu did not connect to the peer");
      break;
    }
    GSM_SignalQuality q{};
    double c0 = CpuSeconds();
    if (GSM_GetSignalQuality(s, &q) != ERR_NONE) state.SkipWithError("libgammu: AT+CSQ failed");
    cpu += CpuSeconds() - c0;
  }
  if (GSM_IsConnected(s)) GSM_TerminateConnection(s);
  GSM_FreeStateMachine(s);
  state.counters["cpu_ms"] = 1000 * cpu / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
}
BENCHMARK(BM_SignalQualityLibgammu)->Iterations(20)->Unit(benchmark::kMillisecond);
#endif

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

int main(int argc, char** argv) {
#ifndef HALYARD_HAVE_GAMMU
  std::printf("anchor absent: libgammu (libgammu-dev) was not found when this was built\n");
#endif
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}

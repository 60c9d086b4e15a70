// The gateway's rates: messages queued and claimed per second on SQLite and PostgreSQL, requests
// per second of POST /messages, messages sent per second through simulated modems that answer
// at once (the pauses the models ask for after each command still apply), how long a received
// message takes to reach the inbox, the gateway's CPU time per message sent (with and without a
// webhook subscribed to every event), and webhook deliveries per second to a local receiver.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "GsmsimProcess.h"
#include "halyard/gateway/Gateway.h"
#include "halyard/gateway/GatewayApi.h"
#include "halyard/gateway/SqlStore.h"
#include "halyard/gateway/Webhooks.h"

using namespace Halyard::Gateway;
namespace fs = std::filesystem;

namespace {

// A temporary folder, removed at the end.
struct TTempDir {
  fs::path Path;
  TTempDir() {
    char t[] = "/tmp/halyard-bench-XXXXXX";
    Path = ::mkdtemp(t) ? t : "/tmp";
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(Path, ec);
  }
};

// A PostgreSQL server: HALYARD_TEST_POSTGRES, or a private cluster for the run.
class TPostgres {
 public:
  TPostgres() {
    if (const char* e = std::getenv("HALYARD_TEST_POSTGRES"); e && *e) {
      Server_ = e;
    } else {
      Info_ = Dir_.Path / "pg";
      std::string cmd = "bash " HALYARD_SOURCE_DIR "/tests/pg_cluster.sh start " + Info_.string() + " > /dev/null";
      if (std::system(cmd.c_str()) == 0) std::getline(std::ifstream(Info_ / "conninfo"), Server_);
    }
    if (Server_.empty() || !PostgresAvailable()) return;
    try {
      auto c = ConnectPostgres(Server_);
      c->Query("DROP DATABASE IF EXISTS halyard_bench");
      c->Query("CREATE DATABASE halyard_bench");
      Where_ = Server_ + " dbname=halyard_bench";
    } catch (const std::exception&) {
    }
  }
  ~TPostgres() {
    if (!Info_.empty()) std::system(("bash " HALYARD_SOURCE_DIR "/tests/pg_cluster.sh stop " + Info_.string()).c_str());
  }
  const std::string& Where() const { return Where_; }

 private:
  TTempDir Dir_;
  fs::path Info_;
  std::string Server_, Where_;
};

TPostgres& Postgres() {
  static TPostgres p;
  return p;
}

void QueueAndClaim(benchmark::State& State, const std::string& Where) {
  auto store = OpenStore(Where);
  int64_t n = 0;
  for (auto _ : State) {
    store->Queue("+4917212345", "benchmark message", false, 0);
    auto m = store->Claim("bench/m", TClock::now(), std::chrono::seconds(60));
    benchmark::DoNotOptimize(m);
    ++n;
  }
  State.SetItemsProcessed(n);
}

void BM_QueueClaimSQLite(benchmark::State& State) {
  TTempDir d;
  QueueAndClaim(State, (d.Path / "gateway.db").string());
}
BENCHMARK(BM_QueueClaimSQLite)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_QueueClaimPostgreSQL(benchmark::State& State) {
  if (Postgres().Where().empty()) {
    State.SkipWithError("no PostgreSQL server (install postgresql or set HALYARD_TEST_POSTGRES)");
    return;
  }
  QueueAndClaim(State, Postgres().Where());
}
BENCHMARK(BM_QueueClaimPostgreSQL)->Unit(benchmark::kMicrosecond)->UseRealTime();

// POST /messages through the API, on one kept-alive connection (range 1) or a new
// connection each (range 0).
void BM_ApiPostMessages(benchmark::State& State) {
  TTempDir d;
  auto store = OpenStore((d.Path / "gateway.db").string());
  TGatewayConfig c;
  c.Port = 0;
  c.Token = "bench";
  c.KeyRatePerSecond = 0;  // the server's pace, not a key's allowance
  TApiServer api(c, {store.get(), [] { return std::vector<TModemState>{}; }, nullptr, nullptr});
  api.Start();
  httplib::Client http("127.0.0.1", api.Port());
  http.set_keep_alive(State.range(0) != 0);
  http.set_tcp_nodelay(true);
  httplib::Headers auth = {{"Authorization", "Bearer bench"}};
  const std::string body = R"({"to": "+4917212345", "text": "Gr\u00fc\u00dfe from the benchmark", "report": true})";
  int64_t n = 0;
  for (auto _ : State) {
    auto r = http.Post("/messages", auth, body, "application/json");
    if (!r || r->status != 201) {
      State.SkipWithError("POST /messages failed");
      break;
    }
    ++n;
  }
  State.SetItemsProcessed(n);
}
BENCHMARK(BM_ApiPostMessages)->ArgName("keep_alive")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();

// GET /health on a kept-alive connection, with an empty queue (range 0) or 20,000 queued: the
// answer must not cost a scan of the queue.
void BM_ApiHealth(benchmark::State& State) {
  TTempDir d;
  auto store = OpenStore((d.Path / "gateway.db").string());
  for (int64_t i = 0; i < State.range(0); ++i) store->Queue("+4917212345", "queued " + std::to_string(i), false, 0);
  TGatewayConfig c;
  c.Port = 0;
  c.Token = "bench";
  TApiServer api(c, {store.get(), [] { return std::vector<TModemState>{{"m1", true, "", {}}}; }, nullptr, nullptr});
  api.Start();
  httplib::Client http("127.0.0.1", api.Port());
  http.set_keep_alive(true);
  http.set_tcp_nodelay(true);
  for (auto _ : State) {
    auto r = http.Get("/health");
    if (!r || r->status != 200) {
      State.SkipWithError("GET /health failed");
      break;
    }
  }
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_ApiHealth)->ArgName("queued")->Arg(0)->Arg(20000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A gateway on one generic modem that gsmsim plays in a process of its own (the measured
// process then holds the gateway alone), with its store in a folder of its own.
struct TSimGateway {
  TTempDir Dir;
  HalyardTest::TGsmsimProcess Sim{Dir.Path / "sim", "+15550000001", "generic"};
  std::unique_ptr<TGateway> Gw;
  explicit TSimGateway(const std::string& HookUrl = "") {
    if (!Sim.Started()) return;
    TGatewayConfig c;
    if (!HookUrl.empty()) c.Webhooks = {{HookUrl, {"*"}, "0123456789abcdef"}};
    c.Name = "bench";
    c.Token = "bench";
    c.Store = (Dir.Path / "gateway.db").string();
    TModemConfig m;
    m.Name = "sim";
    m.Device = Sim.Modem();
    m.Model = "generic";
    c.Modems = {m};
    Gw = std::make_unique<TGateway>(c, [](const std::string&) {});
  }
};

// A webhook receiver that takes everything, in a child process: the measured process holds the
// gateway alone. Forked before the benchmark starts threads of its own.
struct TSinkProcess {
  pid_t Pid = -1;
  int Port = 0;
  TSinkProcess() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    Pid = ::fork();
    if (Pid == 0) {
      ::close(fds[0]);
      httplib::Server s;
      s.Post("/hook", [](const httplib::Request&, httplib::Response& R) { R.status = 204; });
      int port = s.bind_to_any_port("127.0.0.1");
      if (::write(fds[1], &port, sizeof port) != sizeof port) ::_exit(1);
      ::close(fds[1]);
      s.listen_after_bind();
      ::_exit(0);
    }
    ::close(fds[1]);
    if (Pid < 0 || ::read(fds[0], &Port, sizeof Port) != sizeof Port) Port = 0;
    ::close(fds[0]);
  }
  ~TSinkProcess() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port) + "/hook"; }
};

// Deliveries a subscription has had taken.
size_t Delivered(TStore& Store, int64_t Hook) {
  size_t n = 0;
  for (auto& a : Store.DeliveryAttempts(Hook, 1000000)) n += a.Outcome == "delivered";
  return n;
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// 50 messages arrive at 2 a second on a generic modem that answers at once: how long each takes
// from the network to the inbox.
void BM_InboxLatency(benchmark::State& State) {
  for (auto _ : State) {
    TSimGateway g;
    if (!g.Gw) {
      State.SkipWithError("gsmsim did not start");
      return;
    }
    TGateway& gw = *g.Gw;
    std::vector<double> latencies;
    std::thread feed([&] {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (gw.Store().Modems().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::vector<std::chrono::steady_clock::time_point> sent;
      int64_t seen = 0;
      auto collect = [&] {
        for (auto& m : gw.Store().Inbox(seen, 1000)) {
          seen = m.Id;
          size_t n = static_cast<size_t>(std::atoi(m.Text.c_str() + 6));  // "bench N"
          if (n < sent.size())
            latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent[n]).count());
        }
      };
      for (int i = 0; i < 50; ++i) {
        sent.push_back(std::chrono::steady_clock::now());
        g.Sim.Send("sms +4930500" + std::to_string(i) + " bench " + std::to_string(i));
        for (auto until = sent.back() + std::chrono::milliseconds(500); std::chrono::steady_clock::now() < until;) {
          collect();
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
      while (latencies.size() < 50 && std::chrono::steady_clock::now() < deadline) {
        collect();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      gw.Stop();
    });
    gw.Run();
    feed.join();
    if (latencies.size() < 50) {
      State.SkipWithError("not every message reached the inbox");
      return;
    }
    std::sort(latencies.begin(), latencies.end());
    State.counters["p50_ms"] = latencies[latencies.size() / 2];
    State.counters["max_ms"] = latencies.back();
  }
}
BENCHMARK(BM_InboxLatency)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The gateway's own CPU time for each message sent to a modem in another process.
void BM_SendCpuPerMessage(benchmark::State& State) {
  const bool hooked = State.range(0) != 0;
  for (auto _ : State) {
    std::unique_ptr<TSinkProcess> sink;
    if (hooked) {
      sink = std::make_unique<TSinkProcess>();
      if (!sink->Port) {
        State.SkipWithError("the receiver did not start");
        return;
      }
    }
    TSimGateway g(hooked ? sink->Url() : "");
    if (!g.Gw) {
      State.SkipWithError("gsmsim did not start");
      return;
    }
    TGateway& gw = *g.Gw;
    int64_t hook = hooked ? gw.Store().Webhooks().at(0).Id : 0;
    const int n = 200;
    for (int i = 0; i < n; ++i) gw.Store().Queue("+4917212345", "message " + std::to_string(i), false, 0);
    double cpu = CpuSeconds();
    std::thread watch([&] {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      auto done = [&] {
        if (gw.Store().QueueDepth() > 0) return false;
        // Every event of the messages reached the receiver: queued, sending, part_sent, sent.
        return !hooked || Delivered(gw.Store(), hook) >= static_cast<size_t>(4 * n);
      };
      while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      gw.Stop();
    });
    gw.Run();
    watch.join();
    State.counters["cpu_ms_per_message"] = (CpuSeconds() - cpu) * 1000.0 / n;
  }
}
BENCHMARK(BM_SendCpuPerMessage)->ArgName("webhook")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Events delivered per second to a receiver on 127.0.0.1, from one gateway's dispatcher.
void BM_WebhookDeliveries(benchmark::State& State) {
  for (auto _ : State) {
    TSinkProcess sink;
    if (!sink.Port) {
      State.SkipWithError("the receiver did not start");
      return;
    }
    TTempDir dir;
    auto store = OpenStore((dir.Path / "gateway.db").string());
    int64_t hook = store->AddWebhook({0, sink.Url(), {"*"}, "0123456789abcdef", "api", 0});
    const int n = 2000;
    for (int i = 0; i < n; ++i) store->Queue("+4917212345", "m", false, 0);
    TGatewayConfig c;
    auto start = std::chrono::steady_clock::now();
    TWebhookDispatcher d(*store, c, "bench", nullptr);
    d.Start();
    auto deadline = start + std::chrono::seconds(120);
    while (Delivered(*store, hook) < static_cast<size_t>(n) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    d.Stop();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    State.SetIterationTime(seconds);
    State.counters["deliveries_per_second"] = Delivered(*store, hook) / seconds;
  }
}
BENCHMARK(BM_WebhookDeliveries)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// Whole messages through the service: queued, claimed, sent by Modems simulated modems in this
// process, recorded.
void BM_SendThroughSimulatedModems(benchmark::State& State) {
  const int modems = static_cast<int>(State.range(0)), batch = 100;
  int64_t n = 0;
  for (auto _ : State) {
    State.PauseTiming();
    TTempDir d;
    TGatewayConfig c;
    c.Name = "bench";
    c.Token = "bench";
    c.Store = (d.Path / "gateway.db").string();
    for (int i = 0; i < modems; ++i) {
      TModemConfig m;
      m.Name = "sim" + std::to_string(i);
      m.Model = "A1";  // no pause of its own after each message
      c.Modems.push_back(m);
    }
    TGateway gw(c, [](const std::string&) {});
    for (int i = 0; i < batch; ++i) gw.Store().Queue("+4917212345", "message " + std::to_string(i), false, 0);
    State.ResumeTiming();
    std::thread watch([&] {
      while (gw.Store().QueueDepth() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      gw.Stop();
    });
    gw.Run();  // includes opening the modems, as a start of the service does
    watch.join();
    n += batch;
  }
  State.SetItemsProcessed(n);
}
BENCHMARK(BM_SendThroughSimulatedModems)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

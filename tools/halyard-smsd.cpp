// halyard-smsd: the SMS gateway service. Owns one or more modems, sends what applications queue
// through its HTTP API, stores what arrives, and matches delivery reports; SQLite by default,
// PostgreSQL to share the work between several gateways.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "halyard/gateway/Gateway.h"
#include "halyard/gateway/GatewayApi.h"

using namespace Halyard::Gateway;
using nlohmann::json;

namespace {

TGateway* gGateway = nullptr;
void OnSignal(int) {
  if (gGateway) gGateway->Stop();  // an atomic store; the loop sees it within 50 ms
}

void Usage(FILE* Out) {
  std::fprintf(Out,
               "usage: halyard-smsd [--config FILE] [options]\n"
               "An SMS gateway: sends what is queued through its HTTP API, stores what arrives.\n\n"
               "  --config FILE    the configuration (TOML); the options below override it\n"
               "  --device PATH    one modem on this serial device (without one: a simulated modem)\n"
               "  --model NAME     its model (default auto: picked from what it says of itself)\n"
               "  --pin PIN        its SIM's PIN\n"
               "  --sca NUMBER     its service centre\n"
               "  --rate N         at most N parts a minute through it\n"
               "  --store WHERE    an SQLite file, or a PostgreSQL connection string or URI\n"
               "                   (default halyard-smsd.db)\n"
               "  --listen ADDR    the API's address (default 127.0.0.1)\n"
               "  --port N         the API's port (default 8025; 0 for any free one)\n"
               "  --token TOKEN    the API's bearer token, of every scope (default, when the configuration\n"
               "                   has no [[key]]: made up and shown at start)\n"
               "  --name NAME      this gateway's name among those on one store (default: host name)\n"
               "  --demo           run on a simulated modem with a temporary store, send and receive a\n"
               "                   few messages through the API, show them and stop\n"
               "  --stay           with --demo: keep serving (the console) once the demo is done\n"
               "  --hash-key       read a key from standard input (none: make one up) and print the\n"
               "                   key_hash line of a [[key]] table for it\n"
               "  --help           this text\n\n"
               "API: POST /messages {\"to\", \"text\", \"validity_minutes\"?, \"report\"?}, GET /messages/ID,\n"
               "GET /inbox?since=ID, GET /health, GET /metrics; every call but /health needs\n"
               "\"Authorization: Bearer KEY\". SIGTERM stops it after the part in flight.\n");
}

// The demo's client: queue three messages to the simulated modem's own number, which brings
// them back as incoming ones, and show what the API says of them.
int Demo(TGateway& Gw, int Port) {
  httplib::Client http("127.0.0.1", Port);
  http.set_read_timeout(10, 0);
  httplib::Headers auth = {{"Authorization", "Bearer " + Gw.Config().Token}};
  auto call = [&](const char* Method, const std::string& Path, const json& Body = nullptr) -> json {
    auto r = std::string(Method) == "POST" ? http.Post(Path, auth, Body.dump(), "application/json")
                                           : http.Get(Path, auth);
    if (!r) throw std::runtime_error("the API did not answer " + Path);
    std::cout << Method << " " << Path << (Body.is_null() ? "" : " " + Body.dump()) << "\n  -> " << r->status << " "
              << r->body << "\n";
    return json::parse(r->body);
  };
  const std::string own = "+15550000001";
  std::vector<int64_t> ids;
  ids.push_back(call("POST", "/messages", {{"to", own}, {"text", "Hello from halyard-smsd"}, {"report", true}})["id"]);
  ids.push_back(call("POST", "/messages", {{"to", own}, {"text", "Grüße, \xF0\x9F\x98\x80"}, {"report", true}})["id"]);
  std::string longText;
  for (int i = 1; i <= 8; ++i) longText += "part of a long message " + std::to_string(i) + ". ";
  ids.push_back(call("POST", "/messages", {{"to", own}, {"text", longText}, {"report", true}})["id"]);
  call("POST", "/messages", {{"to", "call-me"}, {"text", "refused"}});
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int64_t id : ids) {
    for (;;) {
      auto r = http.Get("/messages/" + std::to_string(id), auth);
      std::string st = r ? json::parse(r->body).value("status", "") : "";
      if (st == "delivered" || st == "failed" || st == "undelivered" ||
          std::chrono::steady_clock::now() > deadline)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    call("GET", "/messages/" + std::to_string(id));
  }
  while (Gw.Store().InboxCount() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  call("GET", "/inbox?since=0");
  auto h = http.Get("/health");
  std::cout << "GET /health\n  -> " << (h ? h->body : "no answer") << "\n";
  return 0;
}

}  // namespace

// A key's hash for the configuration, so that the key itself is kept nowhere on the host.
int HashKeyCommand() {
  std::string key;
  if (!std::getline(std::cin, key) || key.empty()) {
    key = RandomToken();
    std::printf("key = %s\n", key.c_str());
  }
  while (!key.empty() && (key.back() == '\r' || key.back() == ' ')) key.pop_back();
  std::printf("key_hash = \"%s\"\n", HashKey(key).c_str());
  return 0;
}

// Every client holds a descriptor: take what the host allows rather than the 1,024 of a shell.
void RaiseDescriptorLimit() {
  rlimit l{};
  if (::getrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur < l.rlim_max) {
    l.rlim_cur = std::min<rlim_t>(l.rlim_max, 1 << 20);
    ::setrlimit(RLIMIT_NOFILE, &l);
  }
}

int main(int argc, char** argv) {
  TGatewayConfig config;
  TModemFlags one;
  bool demo = false, stay = false;
  std::string store, listen, token, name;
  int port = -1;
  try {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw EConfigError(a + " needs a value");
        return argv[++i];
      };
      auto number = [&]() -> double {
        std::string v = value();
        size_t used = 0;
        double n = 0;
        try {
          n = std::stod(v, &used);
        } catch (const std::exception&) {
          used = 0;
        }
        if (used == 0 || used != v.size() || n < 0) throw EConfigError(a + " needs a number, not \"" + v + "\"");
        return n;
      };
      if (a == "--help" || a == "-h") {
        Usage(stdout);
        return 0;
      } else if (a == "--config") {
        config = LoadConfig(value());
      } else if (a == "--device") {
        one.Device = value();
      } else if (a == "--model") {
        one.Model = value();
      } else if (a == "--pin") {
        one.PIN = value();
      } else if (a == "--sca") {
        one.SCA = value();
      } else if (a == "--rate") {
        one.RatePerMinute = number();
      } else if (a == "--store") {
        store = value();
      } else if (a == "--listen") {
        listen = value();
      } else if (a == "--port") {
        double p = number();
        if (p != static_cast<int>(p) || p > 65535) throw EConfigError("--port needs 0 to 65535");
        port = static_cast<int>(p);
      } else if (a == "--token") {
        token = value();
      } else if (a == "--name") {
        name = value();
      } else if (a == "--demo") {
        demo = true;
      } else if (a == "--stay") {
        stay = true;
      } else if (a == "--hash-key") {
        return HashKeyCommand();
      } else {
        std::fprintf(stderr, "halyard-smsd: unknown option %s\n", a.c_str());
        Usage(stderr);
        return 2;
      }
    }
    ApplyModemFlags(config, one);
    std::filesystem::path demoDir;
    if (demo) {
      TModemConfig sim;
      sim.Name = "sim1";
      config.Modems = {sim};
      demoDir = std::filesystem::temp_directory_path() / ("halyard-smsd-demo-" + std::to_string(::getpid()));
      std::filesystem::create_directories(demoDir);
      store = (demoDir / "gateway.db").string();
      port = 0;
    }
    if (!store.empty()) config.Store = store;
    if (!listen.empty()) config.Listen = listen;
    if (port >= 0) config.Port = port;
    if (!token.empty()) config.Token = token;
    if (!name.empty()) config.Name = name;
    if (config.Token.empty() && (config.Keys.empty() || demo)) {
      config.Token = RandomToken();
      if (!demo) std::fprintf(stderr, "halyard-smsd: no token configured; this run's token is %s\n", config.Token.c_str());
    }
    for (auto& m : config.Modems)
      if (m.Device.empty())
        std::fprintf(stderr, "halyard-smsd: modem %s has no device: it is a simulated modem in this process\n",
                     m.Name.c_str());

    RaiseDescriptorLimit();
    TGateway gw(config);
    // The demo's own polling would fill its output with request lines.
    TLogSink requests = demo ? TLogSink() : TLogSink([&gw](const std::string& Line) { gw.Log(Line); });
    TApiServer api(gw.Config(), {&gw.Store(), [&gw] { return gw.Modems(); }, [&gw] { gw.Poke(); }, requests,
                                 [&gw](const std::string& Modem, const std::string& Code, int64_t Session) {
                                   return gw.Ussd(Modem, Code, Session);
                                 }});
    api.Start();
    const std::string base = std::string(gw.Config().TlsCertificate.empty() ? "http" : "https") + "://" +
                             gw.Config().Listen + ":" + std::to_string(api.Port());
    gw.Log("API on " + base);
    gw.Log("Console on " + base + "/" + (demo ? " (log in with the key " + gw.Config().Token + ")" : ""));
    gGateway = &gw;
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int status = 0;
    std::thread client;
    if (demo) {
      client = std::thread([&] {
        try {
          status = Demo(gw, api.Port());
        } catch (const std::exception& e) {
          std::fprintf(stderr, "halyard-smsd: demo: %s\n", e.what());
          status = 1;
        }
        if (stay) {
          gw.Log("The demo is done; the console stays at " + base + "/ until Ctrl-C");
          return;
        }
        gw.Stop();
      });
    }
    gw.Run();  // on this, the main thread, where the modems' lines are framed
    if (client.joinable()) client.join();
    gGateway = nullptr;
    api.Stop();
    if (!demoDir.empty()) std::filesystem::remove_all(demoDir);
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "halyard-smsd: %s\n", e.what());
    return 1;
  }
}

// The API's server as an attacker meets it, on 127.0.0.1: ambiguous framing, oversized heads
// and bodies, clients that trickle or idle, keys and their scopes, TLS.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "GatewayTestDb.h"
#include "halyard/gateway/GatewayApi.h"

using namespace Halyard::Gateway;
using nlohmann::json;

namespace {

using TSteady = std::chrono::steady_clock;

// A socket to the server; closed with the object.
class TSocket {
 public:
  explicit TSocket(int Port) {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (Fd_ < 0 || ::connect(Fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Close();
  }
  ~TSocket() { Close(); }
  TSocket(TSocket&& O) noexcept : Fd_(std::exchange(O.Fd_, -1)) {}
  bool Ok() const { return Fd_ >= 0; }
  int Fd() const { return Fd_; }
  void Close() {
    if (Fd_ >= 0) ::close(Fd_);
    Fd_ = -1;
  }
  // False once the peer has gone.
  bool Send(const std::string& Data) {
    for (size_t at = 0; at < Data.size();) {
      ssize_t n = ::send(Fd_, Data.data() + at, Data.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  // What comes until the server closes, or until one whole answer when Whole, or the time is up.
  std::string Receive(int TimeoutMs = 20000, bool Whole = false) {
    std::string r;
    auto deadline = TSteady::now() + std::chrono::milliseconds(TimeoutMs);
    char b[65536];
    while (TSteady::now() < deadline) {
      if (Whole && Complete(r)) break;
      pollfd p{Fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::recv(Fd_, b, sizeof b, 0);
      if (n <= 0) {
        Closed_ = true;
        break;
      }
      r.append(b, static_cast<size_t>(n));
    }
    return r;
  }
  bool Closed() const { return Closed_; }

  static bool Complete(const std::string& R) {
    size_t end = R.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t cl = R.find("Content-Length: ");
    return cl != std::string::npos && cl < end && R.size() >= end + 4 + std::stoul(R.substr(cl + 16));
  }

 private:
  int Fd_ = -1;
  bool Closed_ = false;
};

std::string HexLength(size_t N) {
  char b[32];
  std::snprintf(b, sizeof b, "%zx", N);
  return b;
}

int StatusOf(const std::string& Answer) {
  return Answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(Answer.c_str() + 9) : 0;
}

long RssKiB() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Room for Wanted descriptors, or why there is none.
std::string RaiseDescriptors(rlim_t Wanted) {
  rlimit l{};
  ::getrlimit(RLIMIT_NOFILE, &l);
  if (l.rlim_cur >= Wanted) return "";
  if (l.rlim_max < Wanted) return "the host allows " + std::to_string(l.rlim_max) + " descriptors";
  l.rlim_cur = Wanted;
  return ::setrlimit(RLIMIT_NOFILE, &l) == 0 ? "" : "setrlimit failed";
}

class HttpExposure : public ::testing::Test {
 protected:
  void SetUp() override {
    Db = TTestDatabase::Make("sqlite");
    ASSERT_TRUE(Db);
    Store = OpenStore(Db->Where());
    Config.Port = 0;
    Config.Token = "s3cret";
    Config.Modems = {TModemConfig{}};
  }
  void Start() {
    Api = std::make_unique<TApiServer>(Config, TApiSource{Store.get(),
                                                          [] { return std::vector<TModemState>{{"m1", true, "", {}}}; },
                                                          nullptr, [this](const std::string& Line) {
                                                            std::lock_guard lk(LogLock);
                                                            Log.push_back(Line);
                                                          }});
    Api->Start();
  }
  // One request on a connection of its own; the whole answer.
  std::string Ask(const std::string& Request, int TimeoutMs = 20000) {
    TSocket s(Api->Port());
    EXPECT_TRUE(s.Ok());
    s.Send(Request);
    return s.Receive(TimeoutMs, true);
  }
  static std::string Post(const std::string& Body, const std::string& Key = "s3cret",
                          const std::string& Extra = "Content-Type: application/json\r\n") {
    return "POST /messages HTTP/1.1\r\nHost: gw\r\nAuthorization: Bearer " + Key + "\r\n" + Extra +
           "Content-Length: " + std::to_string(Body.size()) + "\r\n\r\n" + Body;
  }
  // The health answered, in time, to a new connection.
  bool HealthAnswers(int WithinMs) {
    TSocket s(Api->Port());
    if (!s.Ok()) return false;
    s.Send("GET /health HTTP/1.1\r\nHost: gw\r\n\r\n");
    return StatusOf(s.Receive(WithinMs, true)) == 200;
  }
  std::unique_ptr<TTestDatabase> Db;
  std::unique_ptr<TStore> Store;
  TGatewayConfig Config;
  std::unique_ptr<TApiServer> Api;
  std::mutex LogLock;
  std::vector<std::string> Log;
  const std::string Good = R"({"to": "+4917212345", "text": "hi"})";
};

}  // namespace

// Every way a proxy and this server could disagree on where a request ends is refused, and the
// connection closed behind the answer (RFC 9112 6.3).
TEST_F(HttpExposure, AmbiguousFramingIsRefusedAndTheConnectionClosed) {
  Start();
  const std::string head = "POST /messages HTTP/1.1\r\nHost: gw\r\nAuthorization: Bearer s3cret\r\n";
  const std::string length = std::to_string(Good.size());
  struct {
    std::string Request;
    int Status;
  } cases[] = {
      {head + "Content-Length: " + length + "\r\nContent-Length: 5\r\n\r\n" + Good, 400},
      {head + "Transfer-Encoding: xchunked\r\nContent-Length: " + length + "\r\n\r\n" + Good, 400},
      {head + "Transfer-Encoding: chunked\r\nContent-Length: " + length + "\r\n\r\n" + Good, 400},
      {head + "Transfer-Encoding: gzip, chunked\r\n\r\n" + Good, 501},
      {head + "Content-Length: -1\r\n\r\n" + Good, 400},
      {"GET /health HTTP/1.1\r\nHost: gw\r\nX-Pad: " + std::string(17 * 1024, 'a') + "\r\n\r\n", 431},
      {"GET /health HTTP/1.1\r\nHost: gw\r\n" + [] {
         std::string h;
         for (int i = 0; i < 80000; ++i) h += "X-A: b\r\n";
         return h;
       }() + "\r\n", 431},
  };
  for (auto& c : cases) {
    TSocket s(Api->Port());
    s.Send(c.Request);  // the server may close before all of it is in
    std::string answer = s.Receive();
    EXPECT_EQ(StatusOf(answer), c.Status) << c.Request.substr(0, 120) << "\n" << answer.substr(0, 200);
    EXPECT_TRUE(s.Closed()) << c.Request.substr(0, 120);
  }
  // A body of a form type is not taken for JSON; a chunked JSON body is.
  EXPECT_EQ(StatusOf(Ask(Post(Good, "s3cret", "Content-Type: application/x-www-form-urlencoded\r\n"))), 415);
  EXPECT_EQ(Store->QueueDepth(), 0);
  std::string chunked = head + "Content-Type: application/json; charset=utf-8\r\nTransfer-Encoding: chunked\r\n\r\n" +
                        "5\r\n" + Good.substr(0, 5) + "\r\n" + HexLength(Good.size() - 5) + "\r\n" + Good.substr(5) + "\r\n0\r\n\r\n";
  EXPECT_EQ(StatusOf(Ask(chunked)), 201);
  EXPECT_EQ(Store->QueueDepth(), 1);
}

// A chunked body is bounded as a counted one is: 50 MB of it gets 413 and leaves no 50 MB behind.
TEST_F(HttpExposure, AChunkedBodyOverTheLimitIsRefusedWithoutBeingKept) {
  Start();
  long before = RssKiB();
  for (const char* path : {"/messages", "/health"}) {
    TSocket s(Api->Port());
    ASSERT_TRUE(s.Send(std::string("POST ") + path +
                       " HTTP/1.1\r\nHost: gw\r\nAuthorization: Bearer s3cret\r\nTransfer-Encoding: chunked\r\n\r\n"));
    const std::string chunk = "10000\r\n" + std::string(0x10000, '{') + "\r\n";
    bool sent = true;
    for (int i = 0; i < 800 && sent; ++i) sent = s.Send(chunk);  // 50 MiB
    if (sent) s.Send("0\r\n\r\n");
    std::string answer = s.Receive();
    EXPECT_EQ(StatusOf(answer), 413) << answer.substr(0, 200);
  }
  EXPECT_LT(RssKiB() - before, 64 * 1024);
  EXPECT_EQ(Store->QueueDepth(), 0);
}

// Slow and idle clients each cost a socket, not a worker: /health still answers a new client at
// once while 200 connections trickle their requests and 1,000 kept-alive ones idle.
TEST_F(HttpExposure, TricklingAndIdleClientsLeaveTheServerAnswering) {
  if (std::string why = RaiseDescriptors(4096); !why.empty()) GTEST_SKIP() << "no room for 1,200 clients: " << why;
  Start();
  std::vector<TSocket> trickling, idle;
  for (int i = 0; i < 200; ++i) trickling.emplace_back(Api->Port());
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    const std::string request = "POST /messages HTTP/1.1\r\nHost: gw\r\nContent-Length: 100000\r\n\r\n";
    for (size_t at = 0; !stop && at < request.size(); ++at) {
      for (auto& s : trickling) s.Send(request.substr(at, 1));
      for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  int answered = 0;
  for (int i = 0; i < 10; ++i) answered += HealthAnswers(1000);
  EXPECT_GE(answered, 9) << "while 200 clients trickle";

  for (int i = 0; i < 1000; ++i) {
    idle.emplace_back(Api->Port());
    ASSERT_TRUE(idle.back().Ok()) << i;
    idle.back().Send("GET /health HTTP/1.1\r\nHost: gw\r\n\r\n");
  }
  for (auto& s : idle) ASSERT_EQ(StatusOf(s.Receive(20000, true)), 200);  // all kept alive, idle now
  answered = 0;
  for (int i = 0; i < 10; ++i) answered += HealthAnswers(1000);
  EXPECT_GE(answered, 9) << "while 1,000 kept-alive clients idle and 200 trickle";
  stop = true;
  trickle.join();
}

// A request must come whole within its time, however steadily its bytes trickle.
TEST_F(HttpExposure, ARequestThatTricklesPastItsTimeIsCut) {
  Config.RequestTimeout = std::chrono::seconds(1);
  Start();
  TSocket s(Api->Port());
  s.Send("POST /messages HTTP/1.1\r\nHost: gw\r\nX-Slow: ");
  auto start = TSteady::now();
  bool cut = false;
  // One byte every 100 ms resets any idle timer; only a deadline for the whole request ends it.
  while (!cut && TSteady::now() - start < std::chrono::seconds(60)) {
    cut = !s.Send("a");
    pollfd p{s.Fd(), POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      char b[256];
      cut = ::recv(s.Fd(), b, sizeof b, 0) <= 0;
    }
  }
  EXPECT_TRUE(cut);
}

TEST_F(HttpExposure, KeysScopesRatesAndTheRequestLog) {
  EXPECT_EQ(HashKey("abc"), "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Config.Token.clear();
  Config.Keys = {{"sender", HashKey("k-send"), {"send"}, -1},
                 {"reader", HashKey("k-read"), {"read"}, -1},
                 {"ops", HashKey("k-ops"), {"admin"}, -1},
                 {"slow", HashKey("k-slow"), {"send"}, 0.001}};
  Start();
  EXPECT_EQ(StatusOf(Ask(Post(Good, "k-send"))), 201);
  EXPECT_EQ(StatusOf(Ask(Post(Good, "k-read"))), 403);
  EXPECT_EQ(StatusOf(Ask(Post(Good, "k-ops"))), 201);
  EXPECT_EQ(StatusOf(Ask(Post(Good, "s3cret"))), 401);  // no token configured
  EXPECT_EQ(StatusOf(Ask(Post(Good, "sha256:" + HashKey("k-send").substr(7)))), 401);  // the hash is no key
  auto get = [&](const std::string& Path, const std::string& Key) {
    return StatusOf(Ask("GET " + Path + " HTTP/1.1\r\nHost: gw\r\nAuthorization: Bearer " + Key + "\r\n\r\n"));
  };
  EXPECT_EQ(get("/inbox", "k-read"), 200);
  EXPECT_EQ(get("/inbox", "k-send"), 403);
  EXPECT_EQ(get("/messages/1", "k-send"), 200);  // a sender follows what it sent
  EXPECT_EQ(get("/metrics", "k-read"), 200);
  // The slow key's one request in a thousand seconds is spent at once.
  EXPECT_EQ(StatusOf(Ask(Post(Good, "k-slow"))), 201);
  std::string refused = Ask(Post(Good, "k-slow"));
  EXPECT_EQ(StatusOf(refused), 429);
  size_t after = refused.find("Retry-After: ");
  ASSERT_NE(after, std::string::npos) << refused;
  EXPECT_NEAR(std::atoi(refused.c_str() + after + 13), 1000, 60) << refused;
  EXPECT_EQ(StatusOf(Ask(Post(Good, "k-send"))), 201) << "one key's limit is not another's";
  EXPECT_EQ(Store->QueueDepth(), 4);
  EXPECT_EQ(get("/in%0Abox%22", "k-read"), 404);  // a path that would forge a line of the log
  Api->Stop();
  std::lock_guard lk(LogLock);
  std::string log;
  for (auto& l : Log) log += l + "\n";
  EXPECT_NE(log.find("\"POST /messages\" 201 key=sender"), std::string::npos) << log;
  EXPECT_NE(log.find("\"POST /messages\" 403 key=reader"), std::string::npos) << log;
  EXPECT_NE(log.find("\"POST /messages\" 429 key=slow"), std::string::npos) << log;
  EXPECT_NE(log.find("\"POST /messages\" 401 key=-"), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /in\\x0Abox\\x22\" 404 key=reader"), std::string::npos) << log;
}

TEST_F(HttpExposure, KeysInTheConfiguration) {
  auto c = ParseConfig("[[key]]\nname = \"ops\"\nkey_hash = \"" + HashKey("x") +
                       "\"\nscopes = [\"send\", \"read\"]\nrate_per_second = 5\n[http]\ntls_certificate = \"c.pem\"\n"
                       "tls_key = \"k.pem\"\nmax_connections = 100\nrequest_timeout_seconds = 7\n[[modem]]\n");
  ASSERT_EQ(c.Keys.size(), 1u);
  EXPECT_EQ(c.Keys[0].Scopes, (std::set<std::string>{"send", "read"}));
  EXPECT_EQ(c.Keys[0].RatePerSecond, 5);
  EXPECT_EQ(c.MaxConnections, 100u);
  EXPECT_EQ(c.RequestTimeout.count(), 7);
  EXPECT_NO_THROW(CheckConfig(c));
  for (auto [table, says] : std::initializer_list<std::pair<std::string, std::string>>{
           {"name = \"a\"\nkey_hash = \"abc\"\nscopes = [\"send\"]", "64 hex digits"},
           {"name = \"a\"\nkey_hash = \"" + HashKey("x") + "\"\nscopes = [\"write\"]", "unknown scope"},
           {"name = \"a\"\nkey_hash = \"" + HashKey("x") + "\"\nscopes = []", "no scopes"},
           {"name = \"token\"\nkey_hash = \"" + HashKey("x") + "\"\nscopes = [\"read\"]", "Two keys"}}) {
    try {
      CheckConfig(ParseConfig("token = \"t\"\n[[key]]\n" + table + "\n[[modem]]\n"));
      ADD_FAILURE() << table;
    } catch (const EConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  }
}

// With a certificate the API speaks HTTPS only.
TEST_F(HttpExposure, TlsWhenACertificateIsGiven) {
  auto dir = std::filesystem::temp_directory_path() / ("halyard-tls-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "
                     "/CN=127.0.0.1 -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "no openssl command to make a certificate with (Debian: openssl)";
  }
  Config.TlsCertificate = cert;
  Config.TlsKey = key;
  Start();
  std::filesystem::remove_all(dir);  // read at the start

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_TRUE(ctx);
  TSocket s(Api->Port());
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, s.Fd());
  ASSERT_EQ(SSL_connect(ssl), 1);
  std::string request = "GET /metrics HTTP/1.1\r\nHost: gw\r\nAuthorization: Bearer s3cret\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(SSL_write(ssl, request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
  std::string answer;
  char b[4096];
  for (int n; (n = SSL_read(ssl, b, sizeof b)) > 0;) answer.append(b, static_cast<size_t>(n));
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  EXPECT_EQ(StatusOf(answer), 200) << answer.substr(0, 200);
  EXPECT_NE(answer.find("halyard_queue_depth 0"), std::string::npos);
  // Plain HTTP to it gets no answer as HTTP.
  EXPECT_NE(StatusOf(Ask("GET /health HTTP/1.1\r\nHost: gw\r\n\r\n", 3000)), 200);

  Api.reset();
  Config.TlsKey = cert;  // a certificate is no key
  Config.TlsCertificate = "/no/such/cert.pem";
  EXPECT_THROW(Start(), EConfigError);
}

// The event stream: events come as they are stored, each once, from Last-Event-ID on; streams
// with nothing to say hold no event loop (one loop, 30 of them open, still answers); a stop
// ends every stream at once.
TEST_F(HttpExposure, EventStreamsFollowTheFeedAndEndWithTheServer) {
  Config.HttpThreads = 1;
  Start();
  int64_t first = Store->Queue("+4917212345", "one", false, 0);
  auto open = [&](const std::string& Extra) {
    TSocket s(Api->Port());
    s.Send("GET /events/stream HTTP/1.1\r\nHost: gw\r\nAuthorization: Bearer s3cret\r\n" + Extra + "\r\n");
    return s;
  };
  // Until Text has come on S, or the time is up: all that came.
  auto until = [](TSocket& S, const std::string& Text, std::string& Got) {
    for (auto end = TSteady::now() + std::chrono::seconds(30); TSteady::now() < end && Got.find(Text) == std::string::npos;)
      Got += S.Receive(100);
    return Got.find(Text) != std::string::npos;
  };
  TSocket fromNow = open(""), again = open("Last-Event-ID: " + std::to_string(first - 1) + "\r\n");
  std::string now, replayed;
  ASSERT_TRUE(until(again, "\"to\":\"+4917212345\"", replayed)) << replayed;
  EXPECT_NE(replayed.find("text/event-stream"), std::string::npos) << replayed;
  EXPECT_NE(replayed.find("event: message.queued"), std::string::npos) << replayed;
  ASSERT_TRUE(until(fromNow, "retry: 2000", now)) << now;
  EXPECT_EQ(now.find("message.queued"), std::string::npos) << now;  // it was stored before
  std::vector<TSocket> idle;
  for (int i = 0; i < 30; ++i) idle.push_back(open(""));
  EXPECT_TRUE(HealthAnswers(10000));
  Store->Queue("+4917299999", "two", false, 0);
  ASSERT_TRUE(until(fromNow, "\"to\":\"+4917299999\"", now)) << now;
  EXPECT_NE(now.find("id: " + std::to_string(Store->LatestEvent()) + "\n"), std::string::npos) << now;
  size_t at = now.find("+4917299999");
  EXPECT_EQ(now.find("+4917299999", at + 1), std::string::npos) << "sent twice: " << now;
  auto stopping = TSteady::now();
  Api->Stop();
  EXPECT_LT(TSteady::now() - stopping, std::chrono::seconds(10));
  std::string rest = fromNow.Receive(5000);
  EXPECT_TRUE(fromNow.Closed()) << rest;
}

// A stream needs the read scope like the feed it follows.
TEST_F(HttpExposure, AnEventStreamNeedsAKey) {
  Start();
  EXPECT_EQ(StatusOf(Ask("GET /events/stream HTTP/1.1\r\nHost: gw\r\n\r\n")), 401);
}

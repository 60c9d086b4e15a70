#include "halyard/gateway/GatewayApi.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "GatewayTestDb.h"
#include "halyard/auxstr/AuxStr.h"
#include "halyard/gateway/OpenApi.h"

using namespace Halyard::Gateway;
using nlohmann::json;

namespace {

class GatewayApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // a refused upload may meet a closed connection
    Db = TTestDatabase::Make("sqlite");
    ASSERT_TRUE(Db);
    Store = OpenStore(Db->Where());
    Config.Port = 0;
    Config.Token = "s3cret";
    Config.MaxBodyBytes = 64 * 1024;
    Config.Modems = {TModemConfig{}};
    Config.Modems[0].Name = "m1";
    Modems = {TModemState{"m1", true, "", {}}};
    Api = std::make_unique<TApiServer>(Config, TApiSource{Store.get(),
                                                          [this] {
                                                            std::lock_guard lk(M);
                                                            return Modems;
                                                          },
                                                          [this] { ++Queued; }, nullptr});
    Api->Start();
    Http = std::make_unique<httplib::Client>("127.0.0.1", Api->Port());
    Http->set_read_timeout(30, 0);
  }
  httplib::Result Post(const std::string& Body, const std::string& Token = "s3cret") {
    httplib::Headers h;
    if (!Token.empty()) h.emplace("Authorization", "Bearer " + Token);
    return Http->Post("/messages", h, Body, "application/json");
  }
  httplib::Result Get(const std::string& Path, const std::string& Token = "s3cret") {
    httplib::Headers h;
    if (!Token.empty()) h.emplace("Authorization", "Bearer " + Token);
    return Http->Get(Path, h);
  }
  // The status and the error message of a refused request; nothing may have been queued.
  void ExpectRefused(const httplib::Result& R, int Status, const std::string& Says) {
    ASSERT_TRUE(R);
    EXPECT_EQ(R->status, Status) << R->body;
    auto j = json::parse(R->body, nullptr, false);
    ASSERT_TRUE(j.is_object()) << R->body;
    EXPECT_NE(j.value("error", "").find(Says), std::string::npos) << R->body;
    EXPECT_EQ(Store->QueueDepth(), 0);
  }
  std::unique_ptr<TTestDatabase> Db;
  std::unique_ptr<TStore> Store;
  TGatewayConfig Config;
  std::mutex M;
  std::vector<TModemState> Modems;  // under M: the server reads them in its threads
  std::atomic<int> Queued{0};
  std::unique_ptr<TApiServer> Api;
  std::unique_ptr<httplib::Client> Http;
};

}  // namespace

TEST_F(GatewayApi, BadRequestsAreRefusedWithAMessageAndQueueNothing) {
  const std::string good = R"({"to": "+4917212345", "text": "hi"})";
  ExpectRefused(Post(good, ""), 401, "No key");
  ExpectRefused(Post(good, "guess"), 401, "Wrong token");
  ExpectRefused(Post(good, "s3cre"), 401, "Wrong token");
  ExpectRefused(Get("/messages/1", ""), 401, "No key");
  ExpectRefused(Get("/metrics", "x"), 401, "token");
  ExpectRefused(Post("{\"to\": "), 400, "not JSON");
  ExpectRefused(Post("[1, 2]"), 400, "JSON object");
  ExpectRefused(Post(R"({"text": "hi"})"), 400, "\"to\"");
  ExpectRefused(Post(R"({"to": 4917, "text": "hi"})"), 400, "\"to\"");
  ExpectRefused(Post(R"({"to": "+49call-me", "text": "hi"})"), 400, "Not a phone number");
  ExpectRefused(Post(R"({"to": "", "text": "hi"})"), 400, "empty");
  ExpectRefused(Post(R"({"to": "+4917212345", "text": ""})"), 400, "empty");
  ExpectRefused(Post(R"({"to": "+4917212345"})"), 400, "\"text\"");
  ExpectRefused(Post("{\"to\": \"+4917212345\", \"text\": \"\xC3\"}"), 400, "");  // not UTF-8 at all
  ExpectRefused(Post(R"({"to": "+4917212345", "text": "hi", "validity_minutes": 2})"), 400, "validity_minutes");
  ExpectRefused(Post(R"({"to": "+4917212345", "text": "hi", "validity_minutes": "1h"})"), 400, "validity_minutes");
  ExpectRefused(Post(R"({"to": "+4917212345", "text": "hi", "report": "yes"})"), 400, "report");
  ExpectRefused(Post(R"({"to": "+4917212345", "text": "hi", "flash": true})"), 400, "Unknown field");
  ExpectRefused(Post(R"({"to": "+4917212345", "text": "hi", "priority": 101})"), 400, "priority");
  ExpectRefused(Post(R"({"to": "+4917212345", "text": "hi", "send_at": "tomorrow"})"), 400, "send_at");
  ExpectRefused(Post(R"({"to": "+4917212345", "text": "hi", "send_at": "2026-02-30T10:00:00Z"})"), 400, "send_at");
  ExpectRefused(Post(R"({"to": "+4917212345", "text": "hi", "callback_url": "ftp://x"})"), 400, "callback_url");
  ExpectRefused(Post(json{{"to", "+4917212345"}, {"text", std::string(255 * 153 + 1, 'a')}}.dump()), 400, "256 parts");
  ExpectRefused(Post(std::string(1024 * 1024, ' ')), 413, "too large");
  ExpectRefused(Get("/messages/12345"), 404, "No message 12345");
  ExpectRefused(Get("/messages/abc"), 404, "No such resource");
  ExpectRefused(Get("/inbox?since=-1"), 400, "since");
  ExpectRefused(Get("/inbox?limit=5000"), 400, "limit");
  EXPECT_EQ(Queued, 0);
}

// Findings of a look at the API as an attacker would: numbers that are none, the bearer scheme
// in lower case, a wrong method, a queue without a bound.
TEST_F(GatewayApi, NumbersSchemeMethodsAndAFullQueue) {
  for (const char* to : {"abc", "1234abc", "+", "*", "#", "*#100#", "12", "+123456789012345678901"})
    ExpectRefused(Post(json{{"to", to}, {"text", "hi"}}.dump()), 400, "Not a phone number");
  for (const char* scheme : {"bearer", "BEARER", "Bearer  "}) {
    auto r = Http->Get("/messages/1", {{"Authorization", std::string(scheme) + " s3cret"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404) << scheme;  // past the token: there is no message 1
  }
  ExpectRefused(Get("/messages/1", "Basic s3cret"), 401, "Wrong token");
  auto r = Http->Delete("/messages", {{"Authorization", "Bearer s3cret"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 405);
  EXPECT_EQ(r->get_header_value("Allow"), "GET, POST");
  r = Http->Post("/inbox", {{"Authorization", "Bearer s3cret"}}, "", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 405);
  EXPECT_EQ(r->get_header_value("Allow"), "GET");

  Api.reset();
  Config.MaxQueue = 3;
  Api = std::make_unique<TApiServer>(Config, TApiSource{Store.get(),
                                                        [this] {
                                                          std::lock_guard lk(M);
                                                          return Modems;
                                                        },
                                                        [] {}, nullptr});
  Api->Start();
  Http = std::make_unique<httplib::Client>("127.0.0.1", Api->Port());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Post(R"({"to": "+4917212345", "text": "hi"})")->status, 201);
  r = Post(R"({"to": "+4917212345", "text": "one too many"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503) << r->body;
  EXPECT_EQ(r->get_header_value("Retry-After"), "10");
  EXPECT_EQ(Store->QueueDepth(), 3);
}

TEST_F(GatewayApi, QueueFollowReadTheInboxHealthAndMetrics) {
  auto r = Post(R"({"to": "+4917212345", "text": "Gr\u00fc\u00dfe \ud83d\ude00", "report": true, "validity_minutes": 60})");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 201) << r->body;
  auto j = json::parse(r->body);
  int64_t id = j["id"];
  EXPECT_EQ(j["parts"], 1);
  EXPECT_EQ(r->get_header_value("Location"), "/messages/" + std::to_string(id));
  EXPECT_EQ(Queued, 1);
  auto m = json::parse(Get("/messages/" + std::to_string(id))->body);
  EXPECT_EQ(m["status"], "queued");
  EXPECT_EQ(m["text"], "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80");
  EXPECT_EQ(m["validity_minutes"], 60);
  EXPECT_EQ(m["report"], true);
  // 255 parts is the most a message may have.
  r = Post(json{{"to", "+4917212345"}, {"text", std::string(255 * 153, 'a')}}.dump());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 201) << r->body.substr(0, 200);

  Store->StoreIncoming("gw/m1", "+4918", "one", 100);
  Store->StoreIncoming("gw/m1", "+4918", "two", 101);
  auto in = json::parse(Get("/inbox?since=0&limit=1")->body);
  ASSERT_EQ(in["messages"].size(), 1u);
  EXPECT_EQ(in["messages"][0]["text"], "one");
  in = json::parse(Get("/inbox?since=" + std::to_string(in["next"].get<int64_t>()))->body);
  ASSERT_EQ(in["messages"].size(), 1u);
  EXPECT_EQ(in["messages"][0]["text"], "two");

  auto h = Get("/health", "");  // no token needed
  ASSERT_TRUE(h);
  EXPECT_EQ(h->status, 200);
  EXPECT_EQ(json::parse(h->body)["queue_depth"], 2);
  {
    std::lock_guard lk(M);
    Modems[0].Up = false;
    Modems[0].Counters.Sent = 7;
  }
  h = Get("/health", "");
  EXPECT_EQ(h->status, 503);
  EXPECT_EQ(json::parse(h->body)["status"], "down");

  auto metrics = Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_NE(metrics->get_header_value("Content-Type").find("text/plain"), std::string::npos);
  for (const char* line : {"# TYPE halyard_sms_sent_total counter\n", "halyard_sms_sent_total{modem=\"m1\"} 7\n",
                           "halyard_modem_up{modem=\"m1\"} 0\n", "halyard_queue_depth 2\n",
                           "halyard_messages{status=\"queued\"} 2\n", "halyard_messages{status=\"unknown\"} 0\n"})
    EXPECT_NE(metrics->body.find(line), std::string::npos) << line;
}

TEST_F(GatewayApi, EventsAndTheModemsOfEveryGateway) {
  ASSERT_EQ(Post(R"({"to": "+4917212345", "text": "hi"})")->status, 201);
  Store->StoreIncoming("gw/m1", "+4918", "hello", 100);
  auto e = json::parse(Get("/events?since=0")->body);
  ASSERT_EQ(e["events"].size(), 2u) << e;
  EXPECT_EQ(e["events"][0]["type"], "message.queued");
  EXPECT_EQ(e["events"][0]["data"]["to"], "+4917212345");
  EXPECT_EQ(e["events"][0]["time"].get<std::string>().size(), 24u);  // 2026-12-10T08:30:46.123Z
  EXPECT_EQ(e["events"][1]["type"], "message.received");
  EXPECT_EQ(e["next"], e["events"][1]["id"]);
  e = json::parse(Get("/events?since=0&type=message.received")->body);
  EXPECT_EQ(e["events"].size(), 1u);
  EXPECT_EQ(json::parse(Get("/events?since=" + std::to_string(e["next"].get<int64_t>()))->body)["events"].size(), 0u);
  EXPECT_EQ(Get("/events?type=x'--")->status, 400);
  EXPECT_EQ(Get("/events", "")->status, 401);

  int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch()).count();
  TModemRecord m;
  m.Gateway = "gw-a";
  m.Name = "m1";
  m.Up = true;
  m.Signal = 20;
  m.Operator = "HALYARD NET";
  m.LastSeen = now;
  Store->RecordModem(m, "modem.up");
  m.Gateway = "gw-b";  // a gateway that stopped refreshing its record
  m.LastSeen = now - 5 * 60000;
  Store->RecordModem(m);
  auto modems = json::parse(Get("/modems")->body)["modems"];
  ASSERT_EQ(modems.size(), 2u) << modems;
  EXPECT_EQ(modems[0]["state"], "up");
  EXPECT_EQ(modems[0]["signal"], 20);
  EXPECT_EQ(modems[0]["operator"], "HALYARD NET");
  EXPECT_EQ(modems[1]["state"], "stale");
}

// A client that retries a POST (50 at once, as a reconnecting client may) gets one message; the
// same id with another body is refused; a message can be cancelled until a part goes out, and
// the list pages newest first.
namespace {
// One request on a connection of its own, written by hand: the concurrent clients of the test
// share nothing (the HTTP library's client shares state between threads).
std::pair<int, std::string> RawRequest(int Port, const std::string& Head, const std::string& Body) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) ::close(fd);
    return {0, ""};
  }
  std::string req = Head + "Content-Length: " + std::to_string(Body.size()) + "\r\nConnection: close\r\n\r\n" + Body;
  for (size_t off = 0; off < req.size();) {
    ssize_t n = ::send(fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  std::string res;
  char b[4096];
  for (ssize_t n; (n = ::recv(fd, b, sizeof b, 0)) > 0;) res.append(b, static_cast<size_t>(n));
  ::close(fd);
  int status = res.size() > 12 ? std::atoi(res.c_str() + 9) : 0;
  size_t body = res.find("\r\n\r\n");
  return {status, body == std::string::npos ? "" : res.substr(body + 4)};
}
}  // namespace

TEST_F(GatewayApi, OneMessageAKeyCancellingAndListing) {
  const std::string body = R"({"to": "+4917212345", "text": "once", "priority": 3})";
  std::vector<std::thread> clients;
  std::mutex m;
  std::map<int, int> statuses;
  std::set<int64_t> ids;
  for (int i = 0; i < 50; ++i)
    clients.emplace_back([&] {
      auto [status, answer] = RawRequest(Api->Port(),
                                         "POST /messages HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer s3cret\r\n"
                                         "Idempotency-Key: order-42\r\nContent-Type: application/json\r\n",
                                         body);
      std::lock_guard lk(m);
      ++statuses[status];
      ids.insert(json::parse(answer, nullptr, false).value("id", int64_t{-1}));
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(statuses[201], 1);
  EXPECT_EQ(statuses[200], 49);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(Store->QueueDepth(), 1);
  int64_t id = *ids.begin();
  auto r = Http->Post("/messages", {{"Authorization", "Bearer s3cret"}},
                      R"({"to": "+4917212345", "text": "another", "id": "order-42"})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 409) << r->body;

  r = Http->Post("/messages", {{"Authorization", "Bearer s3cret"}},
                 R"({"to": "+4917200000", "text": "later", "send_at": "2099-01-01T10:00:00+01:00"})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 201);
  EXPECT_EQ(json::parse(r->body)["status"], "scheduled");
  int64_t later = json::parse(r->body)["id"];
  EXPECT_EQ(Store->Get(later)->SendAt, 4070941200000);  // 09:00 UTC
  r = Http->Delete("/messages/" + std::to_string(later), {{"Authorization", "Bearer s3cret"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  r = Http->Delete("/messages/" + std::to_string(later), {{"Authorization", "Bearer s3cret"}});
  EXPECT_EQ(r->status, 409) << r->body;
  auto claimed = Store->Claim("gw/m1", TClock::now(), std::chrono::seconds(30));
  ASSERT_TRUE(claimed);
  EXPECT_EQ(claimed->Id, id);
  r = Http->Delete("/messages/" + std::to_string(id), {{"Authorization", "Bearer s3cret"}});
  EXPECT_EQ(r->status, 409) << "at a modem";

  auto list = Get("/messages?limit=1");
  ASSERT_EQ(list->status, 200) << list->body;
  auto j = json::parse(list->body);
  ASSERT_EQ(j["messages"].size(), 1u);
  EXPECT_EQ(j["messages"][0]["id"], later);
  EXPECT_EQ(j["messages"][0]["status"], "cancelled");
  EXPECT_TRUE(j["messages"][0]["times"].contains("cancelled"));
  auto next = Get("/messages?limit=1&cursor=" + std::to_string(j["next_cursor"].get<int64_t>()));
  EXPECT_EQ(json::parse(next->body)["messages"][0]["id"], id);
  EXPECT_EQ(json::parse(Get("/messages?status=cancelled")->body)["messages"].size(), 1u);
  EXPECT_EQ(json::parse(Get("/messages?to=%2B4917200000")->body)["messages"].size(), 1u);
  Http->set_url_encode(false);  // "+" unescaped, as a person types it
  EXPECT_EQ(json::parse(Get("/messages?to=+4917200000")->body)["messages"].size(), 1u);
  EXPECT_EQ(Get("/messages?status=lost")->status, 400);
}

// Subscriptions through the API (admin only), and Kannel's send URL for clients written for it.
TEST_F(GatewayApi, WebhooksAndKannelsSendUrl) {
  auto post = [&](const std::string& Path, const std::string& Body) {
    return Http->Post(Path, {{"Authorization", "Bearer s3cret"}}, Body, "application/json");
  };
  auto r = post("/webhooks", R"({"url": "http://127.0.0.1:9/h", "events": ["message.delivered", "modem."]})");
  ASSERT_EQ(r->status, 201) << r->body;
  auto made = json::parse(r->body);
  EXPECT_EQ(made["secret"].get<std::string>().rfind("whsec_", 0), 0u);
  EXPECT_EQ(post("/webhooks", R"({"url": "http://127.0.0.1:9/h", "events": ["message.lost"]})")->status, 400);
  EXPECT_EQ(post("/webhooks", R"({"url": "file:///etc/passwd", "events": ["*"]})")->status, 400);
  EXPECT_EQ(post("/webhooks", R"({"url": "http://127.0.0.1:9/h", "events": ["*"], "secret": "short"})")->status, 400);
  auto list = json::parse(Get("/webhooks")->body)["webhooks"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["signed"], true);
  EXPECT_FALSE(list[0].contains("secret"));
  std::string one = "/webhooks/" + std::to_string(made["id"].get<int64_t>());
  EXPECT_EQ(Get(one + "/deliveries")->status, 200);
  EXPECT_EQ(post(one + "/replay?since=0", "")->status, 202);
  EXPECT_EQ(Http->Delete(one, {{"Authorization", "Bearer s3cret"}})->status, 204);
  EXPECT_EQ(Http->Delete(one, {{"Authorization", "Bearer s3cret"}})->status, 404);

  Api.reset();
  Config.Keys.push_back({"rapidpro", HashKey("kannel-pass"), {"send"}, -1});
  Config.Keys.push_back({"reader", HashKey("reader-pass"), {"read"}, -1});
  Api = std::make_unique<TApiServer>(Config, TApiSource{Store.get(), [] { return std::vector<TModemState>{}; },
                                                        nullptr, nullptr});
  Api->Start();
  Http = std::make_unique<httplib::Client>("127.0.0.1", Api->Port());
  Http->set_url_encode(false);  // the query goes as Kannel's clients write it
  auto k = Http->Get("/cgi-bin/sendsms?username=rapidpro&password=kannel-pass&to=%2B4917212345&text=Hello+there"
                     "&dlr-mask=3&dlr-url=http%3A%2F%2F127.0.0.1%3A9%2Fdlr%3Ftype%3D%25d");
  ASSERT_TRUE(k);
  EXPECT_EQ(k->status, 202);
  EXPECT_EQ(k->body, "0: Accepted for delivery");
  auto m = Store->Messages({});
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].Text, "Hello there");
  EXPECT_TRUE(m[0].Report);
  EXPECT_EQ(m[0].CallbackUrl, "http://127.0.0.1:9/dlr?type=%d");
  k = Http->Post("/cgi-bin/sendsms", "user=rapidpro&pass=kannel-pass&to=4917212345&text=caf%E9&charset=ISO-8859-1",
                 "application/x-www-form-urlencoded");
  EXPECT_EQ(k->status, 202) << k->body;
  EXPECT_EQ(Store->Messages({})[0].Text, "caf\xC3\xA9");
  EXPECT_EQ(Http->Get("/cgi-bin/sendsms?username=rapidpro&password=wrong&to=1234&text=x")->status, 403);
  EXPECT_EQ(Http->Get("/cgi-bin/sendsms?username=reader&password=reader-pass&to=1234&text=x")->status, 403);
  EXPECT_EQ(Http->Get("/cgi-bin/sendsms?username=rapidpro&password=kannel-pass&text=x")->status, 400);
}

// The document describes every route the server answers, with its methods, and no other.
TEST_F(GatewayApi, TheOpenApiDocumentNamesEveryRoute) {
  auto r = Http->Get("/openapi.json");
  ASSERT_EQ(r->status, 200);
  auto doc = json::parse(r->body);
  EXPECT_EQ(doc["openapi"], "3.1.0");
  std::set<std::string> described, routed;
  for (auto& [path, item] : doc["paths"].items())
    for (auto& [method, op] : item.items())
      if (method != "parameters") described.insert(Halyard::AuxStr::UpString(method) + " " + path);
  for (auto& route : ApiRoutes()) {
    std::string methods = route.Methods;
    for (size_t start = 0; start < methods.size();) {
      size_t comma = methods.find(", ", start);
      if (comma == std::string::npos) comma = methods.size();
      routed.insert(methods.substr(start, comma - start) + " " + route.Path);
      start = comma + 2;
    }
  }
  EXPECT_EQ(described, routed);
}

// The console: its files under a policy that allows only themselves; a session opened with a key
// of the read scope lives in an HttpOnly, SameSite=Strict cookie, and every change made with it
// must carry its token.
TEST_F(GatewayApi, ConsoleSessionsAndTheirToken) {
  auto ask = [&](const std::string& Method, const std::string& Path, THttpFields Headers = {},
                 const std::string& Body = "") {
    THttpRequest r;
    r.Method = Method;
    r.Path = Path;
    r.Headers = std::move(Headers);
    r.Body = Body;
    r.Peer = "127.0.0.1";
    if (!Body.empty()) r.Headers.emplace_back("content-type", "application/json");
    return Api->Handle(r);
  };
  auto header = [](const THttpResponse& R, const std::string& Name) {
    for (auto& [k, v] : R.Headers)
      if (k == Name) return v;
    return std::string();
  };
  auto page = ask("GET", "/");
  EXPECT_EQ(page.Status, 200);
  EXPECT_EQ(page.ContentType, "text/html; charset=utf-8");
  EXPECT_NE(page.Body.find("/console.js"), std::string::npos);
  EXPECT_NE(header(page, "Content-Security-Policy").find("script-src 'self'"), std::string::npos);
  EXPECT_EQ(header(page, "Content-Security-Policy").find("unsafe-inline"), std::string::npos);
  EXPECT_EQ(ask("GET", "/console.js").ContentType, "text/javascript; charset=utf-8");

  EXPECT_EQ(ask("POST", "/console/login", {}, R"({"key": "wrong"})").Status, 401);
  EXPECT_EQ(ask("POST", "/console/login", {{"content-type", "application/x-www-form-urlencoded"}}).Status, 415);
  auto in = ask("POST", "/console/login", {}, R"({"key": "s3cret"})");
  ASSERT_EQ(in.Status, 200) << in.Body;
  std::string cookie = header(in, "Set-Cookie");
  EXPECT_NE(cookie.find("; HttpOnly; SameSite=Strict; Max-Age=28800"), std::string::npos) << cookie;
  std::string session = cookie.substr(0, cookie.find(';'));
  std::string csrf = json::parse(in.Body)["csrf"];
  EXPECT_EQ(csrf.size(), 64u);

  EXPECT_EQ(ask("GET", "/modems", {{"cookie", "theme=dark; " + session}}).Status, 200);
  EXPECT_EQ(json::parse(ask("GET", "/console/session", {{"cookie", session}}).Body)["csrf"], csrf);
  const std::string msg = R"({"to": "+4917212345", "text": "from the console"})";
  EXPECT_EQ(ask("POST", "/messages", {{"cookie", session}}, msg).Status, 403);
  EXPECT_EQ(ask("POST", "/messages", {{"cookie", session}, {"x-csrf-token", std::string(64, '0')}}, msg).Status, 403);
  EXPECT_EQ(Store->QueueDepth(), 0);
  EXPECT_EQ(ask("POST", "/messages", {{"cookie", session}, {"x-csrf-token", csrf}}, msg).Status, 201);
  EXPECT_EQ(ask("GET", "/modems", {{"cookie", "halyard_session=" + std::string(64, 'a')}}).Status, 401);

  EXPECT_EQ(ask("POST", "/console/logout", {{"cookie", session}}).Status, 403);  // no token: a forged log-out
  auto out = ask("POST", "/console/logout", {{"cookie", session}, {"x-csrf-token", csrf}});
  EXPECT_EQ(out.Status, 200);
  EXPECT_NE(header(out, "Set-Cookie").find("Max-Age=0"), std::string::npos);
  EXPECT_EQ(ask("GET", "/modems", {{"cookie", session}}).Status, 401);

  // Ten wrong keys from one peer in a minute, and even the right one waits.
  for (int i = 0; i < 9; ++i) EXPECT_EQ(ask("POST", "/console/login", {}, R"({"key": "guess"})").Status, 401);
  auto slowed = ask("POST", "/console/login", {}, R"({"key": "s3cret"})");
  EXPECT_EQ(slowed.Status, 429) << slowed.Body;
  EXPECT_FALSE(header(slowed, "Retry-After").empty());
}

// What the console's live count shows: the coding and the parts the gateway will send.
TEST_F(GatewayApi, SplitCountsAsTheGatewaySends) {
  auto split = [&](const std::string& Text) {
    auto r = Http->Post("/split", {{"Authorization", "Bearer s3cret"}}, json{{"text", Text}}.dump(), "application/json");
    return r ? json::parse(r->body) : json();
  };
  auto one = split("hello");
  EXPECT_EQ(one["encoding"], "GSM 7-bit");
  EXPECT_EQ(one["parts"], 1);
  EXPECT_EQ(one["per_part"], 160);
  auto euro = split(std::string(159, 'a') + "\xE2\x82\xAC");  // the euro sign takes two septets
  EXPECT_EQ(euro["units"], 161);
  EXPECT_EQ(euro["characters"], 160);
  EXPECT_EQ(euro["parts"], 2);
  EXPECT_EQ(euro["per_part"], 153);
  std::string cyrillic;
  for (int i = 0; i < 71; ++i) cyrillic += "\xD0\x96";
  auto wide = split(cyrillic);
  EXPECT_EQ(wide["encoding"], "UCS2");
  EXPECT_EQ(wide["parts"], 2);
  EXPECT_EQ(wide["per_part"], 67);
}

TEST(GatewayParts, ErrorsThatMayPassAndThoseThatWillNot) {
  for (const char* again : {"+CMS ERROR: 500", "+CMS ERROR: 512", "+CMS ERROR: 331", "+CMS ERROR: 332",
                            "+CMS ERROR: 42", "+CMS ERROR: 322", "ERROR", "+CME ERROR: 100", ""})
    EXPECT_TRUE(Retryable(again)) << again;
  for (const char* never : {"+CMS ERROR: 1", "+CMS ERROR: 28", "+CMS ERROR: 21", "+CMS ERROR: 304",
                            "+CMS ERROR: 96", "+CMS ERROR: 208"})
    EXPECT_FALSE(Retryable(never)) << never;
  // 2026-01-02 03:04:05 at +2 h and at -5 h, and at UTC.
  const double local = 46024.0 + (3 * 3600 + 4 * 60 + 5) / 86400.0;
  EXPECT_EQ(UtcStamp(local, 0), 1767323045);
  EXPECT_EQ(UtcStamp(local, 8), 1767323045 - 7200);
  EXPECT_EQ(UtcStamp(local, -20), 1767323045 + 18000);
  EXPECT_EQ(UtcStamp(0, 8), 0);
  EXPECT_TRUE(Halyard::AuxStr::ValidUtf8("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80"));
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\x80"})
    EXPECT_FALSE(Halyard::AuxStr::ValidUtf8(bad)) << bad;
}

// A due message that no modem may take says why, from the modems' records of every gateway.
TEST(GatewayParts, WhyAQueuedMessageWaits) {
  const int64_t now = 1'800'000'000'000;
  auto modem = [&](const std::string& Name, bool Up, const std::string& Limited, int64_t Seen) {
    TModemRecord r;
    r.Gateway = "gw";
    r.Name = Name;
    r.Up = Up;
    r.Limited = Limited;
    r.LastSeen = now - Seen;
    if (!Up) r.LastError = "no answer";
    return r;
  };
  std::vector<TModemRecord> pool = {modem("a", false, "", 0), modem("b", true, "per day: 50 of 50", 0),
                                    modem("c", true, "", 120'000), modem("d", true, "", 0)};
  TOutgoing m;
  m.Status = msQueued;
  m.Modems = {"a", "b", "c"};
  EXPECT_EQ(WaitingReason(m, pool, now),
            "no modem may take it now: gw/a: down (no answer); gw/b: at its limit (per day: 50 of 50); "
            "gw/c: its gateway is silent");
  m.Modems = {"x"};
  EXPECT_EQ(WaitingReason(m, pool, now), "no modem named x is known");
  m.Modems = {"a", "d"};
  EXPECT_EQ(WaitingReason(m, pool, now), "");  // d may take it
  m.Modems.clear();
  EXPECT_EQ(WaitingReason(m, pool, now), "");
  EXPECT_EQ(WaitingReason(m, {}, now), "no modem is known");
  m.Modems = {"a"};
  m.Status = msScheduled;
  m.SendAt = now + 1000;  // not due: it waits for its time, not for a modem
  EXPECT_EQ(WaitingReason(m, pool, now), "");
  m.SendAt = now - 1000;
  EXPECT_NE(WaitingReason(m, pool, now), "");
  m.Status = msSent;
  EXPECT_EQ(WaitingReason(m, pool, now), "");
}

TEST(GatewayConfig, FileValuesDefaultsAndMistakesNamed) {
  auto c = ParseConfig(R"(
name = "gw-a"
store = "host=/run/postgresql dbname=sms"
token = "t"
[http]
port = 9000
[sending]
lease_seconds = 30
max_attempts = 3
[[modem]]
device = "/dev/ttyUSB0"
model = "M20"
rate_per_minute = 6.5
[[modem]]
name = "second"
device = "/dev/ttyUSB1"
)");
  EXPECT_EQ(c.Name, "gw-a");
  EXPECT_EQ(c.Port, 9000);
  EXPECT_EQ(c.Listen, "127.0.0.1");
  EXPECT_EQ(c.Lease.count(), 30);
  EXPECT_EQ(c.MaxAttempts, 3);
  ASSERT_EQ(c.Modems.size(), 2u);
  EXPECT_EQ(c.Modems[0].Name, "modem1");
  EXPECT_EQ(c.Modems[0].Model, "M20");
  EXPECT_DOUBLE_EQ(c.Modems[0].RatePerMinute, 6.5);
  EXPECT_EQ(c.Modems[1].Name, "second");
  EXPECT_NO_THROW(CheckConfig(c));

  auto refused = [](const std::string& Toml, const std::string& Says) {
    try {
      auto r = ParseConfig(Toml, "gw.toml");
      CheckConfig(r);
      ADD_FAILURE() << "accepted: " << Toml;
    } catch (const EConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(Says), std::string::npos) << e.what();
    }
  };
  refused("token = \"t\"\n[[modem]]\ndevice = \"/dev/x\"\nbaud_rate = 9600\n", "Unknown key \"baud_rate\"");
  refused("token = \"t\"\n[http]\nport = \"80\"\n[[modem]]\n", "\"port\" in [http] must be a whole number");
  refused("token = \"t\"\nstore = \n", "gw.toml, line 2");
  refused("[[modem]]\ndevice = \"/dev/x\"\n", "No key");
  refused("token = \"t\"\n[[modem]]\nmodel = \"X99\"\n", "unknown model X99");
  refused("token = \"t\"\n[[modem]]\ndevice = \"/dev/x\"\n[[modem]]\ndevice = \"/dev/x\"\n", "Two modems use /dev/x");
  refused("token = \"t\"\n[[modem]]\nname = \"a b\"\n", "without spaces");
  refused("token = \"t\"\n[sending]\nlease_seconds = -1\n[[modem]]\n", "not negative");
  EXPECT_THROW(LoadConfig("/no/such/gateway.toml"), EConfigError);
}

// A flag changes what it names and nothing else: a configured device stays when only the rate is
// given, and with several modems a flag cannot say which.
TEST(GatewayConfig, FlagsOverrideTheOneModem) {
  auto c = ParseConfig("token = \"t\"\n[[modem]]\nname = \"m\"\ndevice = \"/dev/ttyUSB0\"\nmodel = \"M20\"\n");
  TModemFlags f;
  f.RatePerMinute = 10;
  ApplyModemFlags(c, f);
  ASSERT_EQ(c.Modems.size(), 1u);
  EXPECT_EQ(c.Modems[0].Name, "m");
  EXPECT_EQ(c.Modems[0].Device, "/dev/ttyUSB0");
  EXPECT_EQ(c.Modems[0].Model, "M20");
  EXPECT_EQ(c.Modems[0].RatePerMinute, 10);
  f.Device = "/dev/ttyACM0";
  ApplyModemFlags(c, f);
  EXPECT_EQ(c.Modems[0].Device, "/dev/ttyACM0");
  TGatewayConfig none;
  ApplyModemFlags(none, {});
  ASSERT_EQ(none.Modems.size(), 1u);
  EXPECT_EQ(none.Modems[0].Device, "");  // simulated
  auto two = ParseConfig("token = \"t\"\n[[modem]]\ndevice = \"/dev/a\"\n[[modem]]\ndevice = \"/dev/b\"\n");
  EXPECT_NO_THROW(ApplyModemFlags(two, {}));
  EXPECT_THROW(ApplyModemFlags(two, f), EConfigError);
}

TEST(GatewayConfig, TheShippedExampleIsValid) {
  std::ifstream in(std::string(HALYARD_SOURCE_DIR) + "/packaging/halyard-smsd.toml");
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  size_t at = text.find("token_file = ");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, text.find('\n', at) - at, "token = \"x\"");
  auto c = ParseConfig(text);
  EXPECT_NO_THROW(CheckConfig(c));
  EXPECT_EQ(c.Modems.at(0).Device, "/dev/ttyUSB0");
  EXPECT_EQ(c.Port, 8025);
  EXPECT_EQ(c.WebhookAttempts, 56);
  // Its subscription, uncommented, is one; a bad one is named.
  for (const char* key : {"# [[webhook]]", "# url = ", "# events = ", "# secret = "}) {
    size_t k = text.find(key);
    ASSERT_NE(k, std::string::npos) << key;
    text.erase(k, 2);
  }
  c = ParseConfig(text);
  ASSERT_EQ(c.Webhooks.size(), 1u);
  EXPECT_EQ(c.Webhooks[0].Events.size(), 3u);
  EXPECT_NO_THROW(CheckConfig(c));
  c.Webhooks[0].Url = "ftp://app.example/x";
  EXPECT_THROW(CheckConfig(c), EConfigError);
  EXPECT_THROW(ParseConfig("token = \"x\"\n[[webhook]]\nurl = \"http://a\"\nevents = 5\n"), EConfigError);
}

// Routes and groups as the configuration gives them: the longest prefix wins, "0049" is "+49",
// a named modem or group goes first, and what names nothing is refused.
TEST(GatewayConfig, RoutesGroupsAndLimits) {
  auto c = ParseConfig(
      "token = \"x\"\n"
      "[[route]]\nprefix = \"+49\"\nmodems = \"de\"\n"
      "[[route]]\nprefix = \"+4930\"\nmodems = [\"b\"]\n"
      "[[modem]]\nname = \"a\"\ngroups = [\"de\"]\nlimit_per_day = 50\n"
      "[[modem]]\nname = \"b\"\ngroups = \"de\"\n"
      "[[modem]]\nname = \"c\"\n");
  EXPECT_NO_THROW(CheckConfig(c));
  EXPECT_EQ(c.Modems[0].LimitPerDay, 50);
  EXPECT_EQ(EligibleModems(c, "+4917100"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(EligibleModems(c, "004930100"), (std::vector<std::string>{"b"}));
  EXPECT_TRUE(EligibleModems(c, "+3361100").empty());
  EXPECT_EQ(EligibleModems(c, "+4930100", "c"), (std::vector<std::string>{"c"}));
  EXPECT_THROW(EligibleModems(c, "+49", "nobody"), EConfigError);
  c.Routes.push_back({"+33", {"nobody"}});
  EXPECT_THROW(CheckConfig(c), EConfigError);
  c.Routes.back() = {"+3x", {"c"}};
  EXPECT_THROW(CheckConfig(c), EConfigError);
  c.Routes.pop_back();
  c.Modems[2].LimitPerMonth = -1;
  EXPECT_THROW(CheckConfig(c), EConfigError);
}

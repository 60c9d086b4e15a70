#pragma once
// The body of the API's fuzz target, shared by the libFuzzer program and the corpus test. The
// input is one request as text: "METHOD PATH?QUERY", header lines "name: value", a blank line,
// the body. It goes to the handlers as the server would give it, with a store of its own.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "halyard/gateway/GatewayApi.h"

namespace HalyardFuzz {

class TFuzzApi {
 public:
  TFuzzApi() {
    Dir_ = std::filesystem::temp_directory_path() / ("halyard-api-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir_);
    Store_ = Halyard::Gateway::OpenStore((Dir_ / "gateway.db").string());
    Halyard::Gateway::TGatewayConfig c;
    c.Token = "fuzz";
    c.MaxQueue = 500;  // the store stays small however long the run
    c.KeyRatePerSecond = 0;
    Api_ = std::make_unique<Halyard::Gateway::TApiServer>(
        c, Halyard::Gateway::TApiSource{Store_.get(),
                                        [] { return std::vector<Halyard::Gateway::TModemState>{{"m\"1\n", true, "", {}}}; },
                                        nullptr, nullptr});
  }
  ~TFuzzApi() {
    Api_.reset();
    Store_.reset();
    std::error_code e;
    std::filesystem::remove_all(Dir_, e);
  }
  Halyard::Gateway::TApiServer& Api() { return *Api_; }

 private:
  std::filesystem::path Dir_;
  std::unique_ptr<Halyard::Gateway::TStore> Store_;
  std::unique_ptr<Halyard::Gateway::TApiServer> Api_;
};

inline void ApiRequest(const uint8_t* data, size_t size) {
  static TFuzzApi api;
  std::string in(reinterpret_cast<const char*>(data), size);
  Halyard::Gateway::THttpRequest r;
  size_t at = 0;
  auto line = [&] {
    size_t end = in.find('\n', at);
    std::string l = in.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? in.size() : end + 1;
    return l;
  };
  std::string first = line();
  size_t sp = first.find(' ');
  r.Method = first.substr(0, sp);
  std::string target = sp == std::string::npos ? "" : first.substr(sp + 1);
  size_t q = target.find('?');
  r.Path = target.substr(0, q);
  for (size_t p = q; p != std::string::npos && p < target.size();) {
    size_t next = target.find('&', p + 1);
    std::string pair = target.substr(p + 1, next == std::string::npos ? std::string::npos : next - p - 1);
    size_t eq = pair.find('=');
    r.Query.emplace_back(pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1));
    p = next;
  }
  for (std::string h; at < in.size() && !(h = line()).empty();) {
    size_t colon = h.find(':');
    std::string value = colon == std::string::npos ? "" : h.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    r.Headers.emplace_back(h.substr(0, colon), value);
  }
  r.Body = in.substr(at);
  r.Peer = "127.0.0.1";
  auto res = api.Api().Handle(r);
  // A refusal is a 4xx; the only 5xx is a full queue or a store that is down.
  if (res.Status < 200 || res.Status > 503 || (res.Status >= 500 && res.Status != 503)) std::abort();
}

}  // namespace HalyardFuzz

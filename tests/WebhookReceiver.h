#pragma once
// A webhook subscriber on 127.0.0.1 for the tests: checks each signature with the secret it was
// given, apart from the package's own code, and answers as its script says (then 204).
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace HalyardTest {

class TWebhookReceiver {
 public:
  explicit TWebhookReceiver(std::string Secret) : Secret_(std::move(Secret)) {
    Server_.Post("/hook", [this](const httplib::Request& Q, httplib::Response& R) {
      std::string id = Q.get_header_value("webhook-id"), stamp = Q.get_header_value("webhook-timestamp");
      bool good = Q.get_header_value("webhook-signature") == Expected(id + "." + stamp + "." + Q.body);
      std::function<int()> answer;
      {
        std::lock_guard lk(M);
        ++Calls;
        if (!good) ++BadSignatures;
        Ids.push_back(id);
        Bodies.push_back(Q.body);
        if (!Script.empty()) {
          answer = Script.front();
          Script.erase(Script.begin());
        }
      }
      int status = answer ? answer() : 204;
      R.status = status;
      if (status >= 200 && status < 300) {
        std::lock_guard lk(M);
        Taken.insert(id);
      }
    });
    Port = Server_.bind_to_any_port("127.0.0.1");
    Thread_ = std::thread([this] { Server_.listen_after_bind(); });
  }
  ~TWebhookReceiver() {
    Server_.stop();
    Thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port) + "/hook"; }
  // "v1," and the base64 HMAC-SHA256 of Signed.
  std::string Expected(const std::string& Signed) const {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    HMAC(EVP_sha256(), Secret_.data(), static_cast<int>(Secret_.size()),
         reinterpret_cast<const unsigned char*>(Signed.data()), Signed.size(), mac, &n);
    unsigned char b64[128];
    int len = EVP_EncodeBlock(b64, mac, static_cast<int>(n));
    return "v1," + std::string(reinterpret_cast<char*>(b64), static_cast<size_t>(len));
  }

  std::mutex M;  // guards what follows
  std::vector<std::function<int()>> Script;
  int Calls = 0, BadSignatures = 0;
  std::vector<std::string> Ids, Bodies;  // of every call
  std::set<std::string> Taken;           // the ids answered with 2xx
  int Port = 0;

 private:
  std::string Secret_;
  httplib::Server Server_;
  std::thread Thread_;
};

}  // namespace HalyardTest

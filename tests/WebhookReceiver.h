#pragma once
// A webhook subscriber on 127.0.0.1 for the tests: checks each signature with the secret it was
// given, apart from the package's own code, and answers as its script says (then 204). Written on
// plain sockets, a thread a connection, so that the sanitizers see all of it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "halyard/auxstr/AuxStr.h"

namespace HalyardTest {

class TWebhookReceiver {
 public:
  explicit TWebhookReceiver(std::string Secret) : Secret_(std::move(Secret)) {
    Listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(Listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(Listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(Listen_, 64) == 0 &&
        ::getsockname(Listen_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      Port = ntohs(a.sin_port);
    Acceptor_ = std::thread([this] {
      for (;;) {
        int c = ::accept(Listen_, nullptr, nullptr);
        if (c < 0) return;
        std::lock_guard lk(Conns_);
        if (Stopping_) {
          ::close(c);
          return;
        }
        Fds_.push_back(c);
        Threads_.emplace_back([this, c] { Serve(c); });
      }
    });
  }
  ~TWebhookReceiver() {
    {
      std::lock_guard lk(Conns_);
      Stopping_ = true;
      for (int fd : Fds_) ::shutdown(fd, SHUT_RDWR);
    }
    ::shutdown(Listen_, SHUT_RDWR);
    Acceptor_.join();
    for (auto& t : Threads_) t.join();
    for (int fd : Fds_) ::close(fd);
    ::close(Listen_);
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
  std::vector<std::string> Targets;      // the request line's target ("/hook", "/dlr?type=1")
  std::set<std::string> Taken;           // the ids answered with 2xx
  int Port = 0;

 private:
  // Requests on one kept-alive connection, one after the other.
  void Serve(int Fd) {
    std::string in;
    char buf[8192];
    for (;;) {
      size_t head;
      while ((head = in.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        in.append(buf, static_cast<size_t>(n));
      }
      std::string h = Halyard::AuxStr::LoString(in.substr(0, head));
      auto field = [&](const std::string& Name) {
        size_t p = h.find("\r\n" + Name + ":");
        if (p == std::string::npos) return std::string();
        p += Name.size() + 3;
        std::string v = in.substr(p, h.find("\r\n", p) - p);  // the value as sent, not lowered
        return Halyard::AuxStr::Trim(v);
      };
      size_t length = static_cast<size_t>(std::atol(field("content-length").c_str()));
      while (in.size() < head + 4 + length) {
        ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        in.append(buf, static_cast<size_t>(n));
      }
      std::string body = in.substr(head + 4, length);
      std::string id = field("webhook-id"), stamp = field("webhook-timestamp");
      bool good = field("webhook-signature") == Expected(id + "." + stamp + "." + body);
      std::function<int()> answer;
      {
        std::lock_guard lk(M);
        ++Calls;
        if (!good) ++BadSignatures;
        Ids.push_back(id);
        Bodies.push_back(body);
        size_t sp = in.find(' ');
        Targets.push_back(sp < head ? in.substr(sp + 1, in.find(' ', sp + 1) - sp - 1) : "");
        if (!Script.empty()) {
          answer = Script.front();
          Script.erase(Script.begin());
        }
      }
      in.erase(0, head + 4 + length);
      int status = answer ? answer() : 204;
      std::string res = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: 0\r\n\r\n";
      if (::send(Fd, res.data(), res.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(res.size())) return;
      if (status >= 200 && status < 300) {
        std::lock_guard lk(M);
        Taken.insert(id);
      }
    }
  }

  std::string Secret_;
  int Listen_ = -1;
  std::thread Acceptor_;
  std::mutex Conns_;
  bool Stopping_ = false;
  std::vector<int> Fds_;
  std::vector<std::thread> Threads_;
};

}  // namespace HalyardTest

#include "halyard/gateway/Console.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace Halyard::Gateway {

std::string RandomToken() {
  unsigned char b[32];
  if (RAND_bytes(b, sizeof b) != 1) throw std::runtime_error("No random numbers for a session");
  static const char* kHex = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s += kHex[c >> 4];
    s += kHex[c & 15];
  }
  return s;
}

std::string CookieValue(std::string_view Header, std::string_view Name) {
  // "a=1; b=2": pairs split by ';', spaces around them ignored.
  for (size_t start = 0; start < Header.size();) {
    size_t end = Header.find(';', start);
    if (end == std::string_view::npos) end = Header.size();
    std::string_view pair = Header.substr(start, end - start);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == Name) {
      std::string_view v = pair.substr(eq + 1);
      while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
      return std::string(v);
    }
    start = end + 1;
  }
  return "";
}

TConsoleSessions::TSession TConsoleSessions::Open(const std::string& Key) {
  TSession s{RandomToken(), RandomToken(), Key, std::chrono::steady_clock::now() + Life_};
  std::lock_guard lk(M_);
  auto now = std::chrono::steady_clock::now();
  for (auto i = Sessions_.begin(); i != Sessions_.end();) i = i->second.Expires <= now ? Sessions_.erase(i) : std::next(i);
  Sessions_[s.Id] = s;
  return s;
}

std::optional<TConsoleSessions::TSession> TConsoleSessions::Find(const std::string& Id) {
  if (Id.size() != 64) return std::nullopt;
  std::lock_guard lk(M_);
  // Compared in full, whatever the value: the time taken says nothing of the names held.
  const TSession* found = nullptr;
  for (auto& [id, s] : Sessions_)
    if (CRYPTO_memcmp(id.data(), Id.data(), 64) == 0) found = &s;
  if (!found || found->Expires <= std::chrono::steady_clock::now()) return std::nullopt;
  return *found;
}

void TConsoleSessions::Close(const std::string& Id) {
  std::lock_guard lk(M_);
  Sessions_.erase(Id);
}

}  // namespace Halyard::Gateway

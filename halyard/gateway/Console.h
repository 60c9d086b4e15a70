#pragma once
// The web console's side of the server: its pages, built into the binary, and the sessions a
// person opens with a key (a cookie the browser keeps, and a token every change must carry).
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace Halyard::Gateway {

struct TConsoleAsset {
  std::string_view Type;  // its Content-Type
  std::string_view Body;
};
// The console's page, script and style by path ("/", "/console.js", "/console.css"); null for
// any other path.
const TConsoleAsset* ConsoleAsset(std::string_view Path);

// What the console's answers are allowed to load and run: only its own files, nothing inline,
// nothing framed.
constexpr const char* kConsolePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
constexpr const char* kSessionCookie = "halyard_session";

// 32 random bytes as hex: a session's name or its token. Raises when the system has none.
std::string RandomToken();
// The value of the cookie Name in a Cookie header; "" when it has none.
std::string CookieValue(std::string_view Header, std::string_view Name);

class TConsoleSessions {
 public:
  struct TSession {
    std::string Id, Csrf, Key;  // Key: the name of the key it was opened with
    std::chrono::steady_clock::time_point Expires;
  };
  explicit TConsoleSessions(std::chrono::seconds Life) : Life_(Life) {}
  TSession Open(const std::string& Key);
  // The session of a cookie's value while it lasts.
  std::optional<TSession> Find(const std::string& Id);
  void Close(const std::string& Id);
  std::chrono::seconds Life() const { return Life_; }

 private:
  const std::chrono::seconds Life_;
  std::mutex M_;
  std::map<std::string, TSession> Sessions_;
};

}  // namespace Halyard::Gateway

#pragma once
// An HTTP/1.1 server for a port that faces strangers: event-driven (an idle or slow client costs a
// socket, never a thread), with limits on connections, on each client's connections, on the
// header block and on the body whatever its transfer coding, a deadline for each whole request,
// strict message framing and, when given a certificate, TLS. Handlers see a whole request.
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Halyard::Gateway {

class EHttpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using THttpFields = std::vector<std::pair<std::string, std::string>>;

// The fields of a form-encoded text ("a=1&b=x+y%21"), decoded, in their order.
THttpFields ParseForm(std::string_view Text);

struct THttpRequest {
  std::string Method, Path;  // the path percent-decoded, without its query
  THttpFields Query;         // decoded, in their order
  THttpFields Headers;       // names in lower case, in their order
  std::string Body;
  std::string Peer;          // the client's address
  // The first value of a header (Name in lower case) or query parameter, or null.
  const std::string* Header(std::string_view Name) const;
  const std::string* Param(std::string_view Name) const;
};

struct THttpResponse {
  int Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  THttpFields Headers;
  // A body sent as it comes (Server-Sent Events) instead of Body: called whenever the client may
  // take more, it appends what is ready to Out and says whether more may follow. Nothing ready:
  // the connection waits, holding no thread, and is asked again a quarter of a second later.
  std::function<bool(std::string& Out)> Stream;
  void Set(std::string Name, std::string Value) { Headers.emplace_back(std::move(Name), std::move(Value)); }
};

struct THttpLimits {
  size_t MaxConnections = 4096;
  size_t MaxConnectionsPerClient = 2048;
  size_t MaxHeaderBytes = 16 * 1024;  // the request line and headers
  size_t MaxBodyBytes = 64 * 1024;    // after any chunked coding is undone
  // From a connection's start, or its last answer, to the whole next request received; also
  // how long an answer may wait for a client that does not read it.
  std::chrono::seconds RequestTimeout{30};
  unsigned Threads = 4;  // event loops, each serving many connections
  std::string CertificatePem, KeyPem;  // both: TLS
};

class THttpServer {
 public:
  using THandler = std::function<THttpResponse(const THttpRequest&)>;
  // A handler's refusal by the server itself (400, 413, 431, 501...) is given to OnRefused for
  // the log; the handler never sees such a request.
  using TRefusal = std::function<void(const std::string& Peer, int Status, const std::string& Why)>;

  THttpServer(THttpLimits Limits, THandler Handler, TRefusal OnRefused = nullptr);
  ~THttpServer();
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  // Listens on Address (a numeric IPv4 or IPv6 address) and Port (0: any free port); raises
  // EHttpError when it cannot.
  void Start(const std::string& Address, int Port);
  void Stop();
  int Port() const;

  struct TImpl;

 private:
  std::unique_ptr<TImpl> Impl_;
};

}  // namespace Halyard::Gateway

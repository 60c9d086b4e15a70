#include "halyard/gateway/HttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cctype>
#include <cstring>
#include <optional>
#include <mutex>
#include <thread>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "halyard/auxstr/AuxStr.h"

namespace Halyard::Gateway {

namespace {

using TClock = std::chrono::steady_clock;

// Its text as a JSON string.
std::string JsonString(const std::string& S) {
  return nlohmann::json(S).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One connection, for the deadline of its request.
struct TConn {
  int Fd = -1;
  TClock::time_point Deadline = TClock::time_point::max();
  bool Shut = false;
};

// A streamed answer: what its source gave and the client has not taken yet.
struct TStream {
  std::function<bool(std::string&)> Next;
  std::string Buf;
  size_t Taken = 0;
  bool Ended = false;
  MHD_Connection* Conn = nullptr;
  THttpServer::TImpl* Server = nullptr;
};

// One request as it is being received.
struct TPending {
  THttpRequest Req;
  int Refused = 0;  // the status the server answers itself, once it knows
  std::string Why;
  bool AnswerNow = true;  // a refusal: before the body, or after reading it to its end
  bool Begun = false;     // the head has been read
  std::optional<std::string> RawQuery;  // as the client sent it, when it sent one
};

}  // namespace

THttpFields ParseForm(std::string_view Text) {
  auto decode = [](std::string_view v) {
    std::string o;
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i] == '+') {
        o += ' ';
      } else if (v[i] == '%' && i + 2 < v.size() && std::isxdigit(static_cast<unsigned char>(v[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(v[i + 2]))) {
        o += static_cast<char>(std::stoi(std::string(v.substr(i + 1, 2)), nullptr, 16));
        i += 2;
      } else {
        o += v[i];
      }
    }
    return o;
  };
  THttpFields r;
  for (size_t start = 0; start < Text.size();) {
    size_t amp = Text.find('&', start);
    if (amp == std::string_view::npos) amp = Text.size();
    std::string_view pair = Text.substr(start, amp - start);
    size_t eq = pair.find('=');
    if (!pair.empty())
      r.emplace_back(decode(pair.substr(0, eq)), eq == std::string_view::npos ? "" : decode(pair.substr(eq + 1)));
    start = amp + 1;
  }
  return r;
}

const std::string* THttpRequest::Header(std::string_view Name) const {
  for (auto& [k, v] : Headers)
    if (k == Name) return &v;
  return nullptr;
}

const std::string* THttpRequest::Param(std::string_view Name) const {
  for (auto& [k, v] : Query)
    if (k == Name) return &v;
  return nullptr;
}

struct THttpServer::TImpl {
  THttpLimits Limits;
  THandler Handler;
  TRefusal OnRefused;
  MHD_Daemon* Daemon = nullptr;
  int Port = 0;

  std::mutex ConnLock;
  std::unordered_set<TConn*> Conns;
  std::condition_variable Wake;
  bool Stopping = false;
  std::thread Reaper;
  std::vector<MHD_Connection*> Parked;  // streams with nothing to send, suspended; under ConnLock

  void SetDeadline(MHD_Connection* C, TClock::time_point At) {
    const MHD_ConnectionInfo* i = MHD_get_connection_info(C, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (!i || !i->socket_context) return;
    std::lock_guard lk(ConnLock);
    static_cast<TConn*>(i->socket_context)->Deadline = At;
  }

  // Closes, from its own thread, the connections whose request has not come whole in time: a
  // client that trickles its request keeps its socket only until then. shutdown() leaves the
  // descriptor to the event loop, which sees the end and closes it; the lock keeps the loop from
  // closing it (and the number being reused) meanwhile.
  void Reap() {
    std::unique_lock lk(ConnLock);
    while (!Stopping) {
      Wake.wait_for(lk, std::chrono::milliseconds(250));
      // Parked streams are asked again for what has come since.
      for (MHD_Connection* c : Parked) MHD_resume_connection(c);
      Parked.clear();
      auto now = TClock::now();
      for (TConn* c : Conns)
        if (!c->Shut && c->Deadline <= now) {
          ::shutdown(c->Fd, SHUT_RDWR);
          c->Shut = true;
        }
    }
  }

  static void Notify(void* Cls, MHD_Connection* C, void** SocketContext, MHD_ConnectionNotificationCode Code) {
    auto* self = static_cast<TImpl*>(Cls);
    if (Code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* conn = new TConn;
      const MHD_ConnectionInfo* i = MHD_get_connection_info(C, MHD_CONNECTION_INFO_CONNECTION_FD);
      conn->Fd = i ? i->connect_fd : -1;
      conn->Deadline = TClock::now() + self->Limits.RequestTimeout;
      std::lock_guard lk(self->ConnLock);
      self->Conns.insert(conn);
      *SocketContext = conn;
    } else if (*SocketContext) {
      auto* conn = static_cast<TConn*>(*SocketContext);
      {
        std::lock_guard lk(self->ConnLock);
        self->Conns.erase(conn);
      }
      delete conn;
      *SocketContext = nullptr;
    }
  }

  static void Completed(void* Cls, MHD_Connection* C, void** ConCls, MHD_RequestTerminationCode) {
    delete static_cast<TPending*>(*ConCls);
    *ConCls = nullptr;
    static_cast<TImpl*>(Cls)->SetDeadline(C, TClock::now() + static_cast<TImpl*>(Cls)->Limits.RequestTimeout);
  }

  // The next bytes of a streamed answer. With nothing ready the connection is suspended (the
  // library's way for a reader with no data yet) and parked for the reaper to resume.
  static ssize_t ReadStream(void* Cls, uint64_t, char* Buf, size_t Max) {
    auto* s = static_cast<TStream*>(Cls);
    if (s->Taken == s->Buf.size()) {
      s->Buf.clear();
      s->Taken = 0;
      if (s->Ended) return MHD_CONTENT_READER_END_OF_STREAM;
      {
        std::lock_guard lk(s->Server->ConnLock);
        if (s->Server->Stopping) return MHD_CONTENT_READER_END_OF_STREAM;
      }
      try {
        s->Ended = !s->Next(s->Buf);
      } catch (const std::exception&) {
        s->Ended = true;
      }
      if (s->Buf.empty()) {
        if (s->Ended) return MHD_CONTENT_READER_END_OF_STREAM;
        std::lock_guard lk(s->Server->ConnLock);
        // Checked again under the lock Stop takes: nothing is parked once it has resumed them all.
        if (s->Server->Stopping) return MHD_CONTENT_READER_END_OF_STREAM;
        MHD_suspend_connection(s->Conn);
        s->Server->Parked.push_back(s->Conn);
        return 0;
      }
    }
    size_t n = std::min(Max, s->Buf.size() - s->Taken);
    std::memcpy(Buf, s->Buf.data() + s->Taken, n);
    s->Taken += n;
    return static_cast<ssize_t>(n);
  }

  MHD_Result Queue(MHD_Connection* C, const THttpResponse& R, bool Close) {
    MHD_Response* res = nullptr;
    if (R.Stream) {
      auto* s = new TStream{R.Stream, {}, 0, false, C, this};
      res = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &TImpl::ReadStream, s,
                                              [](void* Cls) { delete static_cast<TStream*>(Cls); });
      if (!res) delete s;
    } else {
      res = MHD_create_response_from_buffer(R.Body.size(), const_cast<char*>(R.Body.data()), MHD_RESPMEM_MUST_COPY);
    }
    if (!res) return MHD_NO;
    MHD_add_response_header(res, "Content-Type", R.ContentType.c_str());
    for (auto& [k, v] : R.Headers) MHD_add_response_header(res, k.c_str(), v.c_str());
    if (Close) MHD_add_response_header(res, "Connection", "close");
    MHD_Result ok = MHD_queue_response(C, static_cast<unsigned>(R.Status), res);
    MHD_destroy_response(res);
    return ok;
  }

  MHD_Result Refuse(MHD_Connection* C, TPending& P) {
    if (OnRefused) OnRefused(P.Req.Peer, P.Refused, P.Why);
    THttpResponse r;
    r.Status = P.Refused;
    r.Body = "{\"error\":" + JsonString(P.Why) + "}";
    return Queue(C, r, true);
  }

  // What is wrong with a request's framing, by RFC 9112 read strictly: a message whose length
  // two parties could read differently is refused, not guessed at.
  void CheckFraming(MHD_Connection* C, TPending& P) {
    const THttpRequest& q = P.Req;
    const MHD_ConnectionInfo* hs = MHD_get_connection_info(C, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    size_t headerBytes = hs ? hs->header_size : 0;
    std::string length, coding;
    int lengths = 0, codings = 0;
    for (auto& [k, v] : q.Headers) {
      if (k == "content-length") {
        std::string t = AuxStr::Trim(v);
        if (lengths++ && t != length) return Set(P, 400, "Conflicting Content-Length headers");
        length = t;
      } else if (k == "transfer-encoding") {
        ++codings;
        coding = AuxStr::LoString(AuxStr::Trim(v));
      }
    }
    if (headerBytes > Limits.MaxHeaderBytes)
      return Set(P, 431, "The request's headers are larger than " + std::to_string(Limits.MaxHeaderBytes) + " bytes");
    if (codings && lengths) return Set(P, 400, "Transfer-Encoding and Content-Length together");
    if (codings > 1 || (codings && coding != "chunked"))
      return Set(P, 501, "Only the chunked transfer coding is understood");
    if (lengths) {
      if (length.empty() || length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos)
        return Set(P, 400, "Content-Length is not a length");
      uint64_t n = std::stoull(length);
      if (n > Limits.MaxBodyBytes) {
        TooLarge(P);
        // A client that waits for "100 Continue", or announces more than is worth reading, is
        // answered at once. Any other may be writing its body already: closing on unread bytes
        // would reset the connection and lose the answer, so a moderate body is read to its end
        // and dropped, as an oversized chunked one is.
        const std::string* expect = q.Header("expect");
        P.AnswerNow = (expect && AuxStr::LoString(AuxStr::Trim(*expect)) == "100-continue") || n > DiscardLimit();
      }
    }
  }

  size_t DiscardLimit() const { return std::max<size_t>(1 << 20, 4 * Limits.MaxBodyBytes); }

  void TooLarge(TPending& P) {
    Set(P, 413, "The body is too large: " + std::to_string(Limits.MaxBodyBytes) + " bytes at most");
  }

  static void Set(TPending& P, int Status, std::string Why) {
    P.Refused = Status;
    P.Why = std::move(Why);
  }

  // The first sight of a request: its query as it came, before any decoding.
  static void* UriSeen(void*, const char* Uri, MHD_Connection*) {
    auto* p = new TPending;
    if (const char* q = Uri ? std::strchr(Uri, '?') : nullptr) p->RawQuery = std::string(q + 1);
    return p;
  }

  static MHD_Result Access(void* Cls, MHD_Connection* C, const char* Url, const char* Method, const char*,
                           const char* Upload, size_t* UploadSize, void** ConCls) {
    auto* self = static_cast<TImpl*>(Cls);
    auto* p = static_cast<TPending*>(*ConCls);
    if (!p) {
      p = new TPending;
      *ConCls = p;
    }
    if (!p->Begun) {
      p->Begun = true;
      p->Req.Method = Method;
      p->Req.Path = Url;
      MHD_get_connection_values(
          C, MHD_HEADER_KIND,
          [](void* To, MHD_ValueKind, const char* K, const char* V) {
            static_cast<THttpRequest*>(To)->Headers.emplace_back(AuxStr::LoString(K), V ? V : "");
            return MHD_YES;
          },
          &p->Req);
      // A query is form-encoded ("+" a space), as browsers and form libraries write it.
      if (p->RawQuery)
        p->Req.Query = ParseForm(*p->RawQuery);
      else
        MHD_get_connection_values(
            C, MHD_GET_ARGUMENT_KIND,
            [](void* To, MHD_ValueKind, const char* K, const char* V) {
              static_cast<THttpRequest*>(To)->Query.emplace_back(K, V ? V : "");
              return MHD_YES;
            },
            &p->Req);
      if (const MHD_ConnectionInfo* i = MHD_get_connection_info(C, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
          i && i->client_addr) {
        char b[INET6_ADDRSTRLEN] = {};
        const sockaddr* a = i->client_addr;
        if (a->sa_family == AF_INET)
          ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, b, sizeof b);
        else if (a->sa_family == AF_INET6)
          ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, b, sizeof b);
        p->Req.Peer = b;
      }
      self->CheckFraming(C, *p);
      // The connection closes behind a refusal: what follows its head cannot be trusted.
      return p->Refused && p->AnswerNow ? self->Refuse(C, *p) : MHD_YES;
    }
    if (*UploadSize) {
      if (!p->Refused && p->Req.Body.size() + *UploadSize > self->Limits.MaxBodyBytes) {
        self->TooLarge(*p);
        p->AnswerNow = false;
        p->Req.Body.clear();
        p->Req.Body.shrink_to_fit();
      }
      // A body found too large is read to its end and dropped: the answer can only go out then,
      // and the request's deadline bounds how long that may take.
      if (!p->Refused) p->Req.Body.append(Upload, *UploadSize);
      *UploadSize = 0;
      return MHD_YES;
    }
    if (p->Refused) return self->Refuse(C, *p);
    self->SetDeadline(C, TClock::time_point::max());  // the whole request is in
    THttpResponse r;
    try {
      r = self->Handler(p->Req);
    } catch (const std::exception& e) {
      r = THttpResponse{500, "application/json", "{\"error\":" + JsonString(e.what()) + "}", {}};
    } catch (...) {
      r = THttpResponse{500, "application/json", "{\"error\":\"internal error\"}", {}};
    }
    return self->Queue(C, r, false);
  }
};

THttpServer::THttpServer(THttpLimits Limits, THandler Handler, TRefusal OnRefused)
    : Impl_(std::make_unique<TImpl>()) {
  Impl_->Limits = std::move(Limits);
  Impl_->Handler = std::move(Handler);
  Impl_->OnRefused = std::move(OnRefused);
}

THttpServer::~THttpServer() { Stop(); }

int THttpServer::Port() const { return Impl_->Port; }

void THttpServer::Start(const std::string& Address, int Port) {
  if (Impl_->Daemon) return;
  addrinfo hints{}, *found = nullptr;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  std::string port = std::to_string(Port);
  if (::getaddrinfo(Address.c_str(), port.c_str(), &hints, &found) != 0 || !found)
    throw EHttpError("Cannot listen on " + Address + ": not a numeric IPv4 or IPv6 address");
  int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
               ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 1024) == 0;
  int err = errno;
  ::freeaddrinfo(found);
  if (!bound) {
    if (fd >= 0) ::close(fd);
    throw EHttpError("Cannot listen on " + Address + ":" + port + ": " + std::strerror(err));
  }
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  Impl_->Port = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&sa)->sin_port);

  const THttpLimits& l = Impl_->Limits;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME;
  bool tls = !l.CertificatePem.empty() || !l.KeyPem.empty();
  if (tls) flags |= MHD_USE_TLS;
  std::vector<MHD_OptionItem> opts = {
      {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(l.MaxConnections), nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(l.MaxConnectionsPerClient), nullptr},
      // Room for the header block and a read buffer; a block past it is refused by the library.
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(std::max<size_t>(32 * 1024, 2 * l.MaxHeaderBytes)),
       nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(std::max<int64_t>(1, l.RequestTimeout.count())), nullptr},
      {MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&TImpl::Notify), Impl_.get()},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&TImpl::Completed), Impl_.get()},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&TImpl::UriSeen), nullptr},
      {MHD_OPTION_EXTERNAL_LOGGER,
       reinterpret_cast<intptr_t>(+[](void*, const char*, va_list) {}), nullptr},  // refusals are ours to log
  };
  if (l.Threads > 1) opts.push_back({MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(l.Threads), nullptr});
  if (tls) {
    opts.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(l.CertificatePem.c_str())});
    opts.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(l.KeyPem.c_str())});
  }
  opts.push_back({MHD_OPTION_END, 0, nullptr});
  Impl_->Daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &TImpl::Access, Impl_.get(), MHD_OPTION_ARRAY,
                                   opts.data(), MHD_OPTION_END);
  if (!Impl_->Daemon) {
    ::close(fd);
    throw EHttpError(tls ? "Cannot serve HTTPS: the certificate or its key is not usable PEM, or they do not match"
                         : "Cannot start the HTTP server");
  }
  Impl_->Stopping = false;
  Impl_->Reaper = std::thread([this] { Impl_->Reap(); });
}

void THttpServer::Stop() {
  if (!Impl_->Daemon) return;
  {
    // Streams end: the parked ones are resumed to find the server stopping.
    std::lock_guard lk(Impl_->ConnLock);
    Impl_->Stopping = true;
    for (MHD_Connection* c : Impl_->Parked) MHD_resume_connection(c);
    Impl_->Parked.clear();
  }
  Impl_->Wake.notify_all();
  Impl_->Reaper.join();
  MHD_stop_daemon(Impl_->Daemon);  // closes every connection and the listening socket
  Impl_->Daemon = nullptr;
}

}  // namespace Halyard::Gateway

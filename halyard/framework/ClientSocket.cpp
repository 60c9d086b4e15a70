#include "halyard/framework/ClientSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

namespace Halyard::Framework {

TCustomWinSocket::TCustomWinSocket(int ASocket) : Fd_(ASocket), Connected_(ASocket >= 0) {}

TCustomWinSocket::~TCustomWinSocket() { Close(); }

void TCustomWinSocket::Error(const char* Api, int Code) {
  throw ESocketError(Format("Socket error: %s (%d), on API '%s'", SysErrorMessage(Code), Code, Api));
}

void TCustomWinSocket::SetAsyncStyles(TAsyncStyles Value) {
  if (!Value.Empty()) throw ESocketError("Asynchronous socket styles are not supported");
}

void TCustomWinSocket::Close() {
  if (Fd_ >= 0) ::close(Fd_);
  Fd_ = -1;
  Connected_ = false;
}

void TCustomWinSocket::Open(const std::string& Host, const std::string& Address, const std::string& Service,
                            uint16_t Port, bool Block) {
  if (!Block) throw ESocketError("Only blocking sockets are supported");
  if (Connected_) throw ESocketError("Socket is already connected");
  const std::string& node = Address.empty() ? Host : Address;
  if (node.empty()) throw ESocketError("Socket error: no host or address given");
  std::string service = Port != 0 ? std::to_string(Port) : Service;
  if (service.empty()) throw ESocketError("Socket error: no port or service given");

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = (Address.empty() ? 0 : AI_NUMERICHOST) | (Port != 0 ? AI_NUMERICSERV : 0);
  addrinfo* found = nullptr;
  if (int rc = ::getaddrinfo(node.c_str(), service.c_str(), &hints, &found); rc != 0)
    throw ESocketError(Format("Socket error: %s, on API 'getaddrinfo' (%s:%s)", ::gai_strerror(rc), node, service));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);

  int lastError = ECONNREFUSED;
  for (addrinfo* a = found; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    // Non-blocking only while connecting, so an unreachable peer costs ConnectTimeout at most.
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int n;
      do n = ::poll(&p, 1, ConnectTimeout_ > 0 ? ConnectTimeout_ : -1);
      while (n < 0 && errno == EINTR);
      int soError = 0;
      socklen_t len = sizeof soError;
      if (n == 0) soError = ETIMEDOUT;
      else if (n < 0) soError = errno;
      else ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
      rc = soError == 0 ? 0 : -1;
      errno = soError;
    }
    if (rc == 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Fd_ = fd;
      Connected_ = true;
      return;
    }
    lastError = errno;
    ::close(fd);
  }
  Error("connect", lastError);
}

int TCustomWinSocket::ReceiveLength() {
  if (Fd_ < 0) return 0;
  int n = 0;
  if (::ioctl(Fd_, FIONREAD, &n) != 0) return 0;
  return n;
}

int TCustomWinSocket::ReceiveBuf(void* Buf, int Count) {
  if (Fd_ < 0 || Count <= 0) return 0;
  ssize_t n;
  do n = ::recv(Fd_, Buf, static_cast<size_t>(Count), 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) Error("recv", errno);
  return static_cast<int>(n);
}

int TCustomWinSocket::SendBuf(const void* Buf, int Count) {
  if (Fd_ < 0) throw ESocketError("Socket error: not connected, on API 'send'");
  if (Count <= 0) return 0;
  ssize_t n;
  // A peer that has gone must give an error, not a signal that ends the process.
  do n = ::send(Fd_, Buf, static_cast<size_t>(Count), MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n < 0) Error("send", errno);
  return static_cast<int>(n);
}

}  // namespace Halyard::Framework

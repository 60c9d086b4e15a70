#pragma once
// A blocking TCP client socket over POSIX sockets.
#include <cstdint>
#include <string>

#include "halyard/framework/Set.h"
#include "halyard/framework/SysUtils.h"
#include "halyard/framework/Threads.h"

namespace Halyard::Framework {

class ESocketError : public Exception {
 public:
  using Exception::Exception;
};

enum TAsyncStyle { asRead, asWrite, asOOB, asAccept, asConnect, asClose };
using TAsyncStyles = Set<TAsyncStyle>;

class TCustomWinSocket {
 public:
  // -1: a new, unconnected socket.
  explicit TCustomWinSocket(int ASocket = -1);
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;
  virtual ~TCustomWinSocket();  // closes the socket

  // Only blocking use is offered: a non-empty set raises.
  void SetAsyncStyles(TAsyncStyles Value);
  // Connects before it returns. Address (numeric) is used when given, else Host; Port when
  // not 0, else Service. Failures raise ESocketError.
  void Open(const std::string& Host, const std::string& Address, const std::string& Service, uint16_t Port,
            bool Block = true);
  void Close();
  bool Connected() const { return Connected_; }
  int SocketHandle() const { return Fd_; }

  int ReceiveLength();
  int ReceiveBuf(void* Buf, int Count);
  int SendBuf(const void* Buf, int Count);

  void Lock() { Lock_.Enter(); }
  void Unlock() { Lock_.Leave(); }

  // How long Open waits for the peer before it gives up (milliseconds).
  int ConnectTimeout() const { return ConnectTimeout_; }
  void SetConnectTimeout(int v) { ConnectTimeout_ = v; }

 private:
  [[noreturn]] void Error(const char* Api, int Code);
  int Fd_ = -1;
  bool Connected_ = false;
  int ConnectTimeout_ = 30000;
  TCriticalSection Lock_;
};

}  // namespace Halyard::Framework

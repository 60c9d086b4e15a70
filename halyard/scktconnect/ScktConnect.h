#pragma once
// A byte-stream connection over a TCP client socket, with a polling receiver thread.
#include <atomic>
#include <memory>
#include <string>

#include "halyard/connect/Connect.h"
#include "halyard/framework/ClientSocket.h"

namespace Halyard::ScktConnect {

using Connect::EComError;
using Framework::TComponent;

class TClientSocketConnection;

// Terminate also ends the 100 ms pause at once.
class TClientSocketThread : public Framework::TWakeableThread {
 public:
  explicit TClientSocketThread(TClientSocketConnection* Owner);

 protected:
  void Execute() override;
  void DoOnSignal();

 private:
  TClientSocketConnection* Owner_;
};

class TClientSocketConnection : public Connect::TCommunicationConnection {
 public:
  explicit TClientSocketConnection(TComponent* AOwner) : TCommunicationConnection(AOwner) {}
  ~TClientSocketConnection() override;

  int Port() const { return Port_; }
  void SetPort(int v);
  const std::string& Host() const { return Host_; }
  void SetHost(const std::string& v);
  const std::string& Address() const { return Address_; }
  void SetAddress(const std::string& v);
  const std::string& Service() const { return Service_; }
  void SetService(const std::string& v);

  // -1 while inactive.
  int InQueCount() override;
  void PurgeIn() override;
  void PurgeOut() override {}
  int Write(const void* Buffer, int Count) override;
  int Read(void* Buffer, int Count) override;

  // The socket while open, else nullptr.
  Framework::TCustomWinSocket* Socket() const { return Socket_.get(); }

 protected:
  void OpenConn() override;
  void CloseConn() override;

 private:
  friend class TClientSocketThread;
  int Port_ = 0;
  std::string Host_, Address_, Service_;
  std::unique_ptr<Framework::TCustomWinSocket> Socket_;
  std::unique_ptr<TClientSocketThread> Thread_;
  Framework::TRetiredThread Retired_;  // a receiver thread closed from its own handler
};

// Puts TClientSocketConnection on the palette page "Communication".
void Register();

}  // namespace Halyard::ScktConnect

#include "halyard/scktconnect/ScktConnect.h"

#include <algorithm>

#include "halyard/framework/Properties.h"
#include "halyard/framework/Registry.h"
#include "halyard/resources/Resources.h"

namespace Halyard::ScktConnect {

namespace R = Halyard::Resources;

// --- TClientSocketThread -------------------------------------------------------------------

TClientSocketThread::TClientSocketThread(TClientSocketConnection* Owner) : Owner_(Owner) {
  SetPriority(Framework::tpLower);
  Start();
}

void TClientSocketThread::Execute() {
  while (!Terminated()) {
    if (Owner_->Socket_->ReceiveLength() > 0) Deliver(Owner_->DontSynchronize(), [this] { DoOnSignal(); });
    // The poll interval; closing wakes it at once.
    WakeEvent().WaitFor(100);
  }
}

void TClientSocketThread::DoOnSignal() { Owner_->DoOnRxChar(Owner_->Socket_->ReceiveLength()); }

// --- TClientSocketConnection ---------------------------------------------------------------

TClientSocketConnection::~TClientSocketConnection() { Retired_.WaitFor(); }

void TClientSocketConnection::SetPort(int v) {
  CheckInactive();
  Port_ = v;
}
void TClientSocketConnection::SetHost(const std::string& v) {
  CheckInactive();
  Host_ = v;
}
void TClientSocketConnection::SetAddress(const std::string& v) {
  CheckInactive();
  Address_ = v;
}
void TClientSocketConnection::SetService(const std::string& v) {
  CheckInactive();
  Service_ = v;
}

void TClientSocketConnection::OpenConn() {
  Retired_.WaitFor();  // a receiver thread closed from its own handler is gone before the next
  Socket_ = std::make_unique<Framework::TCustomWinSocket>(-1);
  Socket_->SetAsyncStyles({});
  Socket_->Open(Host_, Address_, Service_, static_cast<uint16_t>(Port_), true);
  if (!Socket_->Connected()) throw EComError(R::LoadResString(R::sCannotOpenSocket));
  Thread_ = std::make_unique<TClientSocketThread>(this);
}

void TClientSocketConnection::CloseConn() {
  // The connection owns its receiver thread and joins it, unless this close comes from the
  // thread's own handler: the thread then ends and frees itself once the handler returns, and
  // touches neither the connection nor the socket again.
  Retired_ = Framework::TThread::Retire(Thread_.release(), nullptr);
  PurgeIn();
  Socket_.reset();
}

int TClientSocketConnection::InQueCount() {
  if (!Active() || !Socket_) return -1;
  return Socket_->ReceiveLength();
}

void TClientSocketConnection::PurgeIn() {
  if (!Active() || !Socket_) return;
  Socket_->Lock();
  try {
    // What is waiting now, not what a peer that keeps sending adds meanwhile: a close must end.
    char buf[4096];
    for (int waiting = Socket_->ReceiveLength(); waiting > 0;) {
      int n = Socket_->ReceiveBuf(buf, std::min<int>(waiting, static_cast<int>(sizeof buf)));
      if (n <= 0) break;
      waiting -= n;
    }
  } catch (...) {
    Socket_->Unlock();
    throw;
  }
  Socket_->Unlock();
}

int TClientSocketConnection::Write(const void* Buffer, int Count) {
  if (!Socket_) throw EComError(R::LoadResString(R::sInactiveConnection));
  return Socket_->SendBuf(Buffer, Count);
}

int TClientSocketConnection::Read(void* Buffer, int Count) {
  if (!Socket_) throw EComError(R::LoadResString(R::sInactiveConnection));
  return Socket_->ReceiveBuf(Buffer, Count);
}

void Register() {
  Framework::RegisterComponents("Communication",
                                {Framework::ComponentClass<TClientSocketConnection>("TClientSocketConnection")});
}

namespace {
const bool kPublished = [] {
  using C = TClientSocketConnection;
  Framework::TClassBuilder<C>("TClientSocketConnection", "TCommunicationConnection")
      .Create()
      .String("Address", &C::Address, &C::SetAddress)
      .String("Host", &C::Host, &C::SetHost)
      .Integer("Port", &C::Port, &C::SetPort)
      .String("Service", &C::Service, &C::SetService)
      .Event<Connect::TCommRxCharEvent>("OnRxChar", "TCommRxCharEvent", &Connect::TCommunicationConnection::OnRxChar,
                                        &Connect::TCommunicationConnection::SetOnRxChar)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::ScktConnect

#include "halyard/commconnect/CommConnect.h"

#include <utility>

#include "halyard/commconnect/Modem.h"
#include "halyard/framework/Properties.h"
#include "halyard/framework/Registry.h"
#include "halyard/resources/Resources.h"

namespace Halyard::CommConnect {

using namespace Platform;
using Framework::TWaitResult;

namespace {
constexpr int kRates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000,
                          57600, 115200, 128000, 256000};
constexpr DWORD kEventMasks[] = {EV_BREAK, EV_CTS, EV_DSR, EV_ERR, EV_RING, EV_RLSD, EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY};
constexpr DWORD kAllPurge = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
}  // namespace

bool Int2BaudRate(int Value, TBaudrate& Baudrate) {
  for (int i = 0; i < 15; ++i)
    if (kRates[i] == Value) {
      Baudrate = static_cast<TBaudrate>(i);
      return true;
    }
  return false;
}

int BaudRate2Int(TBaudrate Baudrate) { return kRates[Baudrate]; }

DWORD EventMaskOf(TCommEventType Event) { return kEventMasks[Event]; }

TWaitResult Event_WaitFor(Framework::TEvent* Event, uint32_t Timeout) {
  return Event ? Event->WaitFor(Timeout) : Framework::wrError;
}

void ComError2(const std::string& FunctionName) {
  std::string text = FormatMessageA(GetLastError());
  if (text.size() >= 2 && text.find("\r\n") == text.size() - 2) text.resize(text.size() - 2);
  throw EComError(Framework::Format(Resources::LoadResString(Resources::sComError),
                                    static_cast<int>(GetLastError()), text, FunctionName));
}

// --- TCommEventThread ----------------------------------------------------------------------

TCommEventThread::TCommEventThread(TCommHandle* Owner, HANDLE Handle, TCommEventTypes Events)
    : Owner_(Owner), Handle_(Handle) {
  DWORD mask = 0;
  for (int e = evBreak; e <= evTxEmpty; ++e)
    if (Events.Contains(static_cast<TCommEventType>(e))) mask |= kEventMasks[e];
  SetCommMask(Handle_, mask);
  Overlapped_.hEvent = &WakeEvent();
  SetPriority(Framework::tpHigher);
  Start();
}

TCommEventThread::~TCommEventThread() {
  // A retired thread frees itself after it has finished.
  if (!Finished()) {
    Terminate();
    WaitFor();
  }
}

void TCommEventThread::Execute() {
  while (!Terminated()) {
    Mask_ = 0;
    bool ok = WaitCommEvent(Handle_, &Mask_, &Overlapped_);
    if (GetLastError() == ERROR_IO_PENDING) ok = WaitCommEventReading(Handle_, &WakeEvent()) == Framework::wrSignaled;
    // Woken to end: the mask of a cancelled wait is no event.
    if (Terminated()) break;
    if (ok) {
      Deliver(Owner_->DontSynchronize(), [this] { DoOnSignal(); });
      WakeEvent().ResetEvent();
    } else {
      // A device that refuses to wait would make this loop spin: wait to be terminated.
      Event_WaitFor(&WakeEvent(), Framework::INFINITE);
    }
  }
  // No wait of ours may outlive the thread: the system would write into freed storage.
  CancelIoEx(Handle_, &Overlapped_);
  PurgeComm(Handle_, kAllPurge);
}

void TCommEventThread::DoOnSignal() { Owner_->HandleCommEvent(Mask_); }

// --- TCommHandle ---------------------------------------------------------------------------

TCommHandle::TCommHandle(TComponent* AOwner) : TCommunicationConnection(AOwner) {}

TCommHandle::~TCommHandle() { Retired_.WaitFor(); }

void TCommHandle::SethCommDev(HANDLE Value) {
  CheckInactive();
  Handle_ = Value;
}

void TCommHandle::OpenConn() {
  if (IsDesigning()) return;
  // A port closed from its own event handler is released by its event thread once that
  // handler has returned; the device is free for a new open only then.
  Retired_.WaitFor();
  if (Handle_ == INVALID_HANDLE_VALUE) {
    if (!HandleFromOpen_) SetLastError(EBADF);
    ComError2("CreateFile");
  }
  if (GetFileType(Handle_) != FILE_TYPE_CHAR) {
    CloseHandle(Handle_);
    Handle_ = INVALID_HANDLE_VALUE;
    ComError2("GetFileType");
  }
  EventThread_ = new TCommEventThread(this, Handle_, MonitorEvents_);
  UpdateCommTimeouts();
  UpdateDCB();
  if (!SetupComm(Handle_, static_cast<DWORD>(ReadBufSize_), static_cast<DWORD>(WriteBufSize_))) ComError2("SetupComm");
}

void TCommHandle::CloseConn() {
  if (Handle_ == INVALID_HANDLE_VALUE) return;
  // Closed from one of its own event handlers, the event thread cannot be waited for: it closes
  // the handle itself once the handler has returned.
  HANDLE h = Handle_;
  // Inside, the event thread is this thread or waits for it, so the handle may be dropped at
  // once (which ends the report in progress); outside, only once the thread has ended.
  if (EventThread_ && EventThread_->CallerIsInside()) Handle_ = INVALID_HANDLE_VALUE;
  Retired_ = Framework::TThread::Retire(std::exchange(EventThread_, nullptr), [h] { CloseHandle(h); });
  Handle_ = INVALID_HANDLE_VALUE;
}

void TCommHandle::UpdateCommTimeouts() {
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = MAXDWORD;
  if (!SetCommTimeouts(Handle_, &t)) ComError2("SetCommTimeouts");
}

void TCommHandle::UpdateDataControlBlock() {
  if (Active()) UpdateDCB();
}

void TCommHandle::UpdateDCB() {
  DCB dcb;
  GetCommState(Handle_, &dcb);
  dcb.BaudRate = static_cast<DWORD>(BaudRate2Int(Baudrate_));
  dcb.Parity = static_cast<uint8_t>(Parity_);
  dcb.StopBits = static_cast<uint8_t>(Stopbits_);
  dcb.ByteSize = static_cast<uint8_t>(4 + Databits_);
  dcb.XonChar = EventChars_[0];
  dcb.XoffChar = EventChars_[1];
  dcb.ErrorChar = EventChars_[2];
  dcb.EofChar = EventChars_[3];
  dcb.EvtChar = EventChars_[4];
  dcb.XonLim = static_cast<uint16_t>(ReadBufSize_ / 4);
  dcb.XoffLim = static_cast<uint16_t>(ReadBufSize_ / 4);
  switch (FlowControl_) {
    case fcNone: dcb.Flags = fBinary; break;
    case fcCTS: dcb.Flags |= fOutxCtsFlow | RTS_CONTROL_HANDSHAKE; break;
    case fcDTR: dcb.Flags |= fOutxDsrFlow | DTR_CONTROL_HANDSHAKE; break;
    case fcSoftware: dcb.Flags |= fOutX | fInX; break;
    case fcDefault: break;
  }
  constexpr DWORD optionFlags[] = {fParity, fDsrSensitivity, fTXContinueOnXoff, fErrorChar, fNull};
  for (int o = coParityCheck; o <= coNullStrip; ++o) {
    if (Options_.Contains(static_cast<TCommOption>(o))) dcb.Flags |= optionFlags[o];
    else dcb.Flags &= ~optionFlags[o];
  }
  if (!SetCommState(Handle_, &dcb)) ComError2("SetCommState");
}

int TCommHandle::InQueCount() {
  if (!Active()) return -1;
  COMSTAT stat;
  DWORD errors = 0;
  ClearCommError(Handle_, &errors, &stat);
  return static_cast<int>(stat.cbInQue);
}

int TCommHandle::OutQueCount() {
  if (!Active()) return -1;
  COMSTAT stat;
  DWORD errors = 0;
  ClearCommError(Handle_, &errors, &stat);
  return static_cast<int>(stat.cbOutQue);
}

void TCommHandle::PurgeIn() {
  if (Active()) PurgeComm(Handle_, PURGE_RXABORT | PURGE_RXCLEAR);
}

void TCommHandle::PurgeOut() {
  if (Active()) PurgeComm(Handle_, PURGE_TXABORT | PURGE_TXCLEAR);
}

int TCommHandle::Transfer(bool Writing, void* Buffer, int Count) {
  std::lock_guard lk(Lock_);
  OVERLAPPED ov;
  ov.hEvent = &IOEvent_;
  DWORD done = 0;
  bool ok = Writing ? WriteFile(Handle_, Buffer, static_cast<DWORD>(std::max(Count, 0)), &done, &ov)
                    : ReadFile(Handle_, Buffer, static_cast<DWORD>(std::max(Count, 0)), &done, &ov);
  if (!ok && GetLastError() != ERROR_IO_PENDING) ComError2(Writing ? "WriteFile" : "ReadFile");
  int timeout = Writing ? WriteTimeout_.load() : ReadTimeout_.load();
  if (Event_WaitFor(&IOEvent_, static_cast<uint32_t>(std::max(timeout, 0))) == Framework::wrSignaled) {
    GetOverlappedResult(Handle_, &ov, &done, false);
  } else {
    // Given up: the transfer is cancelled so it can never complete into this frame. What went
    // out before is still reported: those bytes have reached the line.
    CancelIoEx(Handle_, &ov);
    done = 0;
    GetOverlappedResult(Handle_, &ov, &done, false);
  }
  IOEvent_.ResetEvent();
  return static_cast<int>(done);
}

int TCommHandle::Write(const void* Buffer, int Count) { return Transfer(true, const_cast<void*>(Buffer), Count); }

int TCommHandle::Read(void* Buffer, int Count) { return Transfer(false, Buffer, Count); }

void TCommHandle::EscapeComm(int Func) {
  CheckActive();
  if (!EscapeCommFunction(Handle_, static_cast<DWORD>(Func))) ComError2("EscapeCommFunction");
}

void TCommHandle::SetEsc(int Index, bool Value) {
  static const int codes[4][2] = {{CLRDTR, SETDTR}, {CLRRTS, SETRTS}, {CLRBREAK, SETBREAK}, {SETXOFF, SETXON}};
  if (Index < 1 || Index > 4) throw EComError(Framework::Format("Bad escape index %d", Index));
  EscapeComm(codes[Index - 1][Value ? 1 : 0]);
  if (Active() && Index == 3) PurgeComm(Handle_, kAllPurge);
}

bool TCommHandle::GetComState(int Index) {
  if (!Active()) return false;
  COMSTAT stat;
  DWORD errors = 0;
  if (!ClearCommError(Handle_, &errors, &stat)) ComError2("ClearCommError");
  return Index >= 0 && Index <= 7 && (stat.Flags >> Index) & 1;
}

bool TCommHandle::GetModemState(DWORD Mask) {
  if (!Active()) return false;
  DWORD status = 0;
  if (!GetCommModemStatus(Handle_, &status)) ComError2("GetCommModemStatus");
  return (status & Mask) != 0;
}

char TCommHandle::GetEventChar(int Index) const {
  if (Index < 1 || Index > 5) throw EComError(Framework::Format("Bad character index %d", Index));
  return EventChars_[static_cast<size_t>(Index - 1)];
}

void TCommHandle::SetEventChar(int Index, char Value) {
  if (GetEventChar(Index) == Value) return;
  ApplyLineSetting(EventChars_[static_cast<size_t>(Index - 1)], Value);
}

template <class T>
void TCommHandle::ApplyLineSetting(T& Field, T Value) {
  // A setting the driver refuses is not kept: the port goes on with the one it had.
  T old = Field;
  Field = Value;
  try {
    UpdateDataControlBlock();
  } catch (...) {
    Field = old;
    throw;
  }
}

void TCommHandle::HandleCommEvent(DWORD Status) {
  DWORD errors = 0;
  COMSTAT stat;
  ClearCommError(Handle_, &errors, &stat);
  // A handler that closes the port ends the report: the rest is of a device no longer open.
  HANDLE h = Handle_;
  auto open = [&] { return Handle_ == h; };
  if ((Status & EV_BREAK) && open()) OnBreak_(this);
  if ((Status & EV_CTS) && open()) OnCts_(this);
  if ((Status & EV_DSR) && open()) OnDsr_(this);
  if ((Status & EV_ERR) && open()) OnError_(this, static_cast<int>(errors));
  if ((Status & EV_RING) && open()) OnRing_(this);
  if ((Status & EV_RLSD) && open()) OnRlsd_(this);
  if ((Status & EV_RXCHAR) && stat.cbInQue != 0 && open()) DoOnRxChar(static_cast<int>(stat.cbInQue));
  if ((Status & EV_RXFLAG) && open()) OnRxFlag_(this);
  if ((Status & EV_TXEMPTY) && open()) OnTxEmpty_(this);
}

#define HALYARD_LINE_SETTER(Name, Type, Field) \
  void TCommHandle::Set##Name(Type v) {        \
    if (Field == v) return;                    \
    ApplyLineSetting(Field, v);                \
  }
HALYARD_LINE_SETTER(Baudrate, TBaudrate, Baudrate_)
HALYARD_LINE_SETTER(Parity, TParity, Parity_)
HALYARD_LINE_SETTER(Stopbits, TStopbits, Stopbits_)
HALYARD_LINE_SETTER(Databits, TDatabits, Databits_)
HALYARD_LINE_SETTER(FlowControl, TFlowControl, FlowControl_)
HALYARD_LINE_SETTER(Options, TCommOptions, Options_)
#undef HALYARD_LINE_SETTER

void TCommHandle::SetReadBufSize(int v) {
  CheckInactive();
  ReadBufSize_ = v;
}

void TCommHandle::SetWriteBufSize(int v) {
  CheckInactive();
  WriteBufSize_ = v;
}

void TCommHandle::SetMonitorEvents(TCommEventTypes v) {
  CheckInactive();
  MonitorEvents_ = v;
}

// --- TComm ---------------------------------------------------------------------------------

void TComm::SetDeviceName(const std::string& Value) {
  CheckInactive();
  DeviceName_ = Value;
}

void TComm::OpenConn() {
  if (IsDesigning()) return;
  Handle_ = CreateFileA(DeviceName_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
  HandleFromOpen_ = true;
  TCommHandle::OpenConn();
}

void TComm::CloseConn() {
  if (IsDesigning()) return;
  TCommHandle::CloseConn();
}

void Register() {
  Framework::RegisterComponents("Communication",
                                {Framework::ComponentClass<TComm>("TComm"), Framework::ComponentClass<TModem>("TModem")});
}

namespace {
using Framework::TClassBuilder;
using Connect::TCommRxCharEvent;
using Connect::TCommunicationConnection;

const bool kPublished = [] {
  using H = TCommHandle;
  TClassBuilder<H>("TCommHandle", "TCommunicationConnection")
      .Create()
      .Enum<TBaudrate>("Baudrate", "TBaudrate",
                       {"br110", "br300", "br600", "br1200", "br2400", "br4800", "br9600", "br14400",
                        "br19200", "br38400", "br56000", "br57600", "br115200", "br128000", "br256000"},
                       &H::Baudrate, &H::SetBaudrate, br9600)
      .Enum<TParity>("Parity", "TParity", {"paNone", "paOdd", "paEven", "paMark", "paSpace"}, &H::Parity,
                     &H::SetParity, paNone)
      .Enum<TStopbits>("Stopbits", "TStopbits", {"sb10", "sb15", "sb20"}, &H::Stopbits, &H::SetStopbits, sb10)
      .Enum<TDatabits>("Databits", "TDatabits", {"da4", "da5", "da6", "da7", "da8"}, &H::Databits,
                       &H::SetDatabits, da8)
      .SetOf<TCommOptions>("Options", "TCommOptions",
                           {"coParityCheck", "coDsrSensitivity", "coIgnoreXOff", "coErrorChar", "coNullStrip"},
                           &H::Options, &H::SetOptions)
      .Boolean("DontSynchronize", &TCommunicationConnection::DontSynchronize,
               &TCommunicationConnection::SetDontSynchronize)
      .Enum<TFlowControl>("FlowControl", "TFlowControl", {"fcNone", "fcCTS", "fcDTR", "fcSoftware", "fcDefault"},
                          &H::FlowControl, &H::SetFlowControl, fcDefault)
      .Char("XonChar", &H::XonChar, &H::SetXonChar, '\x11')
      .Char("XoffChar", &H::XoffChar, &H::SetXoffChar, '\x13')
      .Char("ErrorChar", &H::ErrorChar, &H::SetErrorChar, '\0')
      .Char("EofChar", &H::EofChar, &H::SetEofChar, '\0')
      .Char("EvtChar", &H::EvtChar, &H::SetEvtChar, '\0')
      .Integer("ReadTimeout", &H::ReadTimeout, &H::SetReadTimeout, 1000)
      .Integer("WriteTimeout", &H::WriteTimeout, &H::SetWriteTimeout, 1000)
      .Integer("ReadBufSize", &H::ReadBufSize, &H::SetReadBufSize, 4096)
      .Integer("WriteBufSize", &H::WriteBufSize, &H::SetWriteBufSize, 2048)
      .SetOf<TCommEventTypes>("MonitorEvents", "TCommEventTypes",
                              {"evBreak", "evCts", "evDsr", "evError", "evRing", "evRlsd", "evRxChar",
                               "evRxFlag", "evTxEmpty"},
                              &H::MonitorEvents, &H::SetMonitorEvents)
      .Event<TNotifyEvent>("OnBreak", "TNotifyEvent", &H::OnBreak, &H::SetOnBreak)
      .Event<TNotifyEvent>("OnCts", "TNotifyEvent", &H::OnCts, &H::SetOnCts)
      .Event<TNotifyEvent>("OnDsr", "TNotifyEvent", &H::OnDsr, &H::SetOnDsr)
      .Event<TNotifyEvent>("OnRing", "TNotifyEvent", &H::OnRing, &H::SetOnRing)
      .Event<TNotifyEvent>("OnRlsd", "TNotifyEvent", &H::OnRlsd, &H::SetOnRlsd)
      .Event<TCommErrorEvent>("OnError", "TCommErrorEvent", &H::OnError, &H::SetOnError)
      .Event<TCommRxCharEvent>("OnRxChar", "TCommRxCharEvent", &TCommunicationConnection::OnRxChar,
                               &TCommunicationConnection::SetOnRxChar)
      .Event<TNotifyEvent>("OnRxFlag", "TNotifyEvent", &H::OnRxFlag, &H::SetOnRxFlag)
      .Event<TNotifyEvent>("OnTxEmpty", "TNotifyEvent", &H::OnTxEmpty, &H::SetOnTxEmpty)
      .Commit();
  TClassBuilder<TComm>("TComm", "TCommHandle")
      .Create()
      .String("DeviceName", &TComm::DeviceName, &TComm::SetDeviceName)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::CommConnect

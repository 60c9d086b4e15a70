#include "halyard/gsm/GSM.h"

#include <chrono>
#include <thread>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/framework/Properties.h"
#include "halyard/framework/Registry.h"
#include "halyard/resources/Resources.h"

namespace Halyard::GSM {

namespace R = Halyard::Resources;
using AuxStr::Trim;
using AuxStr::UpString;
using Framework::Application;
using Framework::Format;

namespace {
constexpr int kAttemptPause = 150;
constexpr int kDrainWait = 50;
// Longest line kept: a modem line is never near this; a stream without line ends is noise.
constexpr size_t kMaxLine = 64 * 1024;
// Received text kept for the main thread when it falls behind a flood.
constexpr size_t kMaxAsync = 1024 * 1024;
}  // namespace

// --- TGSMAsyncThread -----------------------------------------------------------------------

TGSMAsyncThread::TGSMAsyncThread(TGSM* Owner) : Owner_(Owner) {
  SetPriority(Framework::tpLower);
  Start();
}

TGSMAsyncThread::~TGSMAsyncThread() {
  if (!Finished()) {
    Terminate();
    WaitFor();
  }
}

void TGSMAsyncThread::Execute() {
  while (!Terminated()) {
    WakeEvent().WaitFor(Framework::INFINITE);
    WakeEvent().ResetEvent();
    if (!Terminated()) Synchronize([this] { cmRxChar(); });
  }
}

void TGSMAsyncThread::cmRxChar() {
  // A failing line or handler drops that line; the lines behind it are still framed now,
  // not only when the next chunk arrives. Each failure has consumed its line.
  for (;;) {
    try {
      Owner_->cmRxChar();
      return;
    } catch (...) {
    }
  }
}

// --- construction --------------------------------------------------------------------------

TGSM::TGSM(TComponent* AOwner) : TConnection(AOwner) {
  for (const char* line : {"OK=0", "RING=2", "NO CARRIER=3", "ERROR=4", "NO DIAL TONE=6", "BUSY=7",
                           "+CMS ERROR:=255", "+CME ERROR:=254", "OK.Params=RES,OK", "ERROR.Params=RES,ERR",
                           "+CMS ERROR:.Params=RES,ERR", "+CME ERROR:.Params=RES,ERR"})
    ResultCodes_.Add(line);
  AsyncThread_ = new TGSMAsyncThread(this);
}

TGSM::~TGSM() = default;

void TGSM::BeforeDestruction() {
  Destroying();
  if (AsyncThread_) {
    AsyncThread_->Terminate();
    AsyncThread_->WaitFor();  // runs a pending hand-over meanwhile
    delete AsyncThread_;
    AsyncThread_ = nullptr;
  }
  Close();
  if (COMDevice_ && HandlerInstalled_) {
    COMDevice_->SetOnRxChar(SavedRxHandler_);
    COMDevice_->SetDontSynchronize(SavedDontSynchronize_);
    HandlerInstalled_ = false;
  }
  {
    std::unique_lock lk(Gate_->M);
    Gate_->Open = false;
    Gate_->Cv.wait(lk, [&] { return Gate_->Inflight == 0; });
  }
  TConnection::BeforeDestruction();
}

void TGSM::Notification(TComponent* AComponent, Framework::TOperation Operation) {
  TConnection::Notification(AComponent, Operation);
  if (Operation == Framework::opRemove && AComponent == COMDevice_) {
    COMDevice_ = nullptr;
    HandlerInstalled_ = false;
  }
}

// --- settings ------------------------------------------------------------------------------

void TGSM::SetPIN(const std::string& v) {
  CheckInactive();
  PIN_ = v;
}


void TGSM::SetComDevice(CommConnect::TComm* v) {
  CheckInactive();
  if (v == COMDevice_) return;
  if (COMDevice_) RemoveFreeNotification(COMDevice_);
  COMDevice_ = v;
  HandlerInstalled_ = false;
  if (v) FreeNotification(v);
}

int TGSM::LastResultCode() const {
  std::lock_guard lk(StateLock_);
  return LastResultCode_;
}

std::string TGSM::LastResultLine() const {
  std::lock_guard lk(StateLock_);
  return LastResultLine_;
}

// --- the COM device ------------------------------------------------------------------------

void TGSM::OpenComDevice() {
  if (!COMDevice_) GSMError(R::LoadResString(R::sNoComDevice));
  Busy();
  struct Guard {
    TGSM* g;
    ~Guard() { g->Unbusy(); }
  } guard{this};
  if (!HandlerInstalled_) {
    SavedRxHandler_ = COMDevice_->OnRxChar();
    SavedDontSynchronize_ = COMDevice_->DontSynchronize();
  }
  SavedActive_ = COMDevice_->Active();
  auto gate = Gate_;
  COMDevice_->SetOnRxChar([this, gate](TObject* sender, int count) {
    {
      std::lock_guard lk(gate->M);
      if (!gate->Open) return;
      ++gate->Inflight;
    }
    struct Leave {
      TReceiverGate* g;
      ~Leave() {
        std::lock_guard lk(g->M);
        --g->Inflight;
        g->Cv.notify_all();
      }
    } leave{gate.get()};
    DoComRxChar(sender, count);
  });
  HandlerInstalled_ = true;
  COMDevice_->Open();
  COMDevice_->PurgeIn();
  COMDevice_->PurgeOut();
  COMDevice_->SetDontSynchronize(true);
}

void TGSM::CloseComDevice(bool Restore) {
  if (!COMDevice_) return;
  if (Restore) {
    COMDevice_->SetDontSynchronize(SavedDontSynchronize_);
    COMDevice_->SetOnRxChar(SavedRxHandler_);
    HandlerInstalled_ = false;
  }
  if (!IsDestroying()) COMDevice_->SetActive(SavedActive_);
}


// --- busy state ----------------------------------------------------------------------------

void TGSM::Busy() {
  if (BusyCount_.fetch_add(1) == 0) DoBusyChanged(true);
}

void TGSM::Unbusy() {
  int n = BusyCount_.load();
  while (n > 0 && !BusyCount_.compare_exchange_weak(n, n - 1)) {
  }
  if (n == 1) DoBusyChanged(false);
}

void TGSM::DoBusyChanged(bool aBusy) {
  if (OnBusyChanged_) OnBusyChanged_(this, aBusy);
}

int TGSM::CheckAT(int Code) {
  if (Code != 0) GSMError(Format(R::LoadResString(R::sErrorReturned), LastResultLine()));
  return 0;
}

// --- the transaction -----------------------------------------------------------------------

void TGSM::Pause(int Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(std::max(Ms, 0))); }

void TGSM::SendText(const std::string& Text) { COMDevice_->Send(Text); }

bool TGSM::WaitResponse(uint64_t& SeenProgress, const std::function<bool()>& Done) {
  using Clock = std::chrono::steady_clock;
  bool main = Application().IsMainThread();
  auto deadline = Clock::now() + std::chrono::milliseconds(RecTimeout_);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    bool signalled =
        left > 0 && CommConnect::Event_WaitFor(&ResponseEvent_, static_cast<uint32_t>(left)) == Framework::wrSignaled;
    bool done;
    uint64_t progress;
    {
      std::lock_guard lk(StateLock_);
      done = Done();
      progress = Progress_;
    }
    ResponseEvent_.ResetEvent();
    if (main) cmRxChar();
    if (done) return true;
    if (!signalled) return false;
    // Only a chunk that carried a line of this transaction restarts the silence limit: a modem
    // that talks of other things but never answers must not hold the caller forever.
    if (progress != SeenProgress) {
      SeenProgress = progress;
      deadline = Clock::now() + std::chrono::milliseconds(RecTimeout_);
    }
    // A wait for prefixed lines alone (wmPrefixed) completes on any chunk at all.
    {
      std::lock_guard lk(StateLock_);
      if (Done()) return true;
    }
  }
}

void TGSM::Drain(uint8_t Mode) {
  {
    std::lock_guard lk(StateLock_);
    if (!PartialLine_) return;
    RxState_ = 0;
    WaitMode_ = Mode | wmDrain;
  }
  for (;;) {
    ResponseEvent_.ResetEvent();
    if (CommConnect::Event_WaitFor(&ResponseEvent_, kDrainWait) != Framework::wrSignaled) break;
    std::lock_guard lk(StateLock_);
    if (RxState_ & wmDrain) break;
  }
  std::lock_guard lk(StateLock_);
  WaitMode_ = Mode & ~wmDrain;
}

bool TGSM::RunAttempt(const std::string& Cmd, uint8_t Mode) {
  struct Cleanup {
    TGSM* g;
    ~Cleanup() {
      {
        std::lock_guard lk(g->StateLock_);
        g->WaitMode_ = 0;
      }
      // Lines that came during the transaction wait for the framing: start it, whichever
      // thread ran the transaction.
      if (g->AsyncThread_) g->AsyncThread_->Wake();
      g->Pause(kAttemptPause);
    }
  } cleanup{this};
  Drain(Mode);
  COMDevice_->PurgeOut();
  {
    std::lock_guard lk(StateLock_);
    ResponseBuffer_.clear();
    RxState_ = 0;
    EchoSeen_ = false;
    LinesAtStart_ = ResultLines_ ? ResultLines_->Count() : 0;
    AttemptLines_ = AttemptBytes_ = 0;
    Overflow_ = false;
  }
  ResponseEvent_.ResetEvent();
  uint64_t seen;
  {
    std::lock_guard lk(StateLock_);
    seen = Progress_;
  }
  if (!(Mode & wmPrompt)) {
    {
      std::lock_guard lk(StateLock_);
      WaitMode_ = Mode;
    }
    SendText(Cmd + "\r");
  } else {
    size_t gt = Cmd.find('>');
    if (gt == std::string::npos) GSMError(R::LoadResString(R::sBadPDUFormat));
    {
      std::lock_guard lk(StateLock_);
      WaitMode_ = wmPrompt;
    }
    SendText(Cmd.substr(0, gt) + "\r");
    if (!WaitResponse(seen, [this] { return (RxState_ & wmPrompt) != 0; })) return false;
    Drain(Mode & ~wmPrompt);
    ResponseEvent_.ResetEvent();
    {
      std::lock_guard lk(StateLock_);
      WaitMode_ = Mode & ~wmPrompt;
      RxState_ = 0;
    }
    SendText(Cmd.substr(gt + 1) + "\x1A");
  }
  uint8_t waitMode;
  {
    std::lock_guard lk(StateLock_);
    waitMode = WaitMode_;
  }
  if (waitMode == 0) return true;
  uint8_t required = waitMode & ~(wmPrefixed | wmErrorEnds);
  // A modem that echoes answers after the echo: an answer before it is not this command's.
  bool complete = WaitResponse(seen, [&] {
    return Overflow_ || ((RxState_ & required) == required && (required == 0 || EchoSeen_ || !EchoOn_));
  });
  {
    std::lock_guard lk(StateLock_);
    if (Overflow_)
      GSMError(Format("The modem's answer to %s exceeds %d lines or %d bytes", Cmd, MaxReplyLines_, MaxReplyBytes_));
    // No echo this time: the modem may have stopped echoing; the next attempt goes by the
    // answer alone.
    if (!EchoSeen_) EchoOn_ = false;
    // Turned off on purpose: from the next command on, answers come without an echo.
    if (complete && CommandName_.rfind("E0", 0) == 0) EchoOn_ = false;
  }
  std::string last = LastResultLine();
  bool ok = complete;
  if (complete && (Mode & wmResult)) ok = ResultCodes_.GetValue(last + ".Params").find("OK") != std::string::npos;
  if (!ok && (Mode & wmErrorEnds)) ok = last.find("ERROR") != std::string::npos;
  return ok;
}

int TGSM::SendATCommand(const std::string& Cmd, uint8_t Mode, TStringList* Strings, int Repeats) {
  Busy();
  struct Guard {
    TGSM* g;
    ~Guard() {
      std::lock_guard lk(g->StateLock_);
      g->ResultLines_ = nullptr;
    }
  } lines{this};
  struct BusyGuard {
    TGSM* g;
    ~BusyGuard() { g->Unbusy(); }
  } busy{this};
  std::string name = UpString(Trim(Cmd));
  if (name.rfind("AT", 0) != 0) GSMError(R::LoadResString(R::sBadATCommand));
  if (!COMDevice_) GSMError(R::LoadResString(R::sNoComDevice));
  name.erase(0, 2);
  for (char stop : {'=', '?', ';'}) {
    size_t p = name.find(stop);
    if (p != std::string::npos) name.resize(p);
  }
  {
    std::lock_guard lk(StateLock_);
    LastResultLine_.clear();
    LastResultCode_ = 0;
    CommandName_ = name;
    ResultLines_ = Strings;
  }
  int left = Repeats != 0 ? Repeats : RepeatCount_;
  bool ok = false;
  do {
    ok = RunAttempt(Cmd, Mode);
    --left;
    if (!ok) Pause(RepeatTimeout_);
  } while (!ok && left > 0);
  if (!ok) {
    std::string last = LastResultLine();
    if (!last.empty()) RaiseResponseError(last, Cmd);
    GSMError(Format(R::LoadResString(R::sNoReply), Cmd));
  }
  return LastResultCode();
}

// --- the receiver thread -------------------------------------------------------------------

void TGSM::DoComRxChar(TObject* Sender, int Count) {
  // The sender, not COMDevice: the property may change while the old port still delivers.
  auto* port = dynamic_cast<Connect::TCommunicationConnection*>(Sender);
  if (Count <= 0 || !port) return;
  std::string chunk = port->Retrieve(Count);
  if (chunk.empty()) return;
  bool wake;
  {
    std::lock_guard lk(RxLock_);
    AsyncBuffer_.Append(chunk);
    if (AsyncBuffer_.size() > kMaxAsync) {
      // The main thread has fallen far behind: give up the oldest text, reported or not.
      size_t drop = AsyncBuffer_.size() - kMaxAsync;
      AsyncBuffer_.Consume(drop);
      AsyncPos_ = std::max<long long>(0, AsyncPos_ - static_cast<long long>(drop));
    }
    wake = static_cast<long long>(AsyncBuffer_.size()) > AsyncPos_;
  }
  {
    std::lock_guard lk(StateLock_);
    char last = chunk.back();
    PartialLine_ = !(last == '\n' || last == '\r' || (last == '>' && (WaitMode_ & wmPrompt)));
    if (WaitMode_ != 0) {
      if (!PartialLine_ && (WaitMode_ & wmDrain)) {
        RxState_ |= wmDrain;
        ++Progress_;
      }
      if ((WaitMode_ & wmPrompt) && chunk.find('>') != std::string::npos) {
        RxState_ |= wmPrompt;
        ++Progress_;
      }
      ResponseBuffer_ += chunk;
      AttemptBytes_ += static_cast<long long>(chunk.size());
      size_t i = 0, n = ResponseBuffer_.size(), restStart = n;
      while (i < n) {
        while (i < n && static_cast<unsigned char>(ResponseBuffer_[i]) < 32) ++i;
        if (i >= n) break;
        size_t start = i;
        while (i < n && (ResponseBuffer_[i] == '\r' || static_cast<unsigned char>(ResponseBuffer_[i]) >= 32)) ++i;
        if (i >= n) {
          restStart = start;
          break;
        }
        if (ResponseBuffer_[i] == '\n') {
          std::string line = ResponseBuffer_.substr(start, i - start);
          if (!line.empty() && line.back() == '\r') line.pop_back();
          HandleLine(line);
        }
        ++i;  // a line ended by another control character is dropped
      }
      // The echo ends with a carriage return alone; with no answer after it, it is framed now.
      if (restStart < n && ResponseBuffer_.back() == '\r' &&
          UpString(ResponseBuffer_.substr(restStart, 2 + CommandName_.size())) == "AT" + CommandName_) {
        HandleLine(ResponseBuffer_.substr(restStart, ResponseBuffer_.find('\r', restStart) - restStart));
        restStart = n;
      }
      ResponseBuffer_.erase(0, restStart);
      if (ResponseBuffer_.size() > kMaxLine) ResponseBuffer_.clear();
      // A long line that is still coming is progress as much as a whole one.
      if (!ResponseBuffer_.empty()) ++Progress_;
      if (AttemptLines_ > MaxReplyLines_ || AttemptBytes_ > MaxReplyBytes_) Overflow_ = true;
      ResponseEvent_.SetEvent();
    }
  }
  if (wake && AsyncThread_) AsyncThread_->Wake();
}

void TGSM::HandleLine(const std::string& L) {
  ++AttemptLines_;
  std::string U = UpString(L);
  if (U.rfind("AT" + CommandName_, 0) == 0) {
    ++Progress_;  // the echo
    // Whatever came before the echo answers an earlier command (a reply that came too late
    // for its own transaction); it is framed for the unsolicited handling afterwards.
    if (!EchoSeen_) {
      RxState_ &= wmDrain | wmPrompt;
      LastResultLine_.clear();
      LastResultCode_ = 0;
      if (ResultLines_ && ResultLines_->Count() > LinesAtStart_)
        ResultLines_->DeleteRange(LinesAtStart_, ResultLines_->Count() - LinesAtStart_);
    }
    EchoSeen_ = true;
    EchoOn_ = true;
    return;
  }
  std::string key = L;
  int index = ResultCodes_.IndexOfName(key);
  if (index < 0 && U.find("ERROR") != std::string::npos) {
    key = "ERROR";
    index = ResultCodes_.IndexOfName(key);
  }
  std::string prefix = CommandName_ + ":";
  if (index >= 0) {
    if (ResultCodes_.GetValue(key + ".Params").find("RES") != std::string::npos) {
      LastResultCode_ = Framework::StrToIntDef(ResultCodes_.ValueFromIndex(index), 0);
      LastResultLine_ = L;
      RxState_ |= wmResult | wmResponse;
      ++Progress_;
    }
  } else if (WaitMode_ & wmPrefixed) {
    if (U.rfind(prefix, 0) == 0) {
      if (ResultLines_) ResultLines_->Add(Trim(L.substr(prefix.size())));
      RxState_ |= wmResponse;
      ++Progress_;
    }
  } else if (!L.empty() && (L[0] == '+' || L[0] == '^')) {
    if (U.rfind(prefix, 0) == 0) {
      if (ResultLines_) ResultLines_->Add(L);
      RxState_ |= wmResponse;
      ++Progress_;
    }
  } else {
    if (ResultLines_) ResultLines_->Add(L);
    RxState_ |= wmResponse;
    ++Progress_;
  }
  if ((RxState_ & (wmResult | wmResponse)) == (wmResult | wmResponse)) RxState_ |= wmFinal;
}

// --- the main thread's receive step --------------------------------------------------------

void TGSM::DoRxChar(char aChar) {
  if (OnRxChar_) OnRxChar_(this, aChar);
}


void TGSM::cmRxChar() {
  for (;;) {
    // 1. Report what has not been reported, one character at a time: a handler may start a
    // transaction whose own cmRxChar calls carry on from the same position.
    for (;;) {
      char c;
      {
        std::lock_guard lk(RxLock_);
        if (AsyncPos_ < 0) AsyncPos_ = 0;
        if (AsyncPos_ >= static_cast<long long>(AsyncBuffer_.size())) break;
        c = AsyncBuffer_[static_cast<size_t>(AsyncPos_++)];
      }
      DoRxChar(c);
    }
    // 2. While a transaction runs, its lines wait here for the framing after it.
    {
      std::lock_guard lk(StateLock_);
      if (WaitMode_ != 0) return;
    }
    if (Framing_) return;  // a line handler's own transaction: the outer framing goes on
    struct Flag {
      bool& f;
      ~Flag() { f = false; }
    } flag{Framing_ = true};
    std::string line;
    bool haveLine = false;
    {
      std::lock_guard lk(RxLock_);
      // Only what has been reported is framed, so no character escapes OnRxChar.
      size_t avail = static_cast<size_t>(std::max<long long>(0, AsyncPos_));
      const Framework::TFrontBuffer& b = AsyncBuffer_;
      auto remove = [&](size_t count) {
        count = std::min(count, avail);
        AsyncBuffer_.Consume(count);
        AsyncPos_ -= static_cast<long long>(count);
      };
      if (PendingLength_ > 0) {
        // 3. An awaited body of a known length (cut short by a carriage return).
        size_t bodyStart = static_cast<size_t>(std::max(BodyStart_, 0));
        size_t scanEnd = std::min(avail, bodyStart + static_cast<size_t>(PendingLength_));
        for (size_t k = bodyStart; k < scanEnd; ++k)
          if (b[k] == '\r') {
            PendingLength_ = static_cast<int>(k - bodyStart);
            break;
          }
        if (avail < bodyStart + static_cast<size_t>(PendingLength_)) return;
        line = b.substr(bodyStart, static_cast<size_t>(PendingLength_));
        remove(bodyStart + static_cast<size_t>(PendingLength_) + 1);
        PendingLength_ = 0;
        BodyStart_ = 0;
        haveLine = true;
      } else {
        // 4. The next line, ended by a carriage return.
        size_t i = 0;
        while (i < avail && static_cast<unsigned char>(b[i]) < 32) ++i;
        size_t start = i;
        while (i < avail && static_cast<unsigned char>(b[i]) >= 32) ++i;
        if (i >= avail) {
          // Incomplete: drop the leading control characters; a runaway line is noise.
          if (avail - start > kMaxLine) remove(avail);
          else remove(start);
          return;
        }
        if (b[i] == '\r') {
          line = b.substr(start, i - start);
          haveLine = true;
          BodyStart_ = 1;
        }
        remove(i + 1);  // a line ended by another control character is dropped
      }
    }
    if (haveLine) ProcessRxLine(line);
  }
}

void Register() { Framework::RegisterComponents("Communication", {Framework::ComponentClass<TGSM>("TGSM")}); }

namespace {
const bool kPublished = [] {
  Framework::TClassBuilder<TGSM>("TGSM", "TConnection")
      .Create()
      .Enum<TGSMEquipment>("Equipment", "TGSMEquipment",
                           {"eqA1", "eqM1", "eqM20", "eqGM12", "eqNokia6210", "eqNokia9110", "eqM35", "eqS25",
                            "eqT260", "eqWaveCom", "eqTC35"},
                           &TGSM::Equipment, &TGSM::SetEquipment)
      .Integer("SMSFormat", &TGSM::SMSFormat, &TGSM::SetSMSFormat)
      .SetOf<TGSMUnsolicitedIndicationSet>(
          "UnsolicitedIndication", "TGSMUnsolicitedIndicationSet",
          {"uindSMSDeliver", "uindSMSStatusReport", "uindCellBroadcast", "uindOnlyIndication"},
          &TGSM::UnsolicitedIndication, &TGSM::SetUnsolicitedIndication)
      .String("PIN", &TGSM::PIN, &TGSM::SetPIN)
      .String("SCA", &TGSM::SCA, &TGSM::SetSCA)
      .Reference<CommConnect::TComm>("COMDevice", "TComm", &TGSM::COMDevice, &TGSM::SetComDevice)
      .Boolean("ExtendedErrorMsg", &TGSM::ExtendedErrorMsg, &TGSM::SetExtendedErrorMsg, false)
      .Integer("RepeatCount", &TGSM::RepeatCount, &TGSM::SetRepeatCount, 5)
      .Integer("RecTimeout", &TGSM::RecTimeout, &TGSM::SetRecTimeout, 6000)
      .Integer("RepeatTimeout", &TGSM::RepeatTimeout, &TGSM::SetRepeatTimeout, 500)
      .Event<TRxCharEvent>("OnRxChar", "TRxCharEvent", &TGSM::OnRxChar, &TGSM::SetOnRxChar)
      .Event<TUnsolicitedLineEvent>("OnUnsolicitedLine", "TUnsolicitedLineEvent", &TGSM::OnUnsolicitedLine,
                                    &TGSM::SetOnUnsolicitedLine)
      .Event<TUnsolicitedSMSEvent>("OnUnsolicitedSMS", "TUnsolicitedSMSEvent", &TGSM::OnUnsolicitedSMS,
                                   &TGSM::SetOnUnsolicitedSMS)
      .Event<TNetworkRegistrationEvent>("OnNetworkRegistration", "TNetworkRegistrationEvent",
                                        &TGSM::OnNetworkRegistration, &TGSM::SetOnNetworkRegistration)
      .Event<TBusyChanged>("OnBusyChanged", "TBusyChanged", &TGSM::OnBusyChanged, &TGSM::SetOnBusyChanged)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::GSM

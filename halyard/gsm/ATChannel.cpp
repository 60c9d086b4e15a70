#include "halyard/gsm/ATChannel.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/commconnect/CommConnect.h"
#include "halyard/gsm/ATReplies.h"
#include "halyard/gsm/GSMUtils.h"
#include "halyard/resources/Resources.h"

namespace Halyard::GSM {

namespace R = Halyard::Resources;
using AuxStr::Trim;
using AuxStr::UpString;
using Framework::Application;
using Framework::Format;

namespace {
constexpr int kDrainWait = 50;
// Longest line kept: a modem line is never near this; a stream without line ends is noise.
constexpr size_t kMaxLine = 64 * 1024;
// Received text kept for the main thread when it falls behind a flood.
constexpr size_t kMaxAsync = 1024 * 1024;
}  // namespace

size_t PromptSplit(const std::string& Cmd) {
  bool quoted = false;
  for (size_t i = 0; i < Cmd.size(); ++i) {
    if (Cmd[i] == '"') quoted = !quoted;
    else if (Cmd[i] == '>' && !quoted) return i;
  }
  return std::string::npos;
}

// --- the hand-over thread ------------------------------------------------------------------

TATHandOverThread::TATHandOverThread(std::function<void()> Step) : Step_(std::move(Step)) {
  SetPriority(Framework::tpLower);
}

TATHandOverThread::~TATHandOverThread() {
  if (!Finished()) {
    Terminate();
    WaitFor();
  }
}

void TATHandOverThread::Execute() {
  while (!Terminated()) {
    WakeEvent().WaitFor(Framework::INFINITE);
    WakeEvent().ResetEvent();
    if (Terminated()) break;
    if (Direct()) cmRxChar();
    else Synchronize([this] { cmRxChar(); });
  }
}

bool TATHandOverThread::FramesHere() const {
  return Direct() ? std::this_thread::get_id() == ThreadID() : Framework::Application().IsMainThread();
}

void TATHandOverThread::cmRxChar() {
  for (;;) {
    try {
      Step_();
      return;
    } catch (...) {
    }
  }
}

// --- the channel ---------------------------------------------------------------------------

TATChannel::TATChannel(TOwner& Owner) : Owner_(Owner) {
  for (const char* line : {"OK=0", "RING=2", "NO CARRIER=3", "ERROR=4", "NO DIAL TONE=6", "BUSY=7",
                           "+CMS ERROR:=255", "+CME ERROR:=254", "COMMAND NOT SUPPORT=4", "TOO MANY PARAMETERS=4",
                           "OK.Params=RES,OK", "ERROR.Params=RES,ERR", "+CMS ERROR:.Params=RES,ERR",
                           "+CME ERROR:.Params=RES,ERR", "COMMAND NOT SUPPORT.Params=RES,ERR",
                           "TOO MANY PARAMETERS.Params=RES,ERR"})
    ResultCodes_.Add(line);
  CompileResultCodes();
  ResultCodes_.OnChange = [this](Framework::TObject*) { CompileResultCodes(); };
}

void TATChannel::CompileResultCodes() {
  std::vector<TResultCode> codes;
  for (int i = 0; i < ResultCodes_.Count(); ++i) {
    std::string name = ResultCodes_.Names(i);
    if (name.empty() || name.find(".Params") != std::string::npos) continue;
    std::string params = ResultCodes_.GetValue(name + ".Params");
    codes.push_back({name, Framework::StrToIntDef(ResultCodes_.ValueFromIndex(i), 0),
                     params.find("RES") != std::string::npos, params.find("OK") != std::string::npos});
  }
  std::lock_guard lk(StateLock_);
  Codes_ = std::move(codes);
}

const TATChannel::TResultCode* TATChannel::FindCode(const std::string& L, bool Exact) const {
  auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
  };
  // The first entry of a name wins, as the list's own look-up does.
  for (const TResultCode& c : Codes_)
    if (same(c.Line, L)) return &c;
  if (Exact || UpString(L).find("ERROR") == std::string::npos) return nullptr;
  for (const TResultCode& c : Codes_)
    if (c.Line == "ERROR") return &c;
  return nullptr;
}

int TATChannel::LastResultCode() const {
  std::lock_guard lk(StateLock_);
  return LastResultCode_;
}

std::string TATChannel::LastResultLine() const {
  std::lock_guard lk(StateLock_);
  return LastResultLine_;
}

uint64_t TATChannel::Received() const {
  std::lock_guard lk(RxLock_);
  return ReceivedTotal_;
}

uint64_t TATChannel::Framed() const {
  std::lock_guard lk(RxLock_);
  return FramedTotal_;
}

void TATChannel::Pause(int Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(std::max(Ms, 0))); }

bool TATChannel::WaitResponse(uint64_t& SeenProgress, const std::function<bool()>& Done, int Limit) {
  using Clock = std::chrono::steady_clock;
  // The thread that frames must frame its own transaction's answer: nobody else will.
  bool main = HandOver_ ? HandOver_->FramesHere() : Application().IsMainThread();
  const int limit = Limit;
  auto deadline = Clock::now() + std::chrono::milliseconds(limit);
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
    if (main) Frame();
    if (done) return true;
    if (!signalled) return false;
    // Only a chunk that carried something of this transaction restarts the silence limit: a
    // modem that talks of other things but never answers must not hold the caller forever.
    if (progress != SeenProgress) {
      SeenProgress = progress;
      deadline = Clock::now() + std::chrono::milliseconds(limit);
    }
    // A wait for prefixed lines alone (wmPrefixed) completes on any chunk at all.
    {
      std::lock_guard lk(StateLock_);
      if (Done()) return true;
    }
  }
}

void TATChannel::Drain(uint8_t Mode) {
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

bool TATChannel::RunAttempt(const std::string& Cmd, uint8_t Mode, bool& BodySent) {
  struct Cleanup {
    TATChannel* c;
    ~Cleanup() {
      {
        std::lock_guard lk(c->StateLock_);
        // Owed from here on, when its final result has not come by now: a final that comes
        // later then pays the debt without touching this attempt's lines.
        if (c->OweIfNoFinal_ && !(c->RxState_ & wmResult)) c->Owed_ = true;
        c->OweIfNoFinal_ = false;
        c->WaitMode_ = 0;
      }
      // Lines that came during the transaction wait for the framing: start it, whichever
      // thread ran the transaction.
      if (c->HandOver_) c->HandOver_->Wake();
      Pause(c->Settings.AttemptPause);
    }
  } cleanup{this};
  Drain(Mode);
  Owner_.ChannelPurgeOut();
  uint64_t seen;
  {
    std::lock_guard lk(StateLock_);
    ResponseBuffer_.clear();
    RxState_ = 0;
    EchoSeen_ = false;
    EchoExpected_ = EchoOn_;
    Paid_ = false;
    ExpectBody_ = false;
    LinesAtStart_ = ResultLines_ ? ResultLines_->Count() : 0;
    AttemptLines_ = AttemptBytes_ = 0;
    Overflow_ = false;
    seen = Progress_;
  }
  ResponseEvent_.ResetEvent();
  if (!(Mode & wmPrompt)) {
    {
      std::lock_guard lk(StateLock_);
      WaitMode_ = Mode;
    }
    Send(Cmd + "\r");
  } else {
    size_t gt = PromptSplit(Cmd);
    if (gt == std::string::npos) GSMError(R::LoadResString(R::sBadPDUFormat));
    {
      std::lock_guard lk(StateLock_);
      WaitMode_ = wmPrompt;
    }
    Send(Cmd.substr(0, gt) + "\r");
    // A final result instead of the prompt refuses the command.
    if (!WaitResponse(seen, [this] { return (RxState_ & (wmPrompt | wmResult)) != 0; }, Settings.RecTimeout))
      return false;
    {
      std::lock_guard lk(StateLock_);
      if (!(RxState_ & wmPrompt)) return false;
      // Behind the prompt the modem has finished whatever came before.
      Owed_ = false;
    }
    Drain(Mode & ~wmPrompt);
    ResponseEvent_.ResetEvent();
    {
      std::lock_guard lk(StateLock_);
      WaitMode_ = Mode & ~wmPrompt;
      RxState_ = 0;
    }
    Send(Cmd.substr(gt + 1) + "\x1A");
    BodySent = true;
  }
  uint8_t waitMode;
  {
    std::lock_guard lk(StateLock_);
    waitMode = WaitMode_;
    if (waitMode == 0) OweIfNoFinal_ = true;  // not waited for: its final result comes later
  }
  if (waitMode == 0) return true;
  uint8_t required = waitMode & ~(wmPrefixed | wmErrorEnds);
  int limit = BodySent && Settings.BodyTimeout > 0 ? std::max(Settings.BodyTimeout, Settings.RecTimeout)
                                                   : Settings.RecTimeout;
  bool complete = WaitResponse(seen, [&] { return Overflow_ || (RxState_ & required) == required; }, limit);
  {
    std::lock_guard lk(StateLock_);
    if (Overflow_)
      GSMError(Format("The modem's answer to %s exceeds %d lines or %d bytes", Cmd, Settings.MaxReplyLines,
                      Settings.MaxReplyBytes));
    // The modem took this command (it is done without its final, or echoed it, or does not echo)
    // and its final result may still come.
    OweIfNoFinal_ = !Paid_ && (complete || EchoSeen_ || !EchoExpected_);
    // No echo this time: the modem does not echo (any more), whatever the command was.
    if (!EchoSeen_) EchoOn_ = false;
  }
  std::lock_guard lk(StateLock_);
  bool ok = complete;
  if (complete && (Mode & wmResult)) ok = LastResultOk_;
  if (!ok && (Mode & wmErrorEnds)) ok = LastResultLine_.find("ERROR") != std::string::npos;
  return ok;
}

int TATChannel::Transact(const std::string& Cmd, uint8_t Mode, Framework::TStringList* Strings, int Repeats) {
  std::lock_guard transaction(TransactLock_);
  struct Guard {
    TATChannel* c;
    ~Guard() {
      std::lock_guard lk(c->StateLock_);
      c->ResultLines_ = nullptr;
      c->CallerFrames_ = false;
    }
  } lines{this};
  const bool framesHere = HandOver_ ? HandOver_->FramesHere() : Application().IsMainThread();
  std::string name = UpString(Trim(Cmd));
  name.erase(0, 2);
  for (char stop : {'=', '?', ';'}) {
    size_t p = name.find(stop);
    if (p != std::string::npos) name.resize(p);
  }
  {
    std::lock_guard lk(StateLock_);
    LastResultLine_.clear();
    LastResultCode_ = 0;
    LastResultOk_ = false;
    CommandName_ = name;
    CommandEcho_ = "AT" + name;
    CommandPrefix_ = name + ":";
    ResultLines_ = Strings;
    CallerFrames_ = framesHere;
  }
  int left = Repeats != 0 ? Repeats : Settings.RepeatCount;
  bool ok = false, bodySent = false;
  do {
    ok = RunAttempt(Cmd, Mode, bodySent);
    --left;
    // A body that went out is never sent again: the modem may have acted on it.
    if (!ok && !bodySent && left > 0) Pause(Settings.RepeatTimeout);
  } while (!ok && left > 0 && !bodySent);
  if (!ok) {
    std::string last = LastResultLine();
    if (!last.empty()) RaiseResponseError(last, Cmd);
    if (bodySent)
      throw EGSMNoAnswerAfterBody(Format("No answer from the modem after the body of %s: it may have been sent",
                                         Cmd.substr(0, PromptSplit(Cmd))));
    GSMError(Format(R::LoadResString(R::sNoReply), Cmd));
  }
  return LastResultCode();
}

// --- the receiver thread -------------------------------------------------------------------

template <class F>
void TATChannel::ConsumeLines(std::string_view Chunk, F&& Line) {
  const bool kept = !ResponseBuffer_.empty();
  if (kept) ResponseBuffer_.append(Chunk);
  const std::string_view buf = kept ? std::string_view(ResponseBuffer_) : Chunk;
  size_t pos = 0, n = buf.size();
  for (;;) {
    TLineScan s = ScanLine(buf, pos, n);
    if (s.Kind == TLineScan::lsIncomplete) {
      pos = s.Start;
      break;
    }
    if (s.Kind == TLineScan::lsLine) Line(std::string(buf.substr(s.Start, s.End - s.Start)));
    pos = s.End + 1;
  }
  if (kept) ResponseBuffer_.erase(0, pos);
  else ResponseBuffer_.assign(Chunk.substr(pos));
  if (ResponseBuffer_.size() > kMaxLine) ResponseBuffer_.clear();
}


void TATChannel::Receive(std::string_view Chunk) {
  if (Chunk.empty()) return;
  bool wake, signal = false;
  {
    std::lock_guard lk(RxLock_);
    AsyncBuffer_.Append(Chunk);
    ReceivedTotal_ += Chunk.size();
    if (AsyncBuffer_.size() > kMaxAsync) {
      // The main thread has fallen far behind: give up the oldest text, reported or not.
      size_t drop = AsyncBuffer_.size() - kMaxAsync;
      AsyncBuffer_.Consume(drop);
      FramedTotal_ += drop;
      AsyncPos_ = std::max<long long>(0, AsyncPos_ - static_cast<long long>(drop));
    }
    wake = static_cast<long long>(AsyncBuffer_.size()) > AsyncPos_;
  }
  {
    std::lock_guard lk(StateLock_);
    char last = Chunk.back();
    // The prompt is "> " (27.005 3.5.1): nothing more comes until the body is sent.
    bool prompt = (WaitMode_ & wmPrompt) &&
                  (last == '>' || (last == ' ' && Chunk.size() >= 2 && Chunk[Chunk.size() - 2] == '>'));
    PartialLine_ = !(last == '\n' || last == '\r' || prompt);
    if (WaitMode_ != 0) {
      if (!PartialLine_ && (WaitMode_ & wmDrain)) {
        RxState_ |= wmDrain;
        ++Progress_;
      }
      if ((WaitMode_ & wmPrompt) && Chunk.find('>') != std::string_view::npos) {
        RxState_ |= wmPrompt;
        ++Progress_;
      }
      AttemptBytes_ += static_cast<long long>(Chunk.size());
      ConsumeLines(Chunk, [this](const std::string& L) { HandleLine(L); });
      // A long line that is still coming is progress as much as a whole one.
      if (!ResponseBuffer_.empty()) ++Progress_;
      if (AttemptLines_ > Settings.MaxReplyLines || AttemptBytes_ > Settings.MaxReplyBytes) Overflow_ = true;
      signal = true;
      // The waiting caller frames what came itself when it is the framing thread; the hand-over
      // after the attempt takes the lines on.
      if (CallerFrames_) wake = false;
    } else if (Owed_) {
      // Between transactions only a final result matters: it pays what is owed.
      ConsumeLines(Chunk, [this](const std::string& L) {
        if (Owed_ && IsFinal(L, false)) Owed_ = false;
      });
      if (!Owed_) ResponseBuffer_.clear();
    }
  }
  // Set outside the lock: the caller it wakes takes the lock at once.
  if (signal) ResponseEvent_.SetEvent();
  if (wake && HandOver_) HandOver_->Wake();
}

void TATChannel::HandleLine(const std::string& L) {
  ++AttemptLines_;
  std::string U = UpString(L);
  if (U.rfind(CommandEcho_, 0) == 0) {
    ++Progress_;  // the echo
    // Whatever came before the echo answers an earlier command (a reply that came too late
    // for its own transaction); it is framed for the unsolicited handling afterwards.
    if (!EchoSeen_) {
      RxState_ &= wmDrain | wmPrompt;
      LastResultLine_.clear();
      LastResultCode_ = 0;
      LastResultOk_ = false;
      if (ResultLines_ && ResultLines_->Count() > LinesAtStart_)
        ResultLines_->DeleteRange(LinesAtStart_, ResultLines_->Count() - LinesAtStart_);
    }
    EchoSeen_ = true;
    EchoOn_ = true;
    return;
  }
  auto data = [&](const std::string& Text) {
    if (ResultLines_) ResultLines_->Add(Text);
    RxState_ |= wmResponse;
    ++Progress_;
  };
  // A message's body is data even where it reads like a result ("ERROR in your bill").
  bool body = ExpectBody_;
  ExpectBody_ = false;
  const std::string& prefix = CommandPrefix_;
  if (const TResultCode* code = IsFinal(L, body)) {
    if (Owed_) {
      // An earlier command's final result: it and what came with it are not this command's.
      Owed_ = false;
      Paid_ = true;
      RxState_ &= wmDrain | wmPrompt;
      if (ResultLines_ && ResultLines_->Count() > LinesAtStart_)
        ResultLines_->DeleteRange(LinesAtStart_, ResultLines_->Count() - LinesAtStart_);
      ++Progress_;
      return;
    }
    LastResultCode_ = code->Code;
    LastResultOk_ = code->Ok;
    LastResultLine_ = L;
    RxState_ |= wmResult | wmResponse;
    ++Progress_;
  } else if (FindCode(L, true)) {
    // A result code that is no final one (RING).
  } else if (body) {
    data(L);
  } else if (WaitMode_ == wmPrompt) {
    // Before the body nothing is the answer: the prompt itself, or reports around it.
  } else if (WaitMode_ & wmPrefixed) {
    if (U.rfind(prefix, 0) == 0) data(Trim(L.substr(prefix.size())));
  } else if (!L.empty() && (L[0] == '+' || L[0] == '^')) {
    if (U.rfind(prefix, 0) == 0) {
      data(L);
      ExpectBody_ = CommandName_ == "+CMGR" || CommandName_ == "+CMGL";
    }
  } else if (!IsUnsolicitedLine(L, CommandName_)) {
    data(L);
  }
  if ((RxState_ & (wmResult | wmResponse)) == (wmResult | wmResponse)) RxState_ |= wmFinal;
}

// --- the main thread's receive step --------------------------------------------------------

void TATChannel::Frame() {
  for (;;) {
    // 1. Report what has not been reported, one character at a time: a handler may start a
    // transaction whose own Frame calls carry on from the same position.
    for (;;) {
      char c;
      {
        std::lock_guard lk(RxLock_);
        if (AsyncPos_ < 0) AsyncPos_ = 0;
        if (AsyncPos_ >= static_cast<long long>(AsyncBuffer_.size())) break;
        c = AsyncBuffer_[static_cast<size_t>(AsyncPos_++)];
      }
      Owner_.ChannelChar(c);
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
      // Only what has been reported is framed, so no character escapes the owner.
      size_t avail = static_cast<size_t>(std::max<long long>(0, AsyncPos_));
      const Framework::TFrontBuffer& b = AsyncBuffer_;
      auto remove = [&](size_t count) {
        count = std::min(count, avail);
        AsyncBuffer_.Consume(count);
        FramedTotal_ += count;
        AsyncPos_ -= static_cast<long long>(count);
      };
      if (PendingLength_ > 0) {
        // 3. An awaited body of a known length (cut short by its end of line). It begins
        // behind the line feed of the header's CR LF; a header ended otherwise has none.
        if (BodyStart_ == 1 && avail > 0 && b[0] != '\n') BodyStart_ = 0;
        size_t bodyStart = static_cast<size_t>(std::max(BodyStart_, 0));
        size_t scanEnd = std::min(avail, bodyStart + static_cast<size_t>(PendingLength_));
        for (size_t k = bodyStart; k < scanEnd; ++k)
          if (b[k] == '\r' || (PendingPDU_ && static_cast<unsigned char>(b[k]) < 32)) {
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
        // 4. The next line.
        TLineScan s = ScanLine(b, 0, avail);
        if (s.Kind == TLineScan::lsIncomplete) {
          // Drop the leading control characters; a runaway line is noise.
          if (avail - s.Start > kMaxLine) remove(avail);
          else remove(s.Start);
          return;
        }
        if (s.Kind == TLineScan::lsLine) {
          line = b.substr(s.Start, s.End - s.Start);
          haveLine = true;
          BodyStart_ = b[s.End] == '\r' ? 1 : 0;
        }
        remove(s.End + 1);
      }
    }
    if (haveLine) Owner_.ChannelLine(line);
  }
}

}  // namespace Halyard::GSM

#pragma once
// The AT channel: command transactions over a port, the framing of received lines, and the
// hand-over of received text to the main thread. It knows nothing of messages or models; its
// owner sends and receives the bytes and interprets the lines framed outside transactions.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "halyard/framework/Classes.h"
#include "halyard/framework/FrontBuffer.h"
#include "halyard/framework/Threads.h"

namespace Halyard::GSM {

// The bits of a transaction's wait mode and of what the receiver has seen.
enum : uint8_t {
  wmResult = 1,       // a final result, which must be an OK one
  wmResponse = 2,     // at least one response line
  wmFinal = 4,        // the final result
  wmPrompt = 8,       // two-stage command with the ">" prompt
  wmPrefixed = 16,    // information lines only with the command's prefix, stored without it
  wmDrain = 32,       // internal: finishing a partly received line before sending
  wmErrorEnds = 64,   // an error final result also ends the transaction
};
// The modes the package uses, by what they wait for.
constexpr uint8_t wmAnswer = wmResult | wmResponse;                       // lines, then an OK
constexpr uint8_t wmPrefixedLines = wmResponse | wmPrefixed;              // "+X: value" lines, no result needed
constexpr uint8_t wmPrefixedAnswer = wmResult | wmResponse | wmPrefixed;  // "+X: value" lines, then an OK
constexpr uint8_t wmTwoStage = wmResult | wmResponse | wmFinal | wmPrompt | wmPrefixed;  // "+CMGS" with its body

// Where a two-stage command ("AT+CMGS=...>body") divides into the command and its body: the
// first ">" outside double quotes, so that a quoted text-mode number keeps a ">" of its own.
size_t PromptSplit(const std::string& Cmd);
constexpr uint8_t wmAnswerOrError = wmResult | wmResponse | wmErrorEnds;  // an error result also ends it

// The one framing rule for everything a modem sends. Control characters (below code 32) between
// lines are skipped; a line is the run of characters of code 32 and above that follows, ended by
// a carriage return or a line feed. A CR LF pair ends one line: the LF is skipped as the next
// line's leading control character. A run ended by any other control character (Ctrl-Z behind an
// echoed PDU) is not a line and is dropped. The echo of a command, which ends with CR alone, is
// thus a line as soon as its CR arrives.
struct TLineScan {
  enum TKind { lsLine, lsDropped, lsIncomplete } Kind;
  size_t Start;  // the line's first character (with lsIncomplete: of the unfinished rest)
  size_t End;    // its terminator
};
template <class Text>
TLineScan ScanLine(const Text& Buf, size_t From, size_t Avail) {
  size_t i = From;
  while (i < Avail && static_cast<unsigned char>(Buf[i]) < 32) ++i;
  size_t start = i;
  while (i < Avail && static_cast<unsigned char>(Buf[i]) >= 32) ++i;
  if (i >= Avail) return {TLineScan::lsIncomplete, start, Avail};
  char end = Buf[i];
  return {end == '\r' || end == '\n' ? TLineScan::lsLine : TLineScan::lsDropped, start, i};
}

// Waits for the hand-over signal and has the main thread run Step, one call at a time. A failing
// line or handler drops that line; the lines behind it are still framed now, not only when the
// next chunk arrives. Made suspended: the most derived class starts it once it is whole.
class TATHandOverThread : public Framework::TWakeableThread {
 public:
  explicit TATHandOverThread(std::function<void()> Step);
  ~TATHandOverThread() override;
  // Runs Step in this thread instead: a program with many modems (or no main loop) keeps one
  // modem's handlers off a thread every modem shares.
  void SetDirect(bool Value) { Direct_.store(Value); }
  bool Direct() const { return Direct_.load(); }
  // Whether the calling thread is the one that runs Step.
  bool FramesHere() const;

 protected:
  void Execute() override;
  // Runs Step until it returns without a failure; each failure has consumed its line.
  void cmRxChar();

 private:
  std::function<void()> Step_;
  std::atomic<bool> Direct_{false};
};

class TATChannel {
 public:
  // What the channel asks of its owner.
  struct TOwner {
    virtual ~TOwner() = default;
    virtual void ChannelSend(const std::string& Text) = 0;
    virtual void ChannelPurgeOut() = 0;
    // Every received character, in order, on the main thread.
    virtual void ChannelChar(char aChar) = 0;
    // Every line (or awaited body) framed outside a transaction, on the main thread.
    virtual void ChannelLine(const std::string& Line) = 0;
  };
  struct TSettings {
    int RepeatCount = 5, RecTimeout = 6000, RepeatTimeout = 500;
    // The pause after every attempt, whatever its outcome (the model's).
    int AttemptPause = 150;
    // The silence a two-stage command's final answer may take once its body is sent (0:
    // RecTimeout). A modem that sends a message may take two minutes to say so.
    int BodyTimeout = 0;
    // The most one attempt accepts before it fails: a modem that babbles cannot hold a command.
    // Far above any real answer (a full list of 255 stored messages is about 510 lines, 100 KiB).
    int MaxReplyLines = 1000, MaxReplyBytes = 256 * 1024;
  };

  explicit TATChannel(TOwner& Owner);
  TATChannel(const TATChannel&) = delete;
  TATChannel& operator=(const TATChannel&) = delete;

  TSettings Settings;
  Framework::TStringList& ResultCodes() { return ResultCodes_; }
  const Framework::TStringList& ResultCodes() const { return ResultCodes_; }
  // The thread that hands received text to the main thread; not owned.
  void SetHandOver(TATHandOverThread* Thread) { HandOver_ = Thread; }

  // One transaction (the caller has checked the command and the port): returns the final
  // result's code, raises EGSMError or the modem's error on failure.
  int Transact(const std::string& Cmd, uint8_t Mode, Framework::TStringList* Strings, int Repeats);
  int LastResultCode() const;
  std::string LastResultLine() const;

  // The receiver thread's part: a chunk as the port delivered it.
  void Receive(std::string_view Chunk);
  // The main thread's part: reports the characters received and, between transactions, frames
  // their lines for the owner.
  void Frame();

  // An awaited body behind the header just framed: Length characters of text (or fewer, up to
  // a carriage return; 0: the next line), or a PDU line of at most 512 hexadecimal characters,
  // which any line end ends.
  void AwaitBody(int Length) {
    PendingLength_ = Length;
    PendingPDU_ = false;
  }
  void AwaitPDU() {
    PendingLength_ = 512;
    PendingPDU_ = true;
  }
  void ClearBody() { PendingLength_ = 0; }
  // Set by the receiver after each chunk of a transaction; free for the owner between them.
  Framework::TEvent& ResponseEvent() { return ResponseEvent_; }

  static void Pause(int Ms);
  // Bytes received so far, and bytes framed or given up so far: a line framed when Framed() is
  // past a mark taken from Received() came after the mark.
  uint64_t Received() const;
  uint64_t Framed() const;

 private:
  // One attempt; BodySent tells whether a two-stage command's body went out.
  bool RunAttempt(const std::string& Cmd, uint8_t Mode, bool& BodySent);
  void Drain(uint8_t Mode);
  // Waits for ResponseEvent up to Limit ms of silence; returns false on time-out.
  bool WaitResponse(uint64_t& SeenProgress, const std::function<bool()>& Done, int Limit);
  void HandleLine(const std::string& L);  // under StateLock_
  // ResultCodes as values, compiled whenever the list changes.
  struct TResultCode {
    std::string Line;
    int Code = 0;
    bool Final = false;  // its ".Params" say RES
    bool Ok = false;     // and OK
  };
  void CompileResultCodes();
  // The entry of a line: its own (names compare without regard to ASCII case), or with Exact
  // false the ERROR entry for any line with the word ERROR in it; null for none.
  const TResultCode* FindCode(const std::string& L, bool Exact) const;
  // The entry of a final result line, or null.
  const TResultCode* IsFinal(const std::string& L, bool Exact) const {
    const TResultCode* c = FindCode(L, Exact);
    return c && c->Final ? c : nullptr;
  }
  // Hands over each whole line a chunk completes, with what ResponseBuffer_ kept of an earlier
  // one, and keeps the unfinished rest there; under StateLock_. A chunk of whole lines is read
  // where it lies.
  template <class F>
  void ConsumeLines(std::string_view Chunk, F&& Line);
  void Send(const std::string& Text) { Owner_.ChannelSend(Text); }

  TOwner& Owner_;
  Framework::TStringList ResultCodes_;
  std::vector<TResultCode> Codes_;  // under StateLock_
  TATHandOverThread* HandOver_ = nullptr;
  Framework::TEvent ResponseEvent_;

  // Shared by the calling thread and the receiver thread.
  mutable std::mutex StateLock_;
  // One transaction at a time, whichever threads start them: an application that sends from a
  // worker thread while the main thread's line handling selects a storage. Re-entrant for a
  // handler's own transaction inside another on the same thread. Held only while this channel
  // waits for its modem, never for the main thread.
  std::recursive_mutex TransactLock_;
  uint8_t WaitMode_ = 0;
  uint8_t RxState_ = 0;
  bool PartialLine_ = false;
  std::string ResponseBuffer_;
  std::string LastResultLine_;
  int LastResultCode_ = 0;
  bool LastResultOk_ = false;
  std::string CommandName_;
  std::string CommandEcho_, CommandPrefix_;  // "AT" + the name, the name + ":"
  Framework::TStringList* ResultLines_ = nullptr;
  bool CallerFrames_ = false;  // the transaction runs on the thread that frames
  uint64_t Progress_ = 0;  // chunks that carried something of the transaction
  long long AttemptLines_ = 0, AttemptBytes_ = 0;  // what this attempt has received
  bool Overflow_ = false;
  // Whether the modem echoes commands (learnt from the echoes seen), whether this attempt's echo
  // has come, and how many result lines the attempt found in place.
  bool EchoOn_ = false;
  bool EchoSeen_ = false;
  bool EchoExpected_ = false;  // EchoOn_ when the attempt began
  int LinesAtStart_ = 0;
  // An earlier command took the modem's attention but its final result has not come: every
  // command gets exactly one, so the next final result to come is that one, not the current
  // command's. Paid_: this attempt has thrown away a final for it.
  bool Owed_ = false;
  bool Paid_ = false;
  bool OweIfNoFinal_ = false;  // the attempt ends owing, unless its final result has come
  // The line behind a message's header ("+CMGR:", "+CMGL:") is its body, whatever it says.
  bool ExpectBody_ = false;

  // Shared by the receiver thread and the main thread.
  mutable Framework::TCriticalSection RxLock_;
  Framework::TFrontBuffer AsyncBuffer_;
  long long AsyncPos_ = 0;
  uint64_t ReceivedTotal_ = 0, FramedTotal_ = 0;
  // Main thread only.
  bool Framing_ = false;
  int PendingLength_ = 0;
  bool PendingPDU_ = false;
  int BodyStart_ = 0;
};

}  // namespace Halyard::GSM

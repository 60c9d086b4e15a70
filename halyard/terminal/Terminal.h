#pragma once
// A read-only memo that any thread may feed with whole lines or with raw characters, shown in
// passes on the main thread by a companion thread.
#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "halyard/framework/Memo.h"
#include "halyard/framework/Threads.h"

namespace Halyard::Terminal {

using Framework::TComponent;
using Framework::TStringList;

class TTerminal;

class TTerminalThread : public Framework::TWakeableThread {
 public:
  explicit TTerminalThread(TTerminal* ATerminal);

 protected:
  void Execute() override;

 private:
  friend class TTerminal;
  TTerminal* Terminal_;
  std::deque<std::string> PendingLines_;
  std::string PendingChars_;
  Framework::TCriticalSection Lock_;
  bool LineBreak_ = false;
};

class TTerminal : public Framework::TCustomMemo {
 public:
  explicit TTerminal(TComponent* AOwner);
  ~TTerminal() override;
  // Stops the companion thread; a hand-over not yet run is abandoned.
  void BeforeDestruction() override;

  // Any thread; they only queue and never wait for the main thread.
  void Log(const std::string& Text);
  void LogErr(const std::string& Text1, const std::string& Text2);
  void LogTerm(const std::string& Text);

  void CheckLines(TStringList& Lines) const;
  // Applies one raw character at the cursor column.
  virtual void LogTermChar(char Ch, TStringList& Lines);

  int MaxLines() const { return MaxLines_.load(); }
  void SetMaxLines(int v) { MaxLines_.store(v); }
  // The cursor column, from 0 (main thread).
  int Column() const { return Column_; }

 private:
  friend class TTerminalThread;
  void HandOver();

  int Column_ = 0;
  std::atomic<int> MaxLines_{100};
  std::unique_ptr<TTerminalThread> Thread_;
};

// Puts TTerminal on the palette page "Communication".
void Register();

}  // namespace Halyard::Terminal

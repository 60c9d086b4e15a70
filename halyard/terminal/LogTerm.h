#pragma once
// A file logger that also shows what it writes in a terminal control.
#include <atomic>

#include "halyard/connect/Loggers.h"
#include "halyard/terminal/Terminal.h"

namespace Halyard::LogTerm {

using Framework::TComponent;

class TFileTermLogger : public Connect::TFileLogger {
 public:
  explicit TFileTermLogger(TComponent* AOwner) : TFileLogger(AOwner) {}

  Terminal::TTerminal* GetTerminal() const { return Terminal_.load(); }
  Terminal::TTerminal* Terminal() const { return GetTerminal(); }
  // Not owned; cleared when the control is destroyed.
  void SetTerminal(Terminal::TTerminal* Value);
  bool TermChar() const { return TermChar_.load(); }
  void SetTermChar(bool v) { TermChar_.store(v); }

 protected:
  void DoLog(const std::string& aText) override;
  void Notification(TComponent* AComponent, Framework::TOperation Operation) override;

 private:
  std::atomic<Terminal::TTerminal*> Terminal_{nullptr};
  std::atomic<bool> TermChar_{false};
};

// Puts TFileTermLogger on the palette page "Communication".
void Register();

}  // namespace Halyard::LogTerm

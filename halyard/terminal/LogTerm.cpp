#include "halyard/terminal/LogTerm.h"

#include <mutex>

#include "halyard/framework/Properties.h"
#include "halyard/framework/Registry.h"

namespace Halyard::LogTerm {

void TFileTermLogger::SetTerminal(Terminal::TTerminal* Value) {
  std::lock_guard lk(Lock());
  Terminal::TTerminal* old = Terminal_.load();
  if (old == Value) return;
  if (old) RemoveFreeNotification(old);
  Terminal_.store(Value);
  if (Value) FreeNotification(Value);
}

void TFileTermLogger::Notification(TComponent* AComponent, Framework::TOperation Operation) {
  TFileLogger::Notification(AComponent, Operation);
  // Under the logger's lock, so no DoLog in another thread still holds the control.
  if (Operation == Framework::opRemove && AComponent && AComponent == Terminal_.load()) {
    std::lock_guard lk(Lock());
    Terminal_.store(nullptr);
  }
}

void TFileTermLogger::DoLog(const std::string& aText) {
  if (Terminal::TTerminal* t = Terminal_.load()) {
    if (TermChar() || LogFlags().Contains(Connect::lfAutoCR)) t->LogTerm(aText);
    else t->Log(aText);
  }
  TFileLogger::DoLog(aText);
}

void Register() {
  Framework::RegisterComponents("Communication", {Framework::ComponentClass<TFileTermLogger>("TFileTermLogger")});
}

namespace {
const bool kPublished = [] {
  Framework::TClassBuilder<TFileTermLogger>("TFileTermLogger", "TFileLogger")
      .Create()
      .Reference<Terminal::TTerminal>("Terminal", "TTerminal", &TFileTermLogger::GetTerminal,
                                      &TFileTermLogger::SetTerminal)
      .Boolean("TermChar", &TFileTermLogger::TermChar, &TFileTermLogger::SetTermChar, false)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::LogTerm

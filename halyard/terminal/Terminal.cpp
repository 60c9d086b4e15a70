#include "halyard/terminal/Terminal.h"

#include <mutex>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/framework/Properties.h"
#include "halyard/framework/Registry.h"

namespace Halyard::Terminal {

// --- TTerminalThread -----------------------------------------------------------------------

TTerminalThread::TTerminalThread(TTerminal* ATerminal) : Terminal_(ATerminal) {
  SetPriority(Framework::tpHigher);
  Start();
}

void TTerminalThread::Execute() {
  while (!Terminated()) {
    WakeEvent().WaitFor(Framework::INFINITE);
    if (Terminated()) break;
    WakeEvent().ResetEvent();
    Synchronize([this] { Terminal_->HandOver(); });
  }
}

// --- TTerminal -----------------------------------------------------------------------------

TTerminal::TTerminal(TComponent* AOwner) : TCustomMemo(AOwner) {
  SetReadOnly(true);
  SetWordWrap(false);
  Thread_ = std::make_unique<TTerminalThread>(this);
}

TTerminal::~TTerminal() = default;

void TTerminal::BeforeDestruction() {
  // The control owns its thread and waits for it (running queued calls meanwhile), so no
  // hand-over can reach a control that is gone.
  Thread_->Terminate();
  Thread_->WaitFor();
  TCustomMemo::BeforeDestruction();
}

void TTerminal::Log(const std::string& Text) {
  {
    std::lock_guard lk(Thread_->Lock_);
    Thread_->PendingLines_.push_back(Text);
  }
  Thread_->Wake();
}

void TTerminal::LogErr(const std::string& Text1, const std::string& Text2) {
  Log(Framework::Format("%s: %s", Text1, Text2));
}

void TTerminal::LogTerm(const std::string& Text) {
  {
    std::lock_guard lk(Thread_->Lock_);
    Thread_->PendingChars_ += Text;
  }
  Thread_->Wake();
}

void TTerminal::CheckLines(TStringList& Lines) const {
  int max = MaxLines();
  if (max <= 0) {
    Lines.Clear();
    return;
  }
  if (Lines.Count() > max) Lines.DeleteRange(0, Lines.Count() - max);
}

void TTerminal::LogTermChar(char Ch, TStringList& Lines) {
  if (Lines.Count() == 0) Lines.Add("");
  switch (Ch) {
    case 8:
      if (Column_ > 0) --Column_;
      break;
    case 10:
      Lines.Add(AuxStr::ReplSpace(Column_));
      break;
    case 13:
      Column_ = 0;
      break;
    default: {
      // In place: a stream without line ends must not cost the length of its line per byte.
      std::string& line = Lines.Edit(Lines.Count() - 1);
      if (static_cast<int>(line.size()) < Column_ + 1) line.resize(static_cast<size_t>(Column_) + 1, ' ');
      line[static_cast<size_t>(Column_)] = Ch;
      ++Column_;
    }
  }
}

void TTerminal::HandOver() {
  if (IsDestroying()) return;
  TTerminalThread& t = *Thread_;
  TStringList copy;
  copy.Assign(Lines());
  for (;;) {
    std::lock_guard lk(t.Lock_);
    if (t.PendingLines_.empty()) break;
    copy.Add(t.PendingLines_.front());
    t.PendingLines_.pop_front();
    Column_ = 0;
    t.LineBreak_ = true;
  }
  CheckLines(copy);
  std::string chars;
  {
    std::lock_guard lk(t.Lock_);
    chars.swap(t.PendingChars_);
    if (!chars.empty()) {
      if (t.LineBreak_) copy.Add("");
      t.LineBreak_ = false;
    }
  }
  for (char ch : chars) LogTermChar(ch, copy);

  bool differs = copy.Count() != Lines().Count();
  for (int i = 0; !differs && i < copy.Count(); ++i) differs = copy[i] != Lines()[i];
  // The update bracket only around a real change: a pass that changes nothing fires no OnChange.
  if (differs) {
    Lines().BeginUpdate();
    try {
      Lines().Assign(copy);
    } catch (...) {
      Lines().EndUpdate();
      throw;
    }
    Lines().EndUpdate();
  }
  int pos = Column_;
  for (int i = 0; i + 1 < copy.Count(); ++i) pos += static_cast<int>(copy[i].size()) + 2;
  if (SelStart() != pos) SetSelStart(pos);
  SetSelLength(0);
  SendMessage(Framework::EM_SCROLLCARET);
}

void Register() {
  Framework::RegisterComponents("Communication", {Framework::ComponentClass<TTerminal>("TTerminal")});
}

namespace {
const bool kPublished = [] {
  using M = Framework::TCustomMemo;
  using Framework::TNotifyEvent;
  // What means something without a window; placement, drag and drop, pop-up menus and the
  // key and mouse events belong to a view and are left to it.
  Framework::TClassBuilder<M>("TCustomMemo", "")
      .Enum<Framework::TAlignment>("Alignment", "TAlignment", {"taLeftJustify", "taRightJustify", "taCenter"},
                                   &M::Alignment, &M::SetAlignment, Framework::taLeftJustify)
      .Enum<Framework::TBorderStyle>("BorderStyle", "TBorderStyle", {"bsNone", "bsSingle"}, &M::BorderStyle,
                                     &M::SetBorderStyle, Framework::bsSingle)
      .Integer("Color", &M::Color, &M::SetColor, Framework::clWindow)
      .Boolean("Enabled", &M::Enabled, &M::SetEnabled, true)
      .String("FontName", &M::FontName, &M::SetFontName, std::string("MS Sans Serif"))
      .Integer("FontSize", &M::FontSize, &M::SetFontSize, 8)
      .String("Lines", &M::Text, &M::SetText, std::string())
      .Integer("MaxLength", &M::MaxLength, &M::SetMaxLength, 0)
      .Boolean("ParentColor", &M::ParentColor, &M::SetParentColor, false)
      .Boolean("ParentFont", &M::ParentFont, &M::SetParentFont, true)
      .Boolean("ParentShowHint", &M::ParentShowHint, &M::SetParentShowHint, true)
      .Enum<Framework::TScrollStyle>("ScrollBars", "TScrollStyle", {"ssNone", "ssHorizontal", "ssVertical", "ssBoth"},
                                     &M::ScrollBars, &M::SetScrollBars, Framework::ssNone)
      .Boolean("ShowHint", &M::ShowHint, &M::SetShowHint, false)
      .Integer("TabOrder", &M::TabOrder, &M::SetTabOrder, -1)
      .Boolean("TabStop", &M::TabStop, &M::SetTabStop, true)
      .Boolean("Visible", &M::Visible, &M::SetVisible, true)
      .Boolean("WantReturns", &M::WantReturns, &M::SetWantReturns, true)
      .Boolean("WantTabs", &M::WantTabs, &M::SetWantTabs, false)
      .Event<TNotifyEvent>("OnChange", "TNotifyEvent", &M::OnChange, &M::SetOnChange)
      .Event<TNotifyEvent>("OnClick", "TNotifyEvent", &M::OnClick, &M::SetOnClick)
      .Event<TNotifyEvent>("OnDblClick", "TNotifyEvent", &M::OnDblClick, &M::SetOnDblClick)
      .Event<TNotifyEvent>("OnEnter", "TNotifyEvent", &M::OnEnter, &M::SetOnEnter)
      .Event<TNotifyEvent>("OnExit", "TNotifyEvent", &M::OnExit, &M::SetOnExit)
      .Commit();
  Framework::TClassBuilder<TTerminal>("TTerminal", "TCustomMemo")
      .Create()
      .Integer("MaxLines", &TTerminal::MaxLines, &TTerminal::SetMaxLines)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::Terminal

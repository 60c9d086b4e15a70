#pragma once
// The model of a multi-line edit control: its lines, selection and the few messages the
// package sends it. A view (a console, a GUI toolkit) renders it from OnChange and
// OnScrollCaret; all of it belongs to the main thread.
#include <string>

#include "halyard/framework/Classes.h"

namespace Halyard::Framework {

constexpr unsigned EM_SCROLLCARET = 0x00B7;

class TCustomMemo : public TComponent {
 public:
  explicit TCustomMemo(TComponent* AOwner);

  TStringList& Lines() { return Lines_; }
  const TStringList& Lines() const { return Lines_; }
  // The lines joined by CR LF, as an edit control holds them.
  std::string Text() const;
  int TextLength() const;

  bool ReadOnly() const { return ReadOnly_; }
  void SetReadOnly(bool v) { ReadOnly_ = v; }
  bool WordWrap() const { return WordWrap_; }
  void SetWordWrap(bool v) { WordWrap_ = v; }
  int MaxLength() const { return MaxLength_; }
  void SetMaxLength(int v) { MaxLength_ = v; }
  bool Enabled() const { return Enabled_; }
  void SetEnabled(bool v) { Enabled_ = v; }
  bool Visible() const { return Visible_; }
  void SetVisible(bool v) { Visible_ = v; }
  bool WantReturns() const { return WantReturns_; }
  void SetWantReturns(bool v) { WantReturns_ = v; }
  bool WantTabs() const { return WantTabs_; }
  void SetWantTabs(bool v) { WantTabs_ = v; }

  // Character positions in Text(), from 0; kept within the text.
  int SelStart() const { return SelStart_; }
  void SetSelStart(int v);
  int SelLength() const { return SelLength_; }
  void SetSelLength(int v);

  // The control's message entry; EM_SCROLLCARET brings the caret into view.
  long SendMessage(unsigned Msg, long WParam = 0, long LParam = 0);

  const TNotifyEvent& OnChange() const { return OnChange_; }
  void SetOnChange(TNotifyEvent h) { OnChange_ = std::move(h); }
  const TNotifyEvent& OnScrollCaret() const { return OnScrollCaret_; }
  void SetOnScrollCaret(TNotifyEvent h) { OnScrollCaret_ = std::move(h); }

 protected:
  virtual void ScrollCaret();

 private:
  TStringList Lines_;
  bool ReadOnly_ = false, WordWrap_ = true, Enabled_ = true, Visible_ = true;
  bool WantReturns_ = true, WantTabs_ = false;
  int MaxLength_ = 0;
  int SelStart_ = 0, SelLength_ = 0;
  TNotifyEvent OnChange_, OnScrollCaret_;
};

}  // namespace Halyard::Framework

#pragma once
// The model of a multi-line edit control: its lines, selection and the few messages the
// package sends it. A view (a console, a GUI toolkit) renders it from OnChange and
// OnScrollCaret; all of it belongs to the main thread.
#include <string>

#include "halyard/framework/Classes.h"

namespace Halyard::Framework {

constexpr unsigned EM_SCROLLCARET = 0x00B7;

enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TBorderStyle { bsNone, bsSingle };
enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };
// The system colour of a window's background, as the platform's colour numbers give it.
constexpr int clWindow = static_cast<int>(0x80000005u);

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
  // The lines as one text, CR LF between them (what a form stores for Lines).
  void SetText(const std::string& Value) { Lines_.SetText(Value); }

  // What a view draws with; the model only keeps them.
  TAlignment Alignment() const { return Alignment_; }
  void SetAlignment(TAlignment v) { Alignment_ = v; }
  TBorderStyle BorderStyle() const { return BorderStyle_; }
  void SetBorderStyle(TBorderStyle v) { BorderStyle_ = v; }
  TScrollStyle ScrollBars() const { return ScrollBars_; }
  void SetScrollBars(TScrollStyle v) { ScrollBars_ = v; }
  int Color() const { return Color_; }
  void SetColor(int v) { Color_ = v; }
  bool ParentColor() const { return ParentColor_; }
  void SetParentColor(bool v) { ParentColor_ = v; }
  const std::string& FontName() const { return FontName_; }
  void SetFontName(const std::string& v) { FontName_ = v; }
  int FontSize() const { return FontSize_; }
  void SetFontSize(int v) { FontSize_ = v; }
  bool ParentFont() const { return ParentFont_; }
  void SetParentFont(bool v) { ParentFont_ = v; }
  bool ShowHint() const { return ShowHint_; }
  void SetShowHint(bool v) { ShowHint_ = v; }
  bool ParentShowHint() const { return ParentShowHint_; }
  void SetParentShowHint(bool v) { ParentShowHint_ = v; }
  int TabOrder() const { return TabOrder_; }
  void SetTabOrder(int v) { TabOrder_ = v; }
  bool TabStop() const { return TabStop_; }
  void SetTabStop(bool v) { TabStop_ = v; }

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
  // Fired by a view.
  const TNotifyEvent& OnClick() const { return OnClick_; }
  void SetOnClick(TNotifyEvent h) { OnClick_ = std::move(h); }
  const TNotifyEvent& OnDblClick() const { return OnDblClick_; }
  void SetOnDblClick(TNotifyEvent h) { OnDblClick_ = std::move(h); }
  const TNotifyEvent& OnEnter() const { return OnEnter_; }
  void SetOnEnter(TNotifyEvent h) { OnEnter_ = std::move(h); }
  const TNotifyEvent& OnExit() const { return OnExit_; }
  void SetOnExit(TNotifyEvent h) { OnExit_ = std::move(h); }

 protected:
  virtual void ScrollCaret();

 private:
  TStringList Lines_;
  bool ReadOnly_ = false, WordWrap_ = true, Enabled_ = true, Visible_ = true;
  bool WantReturns_ = true, WantTabs_ = false;
  int MaxLength_ = 0;
  int SelStart_ = 0, SelLength_ = 0;
  TAlignment Alignment_ = taLeftJustify;
  TBorderStyle BorderStyle_ = bsSingle;
  TScrollStyle ScrollBars_ = ssNone;
  int Color_ = clWindow;
  bool ParentColor_ = false, ParentFont_ = true, ShowHint_ = false, ParentShowHint_ = true, TabStop_ = true;
  std::string FontName_ = "MS Sans Serif";
  int FontSize_ = 8;
  int TabOrder_ = -1;
  TNotifyEvent OnChange_, OnScrollCaret_, OnClick_, OnDblClick_, OnEnter_, OnExit_;
};

}  // namespace Halyard::Framework

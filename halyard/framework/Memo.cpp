#include "halyard/framework/Memo.h"

#include <algorithm>

namespace Halyard::Framework {

TCustomMemo::TCustomMemo(TComponent* AOwner) : TComponent(AOwner) {
  Lines_.OnChange = [this](TObject*) {
    SetSelStart(SelStart_);
    if (OnChange_) OnChange_(this);
  };
}

std::string TCustomMemo::Text() const {
  std::string t;
  for (int i = 0; i < Lines_.Count(); ++i) {
    if (i) t += "\r\n";
    t += Lines_[i];
  }
  return t;
}

int TCustomMemo::TextLength() const {
  size_t n = 0;
  for (const auto& e : Lines_) n += e.S.size() + 2;
  return static_cast<int>(n >= 2 ? n - 2 : 0);
}

void TCustomMemo::SetSelStart(int v) {
  SelStart_ = std::clamp(v, 0, TextLength());
  SetSelLength(SelLength_);
}

void TCustomMemo::SetSelLength(int v) {
  SelLength_ = std::clamp(v, 0, TextLength() - SelStart_);
}

long TCustomMemo::SendMessage(unsigned Msg, long, long) {
  if (Msg == EM_SCROLLCARET) ScrollCaret();
  return 0;
}

void TCustomMemo::ScrollCaret() {
  if (OnScrollCaret_) OnScrollCaret_(this);
}

}  // namespace Halyard::Framework

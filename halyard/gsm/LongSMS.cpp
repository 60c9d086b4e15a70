#include "halyard/gsm/LongSMS.h"

#include <algorithm>

namespace Halyard::GSM {

namespace {
const std::string kMissing = "\xEF\xBF\xBD";  // U+FFFD for a part that never came

// Where the units of a text may be cut into pieces of at most Max units: never inside an
// escape pair (7-bit) or a surrogate pair (UCS2).
std::vector<std::string> Cut(const TEncodedText& T, size_t Max) {
  std::vector<std::string> pieces;
  const std::string& u = T.Units;
  size_t start = 0;
  while (start < u.size()) {
    size_t end = std::min(u.size(), start + Max);
    if (end < u.size()) {
      if (T.Coding == tcGSM7) {
        // Walk the pairs from the start of the piece: an escape as its last unit moves on.
        size_t i = start;
        while (i < end) i += (u[i] == '\x1B') ? 2 : 1;
        if (i > end) end -= 1;
      } else {
        uint8_t hi = static_cast<uint8_t>(u[end - 2]);
        if (hi >= 0xD8 && hi < 0xDC) end -= 2;  // a high surrogate waits for its low half
      }
    }
    pieces.push_back(u.substr(start, end - start));
    start = end;
  }
  return pieces;
}

size_t WholeCapacity(TTextCoding C) { return C == tcGSM7 ? 160 : 140; }
size_t PartCapacity(TTextCoding C, bool Wide) {
  size_t header = Wide ? 7 : 6;  // length octet and the concatenation element
  return C == tcGSM7 ? (140 - header) * 8 / 7 : 140 - header - (140 - header) % 2;
}
}  // namespace

int NextReference(const std::string& DA, bool Wide) {
  static std::mutex m;
  static std::map<std::string, int> next;
  std::lock_guard lk(m);
  // One counter per destination, but not without bound: a long-running sender to ever new
  // numbers starts again (the references of the forgotten ones only need not repeat soon).
  if (next.size() >= 4096 && !next.count(DA)) next.clear();
  auto [it, fresh] = next.try_emplace(DA, 0);
  if (fresh) it->second = static_cast<int>(std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFF);
  int r = it->second & (Wide ? 0xFFFF : 0xFF);
  it->second = (it->second + 1) & 0xFFFF;
  return r;
}

int CountParts(const std::string& Utf8, bool Wide) {
  TEncodedText t = EncodeText(Utf8);
  if (t.Units.size() <= WholeCapacity(t.Coding)) return 1;
  return static_cast<int>(Cut(t, PartCapacity(t.Coding, Wide)).size());
}

std::vector<std::unique_ptr<TSMSSubmit>> SplitText(const std::string& Utf8, const std::string& DA,
                                                   const TSplitOptions& Options) {
  (void)TSMS2::EncodeODA(DA);  // a number no address can carry fails before anything is made
  TEncodedText t = EncodeText(Utf8);
  std::vector<std::string> pieces;
  bool whole = t.Units.size() <= WholeCapacity(t.Coding);
  if (whole) pieces.push_back(t.Units);
  else pieces = Cut(t, PartCapacity(t.Coding, Options.Wide));
  if (pieces.size() > 255)
    throw Framework::EConvertError(
        Framework::Format("The text needs %d parts, 255 at most", static_cast<int>(pieces.size())));
  int reference = Options.Reference >= 0 ? Options.Reference : NextReference(DA, Options.Wide);
  std::vector<std::unique_ptr<TSMSSubmit>> parts;
  for (size_t i = 0; i < pieces.size(); ++i) {
    auto m = std::make_unique<TSMSSubmit>();
    m->DA = DA;
    if (Options.StatusReport) m->SetPDUTypeBit(Tp::kSrBit, true);
    if (Options.Validity > 0) {
      m->SetPDUType2Bits(3, 2);
      m->VP = Options.Validity;
    }
    TEncodedText piece{t.Coding, pieces[i]};
    if (whole) {
      SetMessageContent(*m, nullptr, piece);
    } else {
      TUserDataHeader h;
      h.SetConcatenation({reference & (Options.Wide ? 0xFFFF : 0xFF), static_cast<int>(pieces.size()),
                          static_cast<int>(i + 1), Options.Wide});
      SetMessageContent(*m, &h, piece);
    }
    parts.push_back(std::move(m));
  }
  return parts;
}

// --- reassembly ----------------------------------------------------------------------------

std::optional<TAssembled> TReassembler::Add(const TSMSDeliver& Part, Clock::time_point Now) {
  TMessageContent c = MessageContent(Part);
  std::optional<TConcatenation> concat = c.Header ? c.Header->Concatenation() : std::nullopt;
  std::string text = c.Text();
  if (!concat || concat->Parts == 1) {
    TAssembled a;
    a.From = Part.OA;
    a.Text = std::move(text);
    a.FirstTime = Part.SCTS;
    return a;
  }
  const TConcatenation k = *concat;
  std::lock_guard lk(M_);
  TKey key{Part.OA, k.Reference, k.Parts};
  auto [it, fresh] = Partial_.try_emplace(key);
  TPartial& p = it->second;
  if (fresh) {
    p.Started = Now;
    p.FirstTime = Part.SCTS;
  }
  if (!p.Texts.try_emplace(k.Part, text).second) return std::nullopt;  // a duplicate
  p.Bytes += text.size();
  Bytes_ += text.size();
  if (static_cast<int>(p.Texts.size()) == k.Parts) {
    TAssembled a = Assemble(key, p, true);
    Bytes_ -= p.Bytes;
    Partial_.erase(it);
    return a;
  }
  Enforce();
  return std::nullopt;
}

TAssembled TReassembler::Assemble(const TKey& K, const TPartial& P, bool Complete) const {
  TAssembled a;
  a.From = K.From;
  a.Reference = K.Reference;
  a.Parts = K.Parts;
  a.Received = static_cast<int>(P.Texts.size());
  a.Complete = Complete;
  a.FirstTime = P.FirstTime;
  for (int i = 1; i <= K.Parts; ++i) {
    auto t = P.Texts.find(i);
    a.Text += t == P.Texts.end() ? kMissing : t->second;
  }
  return a;
}

void TReassembler::Enforce() {
  while (!Partial_.empty() && (Partial_.size() > Opt_.MaxMessages || Bytes_ > Opt_.MaxBytes)) {
    auto oldest = std::min_element(Partial_.begin(), Partial_.end(),
                                   [](const auto& a, const auto& b) { return a.second.Started < b.second.Started; });
    Dropped_.push_back(Assemble(oldest->first, oldest->second, false));
    Bytes_ -= oldest->second.Bytes;
    Partial_.erase(oldest);
  }
}

std::vector<TAssembled> TReassembler::TakeExpired(Clock::time_point Now) {
  std::lock_guard lk(M_);
  std::vector<TAssembled> r = std::move(Dropped_);
  Dropped_.clear();
  for (auto it = Partial_.begin(); it != Partial_.end();) {
    if (Now - it->second.Started >= Opt_.KeepFor) {
      r.push_back(Assemble(it->first, it->second, false));
      Bytes_ -= it->second.Bytes;
      it = Partial_.erase(it);
    } else {
      ++it;
    }
  }
  return r;
}

size_t TReassembler::Pending() const {
  std::lock_guard lk(M_);
  return Partial_.size();
}

// --- cell broadcast --------------------------------------------------------------------------

std::string CellBroadcastText(const TCellBroadcast& Page) {
  TCBSCoding c = CBSCoding(Page.DCS);
  std::string raw = Page.RawContent;
  if (raw.empty()) raw = Page.Packed() ? TSMS::EncodeString(Page.Content, true).substr(1) : Page.Content;
  std::string units;
  if (c.Coding == tcGSM7) {
    size_t septets = std::min<size_t>(raw.size() * 8 / 7, 255);
    units = septets ? TSMS::DecodeString(static_cast<char>(septets) + raw, true) : std::string();
    while (!units.empty() && units.back() == '\r') units.pop_back();  // the page's padding
  } else {
    units = raw;
    if (c.Coding == tcUCS2) {
      if (units.size() % 2) units.pop_back();
      while (units.size() >= 2 && units[units.size() - 2] == '\0' && units.back() == '\r') units.resize(units.size() - 2);
    } else {
      while (!units.empty() && units.back() == '\r') units.pop_back();
    }
  }
  units.erase(0, std::min(units.size(), c.PrefixUnits));
  return DecodeText(c.Coding, units);
}

std::optional<TBroadcastAssembler::TMessage> TBroadcastAssembler::Add(const TCellBroadcast& Page, Clock::time_point Now) {
  TMessage m;
  m.MessageIdentifier = Page.MessageIdentifier;
  m.SerialNumber = static_cast<uint16_t>(Page.SerialNumber[0] << 8 | Page.SerialNumber[1]);
  int pages = std::max<int>(1, Page.Pages()), page = Page.Page();
  std::string text = CellBroadcastText(Page);
  if (pages == 1) {
    m.Text = std::move(text);
    return m;
  }
  if (page < 1 || page > pages)
    throw ESMSDecodeError(Framework::Format("Cell broadcast page %d of %d", page, pages));
  std::lock_guard lk(M_);
  auto key = std::make_tuple(m.MessageIdentifier, m.SerialNumber, pages);
  auto [it, fresh] = Partial_.try_emplace(key);
  if (fresh) it->second.Started = Now;
  const size_t bytes = text.size();
  if (it->second.Texts.try_emplace(page, std::move(text)).second) {
    it->second.Bytes += bytes;
    Bytes_ += bytes;
  }
  if (static_cast<int>(it->second.Texts.size()) == pages) {
    m.Pages = pages;
    for (auto& [n, t] : it->second.Texts) m.Text += t;
    Bytes_ -= it->second.Bytes;
    Partial_.erase(it);
    return m;
  }
  // Bounds: pages that are too old, and the oldest beyond the count or the bytes, are given up.
  for (auto i = Partial_.begin(); i != Partial_.end();) {
    if (Now - i->second.Started < Opt_.KeepFor) {
      ++i;
      continue;
    }
    Bytes_ -= i->second.Bytes;
    i = Partial_.erase(i);
  }
  while (!Partial_.empty() && (Partial_.size() > Opt_.MaxMessages || Bytes_ > Opt_.MaxBytes)) {
    auto oldest = std::min_element(Partial_.begin(), Partial_.end(), [](const auto& a, const auto& b) {
      return a.second.Started < b.second.Started;
    });
    Bytes_ -= oldest->second.Bytes;
    Partial_.erase(oldest);
  }
  return std::nullopt;
}

size_t TBroadcastAssembler::Pending() const {
  std::lock_guard lk(M_);
  return Partial_.size();
}

}  // namespace Halyard::GSM

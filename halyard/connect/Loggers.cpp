#include "halyard/connect/Loggers.h"

#include <array>
#include <cstring>

#include "halyard/framework/Properties.h"
#include "halyard/framework/Registry.h"

namespace Halyard::Connect {

using namespace Framework;

void TStreamLogger::SetLogStream(TStream* Stream) {
  CheckInactive();
  LogStream_ = Stream;
}

void TStreamLogger::OpenConn() {
  if (IsDesigning()) return;
  if (!LogStream_) throw EComError("The logger has no log stream");
  LogStream_->SetPosition(LogStream_->Size());
}

void TStreamLogger::DoLog(const std::string& aText) {
  if (LogStream_) LogStream_->WriteBuffer(aText.data(), static_cast<int64_t>(aText.size()));
}

bool TStreamLogger::DivideStream(const std::string& aLogName, uint8_t aChannel, std::string& aText, int& I) {
  bool divide = false;
  if (OnDivideStream_) OnDivideStream_(this, aLogName, aChannel, aText, I, divide);
  return divide;
}

namespace {
constexpr char kLowerHex[] = "0123456789abcdef";

// "%.2x" of a byte.
void AppendHex2(std::string& r, unsigned v) {
  r += kLowerHex[(v >> 4) & 0xF];
  r += kLowerHex[v & 0xF];
}

// "%.2x " of every byte, looked up rather than computed.
const std::array<std::array<char, 3>, 256> kHexCell = [] {
  std::array<std::array<char, 3>, 256> t{};
  for (unsigned v = 0; v < 256; ++v) t[v] = {kLowerHex[v >> 4], kLowerHex[v & 0xF], ' '};
  return t;
}();

// Appends N bytes of Src in the layout: hexadecimal cells or the bytes themselves.
void AppendRun(std::string& r, const char* Src, size_t N, bool Hex) {
  if (!Hex) {
    r.append(Src, N);
    return;
  }
  size_t at = r.size();
  r.resize(at + 3 * N);
  char* out = r.data() + at;
  for (size_t k = 0; k < N; ++k, out += 3) std::memcpy(out, kHexCell[static_cast<unsigned char>(Src[k])].data(), 3);
}
}  // namespace

std::string TStreamLogger::PreformatText(const std::string& aLogName, uint8_t aChannel, const std::string& aText) {
  const TLogFormatFlags f = LogFlags_;
  const bool hex = f.Contains(lfHexadecimal);
  const bool divideStream = f.Contains(lfDivideStream);
  // The division handler may change the text; without one it is read where it is.
  std::string copy;
  if (divideStream) copy = aText;
  const std::string& text = divideStream ? copy : aText;
  std::string r;
  r.reserve(text.size() * (hex ? 3 : 1) + 32);
  auto add = [&](const std::string& part) {
    r += part;
    Column_ += static_cast<int>(part.size());
  };
  auto channelTag = [&] {
    std::string tag;
    AppendHex2(tag, aChannel);
    tag += ')';
    if (!hex) tag += ' ';
    return tag;
  };
  int i = 1;
  while (i <= static_cast<int>(text.size())) {
    // A segment cut by MaxLineLength ends its line like a division does.
    bool atStart = Column_ == 0 && !SegmentBreakPending_;
    bool nameChanged = aLogName != LastName_;
    bool channelChanged = aChannel != LastChannel_;
    bool divided = false;
    if (nameChanged && f.Contains(lfDivideNames)) divided = true;
    else if (channelChanged && f.Contains(lfDivideChannels)) divided = true;
    else if (divideStream && DivideStream(aLogName, aChannel, copy, i)) divided = true;
    if (divided) {
      Column_ = 0;
      atStart = false;
    }
    if (i < 1 || i > static_cast<int>(text.size())) break;  // a handler that moved I out of the text
    bool fresh = Column_ == 0;
    if (fresh) {
      if (!atStart) r += "\r\n";
      SegmentBreakPending_ = false;
      if (f.Contains(lfStamp)) add(DateTimeToStr(Now()) + ")");
    }
    if ((nameChanged || fresh) && f.Contains(lfInsertName)) {
      add(aLogName + "-");
      if (f.Contains(lfInsertChannel)) add(channelTag());
    } else if ((channelChanged || fresh) && f.Contains(lfInsertChannel)) {
      add(channelTag());
    }
    LastChannel_ = aChannel;
    LastName_ = aLogName;
    auto c = static_cast<unsigned char>(text[static_cast<size_t>(i) - 1]);
    if (hex) {
      AppendHex2(r, c);
      r += ' ';
      Column_ += 3;
    } else {
      r += static_cast<char>(c);
      Column_ += 1;
    }
    ++i;
    if (MaxLineLength_ != 0 && Column_ >= MaxLineLength_) {
      Column_ = 0;
      SegmentBreakPending_ = true;
    }
    // The rest of the segment at once: name, channel and line stay as they are, only the column
    // moves, up to the end of the text or of the line.
    if (!divideStream && Column_ != 0 && i <= static_cast<int>(text.size())) {
      size_t n = text.size() - static_cast<size_t>(i - 1);
      const int width = hex ? 3 : 1;
      if (MaxLineLength_ != 0)
        n = std::min(n, static_cast<size_t>((MaxLineLength_ - Column_ + width - 1) / width));
      AppendRun(r, text.data() + (i - 1), n, hex);
      Column_ += static_cast<int>(n) * width;
      i += static_cast<int>(n);
      if (MaxLineLength_ != 0 && Column_ >= MaxLineLength_) {
        Column_ = 0;
        SegmentBreakPending_ = true;
      }
    }
  }
  if (f.Contains(lfAutoCR)) {
    r += "\r\n";
    Column_ = 0;
    SegmentBreakPending_ = false;
  }
  LastChannel_ = aChannel;
  LastName_ = aLogName;
  return r;
}

// --- TFileLogger ---------------------------------------------------------------------------

TFileLogger::~TFileLogger() = default;

void TFileLogger::OpenConn() {
  if (IsDesigning()) return;
  if (!FileExists(LogFile_)) TFileStream(LogFile_, fmCreate);
  File_ = std::make_unique<TFileStream>(LogFile_, fmOpenWrite | fmShareDenyWrite);
  AssignLogStream(File_.get());
  TStreamLogger::OpenConn();
}

void TFileLogger::CloseConn() {
  AssignLogStream(nullptr);
  File_.reset();
}

void TFileLogger::SetLogFile(const std::string& Value) {
  if (IsReading()) {
    LogFile_ = Value;
    return;
  }
  if (Value == LogFile_) return;
  std::lock_guard lk(Lock());  // a text being written keeps its file until it is done
  bool wasActive = Active();
  if (wasActive) {
    CloseConn();
    SetActiveFlag(false);
  }
  LogFile_ = Value;
  if (!Value.empty()) SetActive(wasActive);
}

void Register() { RegisterComponents("Communication", {ComponentClass<TFileLogger>("TFileLogger")}); }

namespace {
const bool kPublished = [] {
  TClassBuilder<TStreamLogger>("TStreamLogger", "TLogger")
      .SetOf<TLogFormatFlags>("LogFlags", "TLogFormatFlags",
                              {"lfInsertName", "lfInsertChannel", "lfDivideNames", "lfDivideChannels",
                               "lfDivideStream", "lfHexadecimal", "lfStamp", "lfAutoCR"},
                              &TStreamLogger::LogFlags, &TStreamLogger::SetLogFlags)
      .Integer("MaxLineLength", &TStreamLogger::MaxLineLength, &TStreamLogger::SetMaxLineLength)
      .Event<TOnDivideStream>("OnDivideStream", "TOnDivideStream", &TStreamLogger::OnDivideStream,
                              &TStreamLogger::SetOnDivideStream)
      .Commit();
  TClassBuilder<TFileLogger>("TFileLogger", "TStreamLogger")
      .Create()
      .String("LogFile", &TFileLogger::LogFile, &TFileLogger::SetLogFile)
      .Commit();
  return true;
}();
}  // namespace

}  // namespace Halyard::Connect

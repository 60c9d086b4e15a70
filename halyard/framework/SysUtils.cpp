#include "halyard/framework/SysUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace Halyard::Framework {

void Abort() { throw EAbort("Operation aborted"); }

namespace {

[[noreturn]] void FormatError(std::string_view fmt) {
  throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
}

std::string Printf(const char* spec, auto... v) {
  char small[128];
  int n = std::snprintf(small, sizeof small, spec, v...);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec, v...);
  big.resize(static_cast<size_t>(n));
  return big;
}

// Thousands separators for %n.
std::string GroupThousands(const std::string& fixed) {
  size_t start = (!fixed.empty() && fixed[0] == '-') ? 1 : 0;
  size_t dot = fixed.find('.');
  size_t intEnd = dot == std::string::npos ? fixed.size() : dot;
  std::string out = fixed.substr(0, start);
  for (size_t i = start; i < intEnd; ++i) {
    out += fixed[i];
    size_t left = intEnd - i - 1;
    if (left > 0 && left % 3 == 0) out += ',';
  }
  out += fixed.substr(intEnd);
  return out;
}

}  // namespace

std::string FormatV(std::string_view fmt, const std::vector<TVarRec>& args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  size_t argIndex = 0;
  size_t i = 0;
  auto readNumber = [&](int& value) -> bool {
    if (i < fmt.size() && fmt[i] == '*') {
      ++i;
      if (argIndex >= args.size() || args[argIndex].kind() != TVarRec::vtInteger) FormatError(fmt);
      value = static_cast<int>(args[argIndex++].AsInt());
      return true;
    }
    bool any = false;
    value = 0;
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
      if (value > 100000) FormatError(fmt);
      value = value * 10 + (fmt[i] - '0');
      ++i;
      any = true;
    }
    return any;
  };
  while (i < fmt.size()) {
    char c = fmt[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i >= fmt.size()) FormatError(fmt);
    if (fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // [index:][-][width][.prec]type
    size_t save = i;
    int index = -1;
    int num = 0;
    bool digits = i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9';
    if (digits && readNumber(num) && i < fmt.size() && fmt[i] == ':') {
      index = num;
      ++i;
    } else {
      i = save;
    }
    if (index >= 0) argIndex = static_cast<size_t>(index);
    bool left = false;
    if (i < fmt.size() && fmt[i] == '-') {
      left = true;
      ++i;
    }
    int width = 0;
    bool hasWidth = readNumber(width);
    if (hasWidth && width < 0) {
      left = true;
      width = -width;
    }
    int prec = -1;
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      if (!readNumber(prec)) prec = 0;
      if (prec < 0) prec = -1;
    }
    if (i >= fmt.size()) FormatError(fmt);
    char type = fmt[i++];
    if (argIndex >= args.size()) FormatError(fmt);
    const TVarRec& a = args[argIndex++];
    bool isInt = a.kind() == TVarRec::vtInteger || a.kind() == TVarRec::vtInt64 ||
                 a.kind() == TVarRec::vtUnsigned;
    std::string piece;
    switch (type) {
      case 'd': case 'D': case 'u': case 'U': {
        if (!isInt) FormatError(fmt);
        int64_t v = a.AsInt();
        bool neg = false;
        uint64_t mag;
        if (type == 'u' || type == 'U') {
          mag = a.kind() == TVarRec::vtInteger ? static_cast<uint32_t>(v) : static_cast<uint64_t>(v);
        } else if (a.kind() == TVarRec::vtUnsigned) {
          mag = static_cast<uint64_t>(v);
        } else {
          neg = v < 0;
          mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        }
        piece = std::to_string(mag);
        if (prec > 0 && static_cast<int>(piece.size()) < prec)
          piece.insert(0, static_cast<size_t>(prec) - piece.size(), '0');
        if (neg) piece.insert(0, 1, '-');
        break;
      }
      case 'x': case 'X': {
        if (!isInt) FormatError(fmt);
        uint64_t v = a.kind() == TVarRec::vtInteger ? static_cast<uint32_t>(a.AsInt())
                                                     : static_cast<uint64_t>(a.AsInt());
        piece = Printf(type == 'x' ? "%llx" : "%llX", static_cast<unsigned long long>(v));
        if (prec > 0 && static_cast<int>(piece.size()) < prec)
          piece.insert(0, static_cast<size_t>(prec) - piece.size(), '0');
        break;
      }
      case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'n': case 'N':
      case 'm': case 'M': {
        double v;
        if (a.kind() == TVarRec::vtExtended) v = a.AsDouble();
        else FormatError(fmt);
        char t = static_cast<char>(std::tolower(static_cast<unsigned char>(type)));
        int p = prec < 0 ? (t == 'g' ? 15 : 2) : prec;
        if (t == 'e') piece = Printf("%.*E", prec < 0 ? 14 : p, v);
        else if (t == 'f') piece = Printf("%.*f", p, v);
        else if (t == 'g') piece = Printf("%.*G", p, v);
        else piece = GroupThousands(Printf("%.*f", p, v));
        break;
      }
      case 's': case 'S': {
        if (a.kind() != TVarRec::vtString) FormatError(fmt);
        piece = a.AsString();
        if (prec >= 0 && static_cast<size_t>(prec) < piece.size()) piece.resize(static_cast<size_t>(prec));
        break;
      }
      case 'p': case 'P': {
        if (a.kind() != TVarRec::vtPointer) FormatError(fmt);
        piece = Printf("%016llX", static_cast<unsigned long long>(a.AsInt()));
        break;
      }
      default:
        FormatError(fmt);
    }
    if (static_cast<int>(piece.size()) < width) {
      size_t pad = static_cast<size_t>(width) - piece.size();
      if (left) piece.append(pad, ' ');
      else piece.insert(0, pad, ' ');
    }
    out += piece;
  }
  return out;
}

std::string IntToStr(int64_t v) { return std::to_string(v); }

std::string IntToHex(int64_t v, int digits) {
  std::string s = Printf("%llX", static_cast<unsigned long long>(v));
  if (static_cast<int>(s.size()) < digits) s.insert(0, static_cast<size_t>(digits) - s.size(), '0');
  return s;
}

bool TryStrToInt(const std::string& s, int& value) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  if (b == e) return false;
  std::string_view t(s.data() + b, e - b);
  bool neg = false;
  if (t[0] == '+' || t[0] == '-') {
    neg = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return false;
  int64_t acc = 0;
  if (t[0] == '$' || (t.size() > 1 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))) {
    t.remove_prefix(t[0] == '$' ? 1 : 2);
    if (t.empty() || t.size() > 8) return false;
    uint32_t u = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), u, 16);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
    acc = static_cast<int32_t>(u);
  } else {
    auto r = std::from_chars(t.data(), t.data() + t.size(), acc, 10);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
  }
  if (neg) acc = -acc;
  if (acc < INT32_MIN || acc > INT32_MAX) return false;
  value = static_cast<int>(acc);
  return true;
}

int StrToInt(const std::string& s) {
  int v;
  if (!TryStrToInt(s, v)) throw EConvertError("'" + s + "' is not a valid integer value");
  return v;
}

int StrToIntDef(const std::string& s, int def) {
  int v;
  return TryStrToInt(s, v) ? v : def;
}

std::string UpperCase(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

std::string LowerCase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

int CompareText(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(std::string_view a, std::string_view b) { return CompareText(a, b) == 0; }

// --- date and time -------------------------------------------------------------------------

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

namespace {
int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}
// Days from 0001-01-01 (proleptic Gregorian) to the framework's epoch 1899-12-30.
constexpr int64_t kEpochOffset = 693594;
}  // namespace

bool TryEncodeDate(int y, int m, int d, TDateTime& r) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  int64_t days = d;
  for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
  int64_t yy = y - 1;
  days += yy * 365 + yy / 4 - yy / 100 + yy / 400;
  r = static_cast<double>(days - kEpochOffset);
  return true;
}

bool TryEncodeTime(int h, int n, int s, int ms, TDateTime& r) {
  if (h < 0 || h > 23 || n < 0 || n > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  r = (((h * 60.0 + n) * 60.0 + s) * 1000.0 + ms) / MSecsPerDay;
  return true;
}

TDateTime EncodeDate(int y, int m, int d) {
  TDateTime r;
  if (!TryEncodeDate(y, m, d, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(int h, int n, int s, int ms) {
  TDateTime r;
  if (!TryEncodeTime(h, n, s, ms, r)) throw EConvertError("Invalid argument to time encode");
  return r;
}

namespace {
// Whole milliseconds since the epoch, rounded, so that 23:59:59.9996 does not decode as 24:00.
int64_t TotalMSecs(TDateTime dt) { return static_cast<int64_t>(std::llround(dt * MSecsPerDay)); }
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
}  // namespace

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  int64_t days = FloorDiv(TotalMSecs(dt), 86400000) + kEpochOffset;  // days since 0001-01-01, 1-based
  if (days < 1) {
    year = month = day = 0;
    return;
  }
  int64_t t = days - 1;
  int64_t y400 = t / 146097; t %= 146097;
  int64_t y100 = std::min<int64_t>(t / 36524, 3); t -= y100 * 36524;
  int64_t y4 = t / 1461; t %= 1461;
  int64_t y1 = std::min<int64_t>(t / 365, 3); t -= y1 * 365;
  year = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
  month = 1;
  while (t >= DaysInMonth(year, month)) {
    t -= DaysInMonth(year, month);
    ++month;
  }
  day = static_cast<int>(t + 1);
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
  int64_t ms = TotalMSecs(dt);
  ms -= FloorDiv(ms, 86400000) * 86400000;
  hour = static_cast<int>(ms / 3600000);
  min = static_cast<int>(ms / 60000 % 60);
  sec = static_cast<int>(ms / 1000 % 60);
  msec = static_cast<int>(ms % 1000);
}

TDateTime Now() {
  using namespace std::chrono;
  auto tp = system_clock::now();
  std::time_t t = system_clock::to_time_t(tp);
  std::tm tm{};
  localtime_r(&t, &tm);
  int ms = static_cast<int>(duration_cast<milliseconds>(tp.time_since_epoch()).count() % 1000);
  return EncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
         EncodeTime(tm.tm_hour, tm.tm_min, std::min(tm.tm_sec, 59), ms);
}

TDateTime Date() { return std::floor(Now()); }

TFormatSettings& FormatSettings() {
  static TFormatSettings settings;
  return settings;
}

std::string FormatDateTime(std::string_view fmt, TDateTime dt) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(dt, y, mo, d);
  DecodeTime(dt, h, mi, s, ms);
  std::string out;
  size_t i = 0;
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < fmt.size() && std::tolower(static_cast<unsigned char>(fmt[i + n])) == c) ++n;
    i += n;
    return n;
  };
  auto two = [](int v, size_t n) { return n >= 2 ? Printf("%02d", v) : std::to_string(v); };
  while (i < fmt.size()) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i])));
    switch (c) {
      case 'y': { size_t n = run('y'); out += n >= 3 ? Printf("%04d", y) : Printf("%02d", y % 100); break; }
      case 'm': out += two(mo, run('m')); break;
      case 'd': out += two(d, run('d')); break;
      case 'h': out += two(h, run('h')); break;
      case 'n': out += two(mi, run('n')); break;
      case 's': out += two(s, run('s')); break;
      case 'z': { size_t n = run('z'); out += n >= 3 ? Printf("%03d", ms) : std::to_string(ms); break; }
      case '"': case '\'': {
        char q = fmt[i++];
        while (i < fmt.size() && fmt[i] != q) out += fmt[i++];
        if (i < fmt.size()) ++i;
        break;
      }
      default: out += fmt[i++];
    }
  }
  return out;
}

std::string DateToStr(TDateTime dt) { return FormatDateTime(FormatSettings().ShortDateFormat, dt); }
std::string TimeToStr(TDateTime dt) { return FormatDateTime(FormatSettings().LongTimeFormat, dt); }
std::string DateTimeToStr(TDateTime dt) { return DateToStr(dt) + " " + TimeToStr(dt); }

// --- files and system errors ---------------------------------------------------------------

bool FileExists(const std::string& name) {
  struct stat st{};
  return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& name) { return ::unlink(name.c_str()) == 0; }

std::string SysErrorMessage(int code) {
  char buf[256];
  // The GNU strerror_r returns its text, which need not be in buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? text : "";
}

int GetLastError() { return errno; }

}  // namespace Halyard::Framework

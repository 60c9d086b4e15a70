#pragma once
// Exceptions, text formatting, number conversion, date-time and file helpers of the host layer.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace Halyard::Framework {

class Exception : public std::exception {
 public:
  explicit Exception(std::string Msg) : Message_(std::move(Msg)) {}
  const char* what() const noexcept override { return Message_.c_str(); }
  const std::string& Message() const noexcept { return Message_; }
  void SetMessage(std::string m) { Message_ = std::move(m); }

 private:
  std::string Message_;
};

// The silent exception: HandleException shows nothing for it.
class EAbort : public Exception {
 public:
  using Exception::Exception;
};
[[noreturn]] void Abort();

class EConvertError : public Exception { using Exception::Exception; };
class EListError : public Exception { using Exception::Exception; };
class EStringListError : public EListError { using EListError::EListError; };
class EStreamError : public Exception { using Exception::Exception; };
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };
class EFileStreamError : public EStreamError { using EStreamError::EStreamError; };
class EFCreateError : public EFileStreamError { using EFileStreamError::EFileStreamError; };
class EFOpenError : public EFileStreamError { using EFileStreamError::EFileStreamError; };
class EThread : public Exception { using Exception::Exception; };
class EComponentError : public Exception { using Exception::Exception; };

// One argument of Format: the host framework's variant record.
class TVarRec {
 public:
  enum Kind { vtInteger, vtInt64, vtUnsigned, vtExtended, vtString, vtPointer };
  TVarRec(bool v) : kind_(vtInteger), i_(v) {}
  TVarRec(char v) : kind_(vtString), s_(1, v) {}
  TVarRec(signed char v) : kind_(vtInteger), i_(v) {}
  TVarRec(unsigned char v) : kind_(vtInteger), i_(v) {}
  TVarRec(short v) : kind_(vtInteger), i_(v) {}
  TVarRec(unsigned short v) : kind_(vtInteger), i_(v) {}
  TVarRec(int v) : kind_(vtInteger), i_(v) {}
  TVarRec(unsigned v) : kind_(vtUnsigned), i_(v) {}
  TVarRec(long v) : kind_(vtInt64), i_(v) {}
  TVarRec(unsigned long v) : kind_(vtUnsigned), i_(static_cast<int64_t>(v)) {}
  TVarRec(long long v) : kind_(vtInt64), i_(v) {}
  TVarRec(unsigned long long v) : kind_(vtUnsigned), i_(static_cast<int64_t>(v)) {}
  TVarRec(double v) : kind_(vtExtended), d_(v) {}
  TVarRec(float v) : kind_(vtExtended), d_(v) {}
  TVarRec(const char* v) : kind_(vtString), s_(v ? v : "") {}
  TVarRec(std::string v) : kind_(vtString), s_(std::move(v)) {}
  TVarRec(std::string_view v) : kind_(vtString), s_(v) {}
  TVarRec(const void* v) : kind_(vtPointer), i_(static_cast<int64_t>(reinterpret_cast<uintptr_t>(v))) {}

  Kind kind() const { return kind_; }
  int64_t AsInt() const { return i_; }
  double AsDouble() const { return d_; }
  const std::string& AsString() const { return s_; }

 private:
  Kind kind_;
  int64_t i_ = 0;
  double d_ = 0;
  std::string s_;
};

// printf-like formatting of the host framework: %d %u %x %X %s %e %f %g %n %m %p %%, with
// optional argument index ("%1:s"), "-" for left alignment, width and precision, "*" for either.
// %x of a 32-bit value formats its 32-bit pattern. A missing or mismatched argument raises
// EConvertError instead of reading garbage.
std::string FormatV(std::string_view Fmt, const std::vector<TVarRec>& Args);
template <class... A>
std::string Format(std::string_view Fmt, A&&... args) {
  return FormatV(Fmt, std::vector<TVarRec>{TVarRec(std::forward<A>(args))...});
}

std::string IntToStr(int64_t Value);
std::string IntToHex(int64_t Value, int Digits);
int StrToInt(const std::string& S);  // raises EConvertError on bad text
int StrToIntDef(const std::string& S, int Default);
bool TryStrToInt(const std::string& S, int& Value);
std::string UpperCase(std::string S);
std::string LowerCase(std::string S);
int CompareText(std::string_view A, std::string_view B);  // ASCII case-insensitive
bool SameText(std::string_view A, std::string_view B);

// Days since 1899-12-30; the fraction is the time of day.
using TDateTime = double;
constexpr double MSecsPerDay = 86400000.0;

TDateTime EncodeDate(int Year, int Month, int Day);  // raises EConvertError
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);  // raises EConvertError
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result);
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result);
void DecodeDate(TDateTime DT, int& Year, int& Month, int& Day);
void DecodeTime(TDateTime DT, int& Hour, int& Min, int& Sec, int& MSec);
bool IsLeapYear(int Year);
TDateTime Now();
TDateTime Date();

// Stand-ins for the locale's date and time layouts: y, m, d, h, n (minutes), s, z and
// literal text; applications may replace them.
struct TFormatSettings {
  std::string ShortDateFormat = "yyyy-mm-dd";
  std::string LongTimeFormat = "hh:nn:ss";
};
TFormatSettings& FormatSettings();
std::string FormatDateTime(std::string_view Fmt, TDateTime DT);
std::string DateTimeToStr(TDateTime DT);  // short date, a space, long time
std::string DateToStr(TDateTime DT);
std::string TimeToStr(TDateTime DT);

bool FileExists(const std::string& FileName);
bool DeleteFile(const std::string& FileName);
std::string SysErrorMessage(int ErrorCode);
int GetLastError();  // errno of the calling thread

}  // namespace Halyard::Framework

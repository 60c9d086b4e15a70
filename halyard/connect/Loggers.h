#pragma once
// Loggers that write the tagged, optionally hexadecimal trace to a stream or an appended file.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "halyard/connect/Connect.h"
#include "halyard/framework/Set.h"

namespace Halyard::Connect {

enum TLogFormatFlag {
  lfInsertName,
  lfInsertChannel,
  lfDivideNames,
  lfDivideChannels,
  lfDivideStream,
  lfHexadecimal,
  lfStamp,
  lfAutoCR
};
using TLogFormatFlags = Framework::Set<TLogFormatFlag>;

class TStreamLogger;
using TOnDivideStream = std::function<void(TStreamLogger* Sender, const std::string& aLogName, uint8_t aChannel,
                                           std::string& aText, int& I, bool& aDivide)>;

// Leaves CloseConn to its descendants.
class TStreamLogger : public TLogger {
 public:
  explicit TStreamLogger(TComponent* AOwner) : TLogger(AOwner) {}

  Framework::TStream* LogStream() const { return LogStream_; }
  void SetLogStream(Framework::TStream* Stream);  // not owned
  TLogFormatFlags LogFlags() const { return LogFlags_; }
  void SetLogFlags(TLogFormatFlags v) { LogFlags_ = v; }
  int MaxLineLength() const { return MaxLineLength_; }
  void SetMaxLineLength(int v) { MaxLineLength_ = v; }
  const TOnDivideStream& OnDivideStream() const { return OnDivideStream_; }
  void SetOnDivideStream(TOnDivideStream h) { OnDivideStream_ = std::move(h); }

  std::string PreformatText(const std::string& aLogName, uint8_t aChannel, const std::string& aText) override;

 protected:
  void OpenConn() override;
  void DoLog(const std::string& aText) override;
  virtual bool DivideStream(const std::string& aLogName, uint8_t aChannel, std::string& aText, int& I);
  void AssignLogStream(Framework::TStream* s) { LogStream_ = s; }

 private:
  Framework::TStream* LogStream_ = nullptr;
  TLogFormatFlags LogFlags_{lfInsertName, lfInsertChannel, lfDivideNames, lfDivideChannels, lfHexadecimal};
  int MaxLineLength_ = 80;
  TOnDivideStream OnDivideStream_;
  // The formatter's memory between texts, touched under the logger's lock only.
  uint8_t LastChannel_ = 0;
  std::string LastName_;
  int Column_ = 0;
  bool SegmentBreakPending_ = false;
};

class TFileLogger : public TStreamLogger {
 public:
  explicit TFileLogger(TComponent* AOwner) : TStreamLogger(AOwner) {}
  ~TFileLogger() override;

  const std::string& LogFile() const { return LogFile_; }
  void SetLogFile(const std::string& Value);

 protected:
  void OpenConn() override;
  void CloseConn() override;

 private:
  std::string LogFile_;
  std::unique_ptr<Framework::TFileStream> File_;
};

// Puts TFileLogger on the palette page "Communication".
void Register();

}  // namespace Halyard::Connect

#pragma once
// The common ancestry of every connection component: life cycle through Active, the hook to
// a logger, the byte-stream interface and the abstract logger.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "halyard/framework/Classes.h"
#include "halyard/framework/EventSlot.h"
#include "halyard/framework/Threads.h"

namespace Halyard::Connect {

using Framework::TComponent;
using Framework::TObject;

class EComError : public Framework::Exception {
 public:
  using Exception::Exception;
};

class TConnection;
class TLogger;

using TConnectionNotifyEvent = std::function<void(TConnection* DataSet)>;
using TFormatLogEvent = std::function<void(TObject* Sender, uint8_t aChannel, std::string& aText)>;
using TCommRxCharEvent = std::function<void(TObject* Sender, int Count)>;
using TAcceptChannelEvent =
    std::function<void(TLogger* Sender, const std::string& aLogName, uint8_t aChannel, bool& aAccept)>;

class TConnection : public TComponent {
 public:
  explicit TConnection(TComponent* AOwner);
  // Closes an active connection (CloseConn without BeforeClose/AfterClose).
  void BeforeDestruction() override;

  bool Active() const { return Active_.load(); }
  virtual void SetActive(bool Value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  void Loaded() override;

  void CheckActive() const;
  void CheckInactive() const;

  const TConnectionNotifyEvent& BeforeOpen() const { return BeforeOpen_; }
  void SetBeforeOpen(TConnectionNotifyEvent h) { BeforeOpen_ = std::move(h); }
  const TConnectionNotifyEvent& BeforeClose() const { return BeforeClose_; }
  void SetBeforeClose(TConnectionNotifyEvent h) { BeforeClose_ = std::move(h); }
  const TConnectionNotifyEvent& AfterOpen() const { return AfterOpen_; }
  void SetAfterOpen(TConnectionNotifyEvent h) { AfterOpen_ = std::move(h); }
  const TConnectionNotifyEvent& AfterClose() const { return AfterClose_; }
  void SetAfterClose(TConnectionNotifyEvent h) { AfterClose_ = std::move(h); }

 protected:
  // OpenConn acquires the resource or raises; CloseConn must cope with a half-done open.
  virtual void OpenConn() = 0;
  virtual void CloseConn() = 0;
  virtual void DoBeforeOpen();
  virtual void DoBeforeClose();
  virtual void DoAfterOpen();
  virtual void DoAfterClose();
  // For descendants that release a resource without the close events (SetLogFile).
  void SetActiveFlag(bool v) { Active_.store(v); }
  bool PendingActivation() const { return PendingActivation_; }

 private:
  std::atomic<bool> Active_{false};
  bool PendingActivation_ = false;
  TConnectionNotifyEvent BeforeOpen_, BeforeClose_, AfterOpen_, AfterClose_;
};

class TLogConnection : public TConnection {
 public:
  explicit TLogConnection(TComponent* AOwner) : TConnection(AOwner) {}

  void Log(uint8_t aChannel, const std::string& aText);

  TLogger* Logger() const { return Logger_.load(); }
  // Not owned; cleared when the logger is destroyed.
  void SetLogger(TLogger* Value);
  const std::string& LogName() const { return LogName_; }
  void SetLogName(const std::string& v) { LogName_ = v; }
  const TFormatLogEvent& OnFormatLog() const { return OnFormatLog_; }
  void SetOnFormatLog(TFormatLogEvent h) { OnFormatLog_ = std::move(h); }

 protected:
  virtual void DoFormatLog(uint8_t aChannel, std::string& aText);
  void Notification(TComponent* AComponent, Framework::TOperation Operation) override;

 private:
  std::atomic<TLogger*> Logger_{nullptr};
  std::string LogName_;
  TFormatLogEvent OnFormatLog_;
};

class TCommunicationConnection : public TLogConnection {
 public:
  explicit TCommunicationConnection(TComponent* AOwner) : TLogConnection(AOwner) {}

  int Send(const std::string& aText);
  std::string Retrieve(int Count);

  virtual int InQueCount() = 0;
  virtual void PurgeIn() = 0;
  virtual void PurgeOut() = 0;
  virtual int Write(const void* Buffer, int Count) = 0;
  virtual int Read(void* Buffer, int Count) = 0;

  // The handler may be replaced while a receiver thread runs.
  TCommRxCharEvent OnRxChar() const { return OnRxChar_.Get(); }
  void SetOnRxChar(TCommRxCharEvent h) { OnRxChar_.Set(std::move(h)); }
  bool DontSynchronize() const { return DontSynchronize_.load(); }
  void SetDontSynchronize(bool v) { DontSynchronize_.store(v); }

  virtual void DoOnRxChar(int Count);

 private:
  Framework::TEventSlot<TCommRxCharEvent> OnRxChar_;
  std::atomic<bool> DontSynchronize_{false};
};

class TLogger : public TConnection {
 public:
  explicit TLogger(TComponent* AOwner) : TConnection(AOwner) {}

  void Log(const std::string& aLogName, uint8_t aChannel, const std::string& aText);

  // Opening and closing take the logger's lock, so a text is never written into a closing log.
  void SetActive(bool Value) override;

  bool AutoOpen() const { return AutoOpen_.load(); }
  void SetAutoOpen(bool Value);
  const TAcceptChannelEvent& AcceptChannel() const { return AcceptChannel_; }
  void SetAcceptChannel(TAcceptChannelEvent h) { AcceptChannel_ = std::move(h); }

 protected:
  virtual void DoLog(const std::string& aText) = 0;
  virtual std::string PreformatText(const std::string& aLogName, uint8_t aChannel, const std::string& aText) = 0;
  Framework::TCriticalSection& Lock() { return Lock_; }

 private:
  Framework::TCriticalSection Lock_;
  std::atomic<bool> AutoOpen_{false};
  TAcceptChannelEvent AcceptChannel_;
};

}  // namespace Halyard::Connect

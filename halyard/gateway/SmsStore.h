#pragma once
// The gateway's store: the outbox with its claims, the sent and failed messages, the inbox and
// the delivery reports, in one schema that the store creates and migrates itself. A claim has a
// lease: a gateway that dies while it holds one leaves the message "unknown" (it may have gone
// out), never queued again to be sent twice.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Halyard::Gateway {

enum TMessageStatus { msQueued, msSending, msSent, msFailed, msDelivered, msUndelivered, msUnknown };
const char* StatusName(TMessageStatus S);

using TClock = std::chrono::system_clock;
using TTime = TClock::time_point;

struct TOutgoing {
  int64_t Id = 0;
  std::string To, Text;
  bool Report = false;
  int ValidityMinutes = 0;  // 0: none
  TMessageStatus Status = msQueued;
  int Attempts = 0;
  std::string Error;                 // the modem's error text of the last failure
  std::string Modem;                 // the modem that sent it, or holds the claim
  std::vector<int> References;       // the message references of its parts, once sent
};

struct TIncoming {
  int64_t Id = 0;
  std::string Modem, From, Text;
  int64_t Stamp = 0;  // the service centre's time stamp, seconds since the epoch
};

class TStore {
 public:
  virtual ~TStore() = default;

  int SchemaVersion() const { return Version_; }

  // Queues a message; its id.
  virtual int64_t Queue(const std::string& To, const std::string& Text, bool Report, int ValidityMinutes) = 0;
  // The oldest queued message that is due, now held by Modem until Now + Lease; nothing when
  // none is due. Exactly one claimer gets a message, whatever the number of gateways.
  virtual std::optional<TOutgoing> Claim(const std::string& Modem, TTime Now, std::chrono::seconds Lease) = 0;
  // The claim's outcome.
  virtual void MarkSent(int64_t Id, const std::vector<int>& References) = 0;
  // Retry: queued again, due at NextTry; otherwise failed for good.
  virtual void MarkFailed(int64_t Id, const std::string& Error, bool Retry, TTime NextTry) = 0;
  // Claims whose lease ran out: their gateway died mid-send; the messages become "unknown".
  virtual int ExpireClaims(TTime Now) = 0;
  // A gateway that stops cleanly gives back the claims it has not acted on.
  virtual void ReleaseClaims(const std::string& Modem) = 0;
  virtual std::optional<TOutgoing> Get(int64_t Id) = 0;
  virtual int QueueDepth() = 0;

  // Stores a received message; false when the same one (modem, sender, stamp, text) is stored.
  virtual bool StoreIncoming(const std::string& Modem, const std::string& From, const std::string& Text,
                             int64_t Stamp) = 0;
  virtual std::vector<TIncoming> Inbox(int64_t AfterId) = 0;
  // A delivery report for a message reference sent through Modem: the message's status becomes
  // delivered or undelivered once every part is reported; false when no sent message matches.
  virtual bool MatchReport(const std::string& Modem, int Reference, bool Delivered) = 0;

 protected:
  int Version_ = 0;
};

// An SQLite database in WAL mode at Path (made if missing).
std::unique_ptr<TStore> OpenSQLiteStore(const std::string& Path);

}  // namespace Halyard::Gateway

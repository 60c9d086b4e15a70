#pragma once
// The gateway's store: the outbox with its claims, the sent and failed messages, the inbox and
// the delivery reports, in one schema that the store creates and migrates itself, on SQLite or
// on PostgreSQL with the same behaviour. A claim has a lease: a gateway that dies while it holds
// one leaves the message "unknown" (it may have gone out), never queued again to be sent twice.
// Every call is thread-safe; several processes may share one database.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Halyard::Gateway {

// Stored by number: new states go at the end.
enum TMessageStatus {
  msQueued, msSending, msSent, msFailed, msDelivered, msUndelivered, msUnknown, msScheduled, msCancelled
};
const char* StatusName(TMessageStatus S);
// Every type of event the store writes.
const std::vector<std::string>& EventTypes();
// The Kannel delivery-report type of an event (1 delivered, 2 undelivered, 4 queued again, 8 sent,
// 16 failed); 0 for one Kannel has no type for.
int KannelDlrType(const std::string& EventType);
constexpr const char* kUnknownOutcome = "unknown, may have been sent";

using TClock = std::chrono::system_clock;
using TTime = TClock::time_point;

// A database that cannot be reached or refuses a statement; the call may be repeated later.
class EStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TOutgoing {
  int64_t Id = 0;
  std::string To, Text;
  bool Report = false;
  int ValidityMinutes = 0;  // 0: none
  TMessageStatus Status = msQueued;
  int Attempts = 0;
  std::string Error;            // the modem's error text of the last failure
  std::string Modem;            // the modem that sent it, or holds the claim
  std::vector<int> References;  // the message references of the parts sent so far
  std::vector<std::string> Modems;  // the modems it may go through; empty: any
  int64_t Created = 0;          // milliseconds since the epoch
  int Priority = 0;             // higher first
  int64_t SendAt = 0;           // not before, milliseconds since the epoch; 0: at once
  int ErrorCode = -1;           // the modem's +CMS number of the last failure, or -1
  int64_t SentAt = 0, DoneAt = 0;  // every part out; delivered, undelivered, failed, unknown or cancelled
  std::string CallbackUrl;      // told of its status changes
};

// A message to be queued, with what the API may say of it.
struct TNewMessage {
  std::string To, Text;
  bool Report = false;
  int ValidityMinutes = 0;
  int Priority = 0;
  int64_t SendAt = 0;
  std::string CallbackUrl;
  std::string CallbackKind = "json";  // "json": signed events; "kannel": a GET of the URL's template
  int CallbackMask = 0;               // for "kannel": Kannel's dlr-mask
  std::vector<std::string> Modems;  // the only modems (by name) that may send it; empty: any
  // A client's key: the same key and Digest within a day are the same message; the same key
  // with another digest is a conflict.
  std::string IdempotencyKey, Digest;
};

struct TQueued {
  int64_t Id = 0;
  bool Existing = false;  // queued before under the same key
  bool Conflict = false;  // the key is taken by another message (Id is that one)
};

enum TCancelResult { crCancelled, crNoSuchMessage, crTooLate };

// Which messages a listing shows: newest first, before BeforeId (0: from the newest).
struct TMessageFilter {
  std::optional<TMessageStatus> Status;
  std::string To;
  int64_t Since = 0;  // created at or after, milliseconds since the epoch
  int64_t BeforeId = 0;
  int Limit = 100;
};

struct TIncoming {
  int64_t Id = 0;
  std::string Modem, From, Text;
  int64_t Stamp = 0;  // the service centre's time stamp, seconds since the epoch; 0: not known
  int Parts = 1;
  bool Complete = true;
  std::string Raw;    // what the modem gave for a message that could not be read, else ""
};

// A received message as a modem gives it, to be stored.
struct TReceived {
  std::string Modem, From, Text;
  int64_t Stamp = 0;
  // The modem's copy (storage, index and a digest of what it holds) while it is there: stored
  // once however often it is read before it is deleted. "" for a message not kept by the modem.
  std::string Receipt;
  std::string Raw;  // for a message that could not be read
};

// One part of a long received message.
struct TIncomingPart {
  std::string Modem, From;
  int Reference = 0, Count = 1, Number = 1;
  std::string Text;
  int64_t Stamp = 0;
};

// One change recorded in the store's event feed, in the transaction that made it.
struct TEvent {
  int64_t Id = 0;       // strictly increasing in commit order, without gaps, across gateways
  std::string Type;     // "message.queued", "message.received", "modem.up", ...
  int64_t Subject = 0;  // the message's id (outbox or inbox, by the type); 0 for a modem
  std::string Data;     // a JSON object
  int64_t Time = 0;     // milliseconds since the epoch
};

// A modem as its gateway last recorded it.
struct TModemRecord {
  std::string Gateway, Name, Device, Model, IMEI, IMSI, Operator, ICCID;
  int Signal = -1;  // +CSQ's rssi 0-31, or -1: not known
  int Registration = -1;  // +CREG <stat> (1 home, 5 roaming, ...), or -1: not known
  bool Up = false;
  std::string LastError;
  std::string Limited;  // at a limit: which, or ""
  std::string Usage;    // its limits' counts ("per day: 12 of 50"), or "" without limits
  int64_t PartsToday = 0;  // parts sent since midnight UTC: least used first
  int64_t Sent = 0, Parts = 0, Failed = 0, Received = 0, Reports = 0;  // since its gateway started
  int64_t LastSeen = 0;  // milliseconds since the epoch
};

// A subscription to events of the feed.
struct TWebhook {
  int64_t Id = 0;
  std::string Url;
  std::vector<std::string> Events;  // types, families ("message.") or "*"
  std::string Secret;               // signs each delivery; "" for none
  std::string Origin = "api";       // "api", or "config" for one the configuration names
  int64_t Created = 0;
};

// One event on its way to one subscriber (webhook 0: a message's own callback URL).
struct TDelivery {
  int64_t Webhook = 0;
  TEvent Event;
  std::string Url, Secret;
  std::string Kind = "json";  // "json", or "kannel" for a delivery-report URL template
  int Mask = 0;               // Kannel's dlr-mask
  int Attempts = 0;           // before this one
};

// What one attempt at a delivery came to.
struct TDeliveryAttempt {
  int64_t Webhook = 0, Event = 0;
  int Attempt = 0;
  int64_t At = 0;      // milliseconds since the epoch
  int HttpStatus = 0;  // 0: no answer
  std::string Error;
  std::string Outcome;  // "delivered", "retry" or "failed"
};

class TStore {
 public:
  virtual ~TStore() = default;

  int SchemaVersion() const { return Version_; }
  // "sqlite" or "postgresql".
  virtual const char* Kind() const = 0;

  // Queues a message (scheduled when it is due later), or finds the one its key queued.
  virtual TQueued QueueMessage(const TNewMessage& Message) = 0;
  int64_t Queue(const std::string& To, const std::string& Text, bool Report, int ValidityMinutes) {
    TNewMessage m;
    m.To = To;
    m.Text = Text;
    m.Report = Report;
    m.ValidityMinutes = ValidityMinutes;
    return QueueMessage(m).Id;
  }
  // A queued or scheduled message of which no part went out is cancelled.
  virtual TCancelResult Cancel(int64_t Id) = 0;
  virtual std::vector<TOutgoing> Messages(const TMessageFilter& Filter) = 0;
  // The first queued message that is due (by priority, then in queue order), now held by Modem
  // until Now + Lease; nothing when none is due. Exactly one claimer gets a message, whatever the number of gateways.
  // Route: the modem's own name, which a message routed to some modems must name.
  virtual std::optional<TOutgoing> Claim(const std::string& Modem, TTime Now, std::chrono::seconds Lease,
                                         const std::string& Route = "") = 0;
  // The message Claim would give a modem with this Route now, without claiming it.
  virtual std::optional<TOutgoing> NextDue(TTime Now, const std::string& Route = "") = 0;
  // Parts Modem (as it claims) has sent since Since: what its limits count.
  virtual int64_t PartsSentSince(const std::string& Modem, TTime Since) = 0;
  // Extends a claim Modem still holds (between parts); false when it has lost it.
  virtual bool RenewClaim(int64_t Id, const std::string& Modem, TTime Until) = 0;
  // A part that went out through the claim's modem with its message reference. A claim that
  // fails after some parts and is tried again goes on with the next part.
  virtual void AddSentPart(int64_t Id, int Reference, TTime Now) = 0;
  // The claim's outcome: every part sent.
  virtual void MarkSent(int64_t Id) = 0;
  // Retry: queued again, due at NextTry; otherwise failed for good.
  virtual void MarkFailed(int64_t Id, const std::string& Error, bool Retry, TTime NextTry, int ErrorCode = -1) = 0;
  // A part went to the modem and no answer came: it may have gone out, so it is never sent again.
  virtual void MarkUnknown(int64_t Id, const std::string& Error) = 0;
  // Claims whose lease ran out and whose modem's record has not been refreshed since Now - Silence:
  // their gateway died mid-send; the messages become "unknown". A gateway that is alive (it only
  // lost the store for a while) keeps its claims and records what it did with them.
  virtual int ExpireClaims(TTime Now, std::chrono::seconds Silence = std::chrono::seconds(0)) = 0;
  // A gateway that stops cleanly gives back the claims it has not acted on.
  virtual void ReleaseClaims(const std::string& Modem) = 0;
  virtual std::optional<TOutgoing> Get(int64_t Id) = 0;
  // Queued and claimed messages.
  virtual int QueueDepth() = 0;
  // Messages by status.
  virtual std::map<TMessageStatus, int64_t> Counts() = 0;

  // Stores a received message; false when its receipt is stored already. Messages alike in
  // sender, time and text are each kept: people send the same text twice.
  virtual bool StoreIncoming(const TReceived& Message) = 0;
  bool StoreIncoming(const std::string& Modem, const std::string& From, const std::string& Text, int64_t Stamp) {
    return StoreIncoming(TReceived{Modem, From, Text, Stamp, "", ""});
  }
  // The modem's copy is gone: its receipt protects nothing any more.
  virtual void ForgetReceipt(const std::string& Modem, const std::string& Receipt) = 0;
  // Stores a part of a long message (a part stored already is dropped); once every part is
  // there the whole message goes into the inbox in the same step, and is returned.
  virtual std::optional<TIncoming> StorePart(const TIncomingPart& Part, TTime Now) = 0;
  // Long messages whose parts stopped coming before Before: into the inbox as they are, the
  // missing parts shown as U+FFFD. Their number.
  virtual int FlushParts(TTime Before) = 0;
  virtual std::vector<TIncoming> Inbox(int64_t AfterId, int Limit = 1000) = 0;
  virtual int64_t InboxCount() = 0;
  // A delivery report for a message reference sent through Modem to Recipient within Window
  // before Now: the newest such part waiting for its report. The message's status becomes
  // delivered or undelivered once every part is reported; false when no sent part matches.
  virtual bool MatchReport(const std::string& Modem, int Reference, const std::string& Recipient, bool Delivered,
                           TTime Now, std::chrono::seconds Window) = 0;

  // The event feed after AfterId, oldest first; of one type (or a type's prefix ending in ".")
  // when Type is given.
  virtual std::vector<TEvent> Events(int64_t AfterId, int Limit = 100, const std::string& Type = "") = 0;
  // The id of the newest event; 0 when there is none.
  virtual int64_t LatestEvent() = 0;
  // Drops events older than Before; their number.
  virtual int PruneEvents(TTime Before) = 0;
  // Records a modem's state (its gateway and name are the key), with an event of EventType
  // ("modem.up", "modem.down", "modem.restarted") unless it is empty.
  virtual void RecordModem(const TModemRecord& Modem, const std::string& EventType = "") = 0;
  // Every modem of every gateway on the store.
  virtual std::vector<TModemRecord> Modems() = 0;

  // Subscriptions. A new one hears of events from now on.
  virtual int64_t AddWebhook(const TWebhook& Hook) = 0;
  virtual std::vector<TWebhook> Webhooks() = 0;
  virtual bool DeleteWebhook(int64_t Id) = 0;
  // The configuration's subscriptions: kept, added or dropped to match Hooks.
  virtual void SetConfigWebhooks(const std::vector<TWebhook>& Hooks) = 0;
  // Events into deliveries for every subscription they match, and for the callback URL of the
  // message they are of; at most Limit events a subscription. Safe from several gateways at once.
  virtual int FanOut(TTime Now, int Limit = 500) = 0;
  // Deliveries that are due, held by Claimer until Now + Lease (one that is not settled by then
  // is due again).
  virtual std::vector<TDelivery> ClaimDeliveries(const std::string& Claimer, TTime Now, std::chrono::seconds Lease,
                                                 int Limit) = 0;
  // An attempt's outcome: delivered, due again at RetryAt, or (neither) failed for good.
  virtual void SettleDelivery(const TDelivery& D, const TDeliveryAttempt& Attempt, std::optional<TTime> RetryAt) = 0;
  // The latest attempts of a subscription, newest first.
  virtual std::vector<TDeliveryAttempt> DeliveryAttempts(int64_t Webhook, int Limit = 100) = 0;
  // Delivers the subscription's events after SinceEvent again; false for no such subscription.
  virtual bool Replay(int64_t Webhook, int64_t SinceEvent, TTime Now) = 0;
  // Idempotency keys and delivery attempts older than Before are dropped; their number.
  virtual int PruneDeliveries(TTime Before) = 0;

 protected:
  int Version_ = 0;
};

// An SQLite database in WAL mode at Path (made if missing).
std::unique_ptr<TStore> OpenSQLiteStore(const std::string& Path);
// A PostgreSQL database by libpq connection string ("host=... dbname=..." or a postgresql:// URI).
// Raises EStoreError when the package was built without PostgreSQL.
std::unique_ptr<TStore> OpenPostgresStore(const std::string& ConnInfo);
// PostgreSQL for a connection string or URI, SQLite for a path.
std::unique_ptr<TStore> OpenStore(const std::string& Where);
bool PostgresAvailable();

}  // namespace Halyard::Gateway

#include "halyard/gateway/SqlStore.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>

namespace Halyard::Gateway {

const std::vector<std::string>& EventTypes() {
  static const std::vector<std::string> kTypes = {
      "message.queued",    "message.scheduled", "message.sending",  "message.part_sent", "message.sent",
      "message.delivered", "message.undelivered", "message.failed", "message.unknown",   "message.cancelled",
      "message.received",  "message.incomplete", "report.matched",  "modem.up",          "modem.down",
      "modem.restarted"};
  return kTypes;
}

int KannelDlrType(const std::string& EventType) {
  if (EventType == "message.delivered") return 1;
  if (EventType == "message.undelivered") return 2;
  if (EventType == "message.queued") return 4;
  if (EventType == "message.sent") return 8;
  if (EventType == "message.failed") return 16;
  return 0;
}

const char* StatusName(TMessageStatus S) {
  static const char* names[] = {"queued",      "sending", "sent",      "failed",   "delivered",
                                "undelivered", "unknown", "scheduled", "cancelled"};
  return static_cast<unsigned>(S) < std::size(names) ? names[S] : "?";
}

namespace {

using nlohmann::json;

const std::string kMissing = "\xEF\xBF\xBD";  // U+FFFD for a part that never came

int64_t Ms(TTime t) { return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count(); }
int64_t Int(const std::optional<std::string>& v) { return v ? std::strtoll(v->c_str(), nullptr, 10) : 0; }
std::string Text(const std::optional<std::string>& v) { return v ? *v : std::string(); }

// Each entry brings the schema from the version before it to its own; one statement a line.
std::vector<std::vector<std::string>> Migrations(bool Postgres) {
  const std::string id = Postgres ? "id BIGSERIAL PRIMARY KEY" : "id INTEGER PRIMARY KEY AUTOINCREMENT";
  return {
      // 1
      {"CREATE TABLE outbox(" + id +
           ", recipient TEXT NOT NULL, body TEXT NOT NULL, report INTEGER NOT NULL, validity INTEGER NOT NULL,"
           " status INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, error TEXT NOT NULL DEFAULT '',"
           " modem TEXT NOT NULL DEFAULT '', lease_until BIGINT NOT NULL DEFAULT 0, due BIGINT NOT NULL DEFAULT 0,"
           " created BIGINT NOT NULL)",
       "CREATE INDEX outbox_due ON outbox(status, due, id)",
       "CREATE TABLE parts(" + id +
           ", message BIGINT NOT NULL REFERENCES outbox(id), reference INTEGER NOT NULL, modem TEXT NOT NULL,"
           " recipient TEXT NOT NULL, sent_at BIGINT NOT NULL, delivered INTEGER)",
       "CREATE INDEX parts_reference ON parts(modem, reference)",
       "CREATE INDEX parts_message ON parts(message)",
       "CREATE TABLE inbox(" + id +
           ", modem TEXT NOT NULL, sender TEXT NOT NULL, body TEXT NOT NULL, stamp BIGINT NOT NULL,"
           " parts INTEGER NOT NULL DEFAULT 1, complete INTEGER NOT NULL DEFAULT 1, received BIGINT NOT NULL)",
       // A long text is not an index key on PostgreSQL: its digest is.
       std::string("CREATE UNIQUE INDEX inbox_once ON inbox(modem, sender, stamp, ") +
           (Postgres ? "md5(body))" : "body)"),
       "CREATE TABLE inbox_parts(modem TEXT NOT NULL, sender TEXT NOT NULL, reference INTEGER NOT NULL,"
       " total INTEGER NOT NULL, seq INTEGER NOT NULL, body TEXT NOT NULL, stamp BIGINT NOT NULL,"
       " received BIGINT NOT NULL, PRIMARY KEY(modem, sender, reference, total, seq))"},
      // 2: the event feed and the modems of every gateway
      {std::string("CREATE TABLE events(id ") + (Postgres ? "BIGINT" : "INTEGER") +
           " PRIMARY KEY, type TEXT NOT NULL, subject BIGINT NOT NULL, data TEXT NOT NULL, at BIGINT NOT NULL)",
       "CREATE INDEX events_type ON events(type, id)",
       "CREATE INDEX events_at ON events(at)",
       // A message is kept once while the modem still holds it; after that, repeats are all kept.
       "DROP INDEX inbox_once",
       "ALTER TABLE inbox ADD COLUMN receipt TEXT",
       "ALTER TABLE inbox ADD COLUMN raw TEXT NOT NULL DEFAULT ''",
       "CREATE UNIQUE INDEX inbox_receipt ON inbox(modem, receipt)",
       "CREATE TABLE modems(gateway TEXT NOT NULL, name TEXT NOT NULL, device TEXT NOT NULL, model TEXT NOT NULL,"
       " imei TEXT NOT NULL, imsi TEXT NOT NULL, operator TEXT NOT NULL, signal INTEGER NOT NULL, up INTEGER NOT NULL,"
       " last_error TEXT NOT NULL, sent BIGINT NOT NULL, parts BIGINT NOT NULL, failed BIGINT NOT NULL,"
       " received BIGINT NOT NULL, reports BIGINT NOT NULL, last_seen BIGINT NOT NULL, PRIMARY KEY(gateway, name))"},
      // 3: the parts of a message stored incomplete are kept a while, for one that comes late
      {"ALTER TABLE inbox_parts ADD COLUMN inbox BIGINT",
       "ALTER TABLE inbox_parts ADD COLUMN flushed BIGINT"},
      // 4: what applications ask of the outbox, and the webhooks
      {"ALTER TABLE outbox ADD COLUMN priority INTEGER NOT NULL DEFAULT 0",
       "ALTER TABLE outbox ADD COLUMN send_at BIGINT NOT NULL DEFAULT 0",
       "ALTER TABLE outbox ADD COLUMN error_code INTEGER NOT NULL DEFAULT -1",
       "ALTER TABLE outbox ADD COLUMN sent_at BIGINT NOT NULL DEFAULT 0",
       "ALTER TABLE outbox ADD COLUMN done_at BIGINT NOT NULL DEFAULT 0",
       "ALTER TABLE outbox ADD COLUMN callback_url TEXT NOT NULL DEFAULT ''",
       "ALTER TABLE outbox ADD COLUMN callback_kind TEXT NOT NULL DEFAULT ''",
       "ALTER TABLE outbox ADD COLUMN callback_mask INTEGER NOT NULL DEFAULT 0",
       "ALTER TABLE outbox ADD COLUMN idem_key TEXT",
       "ALTER TABLE outbox ADD COLUMN idem_digest TEXT",
       "CREATE UNIQUE INDEX outbox_idem ON outbox(idem_key) WHERE idem_key IS NOT NULL",
       "CREATE INDEX outbox_created ON outbox(created)",
       "CREATE TABLE webhooks(" + id +
           ", url TEXT NOT NULL, events TEXT NOT NULL, secret TEXT NOT NULL, origin TEXT NOT NULL,"
           " cursor BIGINT NOT NULL, created BIGINT NOT NULL)",
       // One row an event for each subscription (webhook 0: the message's own callback).
       "CREATE TABLE deliveries(webhook BIGINT NOT NULL, event BIGINT NOT NULL, url TEXT NOT NULL,"
       " secret TEXT NOT NULL, kind TEXT NOT NULL, mask INTEGER NOT NULL, state INTEGER NOT NULL,"
       " attempts INTEGER NOT NULL, next_at BIGINT NOT NULL, lease_until BIGINT NOT NULL, claimer TEXT NOT NULL,"
       " PRIMARY KEY(webhook, event))",
       "CREATE INDEX deliveries_due ON deliveries(state, next_at)",
       "CREATE TABLE delivery_attempts(" + id +
           ", webhook BIGINT NOT NULL, event BIGINT NOT NULL, attempt INTEGER NOT NULL, at BIGINT NOT NULL,"
           " http_status INTEGER NOT NULL, error TEXT NOT NULL, outcome TEXT NOT NULL)",
       "CREATE INDEX delivery_attempts_webhook ON delivery_attempts(webhook, id)",
       "CREATE TABLE cursors(name TEXT PRIMARY KEY, event BIGINT NOT NULL)",
       "INSERT INTO cursors(name, event) VALUES('callbacks', (SELECT COALESCE(MAX(id), 0) FROM events))"},
      // 5: routing, and the counts that per-modem limits take
      {"CREATE TABLE outbox_routes(message BIGINT NOT NULL, modem TEXT NOT NULL, PRIMARY KEY(message, modem))",
       "CREATE INDEX parts_sent ON parts(modem, sent_at)",
       "ALTER TABLE modems ADD COLUMN limited TEXT NOT NULL DEFAULT ''",
       "ALTER TABLE modems ADD COLUMN registration INTEGER NOT NULL DEFAULT -1"},
      // 6: the SIM by its ICCID, and what the limits have counted
      {"ALTER TABLE modems ADD COLUMN iccid TEXT NOT NULL DEFAULT ''",
       "ALTER TABLE modems ADD COLUMN limits_used TEXT NOT NULL DEFAULT ''",
       "ALTER TABLE modems ADD COLUMN parts_today BIGINT NOT NULL DEFAULT 0"},
  };
}

// A status as the outbox's column holds it.
std::string St(TMessageStatus S) { return std::to_string(static_cast<int>(S)); }

// The first due message a modem with a route name may take: a routed message goes only through
// a modem its routes name.
const std::string kNextDue =
    "SELECT id FROM outbox WHERE status IN (" + St(msQueued) + ", " + St(msScheduled) + ") AND due <= ? AND (NOT EXISTS"
    " (SELECT 1 FROM outbox_routes r WHERE r.message = outbox.id) OR EXISTS"
    " (SELECT 1 FROM outbox_routes r WHERE r.message = outbox.id AND r.modem = ?))"
    " ORDER BY priority DESC, id LIMIT 1";

// The digits of a number: "+49 171" and "0049171" are told apart, "+49171" and "49171" not.
std::string Digits(const std::string& N) {
  std::string d;
  for (char c : N)
    if (c >= '0' && c <= '9') d += c;
  return d;
}

// A report's recipient against the number the part was sent to, which an application may have
// given in international or national form.
bool SameRecipient(const std::string& Sent, const std::string& Reported) {
  std::string a = Digits(Sent), b = Digits(Reported);
  if (a == b) return true;
  if (a.size() < b.size()) std::swap(a, b);
  return b.size() >= 7 && a.compare(a.size() - b.size(), b.size(), b) == 0;
}

std::vector<std::string> SplitTypes(const std::string& Joined) {
  std::vector<std::string> r;
  for (size_t start = 0; start <= Joined.size();) {
    size_t comma = Joined.find(',', start);
    if (comma == std::string::npos) comma = Joined.size();
    if (comma > start) r.push_back(Joined.substr(start, comma - start));
    start = comma + 1;
  }
  return r;
}

std::string JoinTypes(const std::vector<std::string>& Types) {
  std::string r;
  for (auto& t : Types) r += (r.empty() ? "" : ",") + t;
  return r;
}

bool TypeMatches(const std::vector<std::string>& Types, const std::string& Type) {
  for (auto& t : Types)
    if (t == "*" || t == Type || (!t.empty() && t.back() == '.' && Type.rfind(t, 0) == 0)) return true;
  return false;
}

// The events of an outgoing message (the others of the family are of the inbox).
bool OutboxEvent(const std::string& Type) {
  const auto& all = EventTypes();
  auto last = std::find(all.begin(), all.end(), "message.cancelled");
  return std::find(all.begin(), last + 1, Type) != last + 1;
}

class TSqlStore : public TStore {
 public:
  explicit TSqlStore(std::unique_ptr<TSqlConnection> Db) : Db_(std::move(Db)) { Migrate(); }

  const char* Kind() const override { return Db_->Kind(); }

  TQueued QueueMessage(const TNewMessage& M) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    const int64_t now = Ms(TClock::now());
    const bool scheduled = M.SendAt > now;
    std::vector<TSqlValue> row = {M.To,       M.Text,        int64_t{M.Report}, int64_t{M.ValidityMinutes},
                                  int64_t{scheduled ? msScheduled : msQueued}, now, int64_t{M.Priority},
                                  M.SendAt, scheduled ? M.SendAt : int64_t{0}, M.CallbackUrl,
                                  M.CallbackUrl.empty() ? std::string() : M.CallbackKind, int64_t{M.CallbackMask}};
    const bool keyed = !M.IdempotencyKey.empty();
    if (keyed) {
      row.insert(row.end(), {M.IdempotencyKey, M.Digest});
      // A key is the same message for a day; after that it may name a new one.
      Db_->Query("UPDATE outbox SET idem_key = NULL WHERE idem_key = ? AND created < ?",
                 {M.IdempotencyKey, now - int64_t{24 * 3600 * 1000}});
    }
    auto r = Db_->Query(std::string("INSERT INTO outbox(recipient, body, report, validity, status, created, priority,"
                                    " send_at, due, callback_url, callback_kind, callback_mask, idem_key, idem_digest)"
                                    " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ") +
                            (keyed ? "?, ?" : "NULL, NULL") + ") ON CONFLICT DO NOTHING RETURNING id",
                        row);
    TQueued q;
    if (r.empty()) {
      // The key queued a message already (its row is committed: the unique index waited for it).
      auto had = Db_->Query("SELECT id, idem_digest FROM outbox WHERE idem_key = ?", {M.IdempotencyKey});
      if (had.empty()) throw EStoreError("the idempotency key is held by a message that is gone");
      q.Id = Int(had[0][0]);
      q.Existing = true;
      q.Conflict = Text(had[0][1]) != M.Digest;
      t.Commit();
      return q;
    }
    q.Id = Int(r.at(0).at(0));
    for (auto& modem : M.Modems)
      Db_->Query("INSERT INTO outbox_routes(message, modem) VALUES(?, ?) ON CONFLICT DO NOTHING", {q.Id, modem});
    json data = {{"id", q.Id}, {"to", M.To}, {"report", M.Report}};
    if (!M.Modems.empty()) data["modems"] = M.Modems;
    if (M.ValidityMinutes) data["validity_minutes"] = M.ValidityMinutes;
    if (M.Priority) data["priority"] = M.Priority;
    if (scheduled) data["send_at_ms"] = M.SendAt;
    t.Emit(scheduled ? "message.scheduled" : "message.queued", q.Id, data);
    t.Commit();
    return q;
  }

  TCancelResult Cancel(int64_t Id) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->Query("UPDATE outbox SET status = ?, done_at = ? WHERE id = ? AND status IN (?, ?)"
               " AND NOT EXISTS (SELECT 1 FROM parts WHERE message = outbox.id)",
               {int64_t{msCancelled}, Ms(TClock::now()), Id, int64_t{msQueued}, int64_t{msScheduled}});
    TCancelResult r = crCancelled;
    if (Db_->Changes() > 0) t.Emit("message.cancelled", Id, {{"id", Id}});
    else r = Db_->Query("SELECT 1 FROM outbox WHERE id = ?", {Id}).empty() ? crNoSuchMessage : crTooLate;
    t.Commit();
    return r;
  }

  std::vector<TOutgoing> Messages(const TMessageFilter& F) override {
    std::lock_guard lk(M_);
    std::string sql = "SELECT id FROM outbox WHERE created >= ?";
    std::vector<TSqlValue> params = {F.Since};
    if (F.Status) {
      sql += " AND status = ?";
      params.push_back(int64_t{*F.Status});
    }
    if (!F.To.empty()) {
      sql += " AND recipient = ?";
      params.push_back(F.To);
    }
    if (F.BeforeId > 0) {
      sql += " AND id < ?";
      params.push_back(F.BeforeId);
    }
    sql += " ORDER BY id DESC LIMIT ?";
    params.push_back(int64_t{F.Limit});
    std::vector<TOutgoing> r;
    for (auto& row : Db_->Query(sql, params))
      if (auto m = Load(Int(row[0]))) r.push_back(std::move(*m));
    return r;
  }

  std::optional<TOutgoing> Claim(const std::string& Modem, TTime Now, std::chrono::seconds Lease,
                                 const std::string& Route) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    auto pick = Db_->Query(kNextDue + Db_->ForUpdate(), {Ms(Now), Route});
    if (pick.empty()) return std::nullopt;
    int64_t id = Int(pick[0][0]);
    Db_->Query("UPDATE outbox SET status = " + St(msSending) + ", modem = ?, lease_until = ?, attempts = attempts + 1 WHERE id = ?",
               {Modem, Ms(Now + Lease), id});
    auto m = Load(id);
    t.Emit("message.sending", id, {{"id", id}, {"modem", Modem}, {"attempt", m->Attempts}});
    t.Commit();
    return m;
  }

  int64_t LatestEvent() override {
    std::lock_guard lk(M_);
    return Int(Db_->Query("SELECT COALESCE(MAX(id), 0) FROM events").at(0).at(0));
  }

  std::optional<TOutgoing> NextDue(TTime Now, const std::string& Route) override {
    std::lock_guard lk(M_);
    auto pick = Db_->Query(kNextDue, {Ms(Now), Route});
    if (pick.empty()) return std::nullopt;
    return Load(Int(pick[0][0]));
  }

  int64_t PartsSentSince(const std::string& Modem, TTime Since) override {
    std::lock_guard lk(M_);
    return Int(Db_->Query("SELECT COUNT(*) FROM parts WHERE modem = ? AND sent_at >= ?", {Modem, Ms(Since)}).at(0).at(0));
  }

  bool RenewClaim(int64_t Id, const std::string& Modem, TTime Until) override {
    std::lock_guard lk(M_);
    Db_->Query("UPDATE outbox SET lease_until = ? WHERE id = ? AND status = " + St(msSending) + " AND modem = ?",
               {Ms(Until), Id, Modem});
    return Db_->Changes() == 1;
  }

  void AddSentPart(int64_t Id, int Reference, TTime Now) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    auto r = Db_->Query("INSERT INTO parts(message, reference, modem, recipient, sent_at)"
                        " SELECT id, ?, modem, recipient, ? FROM outbox WHERE id = ? RETURNING modem",
                        {int64_t{Reference}, Ms(Now), Id});
    if (!r.empty())
      t.Emit("message.part_sent", Id, {{"id", Id}, {"reference", Reference}, {"modem", Text(r[0][0])}});
    t.Commit();
  }

  void MarkSent(int64_t Id) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    // Sent it was, even when its lease ran out meanwhile and it was called unknown.
    Db_->Query("UPDATE outbox SET status = " + St(msSent) + ", error = '', error_code = -1, lease_until = 0, sent_at = ?"
               " WHERE id = ? AND status <> " + St(msSent),
               {Ms(TClock::now()), Id});
    if (Db_->Changes() > 0) t.Emit("message.sent", Id, {{"id", Id}});
    Settle(t, Id);  // the reports of its first parts may be in already
    t.Commit();
  }

  void MarkFailed(int64_t Id, const std::string& Error, bool Retry, TTime NextTry, int ErrorCode) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->Query("UPDATE outbox SET status = ?, error = ?, error_code = ?, due = ?, lease_until = 0, done_at = ?"
               " WHERE id = ?",
               {int64_t{Retry ? msQueued : msFailed}, Error, int64_t{ErrorCode}, Ms(NextTry),
                Retry ? int64_t{0} : Ms(TClock::now()), Id});
    if (Db_->Changes() > 0) {
      if (Retry) t.Emit("message.queued", Id, {{"id", Id}, {"retry", true}, {"error", Error}, {"due_ms", Ms(NextTry)}});
      else t.Emit("message.failed", Id, {{"id", Id}, {"error", Error}, {"error_code", ErrorCode}});
    }
    t.Commit();
  }

  void MarkUnknown(int64_t Id, const std::string& Error) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->Query("UPDATE outbox SET status = ?, error = ?, lease_until = 0, done_at = ? WHERE id = ?",
               {int64_t{msUnknown}, Error, Ms(TClock::now()), Id});
    if (Db_->Changes() > 0) t.Emit("message.unknown", Id, {{"id", Id}, {"error", Error}});
    t.Commit();
  }

  int ExpireClaims(TTime Now, std::chrono::seconds Silence) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    auto ids = Db_->Query("UPDATE outbox SET status = " + St(msUnknown) + ", error = ?, done_at = ? WHERE status = " +
                              St(msSending) + " AND lease_until < ?"
                          " AND NOT EXISTS (SELECT 1 FROM modems WHERE gateway || '/' || name = outbox.modem"
                          " AND last_seen >= ?) RETURNING id",
                          {std::string(kUnknownOutcome), Ms(Now), Ms(Now), Ms(Now - Silence)});
    for (auto& r : ids) t.Emit("message.unknown", Int(r[0]), {{"id", Int(r[0])}, {"error", kUnknownOutcome}});
    t.Commit();
    return static_cast<int>(ids.size());
  }

  void ReleaseClaims(const std::string& Modem) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    auto ids = Db_->Query("UPDATE outbox SET status = " + St(msQueued) + ", modem = '', lease_until = 0, attempts = attempts - 1 "
                          "WHERE status = " + St(msSending) + " AND modem = ? RETURNING id",
                          {Modem});
    for (auto& r : ids) t.Emit("message.queued", Int(r[0]), {{"id", Int(r[0])}, {"released", true}});
    t.Commit();
  }

  std::optional<TOutgoing> Get(int64_t Id) override {
    std::lock_guard lk(M_);
    return Load(Id);
  }

  int QueueDepth() override {
    std::lock_guard lk(M_);
    return static_cast<int>(
        Int(Db_->Query("SELECT COUNT(*) FROM outbox WHERE status IN (" + St(msQueued) + ", " + St(msSending) + ")").at(0).at(0)));
  }

  std::map<TMessageStatus, int64_t> Counts() override {
    std::lock_guard lk(M_);
    std::map<TMessageStatus, int64_t> r;
    for (auto& row : Db_->Query("SELECT status, COUNT(*) FROM outbox GROUP BY status"))
      r[static_cast<TMessageStatus>(Int(row[0]))] = Int(row[1]);
    return r;
  }

  bool StoreIncoming(const TReceived& R) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    bool stored = Insert(t, R.Modem, R.From, R.Text, R.Stamp, 1, true, R.Receipt, R.Raw).has_value();
    t.Commit();
    return stored;
  }

  void ForgetReceipt(const std::string& Modem, const std::string& Receipt) override {
    std::lock_guard lk(M_);
    Db_->Query("UPDATE inbox SET receipt = NULL WHERE modem = ? AND receipt = ?", {Modem, Receipt});
  }

  std::optional<TIncoming> StorePart(const TIncomingPart& P, TTime Now) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    const std::vector<TSqlValue> key = {P.Modem, P.From, int64_t{P.Reference}, int64_t{P.Count}};
    const std::string where = " WHERE modem = ? AND sender = ? AND reference = ? AND total = ?";
    // A message stored incomplete whose parts are still kept: a part it lacks joins it; one it
    // has begins another message (the reference has come round again).
    auto stored = Db_->Query("SELECT inbox, MAX(CASE WHEN seq = ? THEN 1 ELSE 0 END), MIN(flushed) FROM inbox_parts" + where +
                                 " AND inbox IS NOT NULL GROUP BY inbox",
                             {int64_t{P.Number}, P.Modem, P.From, int64_t{P.Reference}, int64_t{P.Count}});
    std::optional<int64_t> joins, flushed;
    if (!stored.empty()) {
      if (Int(stored[0][1]) != 0) {
        Db_->Query("DELETE FROM inbox_parts" + where, key);
      } else {
        joins = Int(stored[0][0]);
        flushed = Int(stored[0][2]);
      }
    }
    std::vector<TSqlValue> row = {P.Modem,   P.From, int64_t{P.Reference}, int64_t{P.Count}, int64_t{P.Number},
                                  P.Text,    P.Stamp, Ms(Now)};
    if (joins) row.insert(row.end(), {*joins, *flushed});
    Db_->Query(std::string("INSERT INTO inbox_parts(modem, sender, reference, total, seq, body, stamp, received, inbox,"
                           " flushed) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ") +
                   (joins ? "?, ?" : "NULL, NULL") + ") ON CONFLICT DO NOTHING",
               row);
    auto have = Db_->Query("SELECT COUNT(*) FROM inbox_parts" + where, key);
    std::optional<TIncoming> whole;
    if (joins) whole = Assemble(t, P.Modem, P.From, P.Reference, P.Count, *joins);
    else if (Int(have.at(0).at(0)) >= P.Count) whole = Assemble(t, P.Modem, P.From, P.Reference, P.Count);
    t.Commit();
    return whole;
  }

  int FlushParts(TTime Before) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    // Kept as long again after their message was stored incomplete, for a part that comes late.
    Db_->Query("DELETE FROM inbox_parts WHERE flushed < ?", {Ms(Before)});
    auto stale = Db_->Query("SELECT modem, sender, reference, total FROM inbox_parts WHERE inbox IS NULL"
                            " GROUP BY modem, sender, reference, total HAVING MAX(received) < ?",
                            {Ms(Before)});
    for (auto& s : stale) Assemble(t, Text(s[0]), Text(s[1]), static_cast<int>(Int(s[2])), static_cast<int>(Int(s[3])));
    t.Commit();
    return static_cast<int>(stale.size());
  }

  std::vector<TIncoming> Inbox(int64_t AfterId, int Limit) override {
    std::lock_guard lk(M_);
    std::vector<TIncoming> r;
    for (auto& row : Db_->Query("SELECT id, modem, sender, body, stamp, parts, complete, raw FROM inbox WHERE id > ?"
                                " ORDER BY id LIMIT ?",
                                {AfterId, int64_t{Limit}}))
      r.push_back({Int(row[0]), Text(row[1]), Text(row[2]), Text(row[3]), Int(row[4]), static_cast<int>(Int(row[5])),
                   Int(row[6]) != 0, Text(row[7])});
    return r;
  }

  int64_t InboxCount() override {
    std::lock_guard lk(M_);
    return Int(Db_->Query("SELECT COUNT(*) FROM inbox").at(0).at(0));
  }

  bool MatchReport(const std::string& Modem, int Reference, const std::string& Recipient, bool Delivered, TTime Now,
                   std::chrono::seconds Window) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    // The newest part with this reference that waits for its report: references wrap at 256.
    auto found = Db_->Query("SELECT id, message, recipient FROM parts WHERE modem = ? AND reference = ?"
                            " AND delivered IS NULL AND sent_at >= ? ORDER BY id DESC",
                            {Modem, int64_t{Reference}, Ms(Now - Window)});
    auto it = std::find_if(found.begin(), found.end(),
                           [&](const TSqlRow& r) { return Recipient.empty() || SameRecipient(Text(r[2]), Recipient); });
    if (it == found.end()) return false;
    int64_t part = Int((*it)[0]), message = Int((*it)[1]);
    Db_->Query("UPDATE parts SET delivered = ? WHERE id = ?", {int64_t{Delivered}, part});
    t.Emit("report.matched", message,
           {{"id", message}, {"reference", Reference}, {"modem", Modem}, {"delivered", Delivered}});
    Settle(t, message);
    t.Commit();
    return true;
  }

  std::vector<TEvent> Events(int64_t AfterId, int Limit, const std::string& Type) override {
    std::lock_guard lk(M_);
    std::string sql = "SELECT id, type, subject, data, at FROM events WHERE id > ?";
    std::vector<TSqlValue> params = {AfterId};
    if (!Type.empty() && Type.back() == '.') {
      sql += " AND substr(type, 1, ?) = ?";
      params.push_back(static_cast<int64_t>(Type.size()));
      params.push_back(Type);
    } else if (!Type.empty()) {
      sql += " AND type = ?";
      params.push_back(Type);
    }
    sql += " ORDER BY id LIMIT ?";
    params.push_back(int64_t{Limit});
    std::vector<TEvent> r;
    for (auto& row : Db_->Query(sql, params))
      r.push_back({Int(row[0]), Text(row[1]), Int(row[2]), Text(row[3]), Int(row[4])});
    return r;
  }

  int PruneEvents(TTime Before) override {
    std::lock_guard lk(M_);
    // The newest event stays, whatever its age: the next id is counted from it.
    Db_->Query("DELETE FROM events WHERE at < ? AND id < (SELECT MAX(id) FROM events)", {Ms(Before)});
    return static_cast<int>(Db_->Changes());
  }

  void RecordModem(const TModemRecord& M, const std::string& EventType) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->Query("INSERT INTO modems(gateway, name, device, model, imei, imsi, operator, signal, up, last_error, sent,"
               " parts, failed, received, reports, last_seen, limited, registration, iccid, limits_used, parts_today)"
               " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
               " ON CONFLICT(gateway, name) DO UPDATE SET device = excluded.device, model = excluded.model,"
               " imei = excluded.imei, imsi = excluded.imsi, operator = excluded.operator, signal = excluded.signal,"
               " up = excluded.up, last_error = excluded.last_error, sent = excluded.sent, parts = excluded.parts,"
               " failed = excluded.failed, received = excluded.received, reports = excluded.reports,"
               " last_seen = excluded.last_seen, limited = excluded.limited, registration = excluded.registration,"
               " iccid = excluded.iccid, limits_used = excluded.limits_used, parts_today = excluded.parts_today",
               {M.Gateway, M.Name, M.Device, M.Model, M.IMEI, M.IMSI, M.Operator, int64_t{M.Signal}, int64_t{M.Up},
                M.LastError, M.Sent, M.Parts, M.Failed, M.Received, M.Reports, M.LastSeen, M.Limited,
                int64_t{M.Registration}, M.ICCID, M.Usage, M.PartsToday});
    if (!EventType.empty()) {
      json data = {{"gateway", M.Gateway}, {"modem", M.Name}, {"device", M.Device}, {"model", M.Model}};
      if (!M.LastError.empty()) data["error"] = M.LastError;
      t.Emit(EventType, 0, data);
    }
    t.Commit();
  }

  std::vector<TModemRecord> Modems() override {
    std::lock_guard lk(M_);
    std::vector<TModemRecord> r;
    for (auto& row : Db_->Query("SELECT gateway, name, device, model, imei, imsi, operator, signal, up, last_error,"
                                " sent, parts, failed, received, reports, last_seen, limited, registration, iccid, limits_used,"
                                " parts_today FROM modems"
                                " ORDER BY gateway, name")) {
      TModemRecord m;
      m.Gateway = Text(row[0]);
      m.Name = Text(row[1]);
      m.Device = Text(row[2]);
      m.Model = Text(row[3]);
      m.IMEI = Text(row[4]);
      m.IMSI = Text(row[5]);
      m.Operator = Text(row[6]);
      m.Signal = static_cast<int>(Int(row[7]));
      m.Up = Int(row[8]) != 0;
      m.LastError = Text(row[9]);
      m.Limited = Text(row[16]);
      m.Registration = static_cast<int>(Int(row[17]));
      m.ICCID = Text(row[18]);
      m.Usage = Text(row[19]);
      m.PartsToday = Int(row[20]);
      m.Sent = Int(row[10]);
      m.Parts = Int(row[11]);
      m.Failed = Int(row[12]);
      m.Received = Int(row[13]);
      m.Reports = Int(row[14]);
      m.LastSeen = Int(row[15]);
      r.push_back(m);
    }
    return r;
  }
  int64_t AddWebhook(const TWebhook& H) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    int64_t id = InsertWebhook(H);
    t.Commit();
    return id;
  }

  std::vector<TWebhook> Webhooks() override {
    std::lock_guard lk(M_);
    std::vector<TWebhook> r;
    for (auto& row : Db_->Query("SELECT id, url, events, secret, origin, created FROM webhooks ORDER BY id"))
      r.push_back({Int(row[0]), Text(row[1]), SplitTypes(Text(row[2])), Text(row[3]), Text(row[4]), Int(row[5])});
    return r;
  }

  bool DeleteWebhook(int64_t Id) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->Query("DELETE FROM webhooks WHERE id = ?", {Id});
    bool gone = Db_->Changes() > 0;
    Db_->Query("DELETE FROM deliveries WHERE webhook = ?", {Id});
    t.Commit();
    return gone;
  }

  void SetConfigWebhooks(const std::vector<TWebhook>& Hooks) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->LockFeed();  // gateways that start together keep one copy of the configuration's
    std::vector<int64_t> keep;
    for (auto& h : Hooks) {
      auto had = Db_->Query("SELECT id FROM webhooks WHERE origin = 'config' AND url = ? AND events = ? AND secret = ?",
                            {h.Url, JoinTypes(h.Events), h.Secret});
      TWebhook c = h;
      c.Origin = "config";
      keep.push_back(had.empty() ? InsertWebhook(c) : Int(had[0][0]));
    }
    for (auto& row : Db_->Query("SELECT id FROM webhooks WHERE origin = 'config'")) {
      int64_t id = Int(row[0]);
      if (std::find(keep.begin(), keep.end(), id) != keep.end()) continue;
      Db_->Query("DELETE FROM webhooks WHERE id = ?", {id});
      Db_->Query("DELETE FROM deliveries WHERE webhook = ?", {id});
    }
    t.Commit();
  }

  int FanOut(TTime Now, int Limit) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    int made = 0;
    auto add = [&](int64_t Hook, int64_t Event, const std::string& Url, const std::string& Secret,
                   const std::string& Kind, int64_t Mask) {
      Db_->Query("INSERT INTO deliveries(webhook, event, url, secret, kind, mask, state, attempts, next_at, lease_until,"
                 " claimer) VALUES(?, ?, ?, ?, ?, ?, 0, 0, ?, 0, '') ON CONFLICT DO NOTHING",
                 {Hook, Event, Url, Secret, Kind, Mask, Ms(Now)});
      made += Db_->Changes() > 0;
    };
    for (auto& h : Db_->Query(std::string("SELECT id, url, events, secret, cursor FROM webhooks ORDER BY id") +
                              Db_->ForUpdate())) {
      auto types = SplitTypes(Text(h[2]));
      int64_t last = Int(h[4]);
      for (auto& e : Db_->Query("SELECT id, type FROM events WHERE id > ? ORDER BY id LIMIT ?", {last, int64_t{Limit}})) {
        last = Int(e[0]);
        if (TypeMatches(types, Text(e[1]))) add(Int(h[0]), last, Text(h[1]), Text(h[3]), "json", 0);
      }
      Db_->Query("UPDATE webhooks SET cursor = ? WHERE id = ?", {last, Int(h[0])});
    }
    // A message's own callback hears of that message's status changes.
    auto cursor = Db_->Query(std::string("SELECT event FROM cursors WHERE name = 'callbacks'") + Db_->ForUpdate());
    if (!cursor.empty()) {
      int64_t last = Int(cursor[0][0]);
      for (auto& e : Db_->Query("SELECT e.id, e.type, o.callback_url, o.callback_kind, o.callback_mask FROM events e"
                                " LEFT JOIN outbox o ON o.id = e.subject WHERE e.id > ? ORDER BY e.id LIMIT ?",
                                {last, int64_t{Limit}})) {
        last = Int(e[0]);
        const std::string type = Text(e[1]), url = Text(e[2]), kind = Text(e[3]);
        if (url.empty() || !OutboxEvent(type)) continue;
        if (kind == "kannel" && !(KannelDlrType(type) & Int(e[4]))) continue;
        add(0, last, url, "", kind, Int(e[4]));
      }
      Db_->Query("UPDATE cursors SET event = ? WHERE name = 'callbacks'", {last});
    }
    t.Commit();
    return made;
  }

  std::vector<TDelivery> ClaimDeliveries(const std::string& Claimer, TTime Now, std::chrono::seconds Lease,
                                         int Limit) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    auto due = Db_->Query(std::string("SELECT webhook, event FROM deliveries WHERE (state = 0 AND next_at <= ?)"
                                      " OR (state = 1 AND lease_until < ?) ORDER BY next_at, event LIMIT ?") +
                              Db_->ForUpdate(),
                          {Ms(Now), Ms(Now), int64_t{Limit}});
    std::vector<TDelivery> r;
    for (auto& d : due) {
      const std::vector<TSqlValue> key = {Int(d[0]), Int(d[1])};
      auto row = Db_->Query("SELECT d.url, d.secret, d.kind, d.mask, d.attempts, e.type, e.subject, e.data, e.at"
                            " FROM deliveries d JOIN events e ON e.id = d.event WHERE d.webhook = ? AND d.event = ?",
                            key);
      if (row.empty()) {  // its event was pruned
        Db_->Query("DELETE FROM deliveries WHERE webhook = ? AND event = ?", key);
        continue;
      }
      Db_->Query("UPDATE deliveries SET state = 1, lease_until = ?, claimer = ? WHERE webhook = ? AND event = ?",
                 {Ms(Now + Lease), Claimer, Int(d[0]), Int(d[1])});
      auto& x = row[0];
      TDelivery v;
      v.Webhook = Int(d[0]);
      v.Event = {Int(d[1]), Text(x[5]), Int(x[6]), Text(x[7]), Int(x[8])};
      v.Url = Text(x[0]);
      v.Secret = Text(x[1]);
      v.Kind = Text(x[2]);
      v.Mask = static_cast<int>(Int(x[3]));
      v.Attempts = static_cast<int>(Int(x[4]));
      r.push_back(std::move(v));
    }
    t.Commit();
    return r;
  }

  void SettleDelivery(const TDelivery& D, const TDeliveryAttempt& A, std::optional<TTime> RetryAt) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->Query("INSERT INTO delivery_attempts(webhook, event, attempt, at, http_status, error, outcome)"
               " VALUES(?, ?, ?, ?, ?, ?, ?)",
               {D.Webhook, D.Event.Id, int64_t{A.Attempt}, A.At, int64_t{A.HttpStatus}, A.Error, A.Outcome});
    int64_t state = A.Outcome == "delivered" ? 2 : RetryAt ? 0 : 3;
    Db_->Query("UPDATE deliveries SET state = ?, attempts = attempts + 1, next_at = ?, lease_until = 0, claimer = ''"
               " WHERE webhook = ? AND event = ?",
               {state, RetryAt ? Ms(*RetryAt) : A.At, D.Webhook, D.Event.Id});
    t.Commit();
  }

  std::vector<TDeliveryAttempt> DeliveryAttempts(int64_t Webhook, int Limit) override {
    std::lock_guard lk(M_);
    std::vector<TDeliveryAttempt> r;
    for (auto& row : Db_->Query("SELECT webhook, event, attempt, at, http_status, error, outcome FROM delivery_attempts"
                                " WHERE webhook = ? ORDER BY id DESC LIMIT ?",
                                {Webhook, int64_t{Limit}}))
      r.push_back({Int(row[0]), Int(row[1]), static_cast<int>(Int(row[2])), Int(row[3]),
                   static_cast<int>(Int(row[4])), Text(row[5]), Text(row[6])});
    return r;
  }

  bool Replay(int64_t Webhook, int64_t SinceEvent, TTime Now) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    auto h = Db_->Query("SELECT url, events, secret, cursor FROM webhooks WHERE id = ?", {Webhook});
    if (h.empty()) return false;
    auto types = SplitTypes(Text(h[0][1]));
    for (auto& e : Db_->Query("SELECT id, type FROM events WHERE id > ? AND id <= ? ORDER BY id",
                              {SinceEvent, Int(h[0][3])})) {
      if (!TypeMatches(types, Text(e[1]))) continue;
      Db_->Query("INSERT INTO deliveries(webhook, event, url, secret, kind, mask, state, attempts, next_at, lease_until,"
                 " claimer) VALUES(?, ?, ?, ?, 'json', 0, 0, 0, ?, 0, '') ON CONFLICT(webhook, event) DO UPDATE"
                 " SET state = 0, attempts = 0, next_at = excluded.next_at, lease_until = 0, claimer = ''",
                 {Webhook, Int(e[0]), Text(h[0][0]), Text(h[0][2]), Ms(Now)});
    }
    t.Commit();
    return true;
  }

  int PruneDeliveries(TTime Before) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->Query("DELETE FROM delivery_attempts WHERE at < ?", {Ms(Before)});
    int n = static_cast<int>(Db_->Changes());
    Db_->Query("DELETE FROM deliveries WHERE state IN (2, 3) AND next_at < ?", {Ms(Before)});
    t.Commit();
    return n;
  }


 private:
  // Rolled back unless committed. The events it reports are written at its end, after every
  // row it changes: writers take the feed's lock last, so two of them never wait for each other
  // crosswise, and the feed's ids follow the commits.
  class TTransaction {
   public:
    explicit TTransaction(TSqlConnection& Db) : Db_(Db) { Db_.Begin(); }
    ~TTransaction() {
      if (!Done_) Db_.Rollback();
    }
    void Emit(std::string Type, int64_t Subject, json Data) {
      Events_.push_back({0, std::move(Type), Subject, Data.dump(-1, ' ', false, json::error_handler_t::replace), 0});
    }
    void Commit() {
      if (!Events_.empty()) {
        Db_.LockFeed();
        int64_t id = Int(Db_.Query("SELECT MAX(id) FROM events").at(0).at(0)), now = Ms(TClock::now());
        for (auto& e : Events_)
          Db_.Query("INSERT INTO events(id, type, subject, data, at) VALUES(?, ?, ?, ?, ?)",
                    {++id, e.Type, e.Subject, e.Data, now});
      }
      Db_.Commit();
      Done_ = true;
    }

   private:
    TSqlConnection& Db_;
    std::vector<TEvent> Events_;
    bool Done_ = false;
  };

  int64_t InsertWebhook(const TWebhook& H) {
    auto r = Db_->Query("INSERT INTO webhooks(url, events, secret, origin, cursor, created)"
                        " SELECT ?, ?, ?, ?, COALESCE(MAX(id), 0), ? FROM events RETURNING id",
                        {H.Url, JoinTypes(H.Events), H.Secret, H.Origin, Ms(TClock::now())});
    return Int(r.at(0).at(0));
  }

  // A sent message whose every part is reported: delivered, or undelivered if any part was not.
  void Settle(TTransaction& T, int64_t Message) {
    auto left = Db_->Query("SELECT SUM(CASE WHEN delivered IS NULL THEN 1 ELSE 0 END),"
                           " SUM(CASE WHEN delivered = 0 THEN 1 ELSE 0 END) FROM parts WHERE message = ?",
                           {Message});
    if (!left.at(0).at(0) || Int(left[0][0]) != 0) return;
    TMessageStatus to = Int(left[0][1]) == 0 ? msDelivered : msUndelivered;
    Db_->Query("UPDATE outbox SET status = ?, done_at = ? WHERE id = ? AND status IN (" + St(msSent) + ", " +
                   St(msDelivered) + ", " + St(msUndelivered) + ") AND status <> ?",
               {int64_t{to}, Ms(TClock::now()), Message, int64_t{to}});
    if (Db_->Changes() > 0) T.Emit(std::string("message.") + StatusName(to), Message, {{"id", Message}});
  }

  std::optional<TOutgoing> Load(int64_t Id) {
    auto rows = Db_->Query("SELECT id, recipient, body, report, validity, status, attempts, error, modem, created,"
                           " priority, send_at, error_code, sent_at, done_at, callback_url FROM outbox WHERE id = ?",
                           {Id});
    if (rows.empty()) return std::nullopt;
    auto& s = rows[0];
    TOutgoing m;
    m.Id = Int(s[0]);
    m.To = Text(s[1]);
    m.Text = Text(s[2]);
    m.Report = Int(s[3]) != 0;
    m.ValidityMinutes = static_cast<int>(Int(s[4]));
    m.Status = static_cast<TMessageStatus>(Int(s[5]));
    m.Attempts = static_cast<int>(Int(s[6]));
    m.Error = Text(s[7]);
    m.Modem = Text(s[8]);
    m.Created = Int(s[9]);
    m.Priority = static_cast<int>(Int(s[10]));
    m.SendAt = Int(s[11]);
    m.ErrorCode = static_cast<int>(Int(s[12]));
    m.SentAt = Int(s[13]);
    m.DoneAt = Int(s[14]);
    m.CallbackUrl = Text(s[15]);
    for (auto& p : Db_->Query("SELECT reference FROM parts WHERE message = ? ORDER BY id", {Id}))
      m.References.push_back(static_cast<int>(Int(p[0])));
    for (auto& r : Db_->Query("SELECT modem FROM outbox_routes WHERE message = ? ORDER BY modem", {Id}))
      m.Modems.push_back(Text(r[0]));
    return m;
  }

  std::optional<TIncoming> Insert(TTransaction& T, const std::string& Modem, const std::string& From,
                                  const std::string& Text, int64_t Stamp, int Parts, bool Complete,
                                  const std::string& Receipt = "", const std::string& Raw = "") {
    // A NULL receipt conflicts with none.
    std::string sql = "INSERT INTO inbox(modem, sender, body, stamp, parts, complete, received, raw, receipt)"
                      " VALUES(?, ?, ?, ?, ?, ?, ?, ?, " +
                      std::string(Receipt.empty() ? "NULL" : "?") + ") ON CONFLICT DO NOTHING RETURNING id";
    std::vector<TSqlValue> params = {Modem, From, Text, Stamp, int64_t{Parts}, int64_t{Complete}, Ms(TClock::now()), Raw};
    if (!Receipt.empty()) params.push_back(Receipt);
    auto r = Db_->Query(sql, params);
    if (r.empty()) return std::nullopt;
    TIncoming m{Int(r[0][0]), Modem, From, Text, Stamp, Parts, Complete, Raw};
    json data = {{"id", m.Id}, {"modem", Modem}, {"from", From}, {"parts", Parts}, {"complete", Complete}};
    if (!Raw.empty()) data["unreadable"] = true;
    T.Emit(Complete ? "message.received" : "message.incomplete", m.Id, data);
    return m;
  }

  // The parts of one message into the inbox, in order, or into the entry Stored that was stored
  // without some of them; the message when it is new or has just become whole. The parts of an
  // incomplete message are kept for one that comes late.
  std::optional<TIncoming> Assemble(TTransaction& T, const std::string& Modem, const std::string& From, int Reference,
                                    int Count, std::optional<int64_t> Stored = std::nullopt) {
    const std::vector<TSqlValue> key = {Modem, From, int64_t{Reference}, int64_t{Count}};
    auto parts = Db_->Query("SELECT seq, body, stamp FROM inbox_parts WHERE modem = ? AND sender = ? AND reference = ?"
                            " AND total = ? ORDER BY seq",
                            key);
    std::string text;
    int next = 1;
    int64_t stamp = parts.empty() ? 0 : Int(parts[0][2]);
    for (auto& p : parts) {
      int seq = static_cast<int>(Int(p[0]));
      for (; next < seq; ++next) text += kMissing;
      text += Text(p[1]);
      next = seq + 1;
    }
    for (; next <= Count; ++next) text += kMissing;
    bool complete = static_cast<int>(parts.size()) == Count;
    const std::string where = " WHERE modem = ? AND sender = ? AND reference = ? AND total = ?";
    std::optional<TIncoming> m;
    if (Stored) {
      Db_->Query("UPDATE inbox SET body = ?, complete = ? WHERE id = ?", {text, int64_t{complete}, *Stored});
      if (complete) {
        m = TIncoming{*Stored, Modem, From, text, stamp, Count, true, ""};
        T.Emit("message.received", *Stored,
               {{"id", *Stored}, {"modem", Modem}, {"from", From}, {"parts", Count}, {"complete", true}, {"joined", true}});
      }
    } else {
      m = Insert(T, Modem, From, text, stamp, Count, complete);
    }
    if (complete) {
      Db_->Query("DELETE FROM inbox_parts" + where, key);
    } else if (!Stored && m) {
      auto params = key;
      params.insert(params.begin(), {m->Id, Ms(TClock::now())});
      Db_->Query("UPDATE inbox_parts SET inbox = ?, flushed = ?" + where, params);
    }
    return m;
  }

  void Migrate() {
    TTransaction t(*Db_);
    // Gateways that start together on a new database would race to make the same tables.
    Db_->LockFeed();
    Db_->Query("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
    Version_ = static_cast<int>(Int(Db_->Query("SELECT MAX(version) FROM schema_version").at(0).at(0)));
    auto steps = Migrations(std::string(Db_->Kind()) == "postgresql");
    const int latest = static_cast<int>(steps.size());
    if (Version_ > latest)
      throw EStoreError("The store has schema version " + std::to_string(Version_) + "; this program knows " +
                        std::to_string(latest));
    for (; Version_ < latest; ++Version_) {
      for (auto& statement : steps[static_cast<size_t>(Version_)]) Db_->Query(statement);
      Db_->Query("INSERT INTO schema_version(version) VALUES(?)", {int64_t{Version_ + 1}});
    }
    t.Commit();
  }

  std::mutex M_;  // one connection: one call at a time, so transactions do not interleave
  std::unique_ptr<TSqlConnection> Db_;
};

}  // namespace

std::unique_ptr<TStore> MakeSqlStore(std::unique_ptr<TSqlConnection> Db) {
  return std::make_unique<TSqlStore>(std::move(Db));
}

std::unique_ptr<TStore> OpenSQLiteStore(const std::string& Path) { return MakeSqlStore(ConnectSQLite(Path)); }
std::unique_ptr<TStore> OpenPostgresStore(const std::string& ConnInfo) { return MakeSqlStore(ConnectPostgres(ConnInfo)); }

std::unique_ptr<TStore> OpenStore(const std::string& Where) {
  bool pg = Where.rfind("postgresql://", 0) == 0 || Where.rfind("postgres://", 0) == 0 ||
            Where.find('=') != std::string::npos;
  return pg ? OpenPostgresStore(Where) : OpenSQLiteStore(Where);
}

}  // namespace Halyard::Gateway

#include "halyard/gateway/SqlStore.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace Halyard::Gateway {

const char* StatusName(TMessageStatus S) {
  static const char* names[] = {"queued", "sending", "sent", "failed", "delivered", "undelivered", "unknown"};
  return static_cast<unsigned>(S) < std::size(names) ? names[S] : "?";
}

namespace {

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
  };
}

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

class TSqlStore : public TStore {
 public:
  explicit TSqlStore(std::unique_ptr<TSqlConnection> Db) : Db_(std::move(Db)) { Migrate(); }

  const char* Kind() const override { return Db_->Kind(); }

  int64_t Queue(const std::string& To, const std::string& Text, bool Report, int ValidityMinutes) override {
    std::lock_guard lk(M_);
    auto r = Db_->Query("INSERT INTO outbox(recipient, body, report, validity, status, created) VALUES(?, ?, ?, ?, 0, ?)"
                        " RETURNING id",
                        {To, Text, int64_t{Report}, int64_t{ValidityMinutes}, Ms(TClock::now())});
    return Int(r.at(0).at(0));
  }

  std::optional<TOutgoing> Claim(const std::string& Modem, TTime Now, std::chrono::seconds Lease) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    auto pick = Db_->Query(std::string("SELECT id FROM outbox WHERE status = 0 AND due <= ? ORDER BY due, id LIMIT 1") +
                               Db_->ForUpdate(),
                           {Ms(Now)});
    if (pick.empty()) return std::nullopt;
    int64_t id = Int(pick[0][0]);
    Db_->Query("UPDATE outbox SET status = 1, modem = ?, lease_until = ?, attempts = attempts + 1 WHERE id = ?",
               {Modem, Ms(Now + Lease), id});
    auto m = Load(id);
    t.Commit();
    return m;
  }

  bool RenewClaim(int64_t Id, const std::string& Modem, TTime Until) override {
    std::lock_guard lk(M_);
    Db_->Query("UPDATE outbox SET lease_until = ? WHERE id = ? AND status = 1 AND modem = ?", {Ms(Until), Id, Modem});
    return Db_->Changes() == 1;
  }

  void AddSentPart(int64_t Id, int Reference, TTime Now) override {
    std::lock_guard lk(M_);
    Db_->Query("INSERT INTO parts(message, reference, modem, recipient, sent_at)"
               " SELECT id, ?, modem, recipient, ? FROM outbox WHERE id = ?",
               {int64_t{Reference}, Ms(Now), Id});
  }

  void MarkSent(int64_t Id) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    // Sent it was, even when its lease ran out meanwhile and it was called unknown.
    Db_->Query("UPDATE outbox SET status = 2, error = '', lease_until = 0 WHERE id = ?", {Id});
    Settle(Id);  // the reports of its first parts may be in already
    t.Commit();
  }

  void MarkFailed(int64_t Id, const std::string& Error, bool Retry, TTime NextTry) override {
    std::lock_guard lk(M_);
    Db_->Query("UPDATE outbox SET status = ?, error = ?, due = ?, lease_until = 0 WHERE id = ?",
               {int64_t{Retry ? msQueued : msFailed}, Error, Ms(NextTry), Id});
  }

  void MarkUnknown(int64_t Id, const std::string& Error) override {
    std::lock_guard lk(M_);
    Db_->Query("UPDATE outbox SET status = ?, error = ?, lease_until = 0 WHERE id = ?",
               {int64_t{msUnknown}, Error, Id});
  }

  int ExpireClaims(TTime Now) override {
    std::lock_guard lk(M_);
    Db_->Query("UPDATE outbox SET status = 6, error = ? WHERE status = 1 AND lease_until < ?",
               {std::string(kUnknownOutcome), Ms(Now)});
    return static_cast<int>(Db_->Changes());
  }

  void ReleaseClaims(const std::string& Modem) override {
    std::lock_guard lk(M_);
    Db_->Query("UPDATE outbox SET status = 0, modem = '', lease_until = 0, attempts = attempts - 1 "
               "WHERE status = 1 AND modem = ?",
               {Modem});
  }

  std::optional<TOutgoing> Get(int64_t Id) override {
    std::lock_guard lk(M_);
    return Load(Id);
  }

  int QueueDepth() override {
    std::lock_guard lk(M_);
    return static_cast<int>(Int(Db_->Query("SELECT COUNT(*) FROM outbox WHERE status IN (0, 1)").at(0).at(0)));
  }

  std::map<TMessageStatus, int64_t> Counts() override {
    std::lock_guard lk(M_);
    std::map<TMessageStatus, int64_t> r;
    for (auto& row : Db_->Query("SELECT status, COUNT(*) FROM outbox GROUP BY status"))
      r[static_cast<TMessageStatus>(Int(row[0]))] = Int(row[1]);
    return r;
  }

  bool StoreIncoming(const std::string& Modem, const std::string& From, const std::string& Text,
                     int64_t Stamp) override {
    std::lock_guard lk(M_);
    return Insert(Modem, From, Text, Stamp, 1, true).has_value();
  }

  std::optional<TIncoming> StorePart(const TIncomingPart& P, TTime Now) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    Db_->Query("INSERT INTO inbox_parts(modem, sender, reference, total, seq, body, stamp, received)"
               " VALUES(?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING",
               {P.Modem, P.From, int64_t{P.Reference}, int64_t{P.Count}, int64_t{P.Number}, P.Text, P.Stamp, Ms(Now)});
    auto have = Db_->Query("SELECT COUNT(*) FROM inbox_parts WHERE modem = ? AND sender = ? AND reference = ? AND total = ?",
                           {P.Modem, P.From, int64_t{P.Reference}, int64_t{P.Count}});
    std::optional<TIncoming> whole;
    if (Int(have.at(0).at(0)) >= P.Count) whole = Assemble(P.Modem, P.From, P.Reference, P.Count);
    t.Commit();
    return whole;
  }

  int FlushParts(TTime Before) override {
    std::lock_guard lk(M_);
    TTransaction t(*Db_);
    auto stale = Db_->Query("SELECT modem, sender, reference, total FROM inbox_parts GROUP BY modem, sender, reference,"
                            " total HAVING MAX(received) < ?",
                            {Ms(Before)});
    for (auto& s : stale) Assemble(Text(s[0]), Text(s[1]), static_cast<int>(Int(s[2])), static_cast<int>(Int(s[3])));
    t.Commit();
    return static_cast<int>(stale.size());
  }

  std::vector<TIncoming> Inbox(int64_t AfterId, int Limit) override {
    std::lock_guard lk(M_);
    std::vector<TIncoming> r;
    for (auto& row : Db_->Query("SELECT id, modem, sender, body, stamp, parts, complete FROM inbox WHERE id > ?"
                                " ORDER BY id LIMIT ?",
                                {AfterId, int64_t{Limit}}))
      r.push_back({Int(row[0]), Text(row[1]), Text(row[2]), Text(row[3]), Int(row[4]), static_cast<int>(Int(row[5])),
                   Int(row[6]) != 0});
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
    Settle(message);
    t.Commit();
    return true;
  }

 private:
  // Rolled back unless committed.
  class TTransaction {
   public:
    explicit TTransaction(TSqlConnection& Db) : Db_(Db) { Db_.Begin(); }
    ~TTransaction() {
      if (!Done_) Db_.Rollback();
    }
    void Commit() {
      Db_.Commit();
      Done_ = true;
    }

   private:
    TSqlConnection& Db_;
    bool Done_ = false;
  };

  // A sent message whose every part is reported: delivered, or undelivered if any part was not.
  void Settle(int64_t Message) {
    auto left = Db_->Query("SELECT SUM(CASE WHEN delivered IS NULL THEN 1 ELSE 0 END),"
                           " SUM(CASE WHEN delivered = 0 THEN 1 ELSE 0 END) FROM parts WHERE message = ?",
                           {Message});
    if (!left.at(0).at(0) || Int(left[0][0]) != 0) return;
    Db_->Query("UPDATE outbox SET status = ? WHERE id = ? AND status IN (2, 4, 5)",
               {int64_t{Int(left[0][1]) == 0 ? msDelivered : msUndelivered}, Message});
  }

  std::optional<TOutgoing> Load(int64_t Id) {
    auto rows = Db_->Query("SELECT id, recipient, body, report, validity, status, attempts, error, modem, created"
                           " FROM outbox WHERE id = ?",
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
    for (auto& p : Db_->Query("SELECT reference FROM parts WHERE message = ? ORDER BY id", {Id}))
      m.References.push_back(static_cast<int>(Int(p[0])));
    return m;
  }

  std::optional<TIncoming> Insert(const std::string& Modem, const std::string& From, const std::string& Text,
                                  int64_t Stamp, int Parts, bool Complete) {
    auto r = Db_->Query("INSERT INTO inbox(modem, sender, body, stamp, parts, complete, received)"
                        " VALUES(?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING RETURNING id",
                        {Modem, From, Text, Stamp, int64_t{Parts}, int64_t{Complete}, Ms(TClock::now())});
    if (r.empty()) return std::nullopt;
    return TIncoming{Int(r[0][0]), Modem, From, Text, Stamp, Parts, Complete};
  }

  // The parts of one message into the inbox, in order; the message when it was new.
  std::optional<TIncoming> Assemble(const std::string& Modem, const std::string& From, int Reference, int Count) {
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
    Db_->Query("DELETE FROM inbox_parts WHERE modem = ? AND sender = ? AND reference = ? AND total = ?", key);
    return Insert(Modem, From, text, stamp, Count, complete);
  }

  void Migrate() {
    TTransaction t(*Db_);
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

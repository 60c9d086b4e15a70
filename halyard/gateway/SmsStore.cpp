#include "halyard/gateway/SmsStore.h"

#include <sqlite3.h>

#include <stdexcept>

namespace Halyard::Gateway {

const char* StatusName(TMessageStatus S) {
  static const char* names[] = {"queued", "sending", "sent", "failed", "delivered", "undelivered", "unknown"};
  return names[S];
}

namespace {

class EStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void Exec(sqlite3* Db, const char* Sql) {
  char* err = nullptr;
  if (sqlite3_exec(Db, Sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string m = err ? err : "?";
    sqlite3_free(err);
    throw EStoreError(std::string("SQLite: ") + Sql + ": " + m);
  }
}

int64_t Ms(TTime t) { return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count(); }

// One prepared statement, finalized on every way out.
class TStatement {
 public:
  TStatement(sqlite3* Db, const char* Sql) : Db_(Db) {
    if (sqlite3_prepare_v2(Db, Sql, -1, &S_, nullptr) != SQLITE_OK) Fail("prepare");
  }
  ~TStatement() { sqlite3_finalize(S_); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  TStatement& Bind(int I, int64_t V) {
    if (sqlite3_bind_int64(S_, I, V) != SQLITE_OK) Fail("bind");
    return *this;
  }
  TStatement& Bind(int I, const std::string& V) {
    if (sqlite3_bind_text(S_, I, V.data(), static_cast<int>(V.size()), SQLITE_TRANSIENT) != SQLITE_OK) Fail("bind");
    return *this;
  }
  // True while a row is there.
  bool Step() {
    int rc = sqlite3_step(S_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail("step");
    return false;
  }
  int64_t Int(int C) { return sqlite3_column_int64(S_, C); }
  std::string Text(int C) {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(S_, C));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(S_, C))) : std::string();
  }

 private:
  [[noreturn]] void Fail(const char* What) {
    throw EStoreError(std::string("SQLite ") + What + ": " + sqlite3_errmsg(Db_));
  }
  sqlite3* Db_;
  sqlite3_stmt* S_ = nullptr;
};

// BEGIN IMMEDIATE takes the write lock at once, so two gateways on one file serialise their
// claims; rolled back unless committed.
class TTransaction {
 public:
  explicit TTransaction(sqlite3* Db) : Db_(Db) { Exec(Db_, "BEGIN IMMEDIATE"); }
  ~TTransaction() {
    if (!Done_) sqlite3_exec(Db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    Exec(Db_, "COMMIT");
    Done_ = true;
  }

 private:
  sqlite3* Db_;
  bool Done_ = false;
};

// Each entry brings the schema from the version before it to its own.
const char* const kMigrations[] = {
    // 1
    "CREATE TABLE outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, recipient TEXT NOT NULL, body TEXT NOT NULL,"
    " report INTEGER NOT NULL, validity INTEGER NOT NULL, status INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0,"
    " error TEXT NOT NULL DEFAULT '', modem TEXT NOT NULL DEFAULT '', lease_until INTEGER NOT NULL DEFAULT 0,"
    " due INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX outbox_due ON outbox(status, due, id);"
    "CREATE TABLE parts(message INTEGER NOT NULL REFERENCES outbox(id), reference INTEGER NOT NULL,"
    " modem TEXT NOT NULL, delivered INTEGER);"
    "CREATE INDEX parts_reference ON parts(modem, reference);"
    "CREATE TABLE inbox(id INTEGER PRIMARY KEY AUTOINCREMENT, modem TEXT NOT NULL, sender TEXT NOT NULL,"
    " body TEXT NOT NULL, stamp INTEGER NOT NULL, UNIQUE(modem, sender, stamp, body));",
};

class TSQLiteStore : public TStore {
 public:
  explicit TSQLiteStore(const std::string& Path) {
    if (sqlite3_open_v2(Path.c_str(), &Db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
      std::string m = Db_ ? sqlite3_errmsg(Db_) : "out of memory";
      sqlite3_close(Db_);
      throw EStoreError("Cannot open the store " + Path + ": " + m);
    }
    try {
      sqlite3_busy_timeout(Db_, 10000);
      Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA foreign_keys=ON");
      Migrate();
    } catch (...) {
      sqlite3_close(Db_);
      throw;
    }
  }
  ~TSQLiteStore() override { sqlite3_close(Db_); }

  int64_t Queue(const std::string& To, const std::string& Text, bool Report, int ValidityMinutes) override {
    TStatement s(Db_, "INSERT INTO outbox(recipient, body, report, validity, status) VALUES(?, ?, ?, ?, 0)");
    s.Bind(1, To).Bind(2, Text).Bind(3, Report ? 1 : 0).Bind(4, ValidityMinutes).Step();
    return sqlite3_last_insert_rowid(Db_);
  }

  std::optional<TOutgoing> Claim(const std::string& Modem, TTime Now, std::chrono::seconds Lease) override {
    TTransaction t(Db_);
    TStatement pick(Db_, "SELECT id FROM outbox WHERE status = 0 AND due <= ? ORDER BY due, id LIMIT 1");
    if (!pick.Bind(1, Ms(Now)).Step()) return std::nullopt;
    int64_t id = pick.Int(0);
    TStatement take(Db_,
                    "UPDATE outbox SET status = 1, modem = ?, lease_until = ?, attempts = attempts + 1 WHERE id = ?");
    take.Bind(1, Modem).Bind(2, Ms(Now + Lease)).Bind(3, id).Step();
    t.Commit();
    return Get(id);
  }

  void MarkSent(int64_t Id, const std::vector<int>& References) override {
    TTransaction t(Db_);
    TStatement s(Db_, "UPDATE outbox SET status = 2, error = '', lease_until = 0 WHERE id = ?");
    s.Bind(1, Id).Step();
    for (int r : References) {
      TStatement p(Db_, "INSERT INTO parts(message, reference, modem) SELECT id, ?, modem FROM outbox WHERE id = ?");
      p.Bind(1, r).Bind(2, Id).Step();
    }
    t.Commit();
  }

  void MarkFailed(int64_t Id, const std::string& Error, bool Retry, TTime NextTry) override {
    TStatement s(Db_, "UPDATE outbox SET status = ?, error = ?, due = ?, lease_until = 0 WHERE id = ?");
    s.Bind(1, Retry ? msQueued : msFailed).Bind(2, Error).Bind(3, Ms(NextTry)).Bind(4, Id).Step();
  }

  int ExpireClaims(TTime Now) override {
    TStatement s(Db_, "UPDATE outbox SET status = 6, error = 'unknown, may have been sent' "
                      "WHERE status = 1 AND lease_until < ?");
    s.Bind(1, Ms(Now)).Step();
    return sqlite3_changes(Db_);
  }

  void ReleaseClaims(const std::string& Modem) override {
    TStatement s(Db_, "UPDATE outbox SET status = 0, modem = '', lease_until = 0, attempts = attempts - 1 "
                      "WHERE status = 1 AND modem = ?");
    s.Bind(1, Modem).Step();
  }

  std::optional<TOutgoing> Get(int64_t Id) override {
    TStatement s(Db_, "SELECT id, recipient, body, report, validity, status, attempts, error, modem FROM outbox WHERE id = ?");
    if (!s.Bind(1, Id).Step()) return std::nullopt;
    TOutgoing m;
    m.Id = s.Int(0);
    m.To = s.Text(1);
    m.Text = s.Text(2);
    m.Report = s.Int(3) != 0;
    m.ValidityMinutes = static_cast<int>(s.Int(4));
    m.Status = static_cast<TMessageStatus>(s.Int(5));
    m.Attempts = static_cast<int>(s.Int(6));
    m.Error = s.Text(7);
    m.Modem = s.Text(8);
    TStatement p(Db_, "SELECT reference FROM parts WHERE message = ? ORDER BY rowid");
    p.Bind(1, Id);
    while (p.Step()) m.References.push_back(static_cast<int>(p.Int(0)));
    return m;
  }

  int QueueDepth() override {
    TStatement s(Db_, "SELECT COUNT(*) FROM outbox WHERE status IN (0, 1)");
    s.Step();
    return static_cast<int>(s.Int(0));
  }

  bool StoreIncoming(const std::string& Modem, const std::string& From, const std::string& Text,
                     int64_t Stamp) override {
    TStatement s(Db_, "INSERT OR IGNORE INTO inbox(modem, sender, body, stamp) VALUES(?, ?, ?, ?)");
    s.Bind(1, Modem).Bind(2, From).Bind(3, Text).Bind(4, Stamp).Step();
    return sqlite3_changes(Db_) == 1;
  }

  std::vector<TIncoming> Inbox(int64_t AfterId) override {
    TStatement s(Db_, "SELECT id, modem, sender, body, stamp FROM inbox WHERE id > ? ORDER BY id");
    s.Bind(1, AfterId);
    std::vector<TIncoming> r;
    while (s.Step()) r.push_back({s.Int(0), s.Text(1), s.Text(2), s.Text(3), s.Int(4)});
    return r;
  }

  bool MatchReport(const std::string& Modem, int Reference, bool Delivered) override {
    TTransaction t(Db_);
    // The newest part with this reference that waits for its report: references wrap at 256.
    TStatement find(Db_, "SELECT rowid, message FROM parts WHERE modem = ? AND reference = ? AND delivered IS NULL "
                         "ORDER BY rowid DESC LIMIT 1");
    if (!find.Bind(1, Modem).Bind(2, Reference).Step()) return false;
    int64_t part = find.Int(0), message = find.Int(1);
    TStatement mark(Db_, "UPDATE parts SET delivered = ? WHERE rowid = ?");
    mark.Bind(1, Delivered ? 1 : 0).Bind(2, part).Step();
    TStatement pending(Db_, "SELECT COUNT(*) FROM parts WHERE message = ? AND delivered IS NULL");
    pending.Bind(1, message).Step();
    if (pending.Int(0) == 0) {
      TStatement failed(Db_, "SELECT COUNT(*) FROM parts WHERE message = ? AND delivered = 0");
      failed.Bind(1, message).Step();
      TStatement done(Db_, "UPDATE outbox SET status = ? WHERE id = ?");
      done.Bind(1, failed.Int(0) == 0 ? msDelivered : msUndelivered).Bind(2, message).Step();
    }
    t.Commit();
    return true;
  }

 private:
  void Exec(const char* Sql) { Gateway::Exec(Db_, Sql); }

  void Migrate() {
    TTransaction t(Db_);
    Exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
    TStatement v(Db_, "SELECT MAX(version) FROM schema_version");
    v.Step();
    Version_ = static_cast<int>(v.Int(0));
    const int latest = static_cast<int>(std::size(kMigrations));
    if (Version_ > latest)
      throw EStoreError("The store has schema version " + std::to_string(Version_) + "; this program knows " +
                        std::to_string(latest));
    for (; Version_ < latest; ++Version_) {
      Exec(kMigrations[Version_]);
      TStatement up(Db_, "INSERT INTO schema_version(version) VALUES(?)");
      up.Bind(1, Version_ + 1).Step();
    }
    t.Commit();
  }

  sqlite3* Db_ = nullptr;
};

}  // namespace

std::unique_ptr<TStore> OpenSQLiteStore(const std::string& Path) { return std::make_unique<TSQLiteStore>(Path); }

}  // namespace Halyard::Gateway

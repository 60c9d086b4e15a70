// The store's SQLite connection: WAL mode, so readers never wait for the writer.
#include <sqlite3.h>

#include <unordered_map>

#include "halyard/gateway/SqlStore.h"

namespace Halyard::Gateway {

namespace {

class TSQLite : public TSqlConnection {
 public:
  explicit TSQLite(const std::string& Path) {
    if (sqlite3_open_v2(Path.c_str(), &Db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
      std::string m = Db_ ? sqlite3_errmsg(Db_) : "out of memory";
      sqlite3_close(Db_);
      throw EStoreError("Cannot open the store " + Path + ": " + m);
    }
    try {
      // Another gateway's claim holds the write lock for a moment only.
      sqlite3_busy_timeout(Db_, 10000);
      Query("PRAGMA journal_mode=WAL");
      Query("PRAGMA foreign_keys=ON");
      Query("PRAGMA synchronous=NORMAL");  // durable in WAL mode across a crash of the process
    } catch (...) {
      for (auto& [sql, s] : Prepared_) sqlite3_finalize(s);
      sqlite3_close(Db_);
      throw;
    }
  }
  ~TSQLite() override {
    for (auto& [sql, s] : Prepared_) sqlite3_finalize(s);
    sqlite3_close(Db_);
  }

  const char* Kind() const override { return "sqlite"; }

  std::vector<TSqlRow> Query(const std::string& Sql, const std::vector<TSqlValue>& Params) override {
    sqlite3_stmt* s = Prepare(Sql);
    // Ready for its next use however this one ends.
    struct TReset {
      sqlite3_stmt* S;
      ~TReset() {
        sqlite3_reset(S);
        sqlite3_clear_bindings(S);
      }
    } reset{s};
    for (size_t i = 0; i < Params.size(); ++i) {
      int rc;
      if (auto* v = std::get_if<int64_t>(&Params[i])) {
        rc = sqlite3_bind_int64(s, static_cast<int>(i + 1), *v);
      } else {
        const auto& t = std::get<std::string>(Params[i]);
        rc = sqlite3_bind_text(s, static_cast<int>(i + 1), t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      }
      if (rc != SQLITE_OK) Fail("bind", Sql);
    }
    std::vector<TSqlRow> rows;
    for (;;) {
      int rc = sqlite3_step(s);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Fail("step", Sql);
      TSqlRow row;
      for (int c = 0, n = sqlite3_column_count(s); c < n; ++c) {
        auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
        if (p) row.emplace_back(std::string(p, static_cast<size_t>(sqlite3_column_bytes(s, c))));
        else row.emplace_back(std::nullopt);
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }
  int64_t Changes() override { return sqlite3_changes(Db_); }
  void Begin() override { Query("BEGIN IMMEDIATE"); }
  void Commit() override { Query("COMMIT"); }
  void Rollback() noexcept override { sqlite3_exec(Db_, "ROLLBACK", nullptr, nullptr, nullptr); }
  const char* ForUpdate() const override { return ""; }

 private:
  std::vector<TSqlRow> Query(const char* Sql) { return Query(std::string(Sql), {}); }
  // The store's statements are few and run again and again: each is compiled once.
  sqlite3_stmt* Prepare(const std::string& Sql) {
    if (auto it = Prepared_.find(Sql); it != Prepared_.end()) return it->second;
    if (Prepared_.size() >= 128) {
      for (auto& [sql, s] : Prepared_) sqlite3_finalize(s);
      Prepared_.clear();
    }
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(Db_, Sql.c_str(), static_cast<int>(Sql.size()), &s, nullptr) != SQLITE_OK) {
      sqlite3_finalize(s);
      Fail("prepare", Sql);
    }
    Prepared_.emplace(Sql, s);
    return s;
  }
  [[noreturn]] void Fail(const char* What, const std::string& Sql) {
    throw EStoreError(std::string("SQLite ") + What + ": " + sqlite3_errmsg(Db_) + " (" + Sql + ")");
  }
  sqlite3* Db_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> Prepared_;
};

}  // namespace

std::unique_ptr<TSqlConnection> ConnectSQLite(const std::string& Path) { return std::make_unique<TSQLite>(Path); }

}  // namespace Halyard::Gateway

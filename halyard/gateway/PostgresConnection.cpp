// The store's PostgreSQL connection through libpq. A connection lost (the server restarted) is
// made again before the next statement; a statement that failed with it raises, and the caller
// repeats it later.
#include "halyard/gateway/SqlStore.h"

#ifdef HALYARD_HAVE_POSTGRES
#include <libpq-fe.h>
#endif

namespace Halyard::Gateway {

#ifdef HALYARD_HAVE_POSTGRES

namespace {

class TPostgres : public TSqlConnection {
 public:
  explicit TPostgres(const std::string& ConnInfo) : Conn_(PQconnectdb(ConnInfo.c_str())) {
    if (!Conn_ || PQstatus(Conn_) != CONNECTION_OK) {
      std::string m = Conn_ ? PQerrorMessage(Conn_) : "out of memory";
      PQfinish(Conn_);
      throw EStoreError("Cannot connect to PostgreSQL: " + Trimmed(m));
    }
    Quiet();
  }
  ~TPostgres() override { PQfinish(Conn_); }

  const char* Kind() const override { return "postgresql"; }

  std::vector<TSqlRow> Query(const std::string& Sql, const std::vector<TSqlValue>& Params) override {
    if (PQstatus(Conn_) != CONNECTION_OK && !InTransaction_) {
      PQreset(Conn_);
      Quiet();
    }
    // "?" becomes "$n": the statements hold no question marks of their own.
    std::string sql;
    int n = 0;
    for (char c : Sql) {
      if (c == '?') sql += "$" + std::to_string(++n);
      else sql += c;
    }
    std::vector<std::string> text;
    text.reserve(Params.size());
    for (auto& p : Params)
      text.push_back(std::holds_alternative<int64_t>(p) ? std::to_string(std::get<int64_t>(p)) : std::get<std::string>(p));
    std::vector<const char*> values;
    for (auto& t : text) values.push_back(t.c_str());
    PGresult* r = PQexecParams(Conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0);
    struct TClear {
      PGresult* R;
      ~TClear() { PQclear(R); }
    } clear{r};
    auto status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      throw EStoreError("PostgreSQL: " + Trimmed(PQerrorMessage(Conn_)) + " (" + Sql + ")");
    const char* changed = PQcmdTuples(r);
    Changes_ = changed && *changed ? std::stoll(changed) : 0;
    std::vector<TSqlRow> rows;
    for (int i = 0, rowsN = PQntuples(r); i < rowsN; ++i) {
      TSqlRow row;
      for (int c = 0, cols = PQnfields(r); c < cols; ++c) {
        if (PQgetisnull(r, i, c)) row.emplace_back(std::nullopt);
        else row.emplace_back(std::string(PQgetvalue(r, i, c), static_cast<size_t>(PQgetlength(r, i, c))));
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }
  int64_t Changes() override { return Changes_; }
  void Begin() override {
    Query("BEGIN", {});
    InTransaction_ = true;
  }
  void Commit() override {
    InTransaction_ = false;
    Query("COMMIT", {});
  }
  void Rollback() noexcept override {
    InTransaction_ = false;
    PQclear(PQexec(Conn_, "ROLLBACK"));
  }
  const char* ForUpdate() const override { return " FOR UPDATE SKIP LOCKED"; }
  void LockFeed() override { Query("SELECT pg_advisory_xact_lock(7274617)", {}); }

 private:
  static std::string Trimmed(std::string m) {
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    return m;
  }
  // The server's notices ("relation exists, skipping") are not the service's business.
  void Quiet() {
    PQsetNoticeProcessor(Conn_, [](void*, const char*) {}, nullptr);
  }
  PGconn* Conn_;
  int64_t Changes_ = 0;
  bool InTransaction_ = false;
};

}  // namespace

bool PostgresAvailable() { return true; }
std::unique_ptr<TSqlConnection> ConnectPostgres(const std::string& ConnInfo) {
  return std::make_unique<TPostgres>(ConnInfo);
}

#else

bool PostgresAvailable() { return false; }
std::unique_ptr<TSqlConnection> ConnectPostgres(const std::string&) {
  throw EStoreError("This gateway was built without PostgreSQL (Debian: libpq-dev)");
}

#endif

}  // namespace Halyard::Gateway

#pragma once
// What the store asks of a database: statements with "?" parameters, rows as text, write
// transactions, and the few words in which SQLite and PostgreSQL differ.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "halyard/gateway/SmsStore.h"

namespace Halyard::Gateway {

using TSqlValue = std::variant<int64_t, std::string>;
using TSqlRow = std::vector<std::optional<std::string>>;  // nullopt: NULL

class TSqlConnection {
 public:
  virtual ~TSqlConnection() = default;
  virtual const char* Kind() const = 0;
  // Rows of a statement; a statement without rows gives none. Raises EStoreError.
  virtual std::vector<TSqlRow> Query(const std::string& Sql, const std::vector<TSqlValue>& Params = {}) = 0;
  // Rows changed by the last statement.
  virtual int64_t Changes() = 0;
  // A write transaction: SQLite takes its write lock at once, so claims of several processes
  // serialise; PostgreSQL locks rows with ForUpdate().
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;
  // Appended to the claim's SELECT.
  virtual const char* ForUpdate() const = 0;
  // Within a write transaction: no other writer of the event feed (or of the schema) until it
  // ends, so that ids are given in commit order. SQLite's write transaction is that lock already.
  virtual void LockFeed() {}
};

std::unique_ptr<TSqlConnection> ConnectSQLite(const std::string& Path);
std::unique_ptr<TSqlConnection> ConnectPostgres(const std::string& ConnInfo);
// The store on a connection: one implementation of its rules for every database.
std::unique_ptr<TStore> MakeSqlStore(std::unique_ptr<TSqlConnection> Db);

}  // namespace Halyard::Gateway

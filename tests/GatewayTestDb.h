#pragma once
// A fresh database for a gateway test: an SQLite file in a temporary folder, or a database of
// its own on the PostgreSQL server named by HALYARD_TEST_POSTGRES or by the tests' private
// cluster (tests/pg_cluster.sh). Dropped again afterwards.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "halyard/gateway/SqlStore.h"

namespace Halyard::Gateway {

class TTestDatabase {
 public:
  // nullptr when the kind cannot be had here (WhyNot says why).
  static std::unique_ptr<TTestDatabase> Make(const std::string& Kind) {
    auto d = std::unique_ptr<TTestDatabase>(new TTestDatabase);
    char tmpl[] = "/tmp/halyard-gw-XXXXXX";
    if (!::mkdtemp(tmpl)) return nullptr;
    d->Dir_ = tmpl;
    if (Kind == "sqlite") {
      d->Where_ = (d->Dir_ / "gateway.db").string();
      return d;
    }
    std::string server = Server();
    if (server.empty() || !PostgresAvailable()) return nullptr;
    static std::atomic<int> n{0};
    d->Name_ = "halyard_t" + std::to_string(::getpid()) + "_" + std::to_string(n++);
    ConnectPostgres(server)->Query("CREATE DATABASE " + d->Name_);
    d->Server_ = server;
    d->Where_ = server + " dbname=" + d->Name_;
    return d;
  }
  static std::string WhyNot(const std::string& Kind) {
    if (Kind != "postgresql") return "cannot make a temporary folder";
    if (!PostgresAvailable()) return "built without PostgreSQL (libpq-dev)";
    return "no PostgreSQL server: set HALYARD_TEST_POSTGRES or install postgresql for the private cluster";
  }
  // The server's connection string, without a database name of its own.
  static std::string Server() {
    if (const char* e = std::getenv("HALYARD_TEST_POSTGRES"); e && *e) return e;
    std::ifstream f(std::string(HALYARD_BINARY_DIR) + "/test-postgres/conninfo");
    std::string line;
    std::getline(f, line);
    return line;
  }
  ~TTestDatabase() {
    if (!Name_.empty()) {
      try {
        ConnectPostgres(Server_)->Query("DROP DATABASE IF EXISTS " + Name_ + " WITH (FORCE)");
      } catch (const std::exception&) {
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(Dir_, ec);
  }
  const std::string& Where() const { return Where_; }
  const std::filesystem::path& Dir() const { return Dir_; }

 private:
  TTestDatabase() = default;
  std::filesystem::path Dir_;
  std::string Where_, Name_, Server_;
};

}  // namespace Halyard::Gateway

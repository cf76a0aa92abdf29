#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dbupdate/sql_connection.h"

namespace zepr {

struct SqlSessionOptions {
  // The ODBC driver: a library path or a registered driver name. Empty: DefaultOdbcDriver().
  std::string driver;
  int login_timeout_s = 15;
  // A batch that the server has not finished after this long fails (0: no limit).
  int query_timeout_s = 600;
};

// SqlConnection over ODBC, DSN-less. Text passes through the driver's wide functions (UTF-16,
// the one form every driver manager implements), so script text keeps its Croatian letters.
class SqlSession : public SqlConnection {
 public:
  explicit SqlSession(SqlSessionOptions options = {});
  ~SqlSession() override;
  SqlSession(const SqlSession&) = delete;
  SqlSession& operator=(const SqlSession&) = delete;

  void Open(const ConnectionItems& items) override;
  void Close() override;
  std::vector<SqlRow> Query(const std::string& sql) override;
  void Execute(const std::string& sql) override;

  bool IsOpen() const;

 private:
  struct Handles;
  SqlSessionOptions options_;
  std::unique_ptr<Handles> handles_;
};

// The ODBC connection string for the items; every value is braced. The keys follow the driver:
// FreeTDS (a name or library path with "tds" in it) gets the port apart, TDS 7.4 and UTF-8;
// the SQL Server drivers take "host,port" as it is, and those that encrypt by default (from
// version 18) are told to encrypt only where the server asks, as every older client did.
// Raises UpdateError for a value that the driver cannot read back (one holding "};").
std::string OdbcConnectionString(const ConnectionItems& items, const std::string& driver);

// Wraps a value in braces the way the FreeTDS driver reads them back.
std::string OdbcBrace(const std::string& value);

// The driver's message without the "[vendor][component]" tags in front of it.
std::string StripDiagnosticTags(const std::string& message);

// The driver to use when none is configured. Linux: the FreeTDS driver, a library path when
// one of the usual ones exists, else the registered name. Windows: ChooseOdbcDriver of the
// installed drivers.
std::string DefaultOdbcDriver();

// The names of the drivers the driver manager lists; empty when it cannot be asked.
std::vector<std::string> ListOdbcDrivers();

// Of the listed drivers: the newest "ODBC Driver <n> for SQL Server", else "SQL Server", else
// "FreeTDS" (how Wine lists the host's driver); "SQL Server" when none of them is listed, so
// that the failure names the driver that is missing. Names match without regard to case.
std::string ChooseOdbcDriver(const std::vector<std::string>& listed);

}  // namespace zepr

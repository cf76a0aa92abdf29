#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dbupdate/sql_connection.h"

namespace zepr {

struct SqlSessionOptions {
  // The ODBC driver: a library path or a registered driver name. Empty: the FreeTDS driver
  // found in the usual library folders.
  std::string driver;
  int login_timeout_s = 15;
  // A batch that the server has not finished after this long fails (0: no limit).
  int query_timeout_s = 600;
};

// SqlConnection over ODBC and the FreeTDS driver: DSN-less, TDS 7.4, UTF-8 on the client side
// so script text keeps its Croatian letters.
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

// The ODBC connection string for the items; every value is braced. Raises UpdateError for a
// value that the driver cannot read back (one holding "};").
std::string OdbcConnectionString(const ConnectionItems& items, const std::string& driver);

// Wraps a value in braces the way the FreeTDS driver reads them back.
std::string OdbcBrace(const std::string& value);

// The driver's message without the "[vendor][component]" tags in front of it.
std::string StripDiagnosticTags(const std::string& message);

// The FreeTDS ODBC driver of this machine: a library path when one of the usual ones exists,
// else the registered name.
std::string DefaultOdbcDriver();

}  // namespace zepr

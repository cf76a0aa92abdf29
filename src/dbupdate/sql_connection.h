#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zepr {

// The four items of a database connection, as the command line delivers them.
struct ConnectionItems {
  std::string server;  // "host", "host,port" or "host\instance"
  std::string user;
  std::string password;
  std::string database;
};

// A date-time as the server and the file system give it: a calendar value without a time
// zone (both sides are local time). Orders by its fields.
struct SqlDateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  auto operator<=>(const SqlDateTime&) const = default;
};

// Reads "YYYY-MM-DD hh:mm:ss[.fff]" (the time and the fraction may be missing);
// nullopt for anything else.
std::optional<SqlDateTime> ParseSqlDateTime(std::string_view text);

// One row of a result: column names with their values as text (nullopt is NULL).
class SqlRow {
 public:
  SqlRow() = default;
  SqlRow(std::vector<std::pair<std::string, std::optional<std::string>>> columns)
      : columns_(std::move(columns)) {}

  void Add(std::string name, std::optional<std::string> value) {
    columns_.emplace_back(std::move(name), std::move(value));
  }
  // Columns are found by name, ignoring ASCII case; a missing column raises UpdateError
  // "Field '<name>' not found".
  std::optional<std::string> Text(std::string_view column) const;
  // The column as a date-time; NULL is nullopt, a value that is no date-time raises.
  std::optional<SqlDateTime> DateTime(std::string_view column) const;
  bool Has(std::string_view column) const;

  const std::vector<std::pair<std::string, std::optional<std::string>>>& columns() const {
    return columns_;
  }

 private:
  const std::optional<std::string>* Find(std::string_view column) const;

  std::vector<std::pair<std::string, std::optional<std::string>>> columns_;
};

// The database as the run and the SQL runner use it: one connection at a time, plain SQL
// batches only (values are quoted into the text with SqlLiteral). Every failure raises
// UpdateError carrying the server's message text.
class SqlConnection {
 public:
  virtual ~SqlConnection() = default;

  // Closes the current connection, if any, and connects with the items.
  virtual void Open(const ConnectionItems& items) = 0;
  virtual void Close() = 0;
  // Runs a query and returns all its rows (the first result set).
  virtual std::vector<SqlRow> Query(const std::string& sql) = 0;
  // Runs a batch that returns no rows.
  virtual void Execute(const std::string& sql) = 0;

  // The first row, nullopt when the result is empty.
  std::optional<SqlRow> QueryFirstRow(const std::string& sql);
};

// "Provider=SQLOLEDB.1;Password=...;Persist Security Info=True;User ID=...;Initial Catalog=
// ...;Data Source=..." for display and logs; the password is masked unless asked for.
std::string ConnectionDisplayText(const ConnectionItems& items, bool show_password = false);

}  // namespace zepr

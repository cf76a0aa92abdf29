#include "dbupdate/sql_connection.h"

#include "core/errors.h"
#include "core/text.h"

namespace zepr {

namespace {

bool ReadNumber(std::string_view text, size_t& pos, size_t digits, int& out) {
  if (pos + digits > text.size()) return false;
  const auto value = ParseDecimal<int>(text.substr(pos, digits));
  if (!value) return false;
  out = *value;
  pos += digits;
  return true;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::optional<SqlDateTime> ParseSqlDateTime(std::string_view text) {
  SqlDateTime t;
  size_t pos = 0;
  if (!ReadNumber(text, pos, 4, t.year) || !Expect(text, pos, '-') ||
      !ReadNumber(text, pos, 2, t.month) || !Expect(text, pos, '-') ||
      !ReadNumber(text, pos, 2, t.day)) {
    return std::nullopt;
  }
  if (pos < text.size()) {
    if (!Expect(text, pos, ' ') || !ReadNumber(text, pos, 2, t.hour) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, t.minute) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, t.second)) {
      return std::nullopt;
    }
    if (pos < text.size()) {
      if (!Expect(text, pos, '.')) return std::nullopt;
      // Any number of fraction digits; milliseconds are kept.
      std::string_view fraction = text.substr(pos);
      if (fraction.empty() || fraction.find_first_not_of("0123456789") != fraction.npos) {
        return std::nullopt;
      }
      std::string ms(fraction.substr(0, 3));
      ms.resize(3, '0');
      t.millisecond = ParseDecimal<int>(ms).value_or(0);
    }
  }
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 ||
      t.second > 59) {
    return std::nullopt;
  }
  return t;
}

const std::optional<std::string>* SqlRow::Find(std::string_view column) const {
  for (const auto& [name, value] : columns_) {
    if (EqualsAsciiNoCase(name, column)) return &value;
  }
  return nullptr;
}

bool SqlRow::Has(std::string_view column) const { return Find(column) != nullptr; }

std::optional<std::string> SqlRow::Text(std::string_view column) const {
  const auto* value = Find(column);
  if (!value) throw UpdateError("Field '" + std::string(column) + "' not found");
  return *value;
}

std::optional<SqlDateTime> SqlRow::DateTime(std::string_view column) const {
  auto text = Text(column);
  if (!text) return std::nullopt;
  auto t = ParseSqlDateTime(*text);
  if (!t) throw UpdateError("'" + *text + "' is not a valid date and time");
  return t;
}

std::optional<SqlRow> SqlConnection::QueryFirstRow(const std::string& sql) {
  auto rows = Query(sql);
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
}

std::string ConnectionDisplayText(const ConnectionItems& items, bool show_password) {
  std::string password = show_password || items.password.empty() ? items.password : "*****";
  return "Provider=SQLOLEDB.1;Password=" + password +
         ";Persist Security Info=True;User ID=" + items.user +
         ";Initial Catalog=" + items.database + ";Data Source=" + items.server;
}

}  // namespace zepr

#include "dbupdate/sql_session.h"

#include <algorithm>
#include <optional>

#include "core/errors.h"
#include "core/text.h"
#include "dbupdate/odbc_text.h"
#include "odbc_api.h"

namespace zepr {

namespace {

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the wide ODBC functions take UTF-16");

// Text for a wide ODBC function: UTF-16 in the driver manager's own character type.
std::vector<SQLWCHAR> ToOdbc(std::string_view text) {
  const std::u16string wide = Utf8ToUtf16(text);
  std::vector<SQLWCHAR> out(wide.begin(), wide.end());
  out.push_back(0);
  return out;
}

std::string FromOdbc(const SQLWCHAR* text, size_t length) {
  return Utf16ToUtf8(std::u16string(text, text + length));
}

// One ODBC handle and its release.
class OdbcHandle {
 public:
  OdbcHandle() = default;
  OdbcHandle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
    if (!Succeeded(SQLAllocHandle(type, parent, &handle_))) {
      handle_ = SQL_NULL_HANDLE;
      throw UpdateError("Cannot allocate an ODBC handle");
    }
  }
  ~OdbcHandle() { Reset(); }
  OdbcHandle(OdbcHandle&& other) noexcept : type_(other.type_), handle_(other.handle_) {
    other.handle_ = SQL_NULL_HANDLE;
  }
  OdbcHandle& operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      type_ = other.type_;
      handle_ = other.handle_;
      other.handle_ = SQL_NULL_HANDLE;
    }
    return *this;
  }
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;

  void Reset() {
    if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, handle_);
    handle_ = SQL_NULL_HANDLE;
  }
  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }
  explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// The failure text of a handle: the server's own message when there is one (it carries a
// native error number), else the driver's first message.
std::string DiagnosticText(const OdbcHandle& handle, const std::string& fallback) {
  std::string first;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6];
    SQLINTEGER native = 0;
    SQLWCHAR text[4096];
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(handle.type(), handle.get(), i, state, &native, text,
                                  std::size(text), &length);
    if (!Succeeded(rc)) break;
    // The length counts characters, also of a message that did not fit.
    std::string message = StripDiagnosticTags(
        FromOdbc(text, std::clamp<size_t>(static_cast<size_t>(length), 0, std::size(text) - 1)));
    if (native != 0) return message;
    if (first.empty()) first = message;
  }
  return first.empty() ? fallback : first;
}

void Check(SQLRETURN rc, const OdbcHandle& handle, const char* what) {
  if (Succeeded(rc) || rc == SQL_NO_DATA) return;
  throw UpdateError(DiagnosticText(handle, what));
}

}  // namespace

struct SqlSession::Handles {
  OdbcHandle env;
  OdbcHandle dbc;
  bool connected = false;

  ~Handles() { Disconnect(); }
  void Disconnect() {
    if (connected) SQLDisconnect(dbc.get());
    connected = false;
    dbc.Reset();
  }
};

SqlSession::SqlSession(SqlSessionOptions options)
    : options_(std::move(options)), handles_(std::make_unique<Handles>()) {
  if (options_.driver.empty()) options_.driver = DefaultOdbcDriver();
}

SqlSession::~SqlSession() = default;

bool SqlSession::IsOpen() const { return handles_->connected; }

void SqlSession::Close() { handles_->Disconnect(); }

void SqlSession::Open(const ConnectionItems& items) {
  Close();
  if (!handles_->env) {
    OdbcHandle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    Check(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION,
                        reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
          env, "Cannot set the ODBC version");
    handles_->env = std::move(env);
  }
  OdbcHandle dbc(SQL_HANDLE_DBC, handles_->env.get());
  SQLSetConnectAttrW(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(options_.login_timeout_s)),
                     0);
  std::vector<SQLWCHAR> text = ToOdbc(OdbcConnectionString(items, options_.driver));
  SQLRETURN rc = SQLDriverConnectW(dbc.get(), nullptr, text.data(), SQL_NTS, nullptr, 0, nullptr,
                                   SQL_DRIVER_NOPROMPT);
  Check(rc, dbc, "Cannot connect to the database server");
  handles_->dbc = std::move(dbc);
  handles_->connected = true;
}

namespace {

OdbcHandle RunStatement(SQLHANDLE dbc, const std::string& sql, int timeout_s) {
  OdbcHandle stmt(SQL_HANDLE_STMT, dbc);
  SQLSetStmtAttrW(stmt.get(), SQL_ATTR_QUERY_TIMEOUT,
                  reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_s)), 0);
  std::vector<SQLWCHAR> text = ToOdbc(sql);
  SQLRETURN rc = SQLExecDirectW(stmt.get(), text.data(), SQL_NTS);
  // SQL_NO_DATA: a statement without a row count, which is success.
  Check(rc, stmt, "The statement failed");
  return stmt;
}

// Steps through the remaining results so that an error in a later statement of the batch is
// seen, and the server is never left with an unread reply.
void DrainResults(const OdbcHandle& stmt) {
  for (;;) {
    SQLRETURN rc = SQLMoreResults(stmt.get());
    if (rc == SQL_NO_DATA) return;
    Check(rc, stmt, "The statement failed");
  }
}

std::optional<std::string> ReadText(const OdbcHandle& stmt, SQLUSMALLINT column) {
  // Gathered whole before the conversion: a piece may end inside a surrogate pair.
  std::u16string value;
  SQLWCHAR buffer[2048];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt.get(), column, SQL_C_WCHAR, buffer, sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    Check(rc, stmt, "Cannot read a column");
    if (indicator == SQL_NULL_DATA) return std::nullopt;
    // The indicator counts bytes; a piece that did not fit leaves room for the terminator.
    if (rc == SQL_SUCCESS_WITH_INFO &&
        (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer))) {
      value.append(buffer, buffer + std::size(buffer) - 1);  // truncated: more follows
      continue;
    }
    value.append(buffer, buffer + static_cast<size_t>(indicator) / sizeof(SQLWCHAR));
    break;
  }
  return Utf16ToUtf8(value);
}

}  // namespace

std::vector<SqlRow> SqlSession::Query(const std::string& sql) {
  if (!handles_->connected) throw UpdateError("Connection is not open");
  OdbcHandle stmt = RunStatement(handles_->dbc.get(), sql, options_.query_timeout_s);
  std::vector<SqlRow> rows;
  // The first result that has columns is the query's; statements before it may have none.
  for (;;) {
    SQLSMALLINT count = 0;
    Check(SQLNumResultCols(stmt.get(), &count), stmt, "Cannot read the result");
    if (count > 0) {
      std::vector<std::string> names;
      for (SQLUSMALLINT c = 1; c <= count; ++c) {
        SQLWCHAR name[256];
        SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        Check(SQLDescribeColW(stmt.get(), c, name, std::size(name), &length, &type, &size, &digits,
                              &nullable),
              stmt, "Cannot read the result");
        names.push_back(FromOdbc(
            name, std::clamp<size_t>(static_cast<size_t>(length), 0, std::size(name) - 1)));
      }
      for (;;) {
        SQLRETURN rc = SQLFetch(stmt.get());
        if (rc == SQL_NO_DATA) break;
        Check(rc, stmt, "Cannot read the result");
        SqlRow row;
        for (SQLUSMALLINT c = 1; c <= count; ++c) row.Add(names[c - 1], ReadText(stmt, c));
        rows.push_back(std::move(row));
      }
      break;
    }
    SQLRETURN rc = SQLMoreResults(stmt.get());
    if (rc == SQL_NO_DATA) return rows;
    Check(rc, stmt, "The statement failed");
  }
  DrainResults(stmt);
  return rows;
}

void SqlSession::Execute(const std::string& sql) {
  if (!handles_->connected) throw UpdateError("Connection is not open");
  OdbcHandle stmt = RunStatement(handles_->dbc.get(), sql, options_.query_timeout_s);
  DrainResults(stmt);
}

std::string OdbcBrace(const std::string& value) {
  // The FreeTDS driver takes a braced value as it stands, up to the first "}" that is
  // followed by ";" or the end; it does not undo doubled braces. A value holding "};"
  // cannot be passed and would smuggle further keys into the string.
  if (value.find("};") != std::string::npos) {
    throw UpdateError("A connection value may not contain \"};\"");
  }
  return "{" + value + "}";
}

namespace {

bool IsFreeTdsDriver(const std::string& driver) {
  return AsciiUpper(driver).find("TDS") != std::string::npos;
}

// n of "ODBC Driver <n> for SQL Server"; nullopt for any other name.
std::optional<int> MicrosoftDriverVersion(const std::string& driver) {
  constexpr std::string_view kPrefix = "ODBC DRIVER ";
  constexpr std::string_view kSuffix = " FOR SQL SERVER";
  const std::string name = AsciiUpper(driver);
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return std::nullopt;
  const std::string_view number =
      std::string_view(name).substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  return ParseDecimal<int>(number);
}

}  // namespace

std::string OdbcConnectionString(const ConnectionItems& items, const std::string& driver) {
  std::string text = "DRIVER=" + OdbcBrace(driver);
  if (!IsFreeTdsDriver(driver)) {
    // "host,port" and "host\instance" are the SQL Server drivers' own forms.
    text += ";SERVER=" + OdbcBrace(items.server);
    text += ";UID=" + OdbcBrace(items.user) + ";PWD=" + OdbcBrace(items.password);
    if (!items.database.empty()) text += ";DATABASE=" + OdbcBrace(items.database);
    if (MicrosoftDriverVersion(driver).value_or(0) >= 18) text += ";Encrypt=Optional";
    return text;
  }
  std::string host = items.server;
  std::string port;
  // "host,port" names the port; "host\instance" is looked up by the driver.
  if (auto comma = host.find(','); comma != std::string::npos) {
    port = host.substr(comma + 1);
    host = host.substr(0, comma);
  }
  text += ";SERVER=" + OdbcBrace(host);
  if (!port.empty()) text += ";PORT=" + OdbcBrace(port);
  text += ";UID=" + OdbcBrace(items.user) + ";PWD=" + OdbcBrace(items.password);
  if (!items.database.empty()) text += ";DATABASE=" + OdbcBrace(items.database);
  text += ";TDS_Version=7.4;ClientCharset=UTF-8";
  return text;
}

std::string StripDiagnosticTags(const std::string& message) {
  size_t pos = 0;
  while (pos < message.size() && message[pos] == '[') {
    size_t end = message.find(']', pos);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return message.substr(pos);
}

std::vector<std::string> ListOdbcDrivers() {
  std::vector<std::string> drivers;
  try {
    OdbcHandle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    if (!Succeeded(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION,
                                 reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
      return drivers;
    }
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
      SQLWCHAR name[512];
      SQLWCHAR attributes[2048];
      SQLSMALLINT name_length = 0, attributes_length = 0;
      const SQLRETURN rc = SQLDriversW(env.get(), direction, name, std::size(name), &name_length,
                                       attributes, std::size(attributes), &attributes_length);
      if (!Succeeded(rc)) break;
      drivers.push_back(FromOdbc(
          name, std::clamp<size_t>(static_cast<size_t>(name_length), 0, std::size(name) - 1)));
      direction = SQL_FETCH_NEXT;
    }
  } catch (const UpdateError&) {
    // No driver manager to ask: nothing listed.
  }
  return drivers;
}

std::string ChooseOdbcDriver(const std::vector<std::string>& listed) {
  std::optional<std::string> newest;
  int newest_version = -1;
  for (const auto& driver : listed) {
    const auto version = MicrosoftDriverVersion(driver);
    if (version && *version > newest_version) {
      newest = driver;
      newest_version = *version;
    }
  }
  if (newest) return *newest;
  for (const char* fallback : {"SQL Server", "FreeTDS"}) {
    for (const auto& driver : listed) {
      if (EqualsAsciiNoCase(driver, fallback)) return driver;
    }
  }
  return "SQL Server";
}

}  // namespace zepr

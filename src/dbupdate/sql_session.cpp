#include "dbupdate/sql_session.h"

#include <sql.h>
#include <sqlext.h>

#include <filesystem>

#include "core/errors.h"

namespace zepr {

namespace {

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

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
    SQLCHAR state[6];
    SQLINTEGER native = 0;
    SQLCHAR text[4096];
    SQLSMALLINT length = 0;
    SQLRETURN rc =
        SQLGetDiagRec(handle.type(), handle.get(), i, state, &native, text, sizeof text, &length);
    if (!Succeeded(rc)) break;
    std::string message(reinterpret_cast<char*>(text), std::min<size_t>(length, sizeof text - 1));
    message = StripDiagnosticTags(message);
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
  SQLSetConnectAttr(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(options_.login_timeout_s)),
                    0);
  std::string text = OdbcConnectionString(items, options_.driver);
  SQLRETURN rc = SQLDriverConnect(dbc.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                  static_cast<SQLSMALLINT>(text.size()), nullptr, 0, nullptr,
                                  SQL_DRIVER_NOPROMPT);
  Check(rc, dbc, "Cannot connect to the database server");
  handles_->dbc = std::move(dbc);
  handles_->connected = true;
}

namespace {

OdbcHandle RunStatement(SQLHANDLE dbc, const std::string& sql, int timeout_s) {
  OdbcHandle stmt(SQL_HANDLE_STMT, dbc);
  SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT,
                 reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_s)), 0);
  std::string text = sql;
  SQLRETURN rc = SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()),
                               static_cast<SQLINTEGER>(text.size()));
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
  std::string value;
  char buffer[4096];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt.get(), column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    Check(rc, stmt, "Cannot read a column");
    if (indicator == SQL_NULL_DATA) return std::nullopt;
    if (rc == SQL_SUCCESS_WITH_INFO &&
        (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer))) {
      value.append(buffer, sizeof buffer - 1);  // truncated: more follows
      continue;
    }
    value.append(buffer, static_cast<size_t>(indicator));
    break;
  }
  return value;
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
        SQLCHAR name[256];
        SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        Check(SQLDescribeCol(stmt.get(), c, name, sizeof name, &length, &type, &size, &digits,
                             &nullable),
              stmt, "Cannot read the result");
        names.emplace_back(reinterpret_cast<char*>(name),
                           std::min<size_t>(length, sizeof name - 1));
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

std::string OdbcConnectionString(const ConnectionItems& items, const std::string& driver) {
  std::string host = items.server;
  std::string port;
  // "host,port" names the port; "host\instance" is looked up by the driver.
  if (auto comma = host.find(','); comma != std::string::npos) {
    port = host.substr(comma + 1);
    host = host.substr(0, comma);
  }
  std::string text = "DRIVER=" + OdbcBrace(driver) + ";SERVER=" + OdbcBrace(host);
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

std::string DefaultOdbcDriver() {
  for (const char* path :
       {"/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so",
        "/usr/lib/aarch64-linux-gnu/odbc/libtdsodbc.so",
        "/usr/lib/i386-linux-gnu/odbc/libtdsodbc.so", "/usr/lib/odbc/libtdsodbc.so",
        "/usr/lib64/libtdsodbc.so.0", "/usr/local/lib/libtdsodbc.so"}) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) return path;
  }
  return "FreeTDS";
}

}  // namespace zepr

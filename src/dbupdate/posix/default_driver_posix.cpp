#include <filesystem>

#include "dbupdate/sql_session.h"

namespace zepr {

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

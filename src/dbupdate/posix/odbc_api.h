#pragma once

// The ODBC declarations of unixODBC. Its SQLWCHAR is 16 bits, as on Windows.
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#pragma once

// The ODBC declarations of the Windows SDK, which build on the types of windows.h.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h:
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include "dbupdate/sql_session.h"

namespace zepr {

std::string DefaultOdbcDriver() { return ChooseOdbcDriver(ListOdbcDrivers()); }

}  // namespace zepr

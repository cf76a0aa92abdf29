#include "core/run_params.h"

#include "core/errors.h"

namespace zepr {

const std::string& RunParams::ConnectionItem(size_t i) const {
  if (i >= ConnectionList.size()) {
    throw UpdateError("List index out of bounds (" + std::to_string(i) + ")");
  }
  return ConnectionList[i];
}

}  // namespace zepr

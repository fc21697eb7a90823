#include "util/system_error.h"

#include "util/reason.h"

namespace kanade {

std::string LastSystemError() {
  return SystemReason({}).Line();
}

}  // namespace kanade

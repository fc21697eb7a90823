#include <unistd.h>

#include "util/process_rights.h"

namespace kanade {

bool RunsElevated() {
  return ::geteuid() == 0;
}

}  // namespace kanade

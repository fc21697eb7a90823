#include "repos/outcomes.h"

namespace kanade {

void ModuleTally::Add(ModuleResult result) {
  switch (result) {
    case ModuleResult::kCurrent:
      ++Current;
      break;
    case ModuleResult::kWritten:
      ++Written;
      break;
    case ModuleResult::kRemoved:
      ++Removed;
      break;
    case ModuleResult::kFailed:
      ++Failed;
      break;
    case ModuleResult::kRefused:
      ++Refused;
      break;
  }
}

void ModuleTally::Add(const ModuleTally& other) {
  Current += other.Current;
  Written += other.Written;
  Removed += other.Removed;
  Failed += other.Failed;
  Refused += other.Refused;
}

}  // namespace kanade

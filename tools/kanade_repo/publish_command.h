// kanade-repo publish: a release from translation trees and program builds
// to the served folder, checked afterwards.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kanade {

/// Runs the command with its MODE=FOLDER operands and its options (by name,
/// "--dry-run" with an empty value); returns the exit status.
int Publish(const std::vector<std::string>& operands,
            const std::map<std::string, std::string>& options);

}  // namespace kanade

// Runs the built kanade-repo as a publisher does, capturing what it says.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kanade::test {

struct Outcome {
  int Status = -1;
  std::string Out;
  std::string Err;
};

/// Runs the tool with `arguments`, under `wrapper` (such as setpriv) when
/// one is given.
Outcome RunTool(const std::vector<std::string>& arguments,
                const std::vector<std::string>& wrapper = {});

/// Runs the tool with `arguments` and sends it `signal` as soon as `ready`
/// (asked every millisecond) holds; Status is 128 + the signal when the
/// signal ended it.
Outcome RunToolAndSignal(const std::vector<std::string>& arguments,
                         const std::function<bool()>& ready, int signal);

/// Exactly one line on stderr in the tool's own voice, mentioning
/// `mentions`, nothing on stdout, and exit status `status`.
void ExpectOneComplaint(const Outcome& outcome, int status, const std::string& mentions);

}  // namespace kanade::test

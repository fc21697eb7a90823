// A PAC script's answer, as Windows itself takes it: the whole list, tried
// in order, DIRECT included. The script runs in a process of its own (the
// program started with kProxyScriptArgument), which is ended when it takes
// too long: a script that never ends must not leave a thread spinning.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kanade {

/// The first argument that starts the program as a PAC script's evaluator.
inline constexpr std::string_view kProxyScriptArgument = "--kanade-proxy-script";

/// The evaluator's work, in its own process: reads a URL's line and then
/// the script on standard input, prints "PAC " and the script's answer for
/// the URL on standard output, or "NONE" when the system cannot run scripts
/// so; the exit status is 0 on an answer.
int RunProxyScript();

#ifdef _WIN32
/// What became of asking a script.
struct ScriptAnswer {
  std::optional<std::string> Pac;  // the raw answer ("PROXY a:1; DIRECT")
  bool Unsupported = false;        // no script engine to run it with: ask WinHTTP
  bool Late = false;               // ended at the deadline
  std::string Failure;             // why there is no answer
};

/// Runs `script` (its text) for `url` in a process of its own, which is
/// ended at `deadline` if it has not answered by then.
ScriptAnswer AskScriptProcess(const std::string& script, std::string_view url,
                              std::chrono::steady_clock::time_point deadline);

/// The first of `proxies` (libcurl's proxy URLs, "" for DIRECT) that takes
/// a connection within a moment, each; `passed` gets those that did not.
/// The first one when none does.
std::string FirstAnswering(const std::vector<std::string>& proxies, std::string* passed);
#endif

}  // namespace kanade

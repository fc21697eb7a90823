// Where the repository server is, and the repository files it publishes.
#pragma once

#include <string>
#include <string_view>

namespace kanade {

/// "https://" + the built-in host, or KANADE_REPOSITORY_URL when that is set
/// (scheme, host and optional port; a trailing "/" is dropped).
std::string RepositoryBaseUrl();

/// The host (and port) of RepositoryBaseUrl(), as the about text names it.
std::string RepositoryHostName();

/// Server paths and local names of the repositories a run fetches.
#ifdef _WIN32
inline constexpr std::string_view kOwnRepositoryPath = "/repos/kanade-patcher-win.repo";
#else
inline constexpr std::string_view kOwnRepositoryPath = "/repos/kanade-patcher-linux.repo";
#endif
inline constexpr std::string_view kOwnRepositoryName = "kanade-patcher.repo";
inline constexpr std::string_view kLuaRepositoryName = "kanade-lua.repo";

/// The localisation modes a player may choose, in lower case, in the order
/// a run fetches their repositories.
inline constexpr std::string_view kLocalisationModes[] = {"kanade-conv-test", "kanade-test",
                                                          "kanade-prefixed"};

/// Whether `mode` (in lower case) is one of kLocalisationModes.
bool IsLocalisationMode(std::string_view mode);

/// The local name of a localisation mode's repository ("kanade-test" ->
/// "kanade-test.repo") and its server path ("/repos/kanade-test.repo").
std::string RepositoryNameOfMode(std::string_view mode);
std::string RepositoryPathOf(std::string_view local_name);

/// The name a repository file carries in its NAME line: its server file name
/// without ".repo" ("kanade-patcher.repo" -> "kanade-patcher-win" on Windows).
std::string PublishedNameOf(std::string_view local_name);

}  // namespace kanade

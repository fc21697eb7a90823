// Signed repository texts for tests, made with the digest functions alone.
#pragma once

#include <string>
#include <string_view>

namespace kanade::test {

/// "module=" + path + TAB + url + TAB + digest + LF.
std::string ModuleLineText(std::string_view path, std::string_view url, std::string_view digest);

/// "SIGN=<signature>" + LF + `lines`, signed so that it verifies.
std::string SignedRepositoryText(std::string_view lines);

/// Writes `text` as the local repository `name` in ReposFolder().
void WriteLocalRepository(std::string_view name, std::string_view text);

}  // namespace kanade::test

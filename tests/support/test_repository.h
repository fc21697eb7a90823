// Repository texts for tests: as the publisher publishes them (both
// signature layers, by the key the build trusts) or as old publishers did
// (the SIGN line alone).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kanade_repo/secret_key.h"

namespace kanade::test {

/// "module=" + path + TAB + url + TAB + digest + LF.
std::string ModuleLineText(std::string_view path, std::string_view url, std::string_view digest);

/// The secret key of the build's trusted publisher key (see tests/CMakeLists.txt).
const SecretKey& TestPublisherKey();

/// NAME `name`, SERIAL `serial` and `lines`, signed in both layers by
/// TestPublisherKey() (or by `key`).
std::string PublishedRepositoryText(std::string_view name, std::string_view lines,
                                    std::int64_t serial = 1, const SecretKey* key = nullptr);

/// "SIGN=<signature>" + LF + `lines`, as publishers signed before keys.
std::string SignedRepositoryText(std::string_view lines);

/// Writes `text` as the local repository `name` in ReposFolder().
void WriteLocalRepository(std::string_view name, std::string_view text);

}  // namespace kanade::test

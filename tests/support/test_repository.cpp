#include "support/test_repository.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "kanade_repo/repository_signing.h"
#include "repos/repository_fetch.h"
#include "repos/sha256.h"
#include "support/temp_dir.h"
#include "util/path.h"

namespace kanade::test {

std::string ModuleLineText(std::string_view path, std::string_view url, std::string_view digest) {
  return "module=" + std::string(path) + "\t" + std::string(url) + "\t" + std::string(digest) +
         "\n";
}

const SecretKey& TestPublisherKey() {
  static const SecretKey key = [] {
    const std::string path = KANADE_TEST_SECRET_KEY;
    const auto text = ReadFileBytes(path);
    const auto parsed = text ? ParseSecretKeyFile(*text) : std::nullopt;
    if (!parsed) {
      ADD_FAILURE() << "no secret key for the build's trusted publisher key at \"" << path
                    << "\"; configure with -DKANADE_PUBLISHER_KEYS=$(bash scripts/test-keys.sh "
                       "BUILD_DIR)";
      return SecretKey{};
    }
    return *parsed;
  }();
  return key;
}

std::string PublishedRepositoryText(std::string_view name, std::string_view lines,
                                    std::int64_t serial, const SecretKey* key) {
  std::string problem;
  const auto text = SignRepositoryWithKey(lines, key != nullptr ? *key : TestPublisherKey(),
                                          std::string(name), serial, &problem);
  EXPECT_TRUE(text.has_value()) << problem;
  return text.value_or("");
}

std::string SignedRepositoryText(std::string_view lines) {
  const std::string unsigned_text = "SIGN=0\n" + std::string(lines);
  return "SIGN=" + Sha256OfText(unsigned_text) + "\n" + std::string(lines);
}

void WriteLocalRepository(std::string_view name, std::string_view text) {
  WriteFile(LocalRepositoryPath(name), text);
}

}  // namespace kanade::test

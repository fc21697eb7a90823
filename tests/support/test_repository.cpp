#include "support/test_repository.h"

#include "repos/repository_fetch.h"
#include "repos/sha256.h"
#include "support/temp_dir.h"

namespace kanade::test {

std::string ModuleLineText(std::string_view path, std::string_view url, std::string_view digest) {
  return "module=" + std::string(path) + "\t" + std::string(url) + "\t" + std::string(digest) +
         "\n";
}

std::string SignedRepositoryText(std::string_view lines) {
  const std::string unsigned_text = "SIGN=0\n" + std::string(lines);
  return "SIGN=" + Sha256OfText(unsigned_text) + "\n" + std::string(lines);
}

void WriteLocalRepository(std::string_view name, std::string_view text) {
  WriteFile(LocalRepositoryPath(name), text);
}

}  // namespace kanade::test

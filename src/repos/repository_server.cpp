#include "repos/repository_server.h"

#include <cstdlib>

#include "util/text.h"

namespace kanade {

std::string RepositoryBaseUrl() {
  const char* override_url = std::getenv("KANADE_REPOSITORY_URL");
  if (override_url != nullptr && *override_url != '\0') {
    std::string url = override_url;
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
  }
  return std::string("https://") + KANADE_REPOSITORY_HOST;
}

std::string RepositoryHostName() {
  const std::string url = RepositoryBaseUrl();
  std::string rest = url.find("://") == std::string::npos ? url : TextAfter(url, "://");
  return TextBefore(rest, "/");
}

bool IsLocalisationMode(std::string_view mode) {
  for (const std::string_view known : kLocalisationModes) {
    if (mode == known) return true;
  }
  return false;
}

std::string RepositoryNameOfMode(std::string_view mode) {
  return std::string(mode) + ".repo";
}

std::string RepositoryPathOf(std::string_view local_name) {
  return "/repos/" + std::string(local_name);
}

std::string PublishedNameOf(std::string_view local_name) {
  const std::string_view server_file =
      local_name == kOwnRepositoryName
          ? kOwnRepositoryPath.substr(kOwnRepositoryPath.rfind('/') + 1)
          : local_name;
  return std::string(EndsWith(server_file, ".repo") ? server_file.substr(0, server_file.size() - 5)
                                                    : server_file);
}

}  // namespace kanade

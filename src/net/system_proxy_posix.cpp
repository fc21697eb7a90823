// Linux has no proxy setting of its own beyond the environment variables,
// which libcurl reads itself.
#include "net/proxy_script.h"
#include "net/system_proxy.h"

namespace kanade {

void StartSystemProxyLookup(std::string_view) {}

bool SystemProxyDecided() {
  return true;
}

std::optional<SystemProxySettings> AwaitSystemProxySettings() {
  return std::nullopt;
}

int RunProxyScript() {
  return 2;  // no PAC scripts here
}

}  // namespace kanade

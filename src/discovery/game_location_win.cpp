// The user's profile folder from the shell.
#include <shlobj.h>
#include <windows.h>

#include "discovery/game_location.h"
#include "util/path.h"
#include "util/utf.h"

namespace kanade {

std::string PlatformUserProfileFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return {};
  }
  std::string folder = Narrow(buffer);
  if (folder.empty()) return {};
  if (folder.back() != '\\' && folder.back() != '/') folder += PathSeparator;
  return folder;
}

std::string ProfileFolderBesideGame(std::string_view /*game_folder*/) {
  return {};
}

}  // namespace kanade

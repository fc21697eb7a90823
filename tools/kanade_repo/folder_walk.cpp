#include "folder_walk.h"

#include <vector>

#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace fs = std::filesystem;

void WalkFolderTree(
    const fs::path& root, const std::function<bool(const TreeEntry&)>& visit,
    const std::function<void(const fs::path&, const std::error_code&)>& unreadable) {
  std::vector<fs::path> pending = {root};
  while (!pending.empty()) {
    const fs::path reading = pending.back();
    pending.pop_back();
    std::error_code list_error;
    auto it = fs::directory_iterator(reading, list_error);
    for (; !list_error && it != fs::directory_iterator(); it.increment(list_error)) {
      TreeEntry entry;
      entry.Full = it->path();
      entry.Relative = Utf8Path(entry.Full.lexically_relative(root));
#ifdef _WIN32
      entry.Relative = ReplaceAll(entry.Relative, "\\", "/");
#endif
      entry.Kind = it->symlink_status(entry.KindError).type();
      if (visit(entry) && entry.Kind == fs::file_type::directory) pending.push_back(entry.Full);
    }
    if (list_error) unreadable(reading, list_error);
  }
}

}  // namespace kanade

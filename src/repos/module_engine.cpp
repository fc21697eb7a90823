#include "repos/module_engine.h"

#include <cstdio>
#include <optional>
#include <string>

#include "repos/http_client.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/responsiveness.h"
#include "util/path.h"

namespace kanade {

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// "..", and what Windows turns into it by dropping trailing dots and spaces.
bool IsParentSegment(std::string_view segment) {
  int dots = 0;
  for (const char c : segment) {
    if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

std::string DirectoryPart(std::string_view path) {
  const auto last = path.find_last_of("\\/");
  return last == std::string_view::npos ? std::string() : std::string(path.substr(0, last + 1));
}

// Writes the body beside the target and renames it over the target, so that
// a failure leaves the old file as it was and no partial file behind.
// Read-only files are refused explicitly: root ignores permission bits.
bool WriteModuleFile(const std::string& path, const std::string& body) {
  if (IsReadOnlyFile(path) || IsDirectory(path)) return false;
  const std::string temporary = TemporaryPathBeside(path);
  std::FILE* file = OpenFile(temporary, "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(body.data(), 1, body.size(), file) == body.size();
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  if (ok) ok = ReplaceFileWith(temporary, path);
  if (!ok) RemoveFile(temporary);
  return ok;
}

class ModuleLine {
 public:
  ModuleLine(std::string_view head, const std::string& path) : text_(std::string(head) + path) {
    index_ = AddConsoleLine(text_, kWhite);
  }
  void Show(std::string_view text) const { SetConsoleLineText(text, index_); }
  void Append(std::string_view word) const { Show(text_ + std::string(word)); }
  bool Succeed() const {
    Append(" 成功");
    SetConsoleLineColour(kGreen, index_);
    return true;
  }
  bool Fail(std::string_view word) const {
    Append(word);
    SetConsoleLineColour(kRed, index_);
    return false;
  }

 private:
  std::string text_;
  int index_ = 0;
};

bool InstallModule(const ModuleEntry& entry, const std::string& full_path,
                   std::string_view target_folder) {
  if (IsFile(full_path) && !entry.Sha256.empty() && Sha256OfFile(full_path) == entry.Sha256) {
    return false;
  }
  const ModuleLine line("- 更新: ", full_path);
  const std::optional<DownloadHandle> handle = StartMemoryDownload(entry.Url);
  if (!handle) return line.Fail(" ダウンロード失敗");
  while (true) {
    const DownloadProgress progress = PollDownload(*handle);
    switch (progress.Status) {
      case DownloadStatus::Succeeded: {
        const std::optional<std::string> body = FinishDownload(*handle);
        if (!body) return line.Fail(" ダウンロード失敗");
        if (Sha256OfBytes(body->data(), body->size()) != entry.Sha256) {
          return line.Fail(" ハッシュ不一致");
        }
        line.Append(" " + std::to_string(body->size()));
        EnsureDirectoryTree(DirectoryPart(full_path), target_folder);
        if (!WriteModuleFile(full_path, *body)) return line.Fail(" 書込失敗");
        return line.Succeed();
      }
      case DownloadStatus::Failed:
        FinishDownload(*handle);
        return line.Fail(" ダウンロード失敗");
      case DownloadStatus::Aborted:
        FinishDownload(*handle);
        return line.Fail(" ダウンロード中止");
      case DownloadStatus::InProgress:
        line.Show("- 更新中: " + full_path + " " + std::to_string(progress.BytesReceived));
        KeepResponsive();
        // Wakes as soon as the transfer ends; small files cost no full period.
        WaitForDownload(*handle, kDownloadPollMs);
        break;
    }
  }
}

bool RemoveModule(const std::string& full_path) {
  if (!IsFile(full_path)) return false;
  const ModuleLine line("- 削除: ", full_path);
  if (IsReadOnlyFile(full_path) || !RemoveFile(full_path)) return line.Fail(" 失敗");
  return line.Succeed();
}

}  // namespace

bool IsContainedModulePath(std::string_view relative) {
  if (relative.empty() || IsSeparator(relative.front())) return false;
  if (relative.find('\0') != std::string_view::npos) return false;
  const auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (relative.size() >= 2 && is_letter(relative[0]) && relative[1] == ':') return false;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = start;
    while (end < relative.size() && !IsSeparator(relative[end])) ++end;
    if (IsParentSegment(relative.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

bool ProcessModuleLine(const RepositoryLine& line, std::string_view action,
                       std::string_view target_folder) {
  const std::optional<ModuleEntry> entry = ParseModuleLine(line);
  if (!entry) return false;
  const bool install = action == kActionInstall;
  if (!install && action != kActionUninstall) return false;
  const std::string relative = DownloadPrefix + entry->RelativePath;
  const std::string full_path = std::string(target_folder) + std::string(PathSeparator) + relative;
  // A path that would leave the target folder is refused before anything is
  // read, written or deleted.
  if (!IsContainedModulePath(entry->RelativePath) || !IsContainedModulePath(relative)) {
    AddConsoleLine(std::string(install ? "- 更新: " : "- 削除: ") + full_path + " 拒否", kRed);
    return false;
  }
  return install ? InstallModule(*entry, full_path, target_folder) : RemoveModule(full_path);
}

}  // namespace kanade

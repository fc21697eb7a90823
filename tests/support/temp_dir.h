// A fresh folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>
#include <string_view>

namespace kanade::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The folder, without trailing separator.
  const std::string& path() const { return path_; }
  /// path() + "/" + relative.
  std::string operator/(std::string_view relative) const;

 private:
  std::string path_;
};

/// Writes bytes to a file, creating its folders.
void WriteFile(const std::string& path, std::string_view bytes);
/// The file's bytes, or "<missing>" when it cannot be read.
std::string ReadFile(const std::string& path);
/// The bytes, modification time and link count of the file at `path` (a
/// link followed) as one text: equal texts mean the file was not touched.
std::string Fingerprint(const std::string& path);

/// The user "nobody": another user than the tests' own.
inline constexpr unsigned kNobody = 65534;

/// What someone else who may write a folder plants at `path`, pointing at
/// `outside` where a link is planted.
enum class Plant { kSymlink, kDanglingSymlink, kHardLink, kFifo, kFolder };
void PlantAt(Plant plant, const std::string& path, const std::string& outside);

/// Makes a file read-only (no write bit) or writable again.
void SetReadOnly(const std::string& path, bool read_only);

/// Puts program state and console back to start and points ProgramFolder at
/// `folder` (with trailing separator).
void ResetForTest(const std::string& folder);

}  // namespace kanade::test

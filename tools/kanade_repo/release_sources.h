// What a release publishes: the files of a translation tree and the
// program's builds, with their digests and sizes. Names are checked with the
// patcher's own rules here, so that nothing reaches players that every client
// would refuse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/reason.h"

namespace kanade {

/// A failure as one line for the publisher. `Mismatch` marks a served tree
/// that does not hold what it should; otherwise the input could not be read
/// or used.
struct PublishError {
  Reason Text;
  bool Mismatch = false;
};

struct SourceFile {
  std::string Path;    // the module path, "/" between folders
  std::string File;    // where its bytes are read from
  std::string Digest;  // SHA-256 digest text
  std::uint64_t Size = 0;
};

/// Every file below `folder`, sorted by path (byte order). Refuses symbolic
/// links, anything but files and folders, folders it cannot read, and names
/// that the patcher refuses, that a repository line cannot hold, that are not
/// UTF-8 or that differ only in case (one file on Windows): nothing, with
/// one line in `problems` for each of them. `skip` (may be empty) names a
/// file to leave out, such as a repository written into the folder.
std::optional<std::vector<SourceFile>> ReadTranslationTree(std::string_view folder,
                                                           std::vector<std::string>* problems,
                                                           std::string_view skip = {});

enum class ProgramKind { kWindows, kLinux };

struct ProgramBuild {
  SourceFile File;
  bool Authenticode = false;  // a Windows build that carries a signature
};

/// The program build in `file` as the module "kanade.exe" (Windows, a PE
/// file) or "kanade" (Linux, an ELF file); refused when it is not such a
/// program, so that a mixed-up build never reaches a self-upgrade.
std::optional<ProgramBuild> ReadProgramBuild(std::string_view file, ProgramKind kind,
                                             PublishError* error);

}  // namespace kanade

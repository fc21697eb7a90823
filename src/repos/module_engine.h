// The module update engine: the lines of a repository against a target
// folder. Installing looks ahead through the lines and keeps as many
// downloads running as the line carries (net/flight_window.h), each
// streamed into an exclusive temporary file beside its target and hashed as
// it arrives; the console still shows every module's lines in file order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/curl_transfer.h"
#include "repos/engine_sink.h"
#include "repos/outcomes.h"
#include "repos/repository_format.h"

namespace kanade {

/// How long the engine waits for a download between two looks at it.
inline constexpr int kDownloadPollMs = 100;

/// Where a module's body may already lie on this machine, such as the
/// running program for its own listed build: a file open for reading that
/// should hold the body of `digest` (and `size`, when the line gives one),
/// or null. The engine copies it instead of downloading, hashing as it
/// copies, and keeps the copy only when it has the digest.
using LocalBodySource = std::FILE* (*)(std::string_view digest, std::optional<std::uint64_t> size);
/// Installs `source`; nullptr (the default) always downloads.
void SetLocalBodySource(LocalBodySource source);

/// Who holds `path`, a file below `folder` that could not be replaced or
/// removed, for the reason the log gives: such as "in use by NAME (process
/// N)", or empty. It leaves the system's last error as it found it.
using FileHolderLookup = std::string (*)(std::string_view path, std::string_view folder);
/// Installs `lookup`; nullptr (the default) names nobody.
void SetFileHolderLookup(FileHolderLookup lookup);

/// Carries out `lines` in order in `target_folder` (no trailing separator):
/// installing downloads, checks and writes each module's file unless it is
/// current; uninstalling deletes it while it still has the listed digest. A
/// failing line never stops the others. Lines that are no module lines
/// change nothing; module paths that would leave the target
/// folder, cross a link or name what Windows reads as a device or stream are
/// refused, and a line without a digest text fails without a download.
/// Each module's events go to `sink`; `results`, when given, gets what
/// happened per line (nothing where nothing did).
ModuleTally ProcessModuleLines(const std::vector<RepositoryLine>& lines, PatchAction action,
                               std::string_view target_folder, EngineSink& sink,
                               std::vector<std::optional<ModuleResult>>* results = nullptr);

/// The same for one line.
ModuleTally ProcessModuleLine(const RepositoryLine& line, PatchAction action,
                              std::string_view target_folder, EngineSink& sink);

/// Whether carrying out `entries` (a module entry, or nothing, per line)
/// with `action` in `target_folder` would write or remove a file now, as
/// ProcessModuleLines (or, with `recorded` paths that carry their prefix,
/// RemoveRecordedFiles) decides: installing, a module whose file is not
/// current; removing, one whose file still has its digest. Touches nothing.
bool ModulesHaveWork(const std::vector<std::optional<ModuleEntry>>& entries, PatchAction action,
                     std::string_view target_folder, bool recorded = false);

/// Removes the recorded `files` (paths as written, prefix included) from
/// `target_folder`, each only while it still has its digest. Reported as
/// removals; a refused path or one through a link gives a red line only
/// with `say_refusals` (an uninstall), and is passed over without one when
/// clearing up after a release or another mode.
ModuleTally RemoveRecordedFiles(const std::vector<ModuleEntry>& files, bool say_refusals,
                                std::string_view target_folder, EngineSink& sink,
                                std::vector<std::optional<ModuleResult>>* results = nullptr);

/// True when `relative` (the repository's path, without DownloadPrefix)
/// stays inside the folder it is joined to and names the same file on every
/// platform.
bool IsContainedModulePath(std::string_view relative);

/// What names one file: the path's segments joined by "/", in lower case
/// where the file system ignores case (Windows). Two lines with the same
/// key are the same file.
std::string ModulePathKey(std::string_view relative);

}  // namespace kanade

// Fetching repository files from the server into the local repos folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "repos/engine_sink.h"
#include "repos/outcomes.h"
#include "util/contained_folder.h"

namespace kanade {

/// ProgramFolder without its trailing separators, then PathSeparator and
/// "repos". Every local repository file lives directly in it.
std::string ReposFolder();

/// The repos folder, opened without following a link below the program
/// folder; `crossed_link` says whether a link was in the way.
std::optional<ContainedFolder> OpenReposFolder(bool create, bool* crossed_link = nullptr);

/// The local copy of a repository: ReposFolder() + PathSeparator + name.
std::string LocalRepositoryPath(std::string_view local_name);

/// The local copy's bytes, read without following a link below the program
/// folder; nothing when it is missing, a link or a special file.
std::optional<std::string> ReadLocalRepository(std::string_view local_name);

/// Downloads `url` as the local repository `local_name` and checks its
/// signature, telling `sink` when it starts and how it ended. The local copy is replaced only by a
/// file that verifies; a failed or unverified download leaves the previous copy as it was. The copy
/// it verified, new or kept, is what VerifiedCopyOf gives from then on. Failed, with no start
/// (Silent), when the repos folder cannot be created; with one when repos/ is a link, or the local
/// copy a link or special file, as nothing is written through or over those.
FetchOutcome FetchRepository(std::string_view url, std::string_view local_name, EngineSink& sink);

/// Starts the request of a later FetchRepository of `url` now, so that the
/// repository arrives while other work goes on; that fetch then takes it
/// over and reports it at its own moment.
void PrefetchRepository(std::string_view url, std::string_view local_name);

/// Whether the local copy of `local_name` is one that apply would use.
bool HasVerifiedLocalCopy(std::string_view local_name);

/// The bytes of `local_name` that its last fetch in this process verified
/// (signed by a trusted key under its name), nothing when that fetch left
/// no such copy; without a fetch, the local copy read once now and checked.
std::optional<std::string> VerifiedCopyOf(std::string_view local_name);

/// The bytes that lay in repos/ as `local_name` before this run's first
/// fetch of it, whatever they are (signed or not); without a fetch, the
/// local copy now. Nothing when there was none.
std::optional<std::string> EarlierCopyOf(std::string_view local_name);

/// A new run: what earlier fetches verified is fetched again, and the
/// copies they found count as earlier ones.
void ForgetVerifiedCopies();

}  // namespace kanade

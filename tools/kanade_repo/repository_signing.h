// The publisher's side of repository files: signing them and building them
// from a folder of module files. The patcher itself only verifies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "secret_key.h"

namespace kanade {

/// `text` with the value of each SIGN line replaced by the signature, so
/// that VerifyRepositoryText holds for the result. A text without SIGN line
/// first gets "SIGN=0" as its first line, with the text's own line ends.
/// Nothing when the text cannot be signed so that it verifies (a byte-order
/// mark, lone CR line ends, a SIGN line hidden behind an empty line); then
/// `problem`, when given, says why in one short English phrase.
std::optional<std::string> SignRepositoryText(std::string_view text,
                                              std::string* problem = nullptr);

/// `text` signed in both layers with `key`: NAME set to `name` (or kept),
/// SERIAL set to `serial` (or the old one plus one, or 1), old signature
/// lines replaced, then the SIGN line filled in over everything. Nothing
/// when it cannot be signed; then `problem` says why.
std::optional<std::string> SignRepositoryWithKey(std::string_view text, const SecretKey& key,
                                                 const std::optional<std::string>& name,
                                                 const std::optional<std::int64_t>& serial,
                                                 std::string* problem = nullptr);

/// Why `text` does not verify, as one short English phrase for the
/// publisher; empty when it verifies.
std::string DescribeSignatureProblem(std::string_view text);

/// Why `text`, whose SIGN line holds, is no file signed by one of `keys`, as
/// one short English phrase for the publisher; empty when it is.
std::string DescribePublisherProblem(std::string_view text, const std::vector<PublicKey>& keys);

/// `path` for use in a URL: RFC 3986 unreserved characters and "/" are kept,
/// every other byte becomes %XX (upper-case hexadecimal).
std::string PercentEncodePath(std::string_view path);

/// A signed repository text with one module line per file below `folder`,
/// sorted by relative path (byte order): "module=" + path with "/" + TAB +
/// base URL + "/" + percent-encoded path + TAB + digest text, LF line ends,
/// "SIGN=<signature>" first. Trailing "/" of `base_url` are dropped. The
/// folder must pass publish's checks (ReadTranslationTree): no links, no
/// special files, no name that the patcher refuses. `skip_path` (may be
/// empty) names a file to leave out, such as the output file itself. With
/// `size_field` each line ends in TAB + the file's size in bytes. Nothing
/// on failure; then `problems` gets one line for each problem.
std::optional<std::string> BuildRepositoryText(std::string_view folder, std::string_view base_url,
                                               std::string_view skip_path,
                                               std::vector<std::string>* problems,
                                               bool size_field = false);

}  // namespace kanade

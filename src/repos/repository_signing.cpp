#include "repos/repository_signing.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "repos/repository_format.h"
#include "repos/sha256.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// More SIGN lines than this are a mistake, and each one costs the check a
// pass over the whole file.
constexpr std::size_t kMaxSignLines = 16;

constexpr const char* kLoneCrProblem =
    "has lone CR line ends, which the signature check reads as one line; use LF or CR LF";
constexpr const char* kHiddenSignProblem =
    "its SIGN line follows an empty line, where the signature check never looks; remove the "
    "empty lines above it";
constexpr const char* kByteOrderMarkProblem =
    "begins with a UTF-8 byte-order mark, which hides its first line from the patcher; save it "
    "without one";

std::optional<std::string> Fail(std::string* problem, std::string why) {
  if (problem != nullptr) *problem = std::move(why);
  return std::nullopt;
}

std::vector<SignatureLine> SignLinesOf(std::string_view text, std::size_t limit,
                                       bool* too_many = nullptr) {
  std::vector<SignatureLine> lines;
  ScanSignatureLines(text, [&](const SignatureLine& line) {
    if (lines.size() == limit) {
      if (too_many != nullptr) *too_many = true;
      return false;
    }
    lines.push_back(line);
    return true;
  });
  return lines;
}

// Whether a SIGN line stands after the empty line where the check stops.
bool HasHiddenSignLine(std::string_view text) {
  std::size_t from = ScanSignatureLines(text, [](const SignatureLine&) { return true; });
  while (from < text.size()) {
    const std::string_view rest = text.substr(from + 1);  // past the empty line's LF
    bool found = false;
    const std::size_t stop = ScanSignatureLines(rest, [&found](const SignatureLine&) {
      found = true;
      return false;
    });
    if (found) return true;
    from += 1 + stop;
  }
  return false;
}

// The line end of the text's first line; nothing for a lone CR.
std::optional<std::string_view> LineEndStyle(std::string_view text) {
  const auto end = text.find_first_of("\r\n");
  if (end == std::string_view::npos || text[end] == '\n') return Lf;
  if (end + 1 < text.size() && text[end + 1] == '\n') return CrLf;
  return std::nullopt;
}

// The text with every SIGN line rewritten as key + "=" + value, keeping its
// line end and dropping trailing spaces after the old value.
std::string WithSignValues(std::string_view text, const std::vector<SignatureLine>& lines,
                           std::string_view value) {
  std::string out;
  out.reserve(text.size() + lines.size() * (value.size() + 1));
  std::size_t from = 0;
  for (const auto& line : lines) {
    out.append(text.substr(from, line.KeyEnd - from));
    out += '=';
    out.append(value);
    from = line.End;
  }
  out.append(text.substr(from));
  return out;
}

bool BreaksRepositoryLine(std::string_view text) {
  return text.find_first_of("\t\r\n;") != std::string_view::npos;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string RelativeModulePath(const fs::path& file, const fs::path& root) {
  std::string relative = Utf8Path(file.lexically_relative(root));
#ifdef _WIN32
  relative = ReplaceAll(relative, "\\", "/");
#endif
  return relative;
}

}  // namespace

std::optional<std::string> SignRepositoryText(std::string_view text, std::string* problem) {
  if (StartsWith(text, kByteOrderMark)) return Fail(problem, kByteOrderMarkProblem);

  std::string source(text);
  bool too_many = false;
  std::vector<SignatureLine> lines = SignLinesOf(source, kMaxSignLines, &too_many);
  if (too_many) {
    return Fail(problem, "has more than " + std::to_string(kMaxSignLines) + " SIGN lines");
  }
  if (lines.empty()) {
    if (HasHiddenSignLine(source)) return Fail(problem, kHiddenSignProblem);
    const auto line_end = LineEndStyle(source);
    if (!line_end) return Fail(problem, kLoneCrProblem);
    source = "SIGN=0" + std::string(*line_end) + source;
    lines = SignLinesOf(source, kMaxSignLines);
  }
  for (const auto& line : lines) {
    // A CR inside the line means lone CR line ends: the new value would
    // swallow the lines that the patcher reads after that CR.
    const std::string_view whole =
        std::string_view(source).substr(line.Start, line.End - line.Start);
    if (whole.find('\r') != std::string_view::npos) return Fail(problem, kLoneCrProblem);
  }

  // With every SIGN value 0 the check replaces nothing, so the signature is
  // the digest of exactly this text.
  const std::string signature = Sha256OfText(WithSignValues(source, lines, "0"));
  std::string signed_text = WithSignValues(source, lines, signature);
  if (!VerifyRepositoryText(signed_text)) {
    return Fail(problem, "cannot be signed so that it verifies");
  }
  return signed_text;
}

std::string DescribeSignatureProblem(std::string_view text) {
  if (VerifyRepositoryText(text)) return {};
  std::optional<std::string> last_value;
  ScanSignatureLines(text, [&](const SignatureLine& line) {
    last_value =
        ToLowerAscii(TrimSpaces(text.substr(line.ValueStart, line.ValueEnd - line.ValueStart)));
    return true;
  });
  if (!last_value) {
    if (StartsWith(text, kByteOrderMark)) return kByteOrderMarkProblem;
    if (HasHiddenSignLine(text)) return kHiddenSignProblem;
    return "has no SIGN line";
  }
  const bool digest_text = last_value->size() == 64 &&
                           last_value->find_first_not_of("0123456789abcdef") == std::string::npos;
  if (!digest_text) return "its SIGN value is not a SHA-256 digest";
  return "signature does not match the contents";
}

std::string PercentEncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c) || c == '/') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::optional<std::string> BuildRepositoryText(std::string_view folder, std::string_view base_url,
                                               std::string_view skip_path, std::string* problem) {
  std::string base(base_url);
  while (!base.empty() && base.back() == '/') base.pop_back();
  // The patcher ignores every module line whose URL does not begin so.
  if (!StartsWith(base, "http")) {
    return Fail(problem, "base URL must begin with \"http\": " + std::string(base_url));
  }
  if (BreaksRepositoryLine(base)) {
    return Fail(problem, "base URL must not contain TAB, CR, LF or \";\"");
  }
  if (!IsDirectory(folder)) return Fail(problem, std::string(folder) + ": not a folder");

  const fs::path root = FsPath(folder);
  std::error_code ec;
  const bool skip_exists = !skip_path.empty() && fs::exists(FsPath(skip_path), ec);

  std::vector<std::pair<std::string, fs::path>> files;  // relative path, full path
  fs::path reading = root;                              // the folder that the next step opens
  auto it = fs::recursive_directory_iterator(root, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code kind_error;
    reading = it->is_directory(kind_error) ? it->path() : reading;
    if (!it->is_regular_file(kind_error)) continue;
    if (skip_exists && fs::equivalent(it->path(), FsPath(skip_path), kind_error)) continue;
    files.emplace_back(RelativeModulePath(it->path(), root), it->path());
  }
  // A folder left out would silently drop its modules from the repository.
  if (ec) return Fail(problem, "cannot read folder " + Utf8Path(reading) + ": " + ec.message());

  std::sort(files.begin(), files.end());
  std::string text = "SIGN=0\n";
  for (const auto& [relative, full] : files) {
    const std::string full_path = Utf8Path(full);
    if (BreaksRepositoryLine(relative)) {
      return Fail(problem, full_path +
                               ": name contains TAB, CR, LF or \";\", which a module "
                               "line cannot hold");
    }
    const std::string digest = Sha256OfFile(full_path);
    if (digest.empty()) return Fail(problem, "cannot read " + full_path);
    text += "module=";
    text += relative;
    text += Tab;
    text += base;
    text += '/';
    text += PercentEncodePath(relative);
    text += Tab;
    text += digest;
    text += Lf;
  }
  return SignRepositoryText(text, problem);
}

}  // namespace kanade

#include "repository_signing.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "release_sources.h"
#include "repos/repository_format.h"
#include "repos/repository_trust.h"
#include "repos/sha256.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

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

// `text` with a SIGN line (added first when missing) whose value is 0 in
// every SIGN line; the signature layers are computed over this form.
std::optional<std::string> WithZeroSignValues(std::string_view text, std::string* problem) {
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
  return WithSignValues(source, lines, "0");
}

bool IsRepositoryName(std::string_view name) {
  return !name.empty() && name.find_first_not_of(
                              "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                              "abcdefghijklmnopqrstuvwxyz0123456789._-") == std::string_view::npos;
}

struct TextLine {
  std::string_view Body;  // without its line end
  std::string_view End;   // LF, CR LF or nothing (the last line)
};

std::vector<TextLine> LinesWithEnds(std::string_view text) {
  std::vector<TextLine> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto lf = text.find('\n', start);
    const std::size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
    TextLine line{text.substr(start, next - start), {}};
    for (const std::string_view ending : {CrLf, Lf}) {
      if (EndsWith(line.Body, ending)) {
        line.End = line.Body.substr(line.Body.size() - ending.size());
        line.Body.remove_suffix(ending.size());
        break;
      }
    }
    lines.push_back(line);
    start = next;
  }
  return lines;
}

// Sets the NAME and SERIAL lines of `text`: an existing line keeps its place
// and line end, a missing one goes first. Without `serial` the old serial
// grows by one (1 when there is none). Nothing (with `problem`) when the
// values cannot be settled.
std::optional<std::string> WithNameAndSerial(std::string_view text, std::string_view line_end,
                                             const std::optional<std::string>& name,
                                             const std::optional<std::int64_t>& serial,
                                             std::string* problem) {
  const std::vector<TextLine> lines = LinesWithEnds(text);
  std::optional<std::size_t> name_at;
  std::optional<std::size_t> serial_at;
  std::string old_name;
  std::string old_serial;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const RepositoryLine parsed = SplitRepositoryLine(lines[i].Body);
    const bool is_name = parsed.Key == kNameKey;
    if (!is_name && parsed.Key != kSerialKey) continue;
    std::optional<std::size_t>& at = is_name ? name_at : serial_at;
    if (at) return Fail(problem, "has more than one " + parsed.Key + " line");
    at = i;
    (is_name ? old_name : old_serial) = parsed.Value;
  }

  const std::string new_name = name.value_or(old_name);
  if (new_name.empty()) return Fail(problem, "has no NAME line; give the repository's name");
  if (!IsRepositoryName(new_name)) {
    return Fail(problem,
                "NAME \"" + new_name + "\" may hold only letters, digits, \".\", \"_\" and \"-\"");
  }
  std::int64_t new_serial = 1;
  if (serial) {
    new_serial = *serial;
  } else if (serial_at) {
    const auto parsed = ParseSerial(old_serial);
    if (!parsed) return Fail(problem, "its SERIAL \"" + old_serial + "\" is not a serial number");
    if (*parsed == std::numeric_limits<std::int64_t>::max()) {
      return Fail(problem, "its SERIAL cannot grow any further");
    }
    new_serial = *parsed + 1;
  }
  const std::string name_line = std::string(kNameKey) + "=" + new_name;
  const std::string serial_line = std::string(kSerialKey) + "=" + std::to_string(new_serial);

  std::string out;
  out.reserve(text.size() + name_line.size() + serial_line.size() + 4);
  if (!name_at) out += name_line + std::string(line_end);
  if (!serial_at) out += serial_line + std::string(line_end);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == name_at) {
      out += name_line;
    } else if (i == serial_at) {
      out += serial_line;
    } else {
      out.append(lines[i].Body);
    }
    out.append(lines[i].End);
  }
  return out;
}

}  // namespace

std::optional<std::string> SignRepositoryText(std::string_view text, std::string* problem) {
  const auto zeroed = WithZeroSignValues(text, problem);
  if (!zeroed) return std::nullopt;
  std::vector<SignatureLine> lines = SignLinesOf(*zeroed, kMaxSignLines);
  // With every SIGN value 0 the check replaces nothing, so the signature is
  // the digest of exactly this text.
  const std::string signature = Sha256OfText(*zeroed);
  std::string signed_text = WithSignValues(*zeroed, lines, signature);
  if (!VerifyRepositoryText(signed_text)) {
    return Fail(problem, "cannot be signed so that it verifies");
  }
  return signed_text;
}

std::optional<std::string> SignRepositoryWithKey(std::string_view text, const SecretKey& key,
                                                 const std::optional<std::string>& name,
                                                 const std::optional<std::int64_t>& serial,
                                                 std::string* problem) {
  if (StartsWith(text, kByteOrderMark)) return Fail(problem, kByteOrderMarkProblem);
  // Old signature lines go; the new one signs the text as it is now.
  std::string body(text.substr(0, FindSignatureBlock(text).Start));
  const auto line_end = LineEndStyle(body);
  if (!line_end) return Fail(problem, kLoneCrProblem);
  if (!body.empty() && body.back() != '\n') body += *line_end;
  const auto named = WithNameAndSerial(body, *line_end, name, serial, problem);
  if (!named) return std::nullopt;
  const auto message = WithZeroSignValues(*named, problem);
  if (!message) return std::nullopt;
  const std::string signature_line = SignatureLineFor(*message, key);
  if (signature_line.empty()) return Fail(problem, "libsodium cannot sign it");
  const std::string with_signature = *message + signature_line + std::string(*line_end);
  auto signed_text = SignRepositoryText(with_signature, problem);
  if (!signed_text) return std::nullopt;
  if (CheckRepositoryText(*signed_text, {key.Public()}).Trust != RepositoryTrust::kSigned) {
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
  if (!IsDigestText(*last_value)) return "its SIGN value is not a SHA-256 digest";
  return "signature does not match the contents";
}

std::string DescribePublisherProblem(std::string_view text, const std::vector<PublicKey>& keys) {
  const RepositoryCheck check = CheckRepositoryText(text, keys);
  if (check.Trust == RepositoryTrust::kSigned) return {};
  const SignatureBlock block = FindSignatureBlock(text);
  if (block.Entries.empty()) {
    return "no publisher signature: it has only the SIGN line (sign it with --key)";
  }
  for (const SignatureLineEntry& entry : block.Entries) {
    for (const PublicKey& key : keys) {
      if (KeyIdOf(key) == entry.KeyId) {
        return "the publisher signature does not match the contents, or NAME or SERIAL is "
               "missing or malformed";
      }
    }
  }
  return "signed by key " + block.Entries.front().KeyId + ", which is not a trusted key";
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
                                               std::string_view skip_path,
                                               std::vector<std::string>* problems,
                                               bool size_field) {
  const auto refuse = [problems](std::string why) {
    problems->push_back(std::move(why));
    return std::nullopt;
  };
  std::string base(base_url);
  while (!base.empty() && base.back() == '/') base.pop_back();
  // The patcher ignores every module line whose URL does not begin so.
  if (!StartsWith(base, "http")) {
    return refuse("base URL must begin with \"http\": " + std::string(base_url));
  }
  if (BreaksRepositoryLine(base)) return refuse("base URL must not contain TAB, CR, LF or \";\"");
  if (!IsDirectory(folder)) return refuse(std::string(folder) + ": not a folder");

  // The names and files that publish accepts, so that a repository built by
  // hand holds nothing that players would refuse.
  const auto files = ReadTranslationTree(folder, problems, skip_path);
  if (!files) return std::nullopt;
  std::string text = "SIGN=0\n";
  for (const SourceFile& file : *files) {
    text += "module=";
    text += file.Path;
    text += Tab;
    text += base;
    text += '/';
    text += PercentEncodePath(file.Path);
    text += Tab;
    text += file.Digest;
    if (size_field) {
      text += Tab;
      text += std::to_string(file.Size);
    }
    text += Lf;
  }
  std::string problem;
  auto signed_text = SignRepositoryText(text, &problem);
  if (!signed_text) return refuse(problem);
  return signed_text;
}

}  // namespace kanade

#include "repos/repository_format.h"

#include <charconv>
#include <cstdio>
#include <memory>

#include "repos/sha256.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kSignKey = "SIGN";
constexpr std::string_view kModuleKey = "module";

// Each SIGN line replaces its text throughout the file, so a file made of
// millions of SIGN lines would cost millions of passes over itself. Such a
// file is never a real repository: give up on it (it does not verify) once
// the passes have read this much more than the file itself.
constexpr std::size_t kReplaceAllowance = std::size_t{64} * 1024 * 1024;
constexpr std::size_t kReplacePassesPerFileSize = 4;

bool IsSignKey(std::string_view key) {
  return key.size() == kSignKey.size() && ToUpperAscii(key) == kSignKey;
}

std::string_view Slice(std::string_view text, std::size_t from, std::size_t to) {
  return text.substr(from, to - from);
}

}  // namespace

RepositoryLine SplitRepositoryLine(std::string_view raw) {
  const std::string_view line = raw.substr(0, raw.find(';'));
  const auto equals = line.find('=');
  if (equals == std::string_view::npos) return {std::string(line), {}};
  return {std::string(line.substr(0, equals)), std::string(line.substr(equals + 1))};
}

std::size_t ScanSignatureLines(std::string_view text,
                               const std::function<bool(const SignatureLine&)>& visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    const auto lf = text.find('\n', start);
    const std::size_t raw_end = lf == std::string_view::npos ? text.size() : lf;
    // The emptiness test comes before the CRs are removed: with CR LF line
    // ends an empty line is a lone CR and the scan goes on.
    if (raw_end == start) return start;
    std::size_t end = raw_end;
    while (end > start && text[end - 1] == '\r') --end;
    const std::string_view line = Slice(text, start, end);
    const auto equals = line.find('=');
    const std::size_t key_length = equals == std::string_view::npos ? line.size() : equals;
    if (IsSignKey(line.substr(0, key_length))) {
      SignatureLine sign;
      sign.Start = start;
      sign.KeyEnd = start + key_length;
      sign.HasEquals = equals != std::string_view::npos;
      sign.ValueStart = sign.HasEquals ? sign.KeyEnd + 1 : end;
      sign.ValueEnd = end;
      while (sign.ValueEnd > sign.ValueStart && text[sign.ValueEnd - 1] == ' ') --sign.ValueEnd;
      sign.End = end;
      if (!visit(sign)) return start;
    }
    if (lf == std::string_view::npos) return text.size();
    start = lf + 1;
  }
  return text.size();
}

std::optional<std::string> SignCheckedText(std::string_view text) {
  // The last SIGN line gives the expected value. Anything but a digest text
  // can never match, so such files need no replacing and no hashing.
  std::string expected;
  bool signed_file = false;
  ScanSignatureLines(text, [&](const SignatureLine& sign) {
    expected = ToLowerAscii(TrimSpaces(Slice(text, sign.ValueStart, sign.ValueEnd)));
    signed_file = true;
    return true;
  });
  if (!signed_file || !IsDigestText(expected)) return std::nullopt;

  // Every SIGN line's key=value becomes key=0 throughout the text, one line
  // after the other, each working on the result of the one before.
  std::string replaced(text);
  const std::size_t budget = kReplaceAllowance + kReplacePassesPerFileSize * text.size();
  std::size_t spent = 0;
  bool within_budget = true;
  ScanSignatureLines(text, [&](const SignatureLine& sign) {
    const std::string_view key = Slice(text, sign.Start, sign.KeyEnd);
    const std::string_view value = Slice(text, sign.ValueStart, sign.ValueEnd);
    if (value == "0") return true;  // key=0 by key=0 changes nothing
    spent += replaced.size();
    if (spent > budget) {
      within_budget = false;
      return false;
    }
    std::string pattern(key);
    pattern += '=';
    pattern += value;
    std::string replacement(key);
    replacement += "=0";
    replaced = ReplaceAll(replaced, pattern, replacement);
    return true;
  });
  if (!within_budget || Sha256OfText(replaced) != expected) return std::nullopt;
  return replaced;
}

bool VerifyRepositoryText(std::string_view text) {
  return SignCheckedText(text).has_value();
}

bool VerifyRepositoryFile(std::string_view path) {
  if (path.empty() || !IsFile(path)) return false;
  const auto bytes = ReadFileBytes(path);
  if (!bytes) return false;
  return VerifyRepositoryText(*bytes);
}

bool ForEachRepositoryLine(std::string_view path,
                           const std::function<bool(const RepositoryLine&)>& consume) {
  if (!IsFile(path)) return false;
  const UniqueFile file(OpenFile(path, "rb"));
  if (!file) return false;

  std::string line;
  bool after_cr = false;  // an LF right after a CR ends no further line
  std::string chunk(64 * 1024, '\0');
  while (true) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
    std::size_t from = 0;
    for (std::size_t i = 0; i < got; ++i) {
      const char c = chunk[i];
      if (c != '\r' && c != '\n') continue;
      const bool crlf = c == '\n' && after_cr && i == from;
      line.append(chunk, from, i - from);
      from = i + 1;
      after_cr = c == '\r';
      if (crlf) continue;
      const bool go_on = consume(SplitRepositoryLine(line));
      line.clear();
      if (!go_on) return true;
    }
    if (from < got) {
      line.append(chunk, from, got - from);
      after_cr = false;
    }
    if (got < chunk.size()) break;
  }
  if (std::ferror(file.get()) != 0) return false;
  // The last line may lack its line end.
  if (!line.empty()) consume(SplitRepositoryLine(line));
  return true;
}

std::optional<std::vector<RepositoryLine>> ReadRepositoryLines(std::string_view path) {
  std::vector<RepositoryLine> lines;
  const bool read = ForEachRepositoryLine(path, [&lines](const RepositoryLine& line) {
    lines.push_back(line);
    return true;
  });
  if (!read) return std::nullopt;
  return lines;
}

std::optional<ModuleEntry> ParseModuleLine(const RepositoryLine& line) {
  if (TrimSpaces(line.Key).empty()) return std::nullopt;
  if (ToLowerAscii(line.Key) != kModuleKey) return std::nullopt;

  const std::string_view value = line.Value;
  const auto first_tab = value.find('\t');
  const std::string_view path = value.substr(0, first_tab);
  const std::string_view rest =
      first_tab == std::string_view::npos ? std::string_view() : value.substr(first_tab + 1);
  const auto second_tab = rest.find('\t');
  const std::string_view url = rest.substr(0, second_tab);
  const std::string_view hash_and_more =
      second_tab == std::string_view::npos ? std::string_view() : rest.substr(second_tab + 1);
  const auto third_tab = hash_and_more.find('\t');
  const std::string_view hash = hash_and_more.substr(0, third_tab);
  const std::string_view size_and_more = third_tab == std::string_view::npos
                                             ? std::string_view()
                                             : hash_and_more.substr(third_tab + 1);
  const std::string_view size = size_and_more.substr(0, size_and_more.find('\t'));

  if (url.substr(0, 4) != "http") return std::nullopt;

  ModuleEntry entry;
  // Paths are kept as written (".." included) so that the engine can refuse
  // unsafe ones; only the separator follows the platform.
  entry.RelativePath = ReplaceAll(path, "/", PathSeparator);
  entry.Url = std::string(url);
  entry.Sha256 = TrimSpaces(ToLowerAscii(hash));
  // A size that is no plain number is ignored: the digest still decides.
  std::uint64_t bytes = 0;
  const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), bytes);
  if (!size.empty() && error == std::errc() && end == size.data() + size.size()) entry.Size = bytes;
  return entry;
}

}  // namespace kanade

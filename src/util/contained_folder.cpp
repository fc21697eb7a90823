#include "util/contained_folder.h"

#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

bool IsRandomSuffix(std::string_view suffix) {
  return suffix.size() == 16 && IsLowerHex(suffix);
}

}  // namespace

bool IsLeftoverName(std::string_view name) {
  const auto aside = name.rfind(kSetAsideFileMarker);
  if (aside != std::string_view::npos && aside > 0 &&
      IsRandomSuffix(name.substr(aside + kSetAsideFileMarker.size()))) {
    return true;
  }
  const auto marker = name.rfind(kTemporaryMarker);
  if (marker == std::string_view::npos || marker == 0) return false;
  const std::string_view suffix = name.substr(marker + kTemporaryMarker.size());
  if (IsRandomSuffix(suffix)) return true;
  // Older builds named them after the process and a counter.
  const auto dash = suffix.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash + 1 == suffix.size()) return false;
  return suffix.find_first_not_of("0123456789-") == suffix.npos &&
         suffix.find('-', dash + 1) == suffix.npos;
}

std::optional<std::string> ContainedFolder::ReadWhole(std::string_view name, std::size_t limit,
                                                      bool* too_large) const {
  const UniqueFile file(OpenForReading(name));
  if (!file) return std::nullopt;
  return ReadStream(file.get(), limit, too_large);
}

int RemoveLeftoverTemporariesIn(std::string_view folder) {
  const auto contained = ContainedFolder::Open(folder, {}, false);
  return contained ? contained->RemoveLeftoverTemporaries() : 0;
}

std::string RandomHex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  if (!FillRandomBytes(raw.data(), raw.size())) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const char c : raw) {
    text += kDigits[static_cast<unsigned char>(c) >> 4];
    text += kDigits[static_cast<unsigned char>(c) & 0x0F];
  }
  return text;
}

}  // namespace kanade

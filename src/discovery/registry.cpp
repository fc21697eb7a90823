#include "discovery/registry.h"

#include <cstddef>

#include "util/utf.h"

namespace kanade {

namespace {

// Listing is cut here; longer binary values are shown shortened, unmarked.
constexpr std::size_t kMaxBinaryItems = 2096;

RegistryProvider* g_provider = nullptr;

// UTF-16LE code units of the data; an odd last byte is ignored.
std::u16string Utf16Units(std::string_view data) {
  std::u16string units;
  units.reserve(data.size() / 2);
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const auto low = static_cast<unsigned char>(data[i]);
    const auto high = static_cast<unsigned char>(data[i + 1]);
    units.push_back(static_cast<char16_t>(low | (high << 8)));
  }
  return units;
}

std::string TextUpToNul(std::string_view data) {
  std::u16string units = Utf16Units(data);
  const auto nul = units.find(u'\0');
  if (nul != std::u16string::npos) units.resize(nul);
  return Utf16ToUtf8(units);
}

// Little-endian integer of up to `width` bytes; missing bytes count as zero
// so that a short value never reads past its data.
std::uint64_t LittleEndian(std::string_view data, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width && i < data.size(); ++i) {
    value |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  }
  return value;
}

std::string BinaryText(std::string_view data) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::size_t count = data.size() < kMaxBinaryItems ? data.size() : kMaxBinaryItems;
  std::string text;
  text.reserve(count * 4);
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    if (i > 0) text += ',';
    text += '$';
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

std::string MultiStringText(std::string_view data) {
  std::u16string units = Utf16Units(data);
  for (char16_t& unit : units) {
    if (unit == u'\0') unit = u'\n';
  }
  if (!units.empty() && units.back() == u'\n') units.pop_back();
  return Utf16ToUtf8(units);
}

}  // namespace

void SetRegistryProvider(RegistryProvider* provider) {
  g_provider = provider;
}

RegistryProvider& GetRegistryProvider() {
  return g_provider != nullptr ? *g_provider : PlatformRegistryProvider();
}

std::string RegistryValueText(const RegistryValue& value) {
  const std::string_view data = value.data;
  if (data.empty()) return {};
  switch (value.type) {
    case kRegSz:
      return TextUpToNul(data);
    case kRegExpandSz: {
      const std::string stored = TextUpToNul(data);
      return stored.empty() ? std::string() : ExpandEnvironmentText(stored);
    }
    case kRegBinary:
      return BinaryText(data);
    case kRegDword:
      return std::to_string(static_cast<std::int32_t>(LittleEndian(data, 4)));
    case kRegMultiSz:
      return MultiStringText(data);
    case kRegQword:
      return std::to_string(static_cast<std::int64_t>(LittleEndian(data, 8)));
    default:
      return {};
  }
}

std::string ReadRegistryValue(RootKey root, std::string_view key_path,
                              std::string_view value_name) {
  if (!key_path.empty() && key_path.front() == '\\') key_path.remove_prefix(1);
  if (!key_path.empty() && key_path.back() == '\\') key_path.remove_suffix(1);
  const std::optional<RegistryValue> value =
      GetRegistryProvider().QueryValue(root, key_path, value_name);
  if (!value) return {};
  return RegistryValueText(*value);
}

}  // namespace kanade

// A registry provider that answers from a table, for the discovery tests.
#pragma once

#include <map>
#include <string>
#include <tuple>

#include "discovery/registry.h"
#include "util/text.h"
#include "util/utf.h"

namespace kanade::test {

/// UTF-8 text as UTF-16LE bytes, with the terminating NUL when asked.
inline std::string Utf16Le(std::string_view text, bool terminated = true) {
  std::string bytes;
  for (const char16_t unit : Utf8ToUtf16(text)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  if (terminated) bytes.append(2, '\0');
  return bytes;
}

class FakeRegistry : public RegistryProvider {
 public:
  FakeRegistry() { SetRegistryProvider(this); }
  ~FakeRegistry() override { SetRegistryProvider(nullptr); }

  void Set(RootKey root, std::string_view key, std::string_view name, RegistryValue value) {
    values_[{root, ToLowerAscii(key), ToLowerAscii(name)}] = std::move(value);
  }
  void SetText(RootKey root, std::string_view key, std::string_view name, std::string_view text) {
    Set(root, key, name, {kRegSz, Utf16Le(text)});
  }
  std::optional<RegistryValue> QueryValue(RootKey root, std::string_view key_path,
                                          std::string_view value_name) override {
    last_key_path = std::string(key_path);
    const auto it = values_.find({root, ToLowerAscii(key_path), ToLowerAscii(value_name)});
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

  std::string last_key_path;

 private:
  std::map<std::tuple<RootKey, std::string, std::string>, RegistryValue> values_;
};

}  // namespace kanade::test

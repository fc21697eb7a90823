// Reading registry values as text. The conversion works on raw type codes and
// bytes from a provider, so it runs the same on a platform without a registry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kanade {

enum class RootKey { kCurrentUser, kLocalMachine };

// Windows value type codes.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

struct RegistryValue {
  std::uint32_t type = 0;
  std::string data;  // the stored bytes; strings are UTF-16LE
};

class RegistryProvider {
 public:
  virtual ~RegistryProvider() = default;
  /// The value's type and data, read in the registry's default view with
  /// read access; nothing when the key or the value cannot be read.
  virtual std::optional<RegistryValue> QueryValue(RootKey root, std::string_view key_path,
                                                  std::string_view value_name) = 0;
};

/// The provider of this platform: the real registry on Windows; elsewhere
/// the few values that can be found in the user's home (Steam's folder).
RegistryProvider& PlatformRegistryProvider();

/// Replaces the provider (not owned); nullptr restores the platform's.
void SetRegistryProvider(RegistryProvider* provider);
RegistryProvider& GetRegistryProvider();

/// The value as text; the empty text on any failure, for unknown types and
/// for values without data. One leading and one trailing "\" of the key path
/// are ignored.
std::string ReadRegistryValue(RootKey root, std::string_view key_path, std::string_view value_name);

/// The text of raw value data by its type (what ReadRegistryValue returns).
std::string RegistryValueText(const RegistryValue& value);

/// Expands %NAME% references from the environment; unknown names stay as
/// written.
std::string ExpandEnvironmentText(std::string_view text);

}  // namespace kanade

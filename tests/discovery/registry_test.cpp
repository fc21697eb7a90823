#include "discovery/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "discovery/fake_registry.h"
#include "support/temp_dir.h"

namespace kanade {
namespace {

using test::FakeRegistry;
using test::Utf16Le;

constexpr std::string_view kKey = "SOFTWARE\\Kanade\\Test";

std::string Read(FakeRegistry& registry, std::uint32_t type, std::string data) {
  registry.Set(RootKey::kCurrentUser, kKey, "v", {type, std::move(data)});
  return ReadRegistryValue(RootKey::kCurrentUser, kKey, "v");
}

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(RegistryStrings, EndAtTheFirstNulOrTheEndOfTheData) {
  FakeRegistry registry;
  EXPECT_EQ(Read(registry, kRegSz, Utf16Le("C:\\Steam")), "C:\\Steam");
  EXPECT_EQ(Read(registry, kRegSz, Utf16Le("no terminator", false)), "no terminator");
  EXPECT_EQ(Read(registry, kRegSz, Utf16Le("a") + Utf16Le("b")), "a");
  EXPECT_EQ(Read(registry, kRegSz, Utf16Le("日本語の道", false) + "x"), "日本語の道");
  // A lone surrogate is not dropped silently.
  EXPECT_EQ(Read(registry, kRegSz, std::string("\x00\xD8", 2)), "\xEF\xBF\xBD");
}

TEST(RegistryKeyPath, OneLeadingAndTrailingBackslashAreIgnored) {
  FakeRegistry registry;
  registry.SetText(RootKey::kCurrentUser, "SOFTWARE\\Valve\\Steam", "SteamPath", "c:/steam");
  EXPECT_EQ(ReadRegistryValue(RootKey::kCurrentUser, "\\SOFTWARE\\Valve\\Steam\\", "SteamPath"),
            "c:/steam");
  EXPECT_EQ(ReadRegistryValue(RootKey::kCurrentUser, "\\\\SOFTWARE\\Valve\\Steam", "SteamPath"),
            "");
  EXPECT_EQ(registry.last_key_path, "\\SOFTWARE\\Valve\\Steam");
  EXPECT_EQ(ReadRegistryValue(RootKey::kLocalMachine, "SOFTWARE\\Valve\\Steam", "SteamPath"), "");
  EXPECT_EQ(ReadRegistryValue(RootKey::kCurrentUser, "SOFTWARE\\Valve\\Steam", "Other"), "");
}

TEST(RegistryExpandableStrings, ExpandTheEnvironment) {
  FakeRegistry registry;
  const std::string long_value(300, 'x');
  ScopedEnv env("KANADE_TEST_FOLDER", long_value);
  ScopedEnv empty("KANADE_TEST_EMPTY", "");
  ::unsetenv("KANADE_TEST_UNSET");
  EXPECT_EQ(Read(registry, kRegExpandSz, Utf16Le("%KANADE_TEST_FOLDER%\\Game")),
            long_value + "\\Game");
  EXPECT_EQ(Read(registry, kRegExpandSz, Utf16Le("%KANADE_TEST_UNSET%\\a%")),
            "%KANADE_TEST_UNSET%\\a%");
  EXPECT_EQ(Read(registry, kRegExpandSz, Utf16Le("%KANADE_TEST_EMPTY%")), "");
  EXPECT_EQ(ExpandEnvironmentText("100%% %KANADE_TEST_EMPTY%done"), "100%% done");
}

TEST(RegistryNumbers, AreSignedDecimal) {
  FakeRegistry registry;
  EXPECT_EQ(Read(registry, kRegDword, std::string("\xFF\xFF\xFF\xFF", 4)), "-1");
  EXPECT_EQ(Read(registry, kRegDword, std::string("\x2A\x00\x00\x00", 4)), "42");
  EXPECT_EQ(Read(registry, kRegDword, std::string("\x01\x02", 2)), "513");  // short: no overread
  EXPECT_EQ(Read(registry, kRegQword, std::string("\x00\x00\x00\x00\x00\x00\x00\x80", 8)),
            "-9223372036854775808");
  EXPECT_EQ(Read(registry, kRegQword, std::string("\x00\x00\x00\x00\x01\x00\x00\x00", 8)),
            "4294967296");
}

TEST(RegistryBinary, ListsAtMost2096Bytes) {
  FakeRegistry registry;
  EXPECT_EQ(Read(registry, kRegBinary, std::string("\x00\xAB\xFF", 3)), "$00,$AB,$FF");
  const std::string text = Read(registry, kRegBinary, std::string(3000, '\x0F'));
  EXPECT_EQ(text.size(), 2096u * 4 - 1);
  EXPECT_EQ(text.substr(text.size() - 4), ",$0F");
}

TEST(RegistryMultiStrings, BecomeLines) {
  FakeRegistry registry;
  EXPECT_EQ(Read(registry, kRegMultiSz, Utf16Le("A") + Utf16Le("B") + Utf16Le("")), "A\nB\n");
  EXPECT_EQ(Read(registry, kRegMultiSz, Utf16Le("only", false)), "only");
  EXPECT_EQ(Read(registry, kRegMultiSz, Utf16Le("odd", false) + "x"), "odd");
}

TEST(RegistryOddValues, GiveEmptyTextNeverACrash) {
  FakeRegistry registry;
  for (const std::uint32_t type :
       {kRegSz, kRegExpandSz, kRegBinary, kRegDword, kRegMultiSz, kRegQword, 0u, 5u, 99u}) {
    EXPECT_EQ(Read(registry, type, ""), "") << type;
  }
  EXPECT_EQ(Read(registry, 5, std::string("\x00\x00\x00\x01", 4)), "");  // big-endian DWORD
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::string data(random() % 5000, '\0');
    for (char& c : data) c = static_cast<char>(random());
    Read(registry, random() % 13, data);
  }
}

#ifndef _WIN32
// The Linux Steam client answers for the registry's "SteamPath": wherever the
// package put it, as long as the folder holds libraries.
TEST(PosixRegistry, FindsTheSteamClientInTheHomeFolder) {
  const auto steam_path = [] {
    return ReadRegistryValue(RootKey::kCurrentUser, "SOFTWARE\\Valve\\Steam", "SteamPath");
  };
  for (const std::string layout :
       {".steam/root", ".local/share/Steam", ".steam/debian-installation",
        ".var/app/com.valvesoftware.Steam/.local/share/Steam",
        "snap/steam/common/.local/share/Steam"}) {
    test::TempDir home;
    ScopedEnv env("HOME", home.path());
    std::filesystem::create_directories(home / layout);
    EXPECT_EQ(steam_path(), "") << layout << " without steamapps";
    std::filesystem::create_directories(home / (layout + "/steamapps"));
    EXPECT_EQ(steam_path(), home / layout) << layout;
  }

  // ~/.steam/steam is followed to the client's folder, but a link to a
  // folder without libraries does not hide an installation further down.
  test::TempDir home;
  ScopedEnv env("HOME", home.path());
  EXPECT_EQ(steam_path(), "");
  std::filesystem::create_directories(home / ".local/share/Steam/steamapps");
  std::filesystem::create_directories(home / "elsewhere/Steam");
  std::filesystem::create_directories(home / ".steam");
  std::filesystem::create_directory_symlink(home / "elsewhere/Steam", home / ".steam/steam");
  EXPECT_EQ(steam_path(), home / ".local/share/Steam");
  std::filesystem::create_directories(home / "elsewhere/Steam/steamapps");
  EXPECT_EQ(steam_path(), home / "elsewhere/Steam");
  EXPECT_EQ(ReadRegistryValue(RootKey::kCurrentUser, "software\\valve\\steam\\", "steampath"),
            home / "elsewhere/Steam");
  EXPECT_EQ(ReadRegistryValue(RootKey::kLocalMachine,
                              "SOFTWARE\\WOW6432Node\\Portalarium\\Shroud of the Avatar", "Path"),
            "");
}
#endif

}  // namespace
}  // namespace kanade

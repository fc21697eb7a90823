#include "util/player_secret.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "support/temp_dir.h"

namespace kanade {
namespace {

namespace fs = std::filesystem;

// The player's key is made once, readable by the player alone, and is
// refused wherever someone else could have read or replaced it.
TEST(PlayerSecret, IsMadeOnceForThePlayerAloneAndRefusedWhereOthersReachIt) {
  struct Case {
    const char* what;
    std::function<void(const std::string& folder, const std::string& key)> arrange;
    const char* refusal;  // part of the reason, or null when the key is used
  };
  const Case cases[] = {
      {"made on first use", nullptr, nullptr},
      {"readable by others", [](auto&, auto& key) { ::chmod(key.c_str(), 0644); },
       "permissions 0644"},
      {"another user's", [](auto&, auto& key) { ASSERT_EQ(::chown(key.c_str(), 65534, 0), 0); },
       "belongs to uid 65534"},
      {"in a folder others may write", [](auto& folder, auto&) { ::chmod(folder.c_str(), 0777); },
       "permissions 0777"},
      {"a link to a file of the same bytes",
       [](auto& folder, auto& key) {
         fs::rename(key, folder + "/elsewhere");
         fs::create_symlink(folder + "/elsewhere", key);
       },
       "cannot open"},
      {"cut short", [](auto&, auto& key) { fs::resize_file(key, 8); }, "holds 8 bytes"},
  };
  for (const Case& c : cases) {
    test::TempDir home;
    ::setenv("XDG_STATE_HOME", home.path().c_str(), 1);
    const std::string folder = home / "kanade-patcher";
    const std::string key = folder + "/record.key";
    Reason why;
    const auto made = PlayerSecret("record.key", 32, &why);
    ASSERT_TRUE(made) << c.what << ": " << why;
    struct stat info {};
    ASSERT_EQ(::stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << c.what;
    if (c.arrange) c.arrange(folder, key);
    const auto again = PlayerSecret("record.key", 32, &why);
    if (c.refusal == nullptr) {
      EXPECT_EQ(again, made) << c.what;
    } else {
      EXPECT_FALSE(again) << c.what;
      EXPECT_NE(why.Line().find(c.refusal), std::string::npos) << c.what << ": " << why;
    }
  }
  ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace kanade

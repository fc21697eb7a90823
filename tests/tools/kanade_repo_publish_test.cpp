// kanade-repo publish as a translation team uses it: releases in a row into
// one served folder, what it refuses before writing anything, and the checks
// that name a served file that does not hold what its repository lists.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "repos/publisher_keys.h"
#include "repos/repository_format.h"
#include "repos/sha256.h"
#include "support/temp_dir.h"
#include "tool_runner.h"
#include "util/text.h"

namespace kanade {
namespace {

namespace fs = std::filesystem;
using test::ExpectOneComplaint;
using test::Outcome;
using test::ReadFile;
using test::RunTool;
using test::RunToolAndSignal;
using test::TempDir;
using test::WriteFile;

constexpr char kBase[] = "https://127.0.0.1:8443";

std::string Secret() {
  return KANADE_TEST_SECRET_KEY;
}

// The publish command line for `www`, served at kBase unless `more` says;
// a folder without repos/ is a new one.
std::vector<std::string> Publish(const std::string& www, std::vector<std::string> more) {
  std::vector<std::string> arguments = {"publish", "--key", Secret(), "--out", www};
  if (!fs::exists(www + "/repos")) arguments.push_back("--new");
  if (std::find(more.begin(), more.end(), "--base-url") == more.end()) {
    arguments.insert(arguments.end(), {"--base-url", kBase});
  }
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

PublicKey TrustedKey() {
  return ParsePublicKeyFile(ReadFile(Secret() + ".pub"))->front();
}

std::string Noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Every file below `folder` with its bytes (links as "-> target").
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string relative = fs::path(it->path()).lexically_relative(folder).string();
    if (it->is_symlink()) {
      files[relative] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      files[relative] = ReadFile(it->path().string());
    }
  }
  return files;
}

std::string BodyOf(const std::string& www, const std::string& bytes) {
  const std::string digest = Sha256OfText(bytes);
  return www + "/files/" + digest.substr(0, 2) + "/" + digest;
}

// What the gzip file at `path` decodes to (empty when it does not).
std::string Gunzip(const std::string& path) {
  std::string bytes;
  if (std::FILE* pipe = ::popen(("gzip -dc '" + path + "' 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      bytes.append(buffer, got);
    }
    if (::pclose(pipe) != 0) bytes.clear();
  }
  return bytes;
}

// The modification time in whole seconds, which web servers build their
// validators from.
long long SecondsOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_mtime) : -1;
}

// A PE file's headers as far as the certificate table entry, signed or not.
std::string FakeWindowsProgram(bool signed_program) {
  std::string bytes(0x400, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = 0x40;
  bytes.replace(0x40, 4, std::string("PE\0\0", 4));
  bytes[0x58] = 0x0B;  // PE32+
  bytes[0x59] = 0x02;
  if (signed_program) {
    bytes[0xE8 + 1] = 0x03;  // the table at 0x300, 0x100 bytes
    bytes[0xEC + 1] = 0x01;
  }
  return bytes;
}

TEST(KanadeRepoPublish, RefusesWhatPlayersCouldNotUseAndWritesNothing) {
  TempDir dir;
  const std::string www = dir / "www";
  const std::string tree = dir / "tree";
  WriteFile(dir / "program.exe", "MZ not really");
  WriteFile(dir / "elf",
            "\x7F"
            "ELF and more");
  ASSERT_EQ(RunTool({"keygen", dir / "other"}).Status, 0);
  struct Case {
    std::string Name;
    std::function<void()> Make;
    std::vector<std::string> Arguments;
    std::string Mentions;
  };
  const auto file = [&](const std::string& relative) {
    return [&, relative] { WriteFile(tree + "/" + relative, "x"); };
  };
  const std::vector<std::string> given = {"kanade-test=" + tree};
  const std::vector<Case> cases = {
      {"device name", file("Data/CON.txt"), given, "a Windows device name"},
      {"trailing dot", file("Data/name."), given, "ending in \".\""},
      {"trailing space", file("name /a.txt"), given, "ending in \".\" or a space"},
      {"stream", file("a:b"), given, "\":\""},
      {"backslash", file("a\\b"), given, "\"\\\""},
      {"tab", file("a\tb"), given, "a control character"},
      {"comment", file("a;b"), given, "starts a comment"},
      {"not UTF-8", file("a\xFF"), given, "not UTF-8"},
      {"case",
       [&] {
         WriteFile(tree + "/Data/a", "1");
         WriteFile(tree + "/data/b", "2");
       },
       given, "only in case"},
      {"link", [&] { ::symlink("/etc/hostname", (tree + "/link").c_str()); }, given,
       "/link: is a symbolic link"},
      {"fifo", [&] { ::mkfifo((tree + "/fifo").c_str(), 0600); }, given, "neither a file"},
      {"missing folder", [] {}, {"kanade-test=" + dir / "none"}, "none: no such folder"},
      {"no mode", [] {}, {"kanade-x=" + tree}, "kanade-x: no mode"},
      {"mode twice", [] {}, {"kanade-lua=" + tree, "kanade-lua=" + tree}, "given twice"},
      {"nothing", [] {}, {}, "nothing to publish"},
      {"not Windows", [] {}, {"--windows", dir / "elf"}, "not a Windows program"},
      {"not Linux", [] {}, {"--linux", dir / "program.exe"}, "not a Linux program"},
      {"no program", [] {}, {"--linux", dir / "none"}, "none: no such file"},
      {"not a URL", [] {}, {"--base-url", "ftp://h", "kanade-lua=" + tree}, "--base-url"},
      {"served folder inside", [] {}, {"kanade-lua=" + dir.path()}, "would publish itself"},
      {"other keys",
       [] {},
       {"--keys", dir / "other.pub", "kanade-lua=" + tree},
       "but players trust"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(tree);
    fs::create_directories(tree);
    WriteFile(tree + "/Language.txt", "Japanese");
    c.Make();
    ExpectOneComplaint(RunTool(Publish(www, c.Arguments)), 2, c.Mentions);
    EXPECT_FALSE(fs::exists(www));
  }
  ExpectOneComplaint(RunTool({"publish", "--key", Secret() + ".pub", "--out", www, "--base-url",
                              kBase, "kanade-lua=" + tree}),
                     2, "secret key");
  ExpectOneComplaint(RunTool({"publish", "--out", www, "--base-url", kBase}), 2, "needs --key");
  EXPECT_FALSE(fs::exists(www));
}

TEST(KanadeRepoPublish, ReleasesReplaceWholeRepositoriesAndRetireBodiesOneReleaseLate) {
  TempDir dir;
  const std::string www = dir / "www";
  const std::string test_tree = dir / "kanade-test";
  const std::string lua_tree = dir / "kanade-lua";
  std::string table;
  for (int i = 0; i < 3000; ++i) table += "row " + std::to_string(i) + "\n";
  const std::string noise = Noise(20000, 1);
  WriteFile(test_tree + "/Language.txt", "Japanese 1\n");
  WriteFile(test_tree + "/Data/table.txt", table);
  WriteFile(test_tree + "/Data/会話 一覧.bin", noise);
  WriteFile(lua_tree + "/Lua/kanade.lua", "-- lua\n");
  WriteFile(dir / "kanade",
            "\x7F"
            "ELF build 1");
  const std::vector<std::string> trees = {"kanade-test=" + test_tree, "kanade-lua=" + lua_tree,
                                          "--linux", dir / "kanade"};

  // The first publish, dry or real, says which URL it fixes for the folder.
  const std::string fixes = www + ": base URL " + kBase + ", fixed from this release on";
  std::vector<std::string> look = trees;
  look.push_back("--dry-run");
  const Outcome looked = RunTool(Publish(www, look));
  EXPECT_EQ(looked.Status, 0) << looked.Err;
  EXPECT_TRUE(StartsWith(looked.Out, fixes)) << looked.Out;
  EXPECT_FALSE(fs::exists(www));

  // Release 1: three repositories, each with its .gz copy, bodies by digest
  // with their sizes, a .gz copy only where it saves at least 10 %.
  Outcome first = RunTool(Publish(www, trees));
  ASSERT_EQ(first.Status, 0) << first.Err;
  EXPECT_EQ(first.Err, "");
  EXPECT_TRUE(StartsWith(first.Out, fixes)) << first.Out;
  for (const auto& [name, serial] : std::map<std::string, std::string>{
           {"kanade-test", "1"}, {"kanade-lua", "1"}, {"kanade-patcher-linux", "1"}}) {
    const std::string repo = www + "/repos/" + name + ".repo";
    const Outcome verified = RunTool({"verify", "--keys", Secret() + ".pub", repo});
    EXPECT_EQ(verified.Out, repo + ": signature ok (NAME " + name + ", SERIAL " + serial + ")\n");
    EXPECT_EQ(Gunzip(repo + ".gz"), ReadFile(repo));
  }
  const std::string test_repo = ReadFile(www + "/repos/kanade-test.repo");
  const std::string noise_digest = Sha256OfText(noise);
  EXPECT_NE(test_repo.find("module=Data/会話 一覧.bin\t" + std::string(kBase) + "/files/" +
                           noise_digest.substr(0, 2) + "/" + noise_digest + "\t" + noise_digest +
                           "\t20000\n"),
            std::string::npos)
      << test_repo;
  EXPECT_EQ(ReadFile(BodyOf(www, noise)), noise);
  EXPECT_FALSE(fs::exists(BodyOf(www, noise) + ".gz"));
  EXPECT_FALSE(fs::exists(BodyOf(www, "-- lua\n") + ".gz"));
  EXPECT_LT(fs::file_size(BodyOf(www, table) + ".gz"), table.size() / 10 * 9);
  EXPECT_EQ(ReadFile(BodyOf(www,
                            "\x7F"
                            "ELF build 1")),
            "\x7F"
            "ELF build 1");

  // A dry run names the one changed file and writes nothing.
  WriteFile(test_tree + "/Language.txt", "Japanese 2, longer\n");
  const auto before = Snapshot(www);
  const Outcome dry = RunTool(Publish(www, {"--dry-run", "kanade-test=" + test_tree}));
  EXPECT_EQ(dry.Status, 0) << dry.Err;
  EXPECT_EQ(dry.Out,
            "kanade-test.repo: SERIAL 1 -> 2, 1 changed\n"
            "  changed Language.txt (11 -> 19 bytes)\n"
            "kanade-lua.repo: kept as it is\n"
            "kanade-patcher-linux.repo: kept as it is\n"
            "files/: 1 new body (19 bytes); 1 named no more, kept for one more release; "
            "0 removed\n"
            "dry run: nothing written\n");
  EXPECT_EQ(Snapshot(www), before);

  // Release 2: only kanade-test changes; the others keep their bytes, and
  // the old body stays for clients that fetched release 1 a moment ago. The
  // renewed repository and its .gz copy get a later second than the files
  // they replace, so that a server's validators change with them.
  const std::string lua_repo = ReadFile(www + "/repos/kanade-lua.repo");
  const std::string test_path = www + "/repos/kanade-test.repo";
  // As if just published, at the very start of a second: the hardest case,
  // as the time the waiting reads lags behind the files' stamps.
  const auto just_published = std::chrono::ceil<std::chrono::seconds>(
      fs::file_time_type::clock::now() + std::chrono::milliseconds(1));
  for (const std::string& path : {test_path, test_path + ".gz"}) {
    fs::last_write_time(path, just_published);
  }
  const long long first_second = std::max(SecondsOf(test_path), SecondsOf(test_path + ".gz"));
  Outcome second = RunTool(Publish(www, trees));
  ASSERT_EQ(second.Status, 0) << second.Err;
  EXPECT_GT(SecondsOf(test_path), first_second);
  EXPECT_GT(SecondsOf(test_path + ".gz"), first_second);
  EXPECT_NE(second.Out.find("kanade-lua.repo: unchanged (SERIAL 1)"), std::string::npos);
  EXPECT_NE(ReadFile(www + "/repos/kanade-test.repo").find("\nSERIAL=2\n"), std::string::npos);
  EXPECT_EQ(ReadFile(www + "/repos/kanade-lua.repo"), lua_repo);
  EXPECT_TRUE(fs::exists(BodyOf(www, "Japanese 1\n")));

  // Release 3 no longer names the release 1 body either: it goes, while
  // release 2's body waits one more release.
  WriteFile(test_tree + "/Language.txt", "Japanese 3\n");
  ASSERT_EQ(RunTool(Publish(www, trees)).Status, 0);
  EXPECT_FALSE(fs::exists(BodyOf(www, "Japanese 1\n")));
  EXPECT_TRUE(fs::exists(BodyOf(www, "Japanese 2, longer\n")));
  EXPECT_TRUE(fs::exists(BodyOf(www, noise)));

  // A plain repository uploaded without its copy, or beside an old one:
  // the next publish writes the copy again from the signed file.
  fs::remove(www + "/repos/kanade-lua.repo.gz");
  fs::copy_file(www + "/repos/kanade-lua.repo", www + "/repos/kanade-patcher-linux.repo.gz",
                fs::copy_options::overwrite_existing);
  const Outcome mended = RunTool(Publish(www, trees));
  EXPECT_EQ(mended.Status, 0) << mended.Err;
  EXPECT_NE(mended.Out.find("kanade-lua.repo.gz: missing"), std::string::npos) << mended.Out;
  EXPECT_NE(mended.Out.find("kanade-patcher-linux.repo.gz: no whole gzip file; written again"),
            std::string::npos)
      << mended.Out;
  for (const char* name : {"kanade-lua", "kanade-patcher-linux"}) {
    const std::string repo = www + "/repos/" + name + ".repo";
    EXPECT_EQ(Gunzip(repo + ".gz"), ReadFile(repo));
  }

  // Nothing changed: nothing is rewritten.
  const auto settled = Snapshot(www);
  const Outcome again = RunTool(Publish(www, trees));
  EXPECT_EQ(again.Status, 0) << again.Err;
  EXPECT_NE(again.Out.find("published nothing new"), std::string::npos);
  EXPECT_EQ(Snapshot(www), settled);

  // Windows builds: one without Authenticode is published with a warning.
  for (const bool signed_program : {false, true}) {
    WriteFile(dir / "kanade.exe", FakeWindowsProgram(signed_program));
    const Outcome windows = RunTool(Publish(www, {"--windows", dir / "kanade.exe"}));
    EXPECT_EQ(windows.Status, 0) << windows.Err;
    EXPECT_EQ(windows.Err.find("kanade-repo: warning: ") == 0, !signed_program) << windows.Err;
    EXPECT_EQ(ReadFile(BodyOf(www, FakeWindowsProgram(signed_program))),
              FakeWindowsProgram(signed_program));
  }
  EXPECT_NE(ReadFile(www + "/repos/kanade-patcher-win.repo").find("module=kanade.exe\t"),
            std::string::npos);

  // By hand, build -o and sign write a published repository's .gz copy anew
  // too, so that the server never sends the one they replace.
  const std::string lua_path = www + "/repos/kanade-lua.repo";
  ASSERT_EQ(RunTool({"sign", "--key", Secret(), "--serial", "9", lua_path}).Status, 0);
  EXPECT_NE(ReadFile(lua_path).find("\nSERIAL=9\n"), std::string::npos);
  EXPECT_EQ(Gunzip(lua_path + ".gz"), ReadFile(lua_path));
  const std::string hand = dir / "hand.repo";
  fs::copy_file(lua_path + ".gz", hand + ".gz");
  ASSERT_EQ(RunTool({"build", lua_tree, std::string(kBase) + "/files", "-o", hand, "--key",
                     Secret(), "--name", "kanade-lua"})
                .Status,
            0);
  EXPECT_EQ(Gunzip(hand + ".gz"), ReadFile(hand));

  // A repository built by hand moves to bodies by digest with the next SERIAL.
  WriteFile(www + "/files/kanade-prefixed/Language.txt", "Japanese\n");
  ASSERT_EQ(
      RunTool({"build", www + "/files/kanade-prefixed",
               std::string(kBase) + "/files/kanade-prefixed", "-o",
               www + "/repos/kanade-prefixed.repo", "--key", Secret(), "--name", "kanade-prefixed"})
          .Status,
      0);
  WriteFile(dir / "prefixed/Language.txt", "Japanese\n");
  const Outcome moved = RunTool(Publish(www, {"kanade-prefixed=" + dir / "prefixed"}));
  EXPECT_EQ(moved.Status, 0) << moved.Err;
  EXPECT_NE(moved.Out.find("kanade-prefixed.repo: SERIAL 1 -> 2, same modules at new URLs\n"),
            std::string::npos)
      << moved.Out;
  EXPECT_TRUE(fs::exists(www + "/files/kanade-prefixed/Language.txt"));
}

TEST(KanadeRepoPublish, ServedFilesThatDoNotHoldAreNamedAndNothingIsRenamed) {
  std::string table;
  for (int i = 0; i < 3000; ++i) table += "row " + std::to_string(i) + "\n";
  struct Case {
    std::string Name;
    std::function<void(const std::string& www, const std::string& dir)> Spoil;
    std::string Mentions;  // below the served folder
  };
  const std::string table_body = BodyOf("", table).substr(1);
  const std::vector<Case> cases = {
      {"body changed", [&](auto& www, auto&) { WriteFile(www + "/" + table_body, table + "x"); },
       table_body + ": holds"},
      {"body gone", [&](auto& www, auto&) { fs::remove(www + "/" + table_body); }, table_body},
      {"body a link",
       [&](auto& www, auto& dir) {
         WriteFile(dir + "/copy", table);
         fs::remove(www + "/" + table_body);
         fs::create_symlink(dir + "/copy", www + "/" + table_body);
       },
       table_body + ": missing, unreadable or no regular file"},
      {"gz broken", [&](auto& www, auto&) { WriteFile(www + "/" + table_body + ".gz", "gz"); },
       "no whole gzip file"},
      {"gz other bytes",
       [&](auto& www, auto& dir) {
         WriteFile(dir + "/spare", table + "more");
         const std::string gzip =
             "gzip -c '" + dir + "/spare' >'" + www + "/" + table_body + ".gz'";
         ASSERT_EQ(std::system(gzip.c_str()), 0);
       },
       "decodes to other bytes"},
      {"repository copy a link",
       [&](auto& www, auto&) {
         const std::string gz = www + "/repos/kanade-lua.repo.gz";
         fs::remove(gz);
         fs::create_symlink(www + "/repos/kanade-lua.repo", gz);
       },
       "repos/kanade-lua.repo.gz: is no regular file"},
      {"repository edited",
       [&](auto& www, auto&) {
         const std::string repo = www + "/repos/kanade-lua.repo";
         WriteFile(repo, ReplaceAll(ReadFile(repo), "SERIAL=1", "SERIAL=7"));
       },
       "repos/kanade-lua.repo: it is signed by key " + KeyIdOf(TrustedKey()) +
           ", which players trust"},
      {"repository of another name",
       [&](auto& www, auto&) {
         fs::copy_file(www + "/repos/kanade-lua.repo", www + "/repos/kanade-test.repo",
                       fs::copy_options::overwrite_existing);
       },
       "repos/kanade-test.repo: it is signed as NAME kanade-lua, not kanade-test"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    const std::string www = dir / "www";
    WriteFile(dir / "tree/table.txt", table);
    WriteFile(dir / "other/Language.txt", "Japanese\n");
    ASSERT_EQ(RunTool(Publish(www, {"kanade-lua=" + dir / "tree", "kanade-test=" + dir / "other"}))
                  .Status,
              0);
    c.Spoil(www, dir.path());
    const auto spoiled = ReadFile(www + "/repos/kanade-test.repo");
    WriteFile(dir / "other/Language.txt", "Japanese, changed\n");
    const Outcome dry = RunTool(Publish(www, {"--dry-run", "kanade-test=" + dir / "other"}));
    EXPECT_EQ(dry.Status, 1) << dry.Err;
    const Outcome outcome = RunTool(Publish(www, {"kanade-test=" + dir / "other"}));
    EXPECT_EQ(outcome.Status, 1) << outcome.Err;
    EXPECT_EQ(SplitLines(outcome.Err).size(), 1u) << outcome.Err;
    EXPECT_NE(outcome.Err.find(c.Mentions), std::string::npos) << outcome.Err;
    EXPECT_EQ(ReadFile(www + "/repos/kanade-test.repo"), spoiled);
  }

  // A body that a given repository names is written anew instead.
  TempDir dir;
  const std::string www = dir / "www";
  WriteFile(dir / "tree/table.txt", table);
  ASSERT_EQ(RunTool(Publish(www, {"kanade-lua=" + dir / "tree"})).Status, 0);
  WriteFile(www + "/" + table_body, "spoiled");
  WriteFile(www + "/" + table_body + ".gz", "spoiled");
  const Outcome repaired = RunTool(Publish(www, {"kanade-lua=" + dir / "tree"}));
  EXPECT_EQ(repaired.Status, 0) << repaired.Err;
  EXPECT_NE(repaired.Out.find("written again"), std::string::npos);
  EXPECT_EQ(ReadFile(www + "/" + table_body), table);
}

// The team's everyday mistakes: each is refused before anything is written,
// with the same exit status by the dry run and the real run, and says what
// is wrong instead of blaming a good served file.
TEST(KanadeRepoPublish, MistakesAreRefusedAlikeByDryAndRealRunsAndWwwStaysAsItWas) {
  TempDir dir;
  const std::string www = dir / "www";
  WriteFile(dir / "test/Language.txt", "Japanese\n");
  WriteFile(dir / "lua/Lua/kanade.lua", "-- lua\n");
  WriteFile(dir / "kanade",
            "\x7F"
            "ELF build");
  WriteFile(dir / "bad/Language.txt", "Japanese\n");
  for (const char* name : {"CON.txt", "a:b", "Data/name.", "Data/x;y", "link"}) {
    if (std::string(name) == "link") {
      fs::create_symlink("/etc/hostname", dir / "bad/link");
    } else {
      WriteFile(dir / "bad/" + name, "x");
    }
  }
  ASSERT_EQ(RunTool({"keygen", dir / "other"}).Status, 0);
  const std::vector<std::string> all = {"kanade-test=" + dir / "test", "kanade-lua=" + dir / "lua",
                                        "--linux", dir / "kanade"};
  const Outcome first = RunTool(Publish(www, all));
  ASSERT_EQ(first.Status, 0) << first.Err;
  const auto release = Snapshot(www);
  fs::create_directory(dir / "empty");
  const std::string other_id = KeyIdOf(ParsePublicKeyFile(ReadFile(dir / "other.pub"))->front());
  const std::string trusted_id = KeyIdOf(TrustedKey());

  struct Case {
    std::string Name;
    std::vector<std::string> Arguments;
    int Status;
    std::vector<std::string> Mentions;  // on stderr
  };
  const auto with = [](std::vector<std::string> more, const std::vector<std::string>& given) {
    more.insert(more.end(), given.begin(), given.end());
    return more;
  };
  const std::vector<std::string> test_only = {"kanade-test=" + dir / "test"};
  const std::vector<Case> cases = {
      {"a key the players do not trust",
       {"publish", "--key", dir / "other", "--out", www, "--base-url", kBase, test_only[0]},
       2,
       {"other is key " + other_id, "players trust " + trusted_id, "built into kanade-repo"}},
      {"--keys without the signing key",
       Publish(www, with({"--keys", dir / "other.pub"}, test_only)),
       2,
       {"is key " + trusted_id, "players trust " + other_id, "other.pub"}},
      // An --out that names no served folder, existing or not, would start
      // one at SERIAL 1; so would a name that players cannot reach.
      {"a mistyped --out",
       {"publish", "--key", Secret(), "--out", dir / "wwww", "--base-url", kBase, test_only[0]},
       2,
       {"wwww: no such folder; give --new"}},
      {"--out the parent folder",
       {"publish", "--key", Secret(), "--out", dir.path(), "--base-url", kBase, test_only[0]},
       2,
       {dir.path() + ": holds no repos/ of a served folder; give --new"}},
      {"--out an empty folder",
       {"publish", "--key", Secret(), "--out", dir / "empty/", "--base-url", kBase, test_only[0]},
       2,
       {dir / "empty" + ": holds no repos/ of a served folder; give --new"}},
      {"the README's example host",
       {"publish", "--key", Secret(), "--out", dir / "wwww", "--new", "--base-url",
        "https://kanade.example.org", test_only[0]},
       2,
       {"https://kanade.example.org: example.org is a name reserved for examples, which no "
        "player can reach"}},
      {"an example name in capitals, with a port and a final dot",
       Publish(www, with({"--base-url", "https://A.Example.COM.:443/kanade"}, test_only)),
       2,
       {"example.com is a name reserved"}},
      {"example.net",
       Publish(www, with({"--base-url", "http://example.net"}, test_only)),
       2,
       {"example.net is a name reserved"}},
      {"a .example name behind a user",
       Publish(www, with({"--base-url", "https://me@kanade.example/"}, test_only)),
       2,
       {"example is a name reserved"}},
      {".invalid",
       Publish(www, with({"--base-url", "https://cdn.kanade.invalid"}, test_only)),
       2,
       {"invalid is a name reserved"}},
      {"a name that only ends like one",
       Publish(www, with({"--base-url", "https://notexample.org"}, test_only)),
       2,
       {"served at https://127.0.0.1:8443, not https://notexample.org"}},
      {"--new on a served folder",
       Publish(www, with({"--new"}, test_only)),
       2,
       {"already holds a release"}},
      {"another --base-url",
       Publish(www, with({"--base-url", "https://localhost:8443"}, all)),
       2,
       {"served at https://127.0.0.1:8443, not https://localhost:8443", "--move-base-url"}},
      {"a move without every repository",
       Publish(www, with({"--base-url", "https://localhost:8443", "--move-base-url"}, test_only)),
       2,
       {"missing: kanade-lua=FOLDER, --linux FILE"}},
      {"five bad names",
       {"publish", "--key", Secret(), "--out", www, "--base-url", kBase,
        "kanade-prefixed=" + dir / "bad"},
       2,
       {"bad/CON.txt: the patcher refuses", "bad/a:b: the patcher", "bad/Data/name.: the patcher",
        "bad/Data/x;y: the patcher", "bad/link: is a symbolic link", "5 problems"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    for (const bool dry_run : {true, false}) {
      std::vector<std::string> arguments = c.Arguments;
      if (dry_run) arguments.push_back("--dry-run");
      const Outcome outcome = RunTool(arguments);
      EXPECT_EQ(outcome.Status, c.Status) << (dry_run ? "dry run: " : "") << outcome.Err;
      EXPECT_EQ(outcome.Out, "");
      for (const std::string& mention : c.Mentions) {
        EXPECT_NE(outcome.Err.find(mention), std::string::npos) << outcome.Err;
      }
      EXPECT_EQ(outcome.Err.find("move it away"), std::string::npos);
    }
    EXPECT_EQ(Snapshot(www), release);
    EXPECT_FALSE(fs::exists(dir / "wwww"));
    EXPECT_FALSE(fs::exists(dir / "repos"));
    EXPECT_TRUE(fs::is_empty(dir / "empty"));
  }

  // A move with every repository: the dry run writes nothing, the real one
  // moves every URL at once and remembers the new base.
  const auto moved =
      Publish(www, with({"--base-url", "https://localhost:8443/kanade/", "--move-base-url"}, all));
  const Outcome dry = RunTool(with(moved, {"--dry-run"}));
  EXPECT_EQ(dry.Status, 0) << dry.Err;
  EXPECT_EQ(Snapshot(www), release);
  const Outcome move = RunTool(moved);
  ASSERT_EQ(move.Status, 0) << move.Err;
  for (const char* name : {"kanade-test", "kanade-lua", "kanade-patcher-linux"}) {
    const std::string repo = ReadFile(www + "/repos/" + name + ".repo");
    EXPECT_NE(repo.find("\thttps://localhost:8443/kanade/files/"), std::string::npos) << repo;
    EXPECT_EQ(repo.find(kBase), std::string::npos) << repo;
  }
  EXPECT_EQ(RunTool(Publish(www, with({"--base-url", "https://localhost:8443/kanade"}, test_only)))
                .Status,
            0);
  EXPECT_EQ(RunTool(Publish(www, test_only)).Status, 2);
}

// What would reach players, or the publisher's key, by a side door: a stale
// .gz copy that the web server sends instead of the repository, a key file
// that is no key file or that others may read, and a repository built by
// hand with names that every patcher refuses. Each is named on its own line
// with its exit status, and nothing is written.
TEST(KanadeRepoPublish, SideDoorsAreNamedAndNothingIsWritten) {
  TempDir dir;
  const std::string www = dir / "www";
  WriteFile(dir / "test/Language.txt", "Japanese 1\n");
  WriteFile(dir / "lua/Lua/kanade.lua", "-- lua\n");
  const std::vector<std::string> trees = {"kanade-test=" + dir / "test",
                                          "kanade-lua=" + dir / "lua"};
  ASSERT_EQ(RunTool(Publish(www, trees)).Status, 0);
  const std::string test_repo = www + "/repos/kanade-test.repo";
  // Release 2 uploaded without its copy: the server keeps sending release 1
  // to clients that accept gzip. kanade-lua's copy never arrived.
  const std::string release_1_copy = ReadFile(test_repo + ".gz");
  WriteFile(dir / "test/Language.txt", "Japanese 2\n");
  ASSERT_EQ(RunTool(Publish(www, trees)).Status, 0);
  WriteFile(test_repo + ".gz", release_1_copy);
  fs::remove(www + "/repos/kanade-lua.repo.gz");
  const auto served = Snapshot(www);

  const std::string scratch = dir / "scratch.repo";
  WriteFile(scratch, "module=a.txt\thttps://h/a.txt\t00\n");
  fs::create_symlink("/dev/zero", dir / "zero.key");
  ASSERT_EQ(::mkfifo((dir / "fifo.key").c_str(), 0600), 0);
  WriteFile(dir / "large.key", Noise(1 << 20, 3));
  fs::copy_file(Secret(), dir / "shared.key");
  fs::permissions(dir / "shared.key", fs::perms(0644));
  // One bad entry beside a good file in each folder.
  const auto site = [&](const std::string& name, const std::string& bad) {
    const std::string folder = dir / ("site-" + name);
    WriteFile(folder + "/Language.txt", "Japanese\n");
    if (bad == "link") {
      fs::create_symlink(folder + "/Language.txt", folder + "/link");
    } else {
      WriteFile(folder + "/" + bad, "x");
    }
    return folder;
  };
  const std::string built = dir / "built.repo";
  const auto build = [&](const std::string& folder) {
    return std::vector<std::string>{"build", folder, kBase, "-o", built};
  };
  const auto sign_with = [&](const std::string& key) {
    return std::vector<std::string>{"sign", "--key", key, "--name", "kanade-test", scratch};
  };

  struct Row {
    std::string Name;
    std::vector<std::string> Arguments;
    int Status;
    std::string Mentions;  // on stdout for status 0, else the one line on stderr
  };
  const std::vector<Row> rows = {
      {"verify: a stale copy",
       {"verify", "--keys", Secret() + ".pub", test_repo},
       1,
       "kanade-test.repo.gz: decodes to other bytes than kanade-test.repo (SERIAL 1, where "
       "kanade-test.repo holds SERIAL 2); a web server sends it"},
      {"dry run: a stale copy", Publish(www, {"--dry-run", trees[0], trees[1]}), 0,
       "repos/kanade-test.repo.gz: decodes to other bytes than kanade-test.repo (SERIAL 1, "
       "where kanade-test.repo holds SERIAL 2); would be written again\n"},
      {"dry run: a missing copy", Publish(www, {"--dry-run", trees[0], trees[1]}), 0,
       "repos/kanade-lua.repo.gz: missing, unreadable or no regular file; would be written "
       "again\n"},
      {"key: a link to /dev/zero", sign_with(dir / "zero.key"), 2,
       "zero.key: is a character device, not a key file"},
      {"key: a FIFO", sign_with(dir / "fifo.key"), 2, "fifo.key: is a FIFO, not a key file"},
      {"public keys: a FIFO",
       {"verify", "--keys", dir / "fifo.key", test_repo},
       2,
       "fifo.key: is a FIFO, not a key file"},
      {"key: too large", sign_with(dir / "large.key"), 2, "large.key: is larger than 8192 bytes"},
      {"key: others may read it", sign_with(dir / "shared.key"), 2,
       "shared.key: permissions 0644 are too open; a secret key must be readable by its owner "
       "only (chmod 600 " +
           dir / "shared.key" + ")"},
      {"build: CON", build(site("con", "CON")), 2, "/CON: the patcher refuses this name"},
      {"build: con.txt", build(site("con-txt", "Data/con.txt")), 2,
       "/Data/con.txt: the patcher refuses this name"},
      {"build: a stream", build(site("stream", "Language.txt:x")), 2,
       "/Language.txt:x: the patcher refuses this name"},
      {"build: a link", build(site("link", "link")), 2, "/link: is a symbolic link"},
  };
  // A broken check must fail the row, not hang on the FIFO or fill memory
  // from /dev/zero.
  const std::vector<std::string> bounded = {"timeout", "30", "prlimit", "--as=1073741824"};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    const Outcome outcome = RunTool(row.Arguments, bounded);
    if (row.Status == 0) {
      EXPECT_EQ(outcome.Status, 0) << outcome.Err;
      EXPECT_NE(outcome.Out.find(row.Mentions), std::string::npos) << outcome.Out;
    } else {
      ExpectOneComplaint(outcome, row.Status, row.Mentions);
    }
  }
  EXPECT_EQ(Snapshot(www), served);
  EXPECT_EQ(ReadFile(scratch), "module=a.txt\thttps://h/a.txt\t00\n");
  EXPECT_FALSE(fs::exists(built));
}

// The served folder left holding a SERIAL above its plain file: a publish
// killed between a repository's two renames (repeatably, by strace at that
// rename), or files put back from a backup. Players may hold the higher
// SERIAL, so the next release goes above it, and the tool says what it mends.
TEST(KanadeRepoPublish, TheNextReleaseRisesAboveEverySerialThatPlayersMayHold) {
  const auto serial_of = [](const std::string& text) {
    const std::size_t at = text.find("\nSERIAL=");
    return at == std::string::npos ? std::string()
                                   : text.substr(at + 8, text.find('\n', at + 1) - at - 8);
  };
  struct Row {
    std::string Name;
    bool Killed;      // else release 2 went out whole, and then release 1 was put back
    bool Record;      // .kanade-serials stays (a killed publish of an older tool has none)
    bool GivenAgain;  // the next publish gives kanade-test (else only kanade-lua)
    std::vector<std::string> Mentions;  // on stderr
    std::string Plan;                   // on stdout
  };
  const std::vector<Row> rows = {
      {"killed between the copy and the plain file, no record",
       true,
       false,
       true,
       {"repos/kanade-test.repo.gz holds SERIAL 2, above the SERIAL 1 of kanade-test.repo",
        "kanade-test.repo goes out as SERIAL 3"},
       "kanade-test.repo: SERIAL 1 -> 3, 1 changed\n"},
      {"killed, and the next publish leaves kanade-test as it is",
       true,
       true,
       false,
       {"repos/kanade-test.repo.gz holds SERIAL 2",
        ".kanade-serials records that kanade-test.repo "
        "went out as SERIAL 2",
        "goes out as SERIAL 3, its modules as they are"},
       "kanade-test.repo: SERIAL 1 -> 3, same modules, above a SERIAL held beside it\n"},
      {"both files put back from a backup of release 1",
       false,
       true,
       true,
       {".kanade-serials records that kanade-test.repo went out as SERIAL 2"},
       "kanade-test.repo: SERIAL 1 -> 3, 1 changed\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TempDir dir;
    const std::string www = dir / "www";
    const std::string repo = www + "/repos/kanade-test.repo";
    WriteFile(dir / "lua/Lua/kanade.lua", "-- lua\n");
    const auto publish = [&](const std::string& language, bool with_test,
                             const std::vector<std::string>& wrapper = {}) {
      WriteFile(dir / "test/Language.txt", language);
      std::vector<std::string> given = {"kanade-lua=" + dir / "lua"};
      if (with_test) given.push_back("kanade-test=" + dir / "test");
      return RunTool(Publish(www, given), wrapper);
    };
    ASSERT_EQ(publish("Japanese 1\n", true).Status, 0);
    const auto release_1 = Snapshot(www + "/repos");
    if (row.Killed) {
      // Release 2 renames its one new body, then kanade-test's copy, then
      // its plain file: killed there.
      const Outcome killed =
          publish("Japanese 2\n", true,
                  {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=renameat", "-e",
                   "inject=renameat:error=EIO:signal=SIGKILL:when=3"});
      ASSERT_EQ(killed.Status, 128 + SIGKILL) << killed.Err;
      ASSERT_EQ(serial_of(ReadFile(repo)), "1");
      ASSERT_EQ(serial_of(Gunzip(repo + ".gz")), "2");
      // verify names both SERIALs, and does not advise removing the copy.
      ExpectOneComplaint(RunTool({"verify", "--keys", Secret() + ".pub", repo}), 1,
                         "kanade-test.repo.gz: decodes to other bytes than kanade-test.repo "
                         "(SERIAL 2, where kanade-test.repo holds SERIAL 1); a web server sends "
                         "it in place of the file to clients that accept gzip: publish again, "
                         "above its SERIAL");
    } else {
      ASSERT_EQ(publish("Japanese 2\n", true).Status, 0);
      for (const auto& [name, bytes] : release_1) WriteFile(www + "/repos/" + name, bytes);
    }
    if (!row.Record) fs::remove(www + "/.kanade-serials");

    const Outcome next = publish("Japanese 3\n", row.GivenAgain);
    ASSERT_EQ(next.Status, 0) << next.Err;
    for (const std::string& mention : row.Mentions) {
      EXPECT_NE(next.Err.find(mention), std::string::npos) << next.Err;
    }
    EXPECT_NE(next.Out.find(row.Plan), std::string::npos) << next.Out;
    EXPECT_EQ(serial_of(ReadFile(repo)), "3");
    EXPECT_EQ(Gunzip(repo + ".gz"), ReadFile(repo));
    const Outcome verified = RunTool({"verify", "--keys", Secret() + ".pub", repo});
    EXPECT_EQ(verified.Status, 0) << verified.Err;
    // Mended, the folder agrees with itself: the next publish says nothing.
    const Outcome after = publish("Japanese 3\n", row.GivenAgain);
    EXPECT_EQ(after.Status, 0) << after.Err;
    EXPECT_EQ(after.Err, "");
    EXPECT_NE(after.Out.find("published nothing new"), std::string::npos) << after.Out;
    // A state file that is a link to a device is no record: it would never
    // end (bounded, so that a broken check fails instead of filling memory).
    for (const char* state : {".kanade-serials", ".kanade-retired", ".kanade-base-url"}) {
      fs::remove(www + "/" + state);
      fs::create_symlink("/dev/zero", www + "/" + state);
      const Outcome linked = RunTool(Publish(www, {"kanade-lua=" + dir / "lua"}),
                                     {"timeout", "30", "prlimit", "--as=1073741824"});
      EXPECT_EQ(linked.Status, 0) << state << ": " << linked.Err;
    }
  }
}

// Ctrl-C half-way through a large body: the temporary file goes, no
// repository changes, and one line says so; the tool ends as interrupted.
TEST(KanadeRepoPublish, AnInterruptedPublishLeavesNoTemporaryFileAndSaysWhatIsServed) {
  TempDir dir;
  const std::string www = dir / "www";
  WriteFile(dir / "test/Language.txt", "Japanese\n");
  ASSERT_EQ(RunTool(Publish(www, {"kanade-test=" + dir / "test"})).Status, 0);
  const auto release = Snapshot(www);
  WriteFile(dir / "test/Data/large.bin", Noise(96 << 20, 7));
  const auto temporaries = [&] {
    // The tool creates and removes files meanwhile: a vanished entry ends the look.
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(www, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
      if (it->path().filename().string().find(".kanade-tmp-") != std::string::npos) {
        found.push_back(it->path().string());
      }
    }
    return found;
  };
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const Outcome outcome = RunToolAndSignal(
        Publish(www, {"kanade-test=" + dir / "test"}), [&] { return !temporaries().empty(); },
        signal);
    EXPECT_EQ(outcome.Status, 128 + signal) << outcome.Err;
    EXPECT_EQ(outcome.Err,
              "kanade-repo: interrupted: no repository changed, so " + www +
                  " serves the release it served before; no body was written, and no temporary "
                  "file is left\n");
    EXPECT_EQ(temporaries(), std::vector<std::string>());
    EXPECT_EQ(Snapshot(www), release);
  }
}

}  // namespace
}  // namespace kanade

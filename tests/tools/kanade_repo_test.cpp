// Runs the built kanade-repo the way a publisher does and checks its exit
// status, its output and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "repos/repository_format.h"
#include "repos/sha256.h"
#include "support/temp_dir.h"
#include "tool_runner.h"
#include "util/text.h"

namespace kanade {
namespace {

using test::ExpectOneComplaint;
using test::Outcome;
using test::ReadFile;
using test::RunTool;
using test::TempDir;
using test::WriteFile;

constexpr char kModules[] = "module=a.txt\thttps://h/a.txt\t0000\r\n";

TEST(KanadeRepoTool, HelpGoesToStdout) {
  for (const char* option : {"--help", "-h"}) {
    const Outcome outcome = RunTool({option});
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_NE(outcome.Out.find("kanade-repo build DIR BASE_URL"), std::string::npos);
    EXPECT_NE(outcome.Out.find("kanade-repo publish --key SECRET_FILE --out WWW"),
              std::string::npos);
    EXPECT_EQ(outcome.Err, "");
  }
  EXPECT_EQ(RunTool({"--version"}).Out, "kanade-repo " KANADE_TEST_PROJECT_VERSION "\n");
}

TEST(KanadeRepoTool, BadArgumentsGiveOneLineAndStatus2) {
  ExpectOneComplaint(RunTool({}), 2, "missing command");
  ExpectOneComplaint(RunTool({"deploy", "x"}), 2, "unknown command deploy");
  ExpectOneComplaint(RunTool({"verify"}), 2, "missing argument");
  ExpectOneComplaint(RunTool({"verify", "a", "b"}), 2, "too many arguments");
  ExpectOneComplaint(RunTool({"build", "dir"}), 2, "missing argument");
  ExpectOneComplaint(RunTool({"build", "dir", "http://h", "-o"}), 2, "-o needs a file name");
  ExpectOneComplaint(RunTool({"--frobnicate"}), 2, "unknown option --frobnicate");
  ExpectOneComplaint(RunTool({"sign", "f", "-o", "x"}), 2, "-o is not an option of sign");
  ExpectOneComplaint(RunTool({"verify", "--key", "k", "f"}), 2, "--key is not an option of verify");
  ExpectOneComplaint(RunTool({"sign", "--name", "n", "f"}), 2, "need --key");
  ExpectOneComplaint(RunTool({"build", "d", "http://h", "--key", "k"}), 2, "needs --name");
  ExpectOneComplaint(RunTool({"sign", "--serial"}), 2, "--serial needs a number");
}

TEST(KanadeRepoTool, SignThenVerify) {
  TempDir dir;
  const std::string file = dir / "kanade-test.repo";
  WriteFile(file, kModules);
  ::chmod(file.c_str(), 0640);

  const Outcome signed_outcome = RunTool({"sign", file});
  EXPECT_EQ(signed_outcome.Status, 0) << signed_outcome.Err;
  EXPECT_EQ(signed_outcome.Err, "");
  const std::string signed_text = ReadFile(file);
  EXPECT_TRUE(StartsWith(signed_text, "SIGN="));
  EXPECT_TRUE(EndsWith(signed_text, std::string("\r\n") + kModules));
  EXPECT_TRUE(VerifyRepositoryFile(file));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);

  // The SIGN line alone is no longer enough.
  ExpectOneComplaint(RunTool({"verify", file}), 1, "only the SIGN line");

  WriteFile(file, signed_text + "module=evil\thttp://h/e\t00\n");
  ExpectOneComplaint(RunTool({"verify", file}), 1, "does not match");
}

TEST(KanadeRepoTool, KeysSignAndVerifyBothLayers) {
  TempDir dir;
  const std::string key = dir / "publisher";
  const Outcome made = RunTool({"keygen", key});
  ASSERT_EQ(made.Status, 0) << made.Err;
  struct stat info {};
  ASSERT_EQ(::stat(key.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string public_key = ReadFile(key + ".pub");
  ExpectOneComplaint(RunTool({"keygen", key}), 2, "already exists");
  EXPECT_EQ(ReadFile(key + ".pub"), public_key);

  const std::string file = dir / "kanade-test.repo";
  WriteFile(file, kModules);
  for (const std::string serial : {"1", "2"}) {
    const std::vector<std::string> sign =
        serial == "1"
            ? std::vector<std::string>{"sign", "--key", key, "--name", "kanade-test", file}
            : std::vector<std::string>{"sign", "--key", key, file};
    ASSERT_EQ(RunTool(sign).Status, 0);
    const Outcome verified = RunTool({"verify", "--keys", key + ".pub", file});
    EXPECT_EQ(verified.Status, 0) << verified.Err;
    EXPECT_EQ(verified.Out, file + ": signature ok (NAME kanade-test, SERIAL " + serial + ")\n");
    // What an old client checks still holds.
    EXPECT_TRUE(VerifyRepositoryFile(file));
  }
  const std::string signed_text = ReadFile(file);
  EXPECT_EQ(std::count(signed_text.begin(), signed_text.end(), ';'), 1);

  ASSERT_EQ(RunTool({"keygen", dir / "other"}).Status, 0);
  ExpectOneComplaint(RunTool({"verify", "--keys", dir / "other.pub", file}), 1,
                     "not a trusted key");
  ExpectOneComplaint(RunTool({"verify", "--keys", key, file}), 2,
                     "not a base64 Ed25519 public key");
  ExpectOneComplaint(RunTool({"sign", "--key", key + ".pub", file}), 2, "secret key");
  ExpectOneComplaint(RunTool({"sign", "--key", key, "--serial", "0", file}), 2, "not a number");
  EXPECT_EQ(ReadFile(file), signed_text);

  // Built with a key: sizes on every line, signed, and the next serial of
  // what the output holds.
  WriteFile(dir / "site/a.txt", "alpha");
  const std::string built = dir / "built.repo";
  for (const std::string serial : {"1", "2"}) {
    ASSERT_EQ(RunTool({"build", dir / "site", "https://h", "-o", built, "--key", key, "--name",
                       "kanade-lua"})
                  .Status,
              0);
    EXPECT_EQ(RunTool({"verify", "--keys", key + ".pub", built}).Out,
              built + ": signature ok (NAME kanade-lua, SERIAL " + serial + ")\n");
  }
  EXPECT_NE(
      ReadFile(built).find("module=a.txt\thttps://h/a.txt\t" + Sha256OfText("alpha") + "\t5\n"),
      std::string::npos);
}

TEST(KanadeRepoTool, SignRefusesWhatCouldNeverVerifyAndLeavesTheFile) {
  TempDir dir;
  const std::string hidden = dir / "hidden.repo";
  WriteFile(hidden, "module=a.txt\thttps://h/a.txt\t00\n\nSIGN=0\n");
  ExpectOneComplaint(RunTool({"sign", hidden}), 1, "empty line");
  EXPECT_EQ(ReadFile(hidden), "module=a.txt\thttps://h/a.txt\t00\n\nSIGN=0\n");
  ExpectOneComplaint(RunTool({"verify", hidden}), 1, "empty line");

  const std::string read_only = dir / "read-only.repo";
  WriteFile(read_only, kModules);
  test::SetReadOnly(read_only, true);
  ExpectOneComplaint(RunTool({"sign", read_only}), 2, "read-only");
  EXPECT_EQ(ReadFile(read_only), kModules);
}

TEST(KanadeRepoTool, MissingFilesAndFoldersGiveStatus2) {
  TempDir dir;
  ExpectOneComplaint(RunTool({"verify", dir / "missing.repo"}), 2, "no such file");
  ExpectOneComplaint(RunTool({"sign", dir / "missing.repo"}), 2, "no such file");
  ExpectOneComplaint(RunTool({"verify", dir.path()}), 2, "is a folder");
  ExpectOneComplaint(RunTool({"build", dir / "missing", "https://h"}), 2, "not a folder");
  EXPECT_EQ(ReadFile(dir / "missing.repo"), "<missing>");
}

TEST(KanadeRepoTool, BuildWritesASignedRepositoryAndSkipsItsOwnOutput) {
  TempDir dir;
  WriteFile(dir / "site/files/a.txt", "alpha");
  WriteFile(dir / "site/files/sub/b.txt", "bravo");
  const std::string output = dir / "site/kanade-test.repo";

  const Outcome to_stdout = RunTool({"build", dir / "site", "https://h/m"});
  EXPECT_EQ(to_stdout.Status, 0) << to_stdout.Err;
  EXPECT_EQ(SplitLines(to_stdout.Out).size(), 3u);

  for (int run = 0; run < 2; ++run) {
    const Outcome outcome = RunTool({"build", dir / "site", "https://h/m", "-o", output});
    EXPECT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(outcome.Out, "");
    // The second run finds the first run's output inside the folder.
    EXPECT_EQ(ReadFile(output), to_stdout.Out) << "run " << run;
  }
  EXPECT_TRUE(VerifyRepositoryFile(output));
  EXPECT_NE(to_stdout.Out.find("module=files/sub/b.txt\thttps://h/m/files/sub/b.txt\t"),
            std::string::npos);

  ExpectOneComplaint(RunTool({"build", dir / "site", "ftp://h", "-o", dir / "x.repo"}), 2,
                     "must begin with \"http\"");
  EXPECT_EQ(ReadFile(dir / "x.repo"), "<missing>");
}

TEST(KanadeRepoTool, BuildReportsAnUnreadableFolder) {
  TempDir dir;
  WriteFile(dir / "site/open/a.txt", "alpha");
  WriteFile(dir / "site/locked/b.txt", "bravo");
  ::chmod(dir.path().c_str(), 0755);
  ::chmod((dir / "site/locked").c_str(), 0);
  std::vector<std::string> wrapper;
  if (::geteuid() == 0) {
    // Root reads every folder; run as nobody so that the lock holds.
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv to drop root";
    wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  const Outcome outcome = RunTool({"build", dir / "site", "https://h"}, wrapper);
  ExpectOneComplaint(outcome, 2, "cannot read folder " + (dir / "site/locked"));
  ::chmod((dir / "site/locked").c_str(), 0755);
}

}  // namespace
}  // namespace kanade

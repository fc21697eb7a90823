// Runs the built kanade-repo the way a publisher does and checks its exit
// status, its output and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "repos/repository_format.h"
#include "support/temp_dir.h"
#include "util/text.h"

namespace kanade {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct Outcome {
  int Status = -1;
  std::string Out;
  std::string Err;
};

std::string Quoted(const std::string& argument) {
  return "'" + ReplaceAll(argument, "'", "'\\''") + "'";
}

// Runs the tool, under `wrapper` (such as setpriv) when one is given.
Outcome RunTool(const std::vector<std::string>& arguments,
                const std::vector<std::string>& wrapper = {}) {
  TempDir capture;
  std::string command;
  for (const auto& word : wrapper) command += Quoted(word) + " ";
  command += Quoted(std::string(KANADE_BINARY_DIR) + "/tools/kanade-repo");
  for (const auto& argument : arguments) command += " " + Quoted(argument);
  command += " >" + Quoted(capture / "out") + " 2>" + Quoted(capture / "err") + " </dev/null";
  const int raw = std::system(command.c_str());
  Outcome outcome;
  outcome.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  outcome.Out = ReadFile(capture / "out");
  outcome.Err = ReadFile(capture / "err");
  return outcome;
}

// Exactly one line on stderr, in the tool's own voice.
void ExpectOneComplaint(const Outcome& outcome, int status, const std::string& mentions) {
  EXPECT_EQ(outcome.Status, status) << outcome.Err;
  EXPECT_EQ(outcome.Out, "");
  EXPECT_TRUE(StartsWith(outcome.Err, "kanade-repo: ")) << outcome.Err;
  EXPECT_EQ(SplitLines(outcome.Err).size(), 1u) << outcome.Err;
  EXPECT_TRUE(EndsWith(outcome.Err, "\n"));
  EXPECT_NE(outcome.Err.find(mentions), std::string::npos) << outcome.Err;
}

constexpr char kModules[] = "module=a.txt\thttps://h/a.txt\t0000\r\n";

TEST(KanadeRepoTool, HelpGoesToStdout) {
  for (const char* option : {"--help", "-h"}) {
    const Outcome outcome = RunTool({option});
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_NE(outcome.Out.find("kanade-repo build DIR BASE_URL"), std::string::npos);
    EXPECT_EQ(outcome.Err, "");
  }
}

TEST(KanadeRepoTool, BadArgumentsGiveOneLineAndStatus2) {
  ExpectOneComplaint(RunTool({}), 2, "missing command");
  ExpectOneComplaint(RunTool({"publish", "x"}), 2, "unknown command publish");
  ExpectOneComplaint(RunTool({"verify"}), 2, "missing argument");
  ExpectOneComplaint(RunTool({"verify", "a", "b"}), 2, "too many arguments");
  ExpectOneComplaint(RunTool({"build", "dir"}), 2, "missing argument");
  ExpectOneComplaint(RunTool({"build", "dir", "http://h", "-o"}), 2, "-o needs a file name");
  ExpectOneComplaint(RunTool({"--frobnicate"}), 2, "unknown option --frobnicate");
  ExpectOneComplaint(RunTool({"sign", "f", "-o", "x"}), 2, "-o is only for build");
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

  const Outcome verified = RunTool({"verify", file});
  EXPECT_EQ(verified.Status, 0);
  EXPECT_EQ(verified.Out, file + ": signature ok\n");
  EXPECT_EQ(verified.Err, "");

  WriteFile(file, signed_text + "module=evil\thttp://h/e\t00\n");
  ExpectOneComplaint(RunTool({"verify", file}), 1, "does not match");
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
  EXPECT_EQ(RunTool({"verify", output}).Status, 0);

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

#include "tool_runner.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "support/temp_dir.h"
#include "util/text.h"

namespace kanade::test {

namespace {

std::string Quoted(const std::string& argument) {
  return "'" + ReplaceAll(argument, "'", "'\\''") + "'";
}

}  // namespace

Outcome RunTool(const std::vector<std::string>& arguments,
                const std::vector<std::string>& wrapper) {
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

void ExpectOneComplaint(const Outcome& outcome, int status, const std::string& mentions) {
  EXPECT_EQ(outcome.Status, status) << outcome.Err;
  EXPECT_EQ(outcome.Out, "");
  EXPECT_TRUE(StartsWith(outcome.Err, "kanade-repo: ")) << outcome.Err;
  EXPECT_EQ(SplitLines(outcome.Err).size(), 1u) << outcome.Err;
  EXPECT_TRUE(EndsWith(outcome.Err, "\n"));
  EXPECT_NE(outcome.Err.find(mentions), std::string::npos) << outcome.Err;
}

}  // namespace kanade::test

#include "tool_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

Outcome RunToolAndSignal(const std::vector<std::string>& arguments,
                         const std::function<bool()>& ready, int signal) {
  TempDir capture;
  const std::string out = capture / "out";
  const std::string err = capture / "err";
  const std::string tool = std::string(KANADE_BINARY_DIR) + "/tools/kanade-repo";
  std::vector<char*> argv = {const_cast<char*>(tool.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  Outcome outcome;
  if (child < 0) return outcome;
  int raw = 0;
  bool sent = false;
  while (::waitpid(child, &raw, WNOHANG) == 0) {
    if (!sent && ready()) {
      ::kill(child, signal);
      sent = true;
    }
    ::usleep(1000);
  }
  outcome.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
  outcome.Out = ReadFile(out);
  outcome.Err = ReadFile(err);
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

#include "upgrade/programs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <utility>

#include "repos/sha256.h"
#include "support/temp_dir.h"
#include "util/path.h"

namespace kanade {
namespace {

// Polls for a file the started program writes; the program runs on its own.
bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    if (IsFile(path) && test::ReadFile(path).find('\n') != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

TEST(ProgramLauncher, StartsWithParametersInTheFolderWithoutWaiting) {
  test::TempDir dir;
  const std::string script = dir / "tool";
  // Written without execute permission, as a download arrives.
  test::WriteFile(script, "#!/bin/sh\nsleep 0.2\necho \"$(pwd) $*\" > started.txt\n");
  ::chmod(script.c_str(), 0644);
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(PlatformLauncher().StartProgram(script, "-waitfor 10  -upgrade", dir.path(),
                                              Sha256OfFile(script)));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(150));
  ASSERT_TRUE(WaitForFile(dir / "started.txt"));
  EXPECT_EQ(test::ReadFile(dir / "started.txt"), dir.path() + " -waitfor 10 -upgrade\n");
}

TEST(ProgramLauncher, StartsNothingButTheExpectedProgram) {
  test::TempDir dir;
  test::WriteFile(dir / "junk", "\x7f\x01garbage");
  test::WriteFile(dir / "ok", "#!/bin/sh\necho ran > ran.txt\n");
  std::filesystem::create_symlink(dir / "ok", dir / "link");
  test::WriteFile(dir / "shared", "#!/bin/sh\necho ran > ran.txt\n");
  ::chmod((dir / "shared").c_str(), 0666);  // writable by anyone: made private first
  const std::string ok = Sha256OfFile(dir / "ok");
  const struct {
    std::string program;
    std::string folder;
    std::string digest;
    bool starts;
  } cases[] = {
      {dir / "missing", dir.path(), "", false},
      {dir / "junk", dir.path(), "", false},
      {dir / "ok", dir / "no-such-folder", ok, false},
      {dir / "ok", dir.path(), Sha256OfText("another build"), false},
      {dir / "link", dir.path(), ok, false},  // never through a link
      {dir / "shared", dir.path(), ok, true},
  };
  for (const auto& c : cases) {
    const ProgramOutcome outcome =
        PlatformLauncher().StartProgram(c.program, "", c.folder, c.digest);
    EXPECT_EQ(outcome.Done, c.starts) << c.program;
    EXPECT_EQ(outcome.Reason.Empty(), c.starts) << c.program << ": " << outcome.Reason;
  }
  ASSERT_TRUE(WaitForFile(dir / "ran.txt"));
  struct stat info {};
  ASSERT_EQ(::stat((dir / "shared").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
}

long long MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The upgrade copy waits for the program that started it, not for a time:
// a probe started through the launcher by a child of this test sees the
// child still running, then sees it end within a few milliseconds.
TEST(ProgramLauncher, AStartedProgramSeesItsStarterEndAtOnce) {
  test::TempDir dir;
  const std::string probe = std::string(KANADE_BINARY_DIR) + "/tests/kanade_starter_probe";
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t starter = ::fork();
  if (starter == 0) {
    ::close(hold[1]);
    const bool started = PlatformLauncher().StartProgram(probe, "", dir.path(), "").Done;
    char ignored = 0;
    (void)!::read(hold[0], &ignored, 1);  // runs until the test lets go
    ::_exit(started ? 0 : 1);
  }
  ::close(hold[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long long released = MonotonicNs();
  ::close(hold[1]);
  int status = 0;
  ::waitpid(starter, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(WaitForFile(dir / "starter.txt"));
  int running_at_first = 0;
  int ended = 0;
  long long seen = 0;
  ASSERT_EQ(std::sscanf(test::ReadFile(dir / "starter.txt").c_str(), "%d %d %lld",
                        &running_at_first, &ended, &seen),
            3);
  EXPECT_EQ(running_at_first, 1);
  EXPECT_EQ(ended, 1);
  EXPECT_GE(seen, released);
  EXPECT_LT(seen - released, 100000000LL) << "seen " << (seen - released) / 1000000 << " ms after";
}

// The start is judged by the wait for the forked starter: a wait cut short
// by signals is taken up again (a good start stays good and leaves no
// zombie), and a wait that fails otherwise is no start.
TEST(ProgramLauncher, AStartIsOnlyAsGoodAsTheWaitForIt) {
  test::TempDir dir;
  const std::string script = dir / "tool";
  test::WriteFile(script, "#!/bin/sh\necho ran >> ran.txt\n");
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  sigemptyset(&quiet.sa_mask);
  quiet.sa_flags = 0;  // no SA_RESTART: a blocking call returns EINTR
  struct sigaction ignored {};
  ignored.sa_handler = SIG_IGN;
  sigemptyset(&ignored.sa_mask);
  const struct {
    const char* what;
    int signal;
    const struct sigaction* action;
    bool rain;  // signals sent to this thread all through the start
    bool starts;
  } rows[] = {
      {"signals during the wait", SIGUSR1, &quiet, true, true},
      // Children reaped by the system: waitpid fails with ECHILD.
      {"children ignored", SIGCHLD, &ignored, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    struct sigaction before {};
    ASSERT_EQ(::sigaction(row.signal, row.action, &before), 0);
    std::atomic<bool> done{false};
    const pthread_t self = ::pthread_self();
    std::thread rain([&] {
      while (row.rain && !done) {
        ::pthread_kill(self, row.signal);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    });
    const ProgramOutcome outcome = PlatformLauncher().StartProgram(script, "", dir.path(), "");
    done = true;
    rain.join();
    ::sigaction(row.signal, &before, nullptr);
    EXPECT_EQ(outcome.Done, row.starts) << outcome.Reason;
    EXPECT_EQ(outcome.Reason.Empty(), row.starts) << outcome.Reason;
    if (row.starts) {
      ASSERT_TRUE(WaitForFile(dir / "ran.txt"));
      // The forked starter was waited for, not left behind as a zombie.
      EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0);
    }
  }
}

TEST(ProgramLauncher, CopyReplacesARunningProgramAndKeepsItRunnable) {
  test::TempDir dir;
  const std::string program = dir / "kanade";
  test::WriteFile(program, "#!/bin/sh\nsleep 5\n");
  ::chmod(program.c_str(), 0755);
  const pid_t running = ::fork();
  if (running == 0) {
    ::execl(program.c_str(), program.c_str(), nullptr);
    ::_exit(1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string upgrade = dir / "upgrade_kanade";
  test::WriteFile(upgrade, "#!/bin/sh\necho new > ran.txt\n");
  ::chmod(upgrade.c_str(), 0755);
  EXPECT_FALSE(PlatformLauncher().CopyFileOver(upgrade, program, Sha256OfText("other")));
  EXPECT_TRUE(PlatformLauncher().CopyFileOver(upgrade, program, Sha256OfFile(upgrade)));
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);
  EXPECT_EQ(test::ReadFile(program), test::ReadFile(upgrade));
  struct stat info {};
  ASSERT_EQ(::stat(program.c_str(), &info), 0);
  EXPECT_TRUE(info.st_mode & S_IXUSR);
  EXPECT_FALSE(PlatformLauncher().CopyFileOver(dir / "missing", program, ""));
  EXPECT_EQ(test::ReadFile(program), test::ReadFile(upgrade));
  // Nothing but the program itself is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            2);
}

}  // namespace
}  // namespace kanade

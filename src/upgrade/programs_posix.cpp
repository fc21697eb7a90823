#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "upgrade/programs.h"
#include "util/path.h"

namespace kanade {

namespace {

std::vector<std::string> SplitParameters(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// A downloaded build arrives without execute permission; give it the same
// execute bits as its read bits.
void MakeExecutable(const std::string& program) {
  struct stat info {};
  if (::stat(program.c_str(), &info) != 0) return;
  mode_t mode = info.st_mode;
  if (mode & S_IRUSR) mode |= S_IXUSR;
  if (mode & S_IRGRP) mode |= S_IXGRP;
  if (mode & S_IROTH) mode |= S_IXOTH;
  if (mode != info.st_mode) ::chmod(program.c_str(), mode);
}

class PosixLauncher : public ProgramLauncher {
 public:
  bool StartProgram(std::string_view program, std::string_view parameters,
                    std::string_view folder) override {
    const std::string path(program);
    const std::string dir(folder);
    MakeExecutable(path);
    std::vector<std::string> args = SplitParameters(parameters);
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The grandchild reports a failed exec through this pipe; a successful
    // exec closes it silently.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) {
      ::close(report[0]);
      ::close(report[1]);
      return false;
    }
    if (child == 0) {
      // Double fork: the program is adopted by init and outlives us without
      // ever becoming our zombie.
      ::setsid();
      const pid_t grandchild = ::fork();
      if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
      int error = 0;
      if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
        error = errno;
      } else {
        ::execv(path.c_str(), argv.data());
        error = errno;
      }
      (void)!::write(report[1], &error, sizeof error);
      ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    int error = 0;
    const ssize_t got = ::read(report[0], &error, sizeof error);
    ::close(report[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
  }

  bool CopyFileOver(std::string_view from, std::string_view to) override {
    const auto bytes = ReadFileBytes(from);
    if (!bytes) return false;
    struct stat info {};
    const bool has_mode = ::stat(std::string(from).c_str(), &info) == 0;
    // Through a temporary file and a rename, so a running program file is
    // replaced whole instead of failing with "text file busy".
    const std::string temp = TemporaryPathBeside(to);
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes->data(), 1, bytes->size(), file) == bytes->size();
    ok = std::fflush(file) == 0 && ok;
    ok = ::fsync(fileno(file)) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    if (ok && has_mode) ok = ::chmod(temp.c_str(), info.st_mode & 07777) == 0;
    if (ok) ok = ReplaceFileWith(temp, to);
    if (!ok) RemoveFile(temp);
    return ok;
  }
};

}  // namespace

ProgramLauncher& PlatformLauncher() {
  static PosixLauncher launcher;
  return launcher;
}

}  // namespace kanade

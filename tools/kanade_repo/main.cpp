// kanade-repo: makes and checks the repository files that the patcher
// downloads. The work is done in src/repos/repository_signing; this file only
// reads the command line, the files, and reports.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/command_line.h"
#include "repos/repository_format.h"
#include "repos/repository_signing.h"
#include "util/path.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace kanade {
namespace {

constexpr int kOk = 0;
constexpr int kContentFailed = 1;  // does not verify, or cannot be signed
constexpr int kUsageOrIoFailed = 2;

constexpr const char* kUsage =
    "Usage: kanade-repo COMMAND ...\n"
    "Makes and checks the signed repository files (.repo) that Kanade Patcher downloads.\n"
    "\n"
    "  kanade-repo sign FILE\n"
    "      Signs FILE in place: every SIGN line gets the file's signature. A file\n"
    "      without a SIGN line gets one as its first line, with the file's own\n"
    "      line ends. The file is replaced in one step.\n"
    "  kanade-repo verify FILE\n"
    "      Checks FILE's signature as the patcher does.\n"
    "  kanade-repo build DIR BASE_URL [-o FILE]\n"
    "      Writes a signed repository with one module line per file below DIR,\n"
    "      sorted by path: the path with \"/\", BASE_URL + \"/\" + the percent-encoded\n"
    "      path, and the file's SHA-256 digest. BASE_URL must begin with \"http\";\n"
    "      trailing \"/\" are dropped. The result goes to FILE (replaced in one step,\n"
    "      and left out of the list when it lies inside DIR), or to standard output\n"
    "      without -o.\n"
    "\n"
    "Options:\n"
    "  -o FILE, --output FILE   where build writes the repository\n"
    "  -h, --help               show this text\n"
    "  --                       the arguments that follow are not options\n"
    "\n"
    "Exit status: 0 success; 1 the file does not verify or cannot be signed;\n"
    "2 bad arguments, or a file or folder that cannot be read or written.\n";

int Complain(const std::string& message, int status) {
  std::fprintf(stderr, "kanade-repo: %s\n", message.c_str());
  return status;
}

struct CommandLine {
  std::vector<std::string> Positional;
  std::optional<std::string> Output;
  bool Help = false;
  std::string Error;
};

CommandLine ParseArguments(const std::vector<std::string>& arguments) {
  CommandLine line;
  bool options_ended = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      line.Positional.push_back(argument);
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "-h" || argument == "--help") {
      line.Help = true;
    } else if (argument == "-o" || argument == "--output") {
      if (i + 1 >= arguments.size()) {
        line.Error = argument + " needs a file name";
        return line;
      }
      line.Output = arguments[++i];
    } else {
      line.Error = "unknown option " + argument + " (see kanade-repo --help)";
      return line;
    }
  }
  return line;
}

// The file's bytes, or a complaint already printed (status in `status`).
std::optional<std::string> ReadExistingFile(const std::string& path, int* status) {
  if (!IsFile(path)) {
    *status =
        Complain(path + (IsDirectory(path) ? ": is a folder" : ": no such file"), kUsageOrIoFailed);
    return std::nullopt;
  }
  auto bytes = ReadFileBytes(path);
  if (!bytes) *status = Complain(path + ": cannot read the file", kUsageOrIoFailed);
  return bytes;
}

int Verify(const std::string& path) {
  int status = kOk;
  const auto bytes = ReadExistingFile(path, &status);
  if (!bytes) return status;
  const std::string problem = DescribeSignatureProblem(*bytes);
  if (!problem.empty()) return Complain(path + ": signature not ok: " + problem, kContentFailed);
  std::printf("%s: signature ok\n", path.c_str());
  return kOk;
}

int Sign(const std::string& path) {
  int status = kOk;
  const auto bytes = ReadExistingFile(path, &status);
  if (!bytes) return status;
  if (IsReadOnlyFile(path)) return Complain(path + ": is read-only; not signed", kUsageOrIoFailed);

  std::string problem;
  const auto signed_text = SignRepositoryText(*bytes, &problem);
  if (!signed_text) return Complain(path + ": cannot sign: " + problem, kContentFailed);

  if (*signed_text != *bytes) {
    // Replace the file a link points to, not the link, and keep its mode.
    std::error_code ec;
    std::filesystem::path target = std::filesystem::canonical(FsPath(path), ec);
    if (ec) target = FsPath(path);
    const auto permissions = std::filesystem::status(target, ec).permissions();
    if (!WriteFileAtomically(Utf8Path(target), *signed_text)) {
      return Complain(path + ": cannot write the signed file", kUsageOrIoFailed);
    }
    if (!ec) std::filesystem::permissions(target, permissions, ec);
  }
  std::printf("%s: signed\n", path.c_str());
  return kOk;
}

int Build(const std::string& folder, const std::string& base_url,
          const std::optional<std::string>& output) {
  std::string problem;
  const auto text = BuildRepositoryText(folder, base_url, output.value_or(""), &problem);
  if (!text) return Complain(problem, kUsageOrIoFailed);
  if (output) {
    if (!WriteFileAtomically(*output, *text)) {
      return Complain(*output + ": cannot write the repository file", kUsageOrIoFailed);
    }
    return kOk;
  }
#ifdef _WIN32
  // Text mode would turn LF into CR LF and break the signature.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const bool written = std::fwrite(text->data(), 1, text->size(), stdout) == text->size() &&
                       std::fflush(stdout) == 0;
  if (!written) return Complain("cannot write to standard output", kUsageOrIoFailed);
  return kOk;
}

int Run(const std::vector<std::string>& arguments) {
  const CommandLine line = ParseArguments(arguments);
  if (!line.Error.empty()) return Complain(line.Error, kUsageOrIoFailed);
  if (line.Help) {
    std::fputs(kUsage, stdout);
    return kOk;
  }
  if (line.Positional.empty()) {
    return Complain("missing command: sign, verify or build (see kanade-repo --help)",
                    kUsageOrIoFailed);
  }
  const std::string& command = line.Positional[0];
  const std::size_t operands = line.Positional.size() - 1;
  const std::size_t wanted = command == "build" ? 2 : 1;
  if (command != "sign" && command != "verify" && command != "build") {
    return Complain("unknown command " + command + " (see kanade-repo --help)", kUsageOrIoFailed);
  }
  if (operands != wanted) {
    const std::string usage =
        command == "build" ? "build DIR BASE_URL [-o FILE]" : command + " FILE";
    return Complain((operands < wanted ? "missing argument; usage: kanade-repo "
                                       : "too many arguments; usage: kanade-repo ") +
                        usage,
                    kUsageOrIoFailed);
  }
  if (line.Output && command != "build") {
    return Complain("-o is only for build", kUsageOrIoFailed);
  }
  if (line.Positional[1].empty()) return Complain("empty file name", kUsageOrIoFailed);
  if (command == "verify") return Verify(line.Positional[1]);
  if (command == "sign") return Sign(line.Positional[1]);
  if (line.Output && line.Output->empty()) return Complain("empty output name", kUsageOrIoFailed);
  return Build(line.Positional[1], line.Positional[2], line.Output);
}

}  // namespace
}  // namespace kanade

int main(int argc, char** argv) {
  return kanade::Run(kanade::PlatformArguments(argc, argv));
}

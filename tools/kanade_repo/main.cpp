// kanade-repo: makes and checks the repository files that the patcher
// downloads. This file reads the command line and the files, and reports;
// the work is done beside it (signing, publishing) and in src/repos/
// (the repository format and its checks, shared with the patcher).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "gzip_file.h"
#include "kanade_version.h"
#include "publish_command.h"
#include "repos/publisher_keys.h"
#include "repos/repository_format.h"
#include "repos/repository_trust.h"
#include "repository_signing.h"
#include "served_tree.h"
#include "tool_support.h"
#include "util/path.h"
#include "util/platform_arguments.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace kanade {
namespace {

constexpr const char* kUsage =
    "Usage: kanade-repo COMMAND ...\n"
    "Makes, checks and publishes the signed repository files (.repo) that Kanade Patcher\n"
    "downloads.\n"
    "\n"
    "  kanade-repo keygen SECRET_FILE\n"
    "      Makes a publisher key pair: SECRET_FILE (mode 600; keep it private) and\n"
    "      SECRET_FILE.pub, the public key to build the patcher with. Never overwrites.\n"
    "  kanade-repo sign --key SECRET_FILE [--name NAME] [--serial N] FILE\n"
    "      Signs FILE in place in both layers: sets NAME (kept when not given) and\n"
    "      SERIAL (N, else the file's SERIAL + 1, else 1), replaces old signature\n"
    "      lines with one by the key, then fills in the SIGN line. A FILE.gz beside\n"
    "      it (publish writes one) is written anew first, as build -o does.\n"
    "  kanade-repo sign FILE\n"
    "      Fills in the SIGN line only, as publishers did before keys existed.\n"
    "  kanade-repo verify [--keys PUBLIC_FILE] FILE\n"
    "      Checks FILE as the patcher does: the SIGN line and a signature by one of\n"
    "      the keys (default: the keys built into this program). A FILE.gz beside\n"
    "      it must decode to exactly FILE's bytes (both SERIALs are named where they\n"
    "      differ).\n"
    "  kanade-repo build DIR BASE_URL [-o FILE] [--key SECRET_FILE --name NAME [--serial N]]\n"
    "      Writes a repository with one module line per file below DIR, sorted by\n"
    "      path: the path with \"/\", BASE_URL + \"/\" + the percent-encoded path, the\n"
    "      file's SHA-256 digest and, with --key, its size. BASE_URL must begin\n"
    "      with \"http\"; trailing \"/\" are dropped. With --key the file is signed\n"
    "      in both layers (SERIAL: N, else FILE's SERIAL + 1, else 1), without it\n"
    "      only the SIGN line. The result goes to FILE (replaced in one step, and\n"
    "      left out of the list when it lies inside DIR), or to standard output.\n"
    "      DIR is checked as publish checks a tree: links, special files and\n"
    "      names that the patcher refuses are each named, and nothing is written.\n"
    "  kanade-repo publish --key SECRET_FILE --out WWW --base-url URL\n"
    "                      [--windows kanade.exe] [--linux kanade] [--keys PUBLIC_FILE]\n"
    "                      [--new] [--move-base-url] [--dry-run] [MODE=FOLDER ...]\n"
    "      Publishes a release into WWW, the folder that URL serves. MODE is\n"
    "      kanade-conv-test, kanade-test, kanade-prefixed or kanade-lua; FOLDER holds\n"
    "      the files as they lie below the game folder. --windows and --linux give\n"
    "      the program builds for kanade-patcher-win and kanade-patcher-linux.\n"
    "      The key must be one that the players' builds trust: the keys built into\n"
    "      this program, or those of --keys. WWW must hold repos/ unless --new is\n"
    "      given. The first publish fixes URL (WWW/.kanade-base-url) and says so;\n"
    "      another URL needs --move-base-url and every repository that WWW serves.\n"
    "      Names reserved for examples (example.org, *.example, ...) are refused.\n"
    "      Each body is stored once as WWW/files/<2 digits>/<SHA-256 digest>, with a\n"
    "      .gz copy where that saves 10 %; all bodies are written and flushed\n"
    "      before each changed repository is renamed into WWW/repos/ with the next\n"
    "      SERIAL, its .gz copy first: one above its plain file's, its .gz copy's\n"
    "      and WWW/.kanade-serials' (each that stands above the plain file is named\n"
    "      on stderr). Repositories not given, and unchanged ones, stay as they are\n"
    "      unless one of those stands above them.\n"
    "      Bodies that no repository names are removed one release later.\n"
    "      Before and after, every repository in WWW must verify with those keys\n"
    "      and every body match its digest and size. --dry-run makes every check\n"
    "      and prints the changes, writes nothing, and exits as publish would.\n"
    "      Interrupted (Ctrl-C), it removes its temporary files and says what WWW\n"
    "      holds.\n"
    "\n"
    "Options:\n"
    "  -o FILE, --output FILE   where build writes the repository\n"
    "  --key SECRET_FILE        the publisher's secret key\n"
    "  --name NAME              the repository's name: its server file name without .repo\n"
    "  --serial N               the release number, 1 to 2^63-1, higher than the last\n"
    "  --keys PUBLIC_FILE       public keys for verify and publish, one base64 key a line\n"
    "                           (default: the keys built into this program)\n"
    "  --out WWW                the folder that publish writes\n"
    "  --new                    WWW is a new served folder (missing, or no repos/)\n"
    "  --base-url URL           where WWW is served, such as https://HOST:8443\n"
    "  --move-base-url          WWW moves to another URL: every repository at once\n"
    "  --windows FILE           kanade.exe to publish\n"
    "  --linux FILE             kanade to publish\n"
    "  --dry-run                publish only checks and prints what would change\n"
    "  -h, --help               show this text\n"
    "  --version                show the version\n"
    "  --                       the arguments that follow are not options\n"
    "\n"
    "Exit status: 0 success; 1 the file does not verify or cannot be signed, or WWW\n"
    "does not hold what its repositories list;\n"
    "2 bad arguments, or a file, folder or key that cannot be read or written.\n"
    "An interrupted publish ends by the signal it received (130 in a shell for Ctrl-C).\n";

const std::set<std::string> kValueOptions = {"-o",        "--output", "--key", "--name",
                                             "--serial",  "--keys",   "--out", "--base-url",
                                             "--windows", "--linux"};
const std::set<std::string> kFlagOptions = {"--dry-run", "--new", "--move-base-url"};

std::string OptionName(const std::string& option) {
  return option == "--output" ? "-o" : option;
}

struct CommandLine {
  std::vector<std::string> Positional;
  std::map<std::string, std::string> Options;  // by OptionName
  bool Help = false;
  bool Version = false;
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
    } else if (argument == "--version") {
      line.Version = true;
    } else if (kFlagOptions.count(argument) > 0) {
      line.Options[argument] = "";
    } else if (kValueOptions.count(argument) > 0) {
      if (i + 1 >= arguments.size()) {
        line.Error = argument + (argument == "--serial" ? " needs a number" : " needs a file name");
        if (argument == "--name") line.Error = "--name needs a repository name";
        if (argument == "--base-url") line.Error = "--base-url needs a URL";
        if (argument == "--out") line.Error = "--out needs a folder";
        return line;
      }
      if (!line.Options.emplace(OptionName(argument), arguments[++i]).second) {
        line.Error = argument + " is given twice";
        return line;
      }
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

std::optional<std::int64_t> SerialOption(const CommandLine& line, int* status) {
  const auto it = line.Options.find("--serial");
  if (it == line.Options.end()) return std::nullopt;
  const auto serial = ParseSerial(it->second);
  if (!serial) {
    *status =
        Complain("--serial " + it->second + ": not a number from 1 to 2^63-1", kUsageOrIoFailed);
  }
  return serial;
}

int Keygen(const std::string& path) {
  const std::string public_path = path + ".pub";
  for (const std::string& existing : {path, public_path}) {
    if (std::filesystem::symlink_status(FsPath(existing)).type() !=
        std::filesystem::file_type::not_found) {
      return Complain(existing + ": already exists; not overwritten", kUsageOrIoFailed);
    }
  }
  const auto key = GenerateSecretKey();
  if (!key) return Complain("cannot make a key pair (libsodium)", kUsageOrIoFailed);
  std::string secret_text = SecretKeyFileText(*key);
  const bool written = WritePrivateFile(path, secret_text);
  WipeText(secret_text);
  if (!written) return Complain(path + ": cannot write the secret key", kUsageOrIoFailed);
  if (!WriteFileAtomically(public_path, PublicKeyFileText(key->Public()))) {
    RemoveFile(path);
    return Complain(public_path + ": cannot write the public key", kUsageOrIoFailed);
  }
  std::printf("%s: secret key (keep it private)\n%s: public key %s\n", path.c_str(),
              public_path.c_str(), KeyIdOf(key->Public()).c_str());
  return kOk;
}

int Verify(const std::string& path, const std::optional<std::string>& keys_file) {
  int status = kOk;
  std::vector<PublicKey> keys = CompiledPublisherKeys();
  if (keys_file) {
    const auto loaded = ReadPublicKeys(*keys_file, &status);
    if (!loaded) return status;
    keys = *loaded;
  }
  const auto bytes = ReadExistingFile(path, &status);
  if (!bytes) return status;
  const std::string problem = DescribeSignatureProblem(*bytes);
  if (!problem.empty()) return Complain(path + ": signature not ok: " + problem, kContentFailed);
  const RepositoryCheck check = CheckRepositoryText(*bytes, keys);
  if (check.Trust != RepositoryTrust::kSigned) {
    return Complain(path + ": signature not ok: " + DescribePublisherProblem(*bytes, keys),
                    kContentFailed);
  }
  // A web server with gzip_static sends the copy instead of the file to
  // every client that accepts gzip, so a stale one hides this release.
  const std::string gz = path + ".gz";
  std::error_code ec;
  if (std::filesystem::symlink_status(FsPath(gz), ec).type() !=
      std::filesystem::file_type::not_found) {
    const std::string problem = GzipCopyProblem(gz, *bytes, Utf8Path(FsPath(path).filename()));
    if (!problem.empty()) {
      // Players may hold a copy that is ahead: only a higher SERIAL reaches them.
      const auto copy = DecodedGzipFile(gz);
      const bool ahead = copy && SerialLineOf(*copy).value_or(0) > check.Serial;
      return Complain(gz + ": " + problem +
                          "; a web server sends it in place of the file to clients that accept "
                          "gzip: " +
                          (ahead ? "publish again, above its SERIAL (players may hold it)"
                                 : "remove it, or publish again to write it anew"),
                      kContentFailed);
    }
  }
  std::printf("%s: signature ok (NAME %s, SERIAL %lld)\n", path.c_str(), check.Name.c_str(),
              static_cast<long long>(check.Serial));
  return kOk;
}

int Sign(const std::string& path, const CommandLine& line) {
  int status = kOk;
  std::optional<SecretKey> key;
  const auto key_file = line.Options.find("--key");
  if (key_file != line.Options.end()) {
    key = ReadSecretKey(key_file->second, &status);
    if (!key) return status;
  } else if (line.Options.count("--name") > 0 || line.Options.count("--serial") > 0) {
    return Complain("--name and --serial need --key", kUsageOrIoFailed);
  }
  const auto serial = SerialOption(line, &status);
  if (status != kOk) return status;
  const auto bytes = ReadExistingFile(path, &status);
  if (!bytes) return status;
  if (IsReadOnlyFile(path)) return Complain(path + ": is read-only; not signed", kUsageOrIoFailed);

  std::string problem;
  std::optional<std::string> name;
  if (const auto it = line.Options.find("--name"); it != line.Options.end()) name = it->second;
  const auto signed_text = key ? SignRepositoryWithKey(*bytes, *key, name, serial, &problem)
                               : SignRepositoryText(*bytes, &problem);
  if (!signed_text) return Complain(path + ": cannot sign: " + problem, kContentFailed);

  if (*signed_text != *bytes) {
    // Replace the file a link points to, not the link, and keep its mode.
    std::error_code ec;
    std::filesystem::path target = std::filesystem::canonical(FsPath(path), ec);
    if (ec) target = FsPath(path);
    const auto permissions = std::filesystem::status(target, ec).permissions();
    if (!RenewGzipCopyBeside(Utf8Path(target), *signed_text)) {
      return Complain(Utf8Path(target) + ".gz: cannot write the file", kUsageOrIoFailed);
    }
    if (!WriteFileAtomically(Utf8Path(target), *signed_text)) {
      return Complain(path + ": cannot write the signed file", kUsageOrIoFailed);
    }
    if (!ec) std::filesystem::permissions(target, permissions, ec);
  }
  std::printf("%s: signed\n", path.c_str());
  return kOk;
}

int Build(const std::string& folder, const std::string& base_url, const CommandLine& line) {
  int status = kOk;
  const auto output_it = line.Options.find("-o");
  const std::optional<std::string> output =
      output_it == line.Options.end() ? std::nullopt : std::optional(output_it->second);
  if (output && output->empty()) return Complain("empty output name", kUsageOrIoFailed);
  std::optional<SecretKey> key;
  const auto key_file = line.Options.find("--key");
  const auto name = line.Options.find("--name");
  if (key_file != line.Options.end()) {
    if (name == line.Options.end()) return Complain("build --key needs --name", kUsageOrIoFailed);
    key = ReadSecretKey(key_file->second, &status);
    if (!key) return status;
  } else if (name != line.Options.end() || line.Options.count("--serial") > 0) {
    return Complain("--name and --serial need --key", kUsageOrIoFailed);
  }
  auto serial = SerialOption(line, &status);
  if (status != kOk) return status;

  std::vector<std::string> problems;
  auto text =
      BuildRepositoryText(folder, base_url, output.value_or(""), &problems, key.has_value());
  if (!text) return ComplainOfEach(problems, "nothing was written");
  std::string problem;
  if (key) {
    // The next release of what the output file holds now, unless told.
    if (!serial && output) serial = NextSerialOf(*output);
    text = SignRepositoryWithKey(*text, *key, name->second, serial.value_or(1), &problem);
    if (!text) return Complain("cannot sign: " + problem, kContentFailed);
  }
  if (output) {
    if (!RenewGzipCopyBeside(*output, *text)) {
      return Complain(*output + ".gz: cannot write the file", kUsageOrIoFailed);
    }
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

struct CommandShape {
  std::size_t Operands;  // SIZE_MAX: any number
  const char* Usage;
  std::set<std::string> Options;
};

const std::map<std::string, CommandShape> kCommands = {
    {"keygen", {1, "keygen SECRET_FILE", {}}},
    {"sign",
     {1,
      "sign [--key SECRET_FILE [--name NAME] [--serial N]] FILE",
      {"--key", "--name", "--serial"}}},
    {"verify", {1, "verify [--keys PUBLIC_FILE] FILE", {"--keys"}}},
    {"build",
     {2,
      "build DIR BASE_URL [-o FILE] [--key SECRET_FILE --name NAME [--serial N]]",
      {"-o", "--key", "--name", "--serial"}}},
    {"publish",
     {SIZE_MAX,
      "publish --key SECRET_FILE --out WWW --base-url URL [--windows FILE] [--linux FILE] "
      "[MODE=FOLDER ...]",
      {"--key", "--out", "--base-url", "--windows", "--linux", "--keys", "--dry-run", "--new",
       "--move-base-url"}}},
};

int Run(const std::vector<std::string>& arguments) {
  const CommandLine line = ParseArguments(arguments);
  if (!line.Error.empty()) return Complain(line.Error, kUsageOrIoFailed);
  if (line.Help) {
    std::fputs(kUsage, stdout);
    return kOk;
  }
  if (line.Version) {
    std::printf("kanade-repo %s\n", KANADE_VERSION);
    return kOk;
  }
  if (line.Positional.empty()) {
    return Complain(
        "missing command: keygen, sign, verify, build or publish (see kanade-repo --help)",
        kUsageOrIoFailed);
  }
  const std::string& command = line.Positional[0];
  const auto shape = kCommands.find(command);
  if (shape == kCommands.end()) {
    return Complain("unknown command " + command + " (see kanade-repo --help)", kUsageOrIoFailed);
  }
  const std::size_t operands = line.Positional.size() - 1;
  const std::size_t wanted = shape->second.Operands;
  if (wanted != SIZE_MAX && operands != wanted) {
    return Complain((operands < wanted ? "missing argument; usage: kanade-repo "
                                       : "too many arguments; usage: kanade-repo ") +
                        std::string(shape->second.Usage),
                    kUsageOrIoFailed);
  }
  for (const auto& [option, value] : line.Options) {
    if (shape->second.Options.count(option) == 0) {
      return Complain(option + " is not an option of " + command, kUsageOrIoFailed);
    }
  }
  if (command == "publish") {
    return Publish({line.Positional.begin() + 1, line.Positional.end()}, line.Options);
  }
  if (line.Positional[1].empty()) return Complain("empty file name", kUsageOrIoFailed);
  const std::string& operand = line.Positional[1];
  if (command == "keygen") return Keygen(operand);
  if (command == "verify") {
    const auto keys = line.Options.find("--keys");
    return Verify(operand, keys == line.Options.end() ? std::nullopt : std::optional(keys->second));
  }
  if (command == "sign") return Sign(operand, line);
  return Build(operand, line.Positional[2], line);
}

}  // namespace
}  // namespace kanade

int main(int argc, char** argv) {
  return kanade::Run(kanade::PlatformArguments(argc, argv));
}

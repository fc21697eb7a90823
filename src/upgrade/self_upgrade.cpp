#include "upgrade/self_upgrade.h"

#include "app/shutdown.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "upgrade/programs.h"
#include "util/path.h"

namespace kanade {

namespace {
#ifdef _WIN32
constexpr std::string_view kProgramName = "kanade.exe";
#else
constexpr std::string_view kProgramName = "kanade";
#endif
}  // namespace

std::string ProgramExe() {
  return ProgramFolder + std::string(PathSeparator) + std::string(kProgramName);
}

std::string UpgradeExe() {
  return ProgramFolder + std::string(PathSeparator) + "upgrade_" + std::string(kProgramName);
}

void PrepareUpgrade() {
  const std::string program = ProgramExe();
  const std::string upgrade = UpgradeExe();
  if (!IsFile(program) || !IsFile(upgrade)) return;
  if (Sha256OfFile(program) == Sha256OfFile(upgrade)) return;
  AddConsoleLine("アップデート準備中: " + upgrade);
  if (Launcher().StartProgram(upgrade, "-waitfor 10 -upgrade", ProgramFolder)) EndProgram();
}

void PerformUpgrade() {
  const std::string program = ProgramExe();
  const std::string upgrade = UpgradeExe();
  if (!IsFile(upgrade)) return;
  AddConsoleLine("アップデート処理中: " + upgrade + " -> " + program);
  if (!Launcher().CopyFileOver(upgrade, program)) return;
  Launcher().StartProgram(program, "", ProgramFolder);
  EndProgram();
}

}  // namespace kanade

#include "app/command_line.h"

#include "state/patcher_state.h"
#include "util/platform_arguments.h"
#include "util/text.h"

namespace kanade {

namespace {

std::vector<std::string>& Parameters() {
  static std::vector<std::string> parameters;
  return parameters;
}

std::string WithoutEnclosingQuotes(std::string text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

void MarkLaunchedByUpgrade() {
  State().LaunchedByUpgrade = 1;
  LogLinePrefix = "UPG:";
}

}  // namespace

const std::vector<std::string>& ProgramParameters() {
  return Parameters();
}

void SetProgramParameters(std::vector<std::string> parameters) {
  Parameters() = std::move(parameters);
}

void LoadProgramParameters(int argc, char** argv) {
  std::vector<std::string> parameters = PlatformArguments(argc, argv);
  for (std::string& parameter : parameters) parameter = WithoutEnclosingQuotes(parameter);
  SetProgramParameters(std::move(parameters));
}

void ParseCommandLine() {
  const auto& parameters = ProgramParameters();
  PatcherState& state = State();
  for (std::size_t i = 0; i < parameters.size() && !parameters[i].empty(); ++i) {
    const std::string& option = parameters[i];
    if (option == "-nopatch") {
      state.NoPatch = 1;
    } else if (option == "-uninstall") {
      state.UninstallRequested = 1;
      state.EnableLocalization = 0;
      state.EnableLuaIntegration = 0;
      state.NoPatch = 1;
    } else if (option == "-waitfor") {
      // The number is consumed even when it looks like an option.
      const std::string number = i + 1 < parameters.size() ? parameters[++i] : std::string();
      state.WaitForMs = static_cast<double>(ParseInteger(number)) * 1000.0;
      MarkLaunchedByUpgrade();
    } else if (option == "-upgrade") {
      state.UpgradeRequested = 1;
      MarkLaunchedByUpgrade();
    }
  }
}

}  // namespace kanade

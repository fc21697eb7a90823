#include "app/command_line.h"

#include <gtest/gtest.h>

#include "state/patcher_state.h"

namespace kanade {
namespace {

PatcherState Parse(std::vector<std::string> parameters) {
  ResetProgramState();
  SetProgramParameters(std::move(parameters));
  ParseCommandLine();
  return State();
}

TEST(CommandLine, UpgradeHandOver) {
  const auto s = Parse({"-waitfor", "10", "-upgrade"});
  EXPECT_EQ(s.WaitForMs, 10000);
  EXPECT_EQ(s.UpgradeRequested, 1);
  EXPECT_EQ(s.LaunchedByUpgrade, 1);
  EXPECT_EQ(LogLinePrefix, "UPG:");
  EXPECT_EQ(s.NoPatch, 0);
}

TEST(CommandLine, WaitforConsumesItsArgumentWhateverItIs) {
  auto s = Parse({"-waitfor"});
  EXPECT_EQ(s.WaitForMs, 0);
  EXPECT_EQ(s.LaunchedByUpgrade, 1);
  EXPECT_EQ(LogLinePrefix, "UPG:");

  s = Parse({"-waitfor", "-upgrade"});
  EXPECT_EQ(s.UpgradeRequested, 0);
  EXPECT_EQ(s.WaitForMs, 0);

  EXPECT_EQ(Parse({"-waitfor", "2.5"}).WaitForMs, 2000);
  EXPECT_EQ(Parse({"-waitfor", "soon"}).WaitForMs, 0);
  EXPECT_EQ(Parse({"-waitfor", "$10"}).WaitForMs, 16000);
  EXPECT_EQ(Parse({"-waitfor", "-3"}).WaitForMs, -3000);
  EXPECT_EQ(Parse({"-waitfor", "5", "-waitfor", "7"}).WaitForMs, 7000);
}

TEST(CommandLine, UninstallClearsFlagsAndSkipsSelfUpdate) {
  ResetProgramState();
  State().EnableLocalization = 1;
  State().EnableLuaIntegration = 1;
  SetProgramParameters({"-uninstall"});
  ParseCommandLine();
  EXPECT_EQ(State().UninstallRequested, 1);
  EXPECT_EQ(State().EnableLocalization, 0);
  EXPECT_EQ(State().EnableLuaIntegration, 0);
  EXPECT_EQ(State().NoPatch, 1);
  EXPECT_EQ(State().LaunchedByUpgrade, 0);
  EXPECT_EQ(LogLinePrefix, "");
}

TEST(CommandLine, OnlyExactOptionsCountAndAnEmptyParameterStops) {
  auto s = Parse({"-NOPATCH", "/nopatch", "nopatch", "-nopatch "});
  EXPECT_EQ(s.NoPatch, 0);
  s = Parse({"-nopatch"});
  EXPECT_EQ(s.NoPatch, 1);
  s = Parse({"", "-nopatch", "-upgrade"});
  EXPECT_EQ(s.NoPatch, 0);
  EXPECT_EQ(s.UpgradeRequested, 0);
  s = Parse({"-nopatch", "", "-upgrade"});
  EXPECT_EQ(s.NoPatch, 1);
  EXPECT_EQ(s.UpgradeRequested, 0);
}

TEST(CommandLine, EnclosingQuotesAreRemovedFromArgv) {
  char program[] = "kanade";
  char quoted[] = "\"-nopatch\"";
  char* argv[] = {program, quoted};
  ResetProgramState();
  LoadProgramParameters(2, argv);
  ParseCommandLine();
  EXPECT_EQ(State().NoPatch, 1);
}

}  // namespace
}  // namespace kanade

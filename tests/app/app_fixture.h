// A program folder, a game and its data folder, a repository server and the
// headless toolkit: what the patch run and the event loop need.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "support/headless_toolkit.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

namespace kanade::test {

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Publishes `files` (relative path -> bytes) as the signed repository
  /// `name` ("kanade-test.repo") on the server.
  void Publish(const std::string& name, const std::map<std::string, std::string>& files);
  /// The program folder as an earlier build left it after installing what is
  /// published now: its copies of the repositories in repos/.
  void KeepPublishedCopies();
  /// The game folder (validated) and the data folder with its FIFO folder.
  void InstallGame();
  /// Builds the main window as start-up does, ready for events.
  void OpenMainWindow();
  /// Delivers main-window timer events until the run's step reaches `step` (or the
  /// program ended); false when it did not within `limit` events.
  bool RunUntilStep(int step, int limit = 400);
  /// One event through the event loop's dispatch.
  void Dispatch(const Event& event);
  std::string Log() const { return ReadFile(dir_ / "program/kanade.log"); }
  std::vector<std::string> ConsoleTexts() const;

  TempDir dir_;
  HeadlessToolkit toolkit_;
  HttpTestServer server_;
  std::int64_t serial_ = 0;  // each publication is the next release
  std::map<std::string, std::string> published_;  // repository texts by served name
  std::string game_;
  std::string data_;
  bool ended_ = false;

 private:
  std::optional<std::string> old_home_;
};

}  // namespace kanade::test

// An engine sink for tests: keeps every event with its typed outcome, and
// passes it on to another sink (the program's reporter) when given one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "repos/engine_sink.h"

namespace kanade::test {

struct RecordedModule {
  PatchAction Action = PatchAction::kInstall;
  std::string Path;
  std::optional<ModuleOutcome> Outcome;
};

class RecordingSink : public EngineSink {
 public:
  explicit RecordingSink(EngineSink* shown = nullptr) : shown_(shown) {}

  void FetchStarted(std::string_view url) override;
  void FetchEnded(std::string_view url, const FetchOutcome& outcome) override;
  void RepositoryStarted(std::string_view name, PatchAction action) override;
  void RepositoryEnded(std::string_view name, PatchAction action,
                       const RepositoryOutcome& outcome) override;
  std::unique_ptr<ModuleEvents> ModuleStarted(PatchAction action,
                                              std::string_view full_path) override;
  void ModuleRefused(PatchAction action, std::string_view full_path,
                     std::string_view reason) override;
  void KeepAlive() override;
  void DownloadsUnderWay(const DownloadTotals& totals) override;
  void DownloadsEnded() override;

  /// The last module's outcome; a test fails without one.
  const ModuleOutcome& LastOutcome() const;
  const RecordedModule& LastModule() const { return modules.back(); }

  std::vector<RecordedModule> modules;
  std::vector<DownloadTotals> downloads;  // each progress told
  int downloads_ended = 0;

 private:
  EngineSink* shown_;
};

}  // namespace kanade::test

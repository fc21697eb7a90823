#include "support/recording_sink.h"

#include <gtest/gtest.h>

namespace kanade::test {

namespace {

class RecordedEvents : public ModuleEvents {
 public:
  RecordedEvents(std::vector<RecordedModule>& modules, std::unique_ptr<ModuleEvents> shown)
      : modules_(modules), index_(modules.size() - 1), shown_(std::move(shown)) {}
  void Downloading(std::uint64_t bytes) override {
    if (shown_) shown_->Downloading(bytes);
  }
  void Retried(const std::vector<Reason>& reasons) override {
    if (shown_) shown_->Retried(reasons);
  }
  void Verified(std::uint64_t size) override {
    if (shown_) shown_->Verified(size);
  }
  void Ended(const ModuleOutcome& outcome) override {
    EXPECT_FALSE(modules_[index_].Outcome) << "a module ends once: " << modules_[index_].Path;
    modules_[index_].Outcome = outcome;
    if (shown_) shown_->Ended(outcome);
  }

 private:
  std::vector<RecordedModule>& modules_;
  std::size_t index_;
  std::unique_ptr<ModuleEvents> shown_;
};

}  // namespace

void RecordingSink::FetchStarted(std::string_view url) {
  if (shown_) shown_->FetchStarted(url);
}

void RecordingSink::FetchEnded(std::string_view url, const FetchOutcome& outcome) {
  if (shown_) shown_->FetchEnded(url, outcome);
}

void RecordingSink::RepositoryStarted(std::string_view name, PatchAction action) {
  if (shown_) shown_->RepositoryStarted(name, action);
}

void RecordingSink::RepositoryEnded(std::string_view name, PatchAction action,
                                    const RepositoryOutcome& outcome) {
  if (shown_) shown_->RepositoryEnded(name, action, outcome);
}

std::unique_ptr<ModuleEvents> RecordingSink::ModuleStarted(PatchAction action,
                                                           std::string_view full_path) {
  RecordedModule module;
  module.Action = action;
  module.Path = full_path;
  modules.push_back(std::move(module));
  return std::make_unique<RecordedEvents>(
      modules, shown_ ? shown_->ModuleStarted(action, full_path) : nullptr);
}

void RecordingSink::ModuleRefused(PatchAction action, std::string_view full_path,
                                  std::string_view reason) {
  RecordedModule module;
  module.Action = action;
  module.Path = full_path;
  module.Outcome = ModuleOutcome{ModuleResult::kRefused, ModuleFailure::kNone, std::string(reason)};
  modules.push_back(std::move(module));
  if (shown_) shown_->ModuleRefused(action, full_path, reason);
}

void RecordingSink::DownloadsUnderWay(const DownloadTotals& totals) {
  downloads.push_back(totals);
  if (shown_) shown_->DownloadsUnderWay(totals);
}

void RecordingSink::DownloadsEnded() {
  downloads_ended += 1;
  if (shown_) shown_->DownloadsEnded();
}

void RecordingSink::KeepAlive() {
  if (shown_) shown_->KeepAlive();
}

const ModuleOutcome& RecordingSink::LastOutcome() const {
  static const ModuleOutcome none{ModuleResult::kCurrent, ModuleFailure::kNone, "no outcome"};
  if (modules.empty() || !modules.back().Outcome) {
    ADD_FAILURE() << "no module has ended";
    return none;
  }
  return *modules.back().Outcome;
}

}  // namespace kanade::test

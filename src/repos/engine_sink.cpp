#include "repos/engine_sink.h"

namespace kanade {

namespace {

class SilentModule : public ModuleEvents {
 public:
  void Downloading(std::uint64_t) override {}
  void Retried(const std::vector<Reason>&) override {}
  void Verified(std::uint64_t) override {}
  void Ended(const ModuleOutcome&) override {}
};

class Silent : public EngineSink {
 public:
  void FetchStarted(std::string_view) override {}
  void FetchEnded(std::string_view, const FetchOutcome&) override {}
  void RepositoryStarted(std::string_view, PatchAction) override {}
  void RepositoryEnded(std::string_view, PatchAction, const RepositoryOutcome&) override {}
  std::unique_ptr<ModuleEvents> ModuleStarted(PatchAction, std::string_view) override {
    return std::make_unique<SilentModule>();
  }
  void ModuleRefused(PatchAction, std::string_view, std::string_view) override {}
};

}  // namespace

EngineSink& SilentSink() {
  static Silent sink;
  return sink;
}

}  // namespace kanade

// The patch run: a step machine that the main window's events advance.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/run_report.h"
#include "repos/outcomes.h"
#include "upgrade/self_upgrade.h"

namespace kanade {

/// The steps of the patch run in the order they run. The numbers between
/// them are steps without work; the run rests at kRest.
enum class PatchStep : int {
  kWait = 0,
  kUpgradeHandOver = 1,
  kFetchOwn = 10,
  kSelfUpdate = 11,
  kFirstRunSettings = 12,
  kFetchConvTest = 20,  // one fetch step per localisation mode, in their order
  kFetchTest = 21,
  kFetchPrefixed = 22,
  kFetchLua = 23,
  kGameRunning = 29,  // the game holds its files: wait until it has ended
  kLocalisation = 30,
  kLuaModule = 31,
  kFifoCleanup = 40,
  kClosingMessage = 50,
  kUninstallEnd = 80,
  kRest = 100,
};

class PatchRun {
 public:
  using Step = PatchStep;

  /// Back to the first step, as a new run.
  void Restart();
  /// Goes to kRest at once (the first-run settings window holds the run).
  void Rest();
  Step CurrentStep() const { return step_; }
  /// Puts the run at `step`, not yet begun (tests).
  void Jump(Step step);

  /// Executes the current step once; it may need several calls (the
  /// countdown, the wait for another copy's run).
  void RunStep();
  /// True when the current step has finished its work.
  bool StepFinished() const { return state_ == StepState::kFinished; }
  /// Moves past the step that just finished and every following step
  /// without work. True when the step reached is work to do at once (not
  /// kRest).
  bool Advance();
  /// Whether `step` would do anything now: the numbers without a step, and
  /// steps whose flags leave them nothing to do, finish at once and need no
  /// event of their own. kRest counts as work.
  bool HasWork(Step step) const;

  /// Requests every repository file that the run's fetch steps will take,
  /// together and at once, while the window opens.
  void PrefetchRepositories();

 private:
  enum class StepState {
    kBegin,         // not begun
    kCountingDown,  // step kWait: the "-waitfor" countdown runs
    kAwaitingTurn,  // step kWait: another copy's run holds the program folder
    kAwaitingGame,  // step kGameRunning: the game still runs
    kStaying,       // a step that holds the run (the settings window)
    kFinished,
  };

  // What this run's translation steps did, for the closing line.
  struct Record {
    std::optional<RepositoryOutcome> localisation;
    std::optional<RepositoryOutcome> lua;
    std::string no_turn;  // why the run did nothing: another copy's run held the folder, or
                          // the folder is another user's
    std::optional<UpgradeOutcome> upgrade;  // the self-upgrade that was blocked or undone
    bool not_removed = false;               // an uninstall that failed stays on screen
  };

  void BeginRun();
  bool FolderIsOurs();
  void StartDelay();
  bool TakeTurn();
  void NoteUpgrade(const UpgradeOutcome& outcome);
  UpgradeOutcome SelfUpdate();
  void AwaitGame();
  void Fetch(std::string_view server_path, std::string_view local_name);
  void Localisation();
  void LuaModule();
  void FifoCleanup(const std::string& folder);
  bool TranslationHasWork() const;
  void ClosingMessage();

  Step step_ = Step::kWait;
  StepState state_ = StepState::kBegin;
  double countdown_ms_ = 0;  // what the "-waitfor" countdown has left
  Record record_;
  // When the wait for another copy's run began, and when and at what size
  // that run last logged.
  double turn_wait_since_ = 0;
  double turn_progress_at_ = 0;
  std::uintmax_t turn_log_size_ = 0;
  double game_checked_at_ = 0;  // when the wait last looked for the game
  bool proxy_told_ = false;     // the log has named this run's proxy
  bool owners_told_ = false;    // the log has said that the folder keeps no owners
  bool begun_ = false;          // a run has begun since start-up
  RunReporter reporter_;
};

/// The program's one patch run.
PatchRun& CurrentRun();

/// Executes the current run's step once (an event of the main window).
void RunPatchStep();

/// The live-translation hook while the run idles; does nothing yet.
void LiveTranslationTick();

}  // namespace kanade

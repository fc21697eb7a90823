#include "app/startup.h"

#include "app/command_line.h"
#include "app/event_loop.h"
#include "app/patch_run.h"
#include "discovery/game_location.h"
#include "discovery/game_process.h"
#include "discovery/steam_libraries.h"
#include "net/http_client.h"
#include "net/system_proxy.h"
#include "repos/module_engine.h"
#include "repos/repository_server.h"
#include "settings/settings_file.h"
#include "settings/settings_window.h"
#include "state/patcher_state.h"
#include "ui/backdrops.h"
#include "ui/console.h"
#include "ui/log_file.h"
#include "ui/main_window.h"
#include "ui/picture_decoders.h"
#include "ui/responsiveness.h"
#include "ui/status_canvas.h"
#include "upgrade/programs.h"
#include "util/path.h"
#include "util/shutdown.h"

namespace kanade {

namespace {

bool timer_created = false;

void ReleaseFacilities() {
  Toolkit* toolkit = GetToolkit();
  if (toolkit != nullptr) {
    if (SettingsWindow.Window != 0) toolkit->CloseWindow(SettingsWindow.Window);
    if (MainWindow != 0) toolkit->CloseWindow(MainWindow);
  }
  SettingsWindow = SettingsWindowControls{};
  ForgetMainWindow();
  ResetBackdropRotation();
  SetResponsiveRepaint(nullptr);
  SetDownloadWaitHook(nullptr);
  ReleaseNetworking();
}

}  // namespace

void PrepareMainWindow() {
  Toolkit& toolkit = *GetToolkit();
  toolkit.Hide(RefreshButton);
  toolkit.Hide(SettingsButton);
  if (!timer_created) {
    toolkit.AddTimer(MainWindow, kMainTimerId, kMainTimerPeriodMs);
    timer_created = true;
    // The run starts on an event of its own, not on the first tick: its
    // repository files may already be here.
    toolkit.RequestTimerEvent(MainWindow, kMainTimerId);
  }
  DrawStatusCanvas(true);
}

int RunProgram(int argc, char** argv, Toolkit* toolkit) {
  return RunProgram(argc, argv, [toolkit] { return toolkit; });
}

int RunProgram(int argc, char** argv, const std::function<Toolkit*()>& make_toolkit) {
  SetToolkit(nullptr);
  SetShutdownRelease(ReleaseFacilities);
  timer_created = false;

  RegisterImageDecoders();
  InitNetworking();
  SetDownloadWaitHook(KeepResponsive);
  ProgramFolder = CurrentFolderWithSeparator();
  // The build the program's own repository lists may be this very one.
  SetLocalBodySource(RunningProgramBody);
  // A file that the game or another program keeps open is named with them.
  SetFileHolderLookup(FileHolders);
  CreateConsole();
  LoadProgramParameters(argc, argv);
  ParseCommandLine();
  // The repository files travel while the display opens and the fonts, the
  // window and the backdrops load: which ones depends on the command line.
  CurrentRun().Restart();
  // The proxy Windows is set to use is read meanwhile; the requests wait
  // for it.
  StartSystemProxyLookup(RepositoryBaseUrl());
  CurrentRun().PrefetchRepositories();
  Toolkit* toolkit = make_toolkit();
  SetToolkit(toolkit);
  if (toolkit != nullptr) {
    MainFont = toolkit->LoadFont("Meiryo UI", 8);
    DialogFont = toolkit->LoadFont("Meiryo UI", 8);
    MonoFont = toolkit->LoadFont("Courier New", 8);
  }
  ResetSteamLibraries();
  if (toolkit != nullptr) CanvasFont = toolkit->LoadFont("Meiryo UI", 8);
  DetectGameLocation();
  WriteLogLine("===== Program Started =====");
  std::vector<std::span<const std::uint8_t>> backdrops;
  for (int i = 0; i < kBackdropCount; ++i)
    backdrops.emplace_back(kBackdropData[i], kBackdropSize[i]);
  SetBackdropImages(std::move(backdrops));
  ResetBackdropRotation();
  ResetConsole();
  DownloadPrefix.clear();
  LoadSettings();
  BuildMainWindow(0, 0, 600, 300);
  if (MainWindow != 0) {
    // While a step blocks, the canvas keeps painting at most every 100 ms,
    // with the box under the pointer still lit.
    SetResponsiveRepaint([] {
      TrackPointer();
      DrawStatusCanvas(false);
    });
    PrepareMainWindow();
    RunEventLoop();
  }
  EndProgram();
  return 0;
}

}  // namespace kanade

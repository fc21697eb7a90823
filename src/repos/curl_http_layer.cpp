// The libcurl implementation of the HTTP layer, on the shared transfer pool.
#include "repos/curl_transfer.h"
#include "repos/http_client.h"
#include "ui/responsiveness.h"

namespace kanade {

namespace {

// How long a waiting caller sleeps between looks at the window.
constexpr int kResponsiveSliceMs = 50;

void Describe(const TransferState& state, DownloadReport* report) {
  if (report == nullptr) return;
  report->HttpStatus = state.HttpStatus;
  report->Reason = state.Reason;
  report->Retries = state.Retries;
  if (state.Done && state.Outcome == TransferOutcome::kCompleted && state.Received == 0 &&
      report->Reason.empty()) {
    report->Reason = "empty body";
  }
}

DownloadStatus StatusOf(const TransferState& state) {
  if (!state.Done) return DownloadStatus::InProgress;
  switch (state.Outcome) {
    case TransferOutcome::kCompleted:
      return state.Received > 0 ? DownloadStatus::Succeeded : DownloadStatus::Failed;
    case TransferOutcome::kStalled:
    case TransferOutcome::kCancelled:
      return DownloadStatus::Aborted;
    case TransferOutcome::kFailed:
    case TransferOutcome::kTooLarge:
      break;
  }
  return DownloadStatus::Failed;
}

class LibcurlLayer : public HttpLayer {
 public:
  bool DownloadToSink(std::string_view url, const DownloadLimits& limits, DownloadSink& sink,
                      DownloadReport* report) override {
    const auto id = StartTransfer({std::string(url), limits.MaxBytes, limits.HttpsOnly}, sink);
    if (!id) {
      if (report != nullptr) report->Reason = "the transfer could not be started";
      return false;
    }
    // Repository fetches run on the patch run's thread: keep the window alive.
    while (!WaitForTransfer(*id, kResponsiveSliceMs)) KeepResponsive();
    const TransferState state = TransferStatus(*id);
    Describe(state, report);
    EndTransfer(*id);
    return state.Outcome == TransferOutcome::kCompleted;
  }

  std::optional<DownloadHandle> StartDownload(std::string_view url, const DownloadLimits& limits,
                                              DownloadSink& sink) override {
    return StartTransfer({std::string(url), limits.MaxBytes, limits.HttpsOnly}, sink);
  }

  DownloadProgress PollDownload(DownloadHandle handle) override {
    const TransferState state = TransferStatus(handle);
    return {StatusOf(state), state.Received};
  }

  bool WaitForDownload(DownloadHandle handle, int max_ms) override {
    return WaitForTransfer(handle, max_ms);
  }

  DownloadStatus FinishDownload(DownloadHandle handle, DownloadReport* report) override {
    const TransferState before = TransferStatus(handle);
    EndTransfer(handle);
    Describe(before, report);
    if (!before.Done && report != nullptr) report->Reason = "cancelled";
    return before.Done ? StatusOf(before) : DownloadStatus::Aborted;
  }
};

}  // namespace

HttpLayer& LibcurlHttpLayer() {
  static LibcurlLayer layer;
  return layer;
}

bool InitNetworking() {
  return StartCurlSession();
}

void ReleaseNetworking() {
  StopCurlSession();
}

}  // namespace kanade

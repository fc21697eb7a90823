// The libcurl implementation of the HTTP layer, on the shared transfer pool.
#include <cstdio>

#include "repos/curl_transfer.h"
#include "repos/http_client.h"
#include "ui/responsiveness.h"
#include "util/path.h"
#include "util/system_error.h"

namespace kanade {

namespace {

// How long a waiting caller sleeps between looks at the window.
constexpr int kResponsiveSliceMs = 50;

class FileSink : public TransferSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {}
  bool Write(const char* data, std::size_t size) override {
    return std::fwrite(data, 1, size, file_) == size;
  }
  bool Restart() override { return TruncateFile(file_); }

 private:
  std::FILE* file_;
};

void Describe(const TransferState& state, DownloadReport* report) {
  if (report == nullptr) return;
  report->HttpStatus = state.HttpStatus;
  report->Reason = state.Reason;
  report->Retries = state.Retries;
  report->Response = state.Response;
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

TransferRequest RequestOf(std::string_view url, const DownloadLimits& limits) {
  return {std::string(url), limits.MaxBytes, limits.HttpsOnly, {}};
}

class LibcurlLayer : public HttpLayer {
 public:
  bool DownloadToFile(std::string_view url, std::string_view path, const DownloadLimits& limits,
                      DownloadReport* report, const HttpValidators& if_changed) override {
    std::FILE* file = CreateNewFile(path);
    if (file == nullptr) {
      if (report != nullptr)
        report->Reason = "cannot create " + std::string(path) + ": " + LastSystemError();
      return false;
    }
    FileSink sink(file);
    TransferRequest request = RequestOf(url, limits);
    request.IfChanged = if_changed;
    const auto id = StartTransfer(request, sink);
    bool completed = false;
    if (id) {
      // Repository fetches run on the patch run's thread: keep the window alive.
      while (!WaitForTransfer(*id, kResponsiveSliceMs)) KeepResponsive();
      const TransferState state = TransferStatus(*id);
      completed = state.Outcome == TransferOutcome::kCompleted;
      Describe(state, report);
      EndTransfer(*id);
    } else if (report != nullptr) {
      report->Reason = "the transfer could not be started";
    }
    const bool closed = std::fclose(file) == 0;
    if (completed && !closed && report != nullptr) {
      report->Reason = "cannot write " + std::string(path) + ": " + LastSystemError();
    }
    if (completed && closed) return true;
    RemoveFile(path);
    return false;
  }

  std::optional<DownloadHandle> StartDownload(std::string_view url, const DownloadLimits& limits,
                                              DownloadSink& sink) override {
    return StartTransfer(RequestOf(url, limits), sink);
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

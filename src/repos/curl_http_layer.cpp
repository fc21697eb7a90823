// The libcurl implementation of the HTTP layer, on the shared transfer pool.
#include <cstdio>

#include "repos/curl_transfer.h"
#include "repos/http_client.h"
#include "ui/responsiveness.h"
#include "util/path.h"

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

 private:
  std::FILE* file_;
};

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
                      const HttpValidators& if_changed, TransferResponse* response) override {
    std::FILE* file = CreateNewFile(path);
    if (file == nullptr) return false;
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
      if (response != nullptr) *response = state.Response;
      EndTransfer(*id);
    }
    const bool closed = std::fclose(file) == 0;
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

  DownloadStatus FinishDownload(DownloadHandle handle) override {
    const TransferState before = TransferStatus(handle);
    EndTransfer(handle);
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

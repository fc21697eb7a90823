// The libcurl implementation of the HTTP layer, on the shared transfer pool.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

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

class MemorySink : public TransferSink {
 public:
  bool Write(const char* data, std::size_t size) override {
    bytes.append(data, size);
    return true;
  }
  bool Restart() override {
    bytes.clear();
    return true;
  }
  std::string bytes;
};

// A request started early, waiting for the DownloadToFile that makes it.
struct Prefetched {
  std::string url;
  DownloadLimits limits;
  MemorySink sink;
  TransferId id = 0;
};

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
  bool DownloadToFile(std::string_view url, std::string_view path, const DownloadLimits& limits,
                      DownloadReport* report) override {
    if (std::unique_ptr<Prefetched> early = TakePrefetched(url, limits)) {
      if (std::optional<bool> done = Finish(*early, path, report)) return *done;
    }
    std::FILE* file = CreateNewFile(path);
    if (file == nullptr) {
      if (report != nullptr)
        report->Reason = "cannot create " + std::string(path) + ": " + LastSystemError();
      return false;
    }
    FileSink sink(file);
    const auto id = StartTransfer({std::string(url), limits.MaxBytes, limits.HttpsOnly}, sink);
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
    return StartTransfer({std::string(url), limits.MaxBytes, limits.HttpsOnly}, sink);
  }

  DownloadProgress PollDownload(DownloadHandle handle) override {
    const TransferState state = TransferStatus(handle);
    return {StatusOf(state), state.Received};
  }

  bool WaitForDownload(DownloadHandle handle, int max_ms) override {
    return WaitForTransfer(handle, max_ms);
  }

  void Prefetch(std::string_view url, const DownloadLimits& limits) override {
    auto early = std::make_unique<Prefetched>();
    early->url = std::string(url);
    early->limits = limits;
    const auto id = StartTransfer(
        {early->url, std::min(limits.MaxBytes, kMaxPrefetchBytes), limits.HttpsOnly}, early->sink);
    if (!id) return;
    early->id = *id;
    prefetched_.push_back(std::move(early));
  }

  // The bodies go with the transfers that fill them.
  void Forget() {
    for (const auto& early : prefetched_) EndTransfer(early->id);
    prefetched_.clear();
  }

  DownloadStatus FinishDownload(DownloadHandle handle, DownloadReport* report) override {
    const TransferState before = TransferStatus(handle);
    EndTransfer(handle);
    Describe(before, report);
    if (!before.Done && report != nullptr) report->Reason = "cancelled";
    return before.Done ? StatusOf(before) : DownloadStatus::Aborted;
  }

 private:
  std::unique_ptr<Prefetched> TakePrefetched(std::string_view url, const DownloadLimits& limits) {
    const auto it = std::find_if(prefetched_.begin(), prefetched_.end(), [&](const auto& early) {
      return early->url == url && early->limits.MaxBytes == limits.MaxBytes &&
             early->limits.HttpsOnly == limits.HttpsOnly;
    });
    if (it == prefetched_.end()) return nullptr;
    std::unique_ptr<Prefetched> early = std::move(*it);
    prefetched_.erase(it);
    return early;
  }

  // Waits for a prefetched request and puts its body in a new file at
  // `path`. Nothing when the body was more than memory may hold, so that
  // the caller fetches it the ordinary way.
  std::optional<bool> Finish(Prefetched& early, std::string_view path, DownloadReport* report) {
    while (!WaitForTransfer(early.id, kResponsiveSliceMs)) KeepResponsive();
    const TransferState state = TransferStatus(early.id);
    EndTransfer(early.id);
    if (state.Outcome == TransferOutcome::kTooLarge && early.limits.MaxBytes > kMaxPrefetchBytes) {
      return std::nullopt;
    }
    Describe(state, report);
    if (state.Outcome != TransferOutcome::kCompleted) return false;
    std::FILE* file = CreateNewFile(path);
    if (file == nullptr) {
      if (report != nullptr) {
        report->Reason = "cannot create " + std::string(path) + ": " + LastSystemError();
      }
      return false;
    }
    const std::string& bytes = early.sink.bytes;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) == 0 && written) return true;
    if (report != nullptr)
      report->Reason = "cannot write " + std::string(path) + ": " + LastSystemError();
    RemoveFile(path);
    return false;
  }

  std::vector<std::unique_ptr<Prefetched>> prefetched_;
};

LibcurlLayer& Libcurl() {
  static LibcurlLayer layer;
  return layer;
}

}  // namespace

HttpLayer& LibcurlHttpLayer() {
  return Libcurl();
}

bool InitNetworking() {
  return StartCurlSession();
}

void ReleaseNetworking() {
  Libcurl().Forget();
  StopCurlSession();
}

}  // namespace kanade

// The libcurl implementation of the HTTP layer, on the shared transfer pool.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "net/curl_transfer.h"
#include "net/http_client.h"

namespace kanade {

namespace {

// How long a waiting caller sleeps between calls of the wait hook.
constexpr int kWaitSliceMs = 50;

std::function<void()> wait_hook;

void KeepWaiting() {
  if (wait_hook) wait_hook();
}

// A request started early, waiting for the DownloadToFile that makes it.
struct Prefetched {
  std::string url;
  DownloadLimits limits;
  HttpValidators if_changed;
  MemorySink sink;
  TransferId id = 0;
};

void Describe(const TransferState& state, DownloadReport* report) {
  if (report == nullptr) return;
  report->HttpStatus = state.HttpStatus;
  report->Reason = state.Reason;
  report->Retries = state.Retries;
  report->Response = state.Response;
  if (state.Done && state.Outcome == TransferOutcome::kCompleted && state.Received == 0 &&
      report->Reason.Empty()) {
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

TransferRequest RequestOf(std::string_view url, const DownloadLimits& limits,
                          const HttpValidators& if_changed = {}, bool retry = false) {
  return {std::string(url), limits.MaxBytes, limits.HttpsOnly, if_changed, retry};
}

class LibcurlLayer : public HttpLayer {
 public:
  bool DownloadToSink(std::string_view url, const DownloadLimits& limits, DownloadSink& sink,
                      DownloadReport* report, const HttpValidators& if_changed) override {
    bool retry = false;
    if (std::unique_ptr<Prefetched> early = TakePrefetched(url, limits, if_changed)) {
      if (std::optional<bool> done = Finish(*early, sink, report, &retry)) return *done;
    }
    const auto id = StartTransfer(RequestOf(url, limits, if_changed, retry), sink);
    if (!id) {
      if (report != nullptr) report->Reason = "the transfer could not be started";
      return false;
    }
    // Repository fetches run on the patch run's thread: keep the window alive.
    while (!WaitForTransfer(*id, kWaitSliceMs)) KeepWaiting();
    const TransferState state = TransferStatus(*id);
    Describe(state, report);
    EndTransfer(*id);
    return state.Outcome == TransferOutcome::kCompleted;
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

  void Prefetch(std::string_view url, const DownloadLimits& limits,
                const HttpValidators& if_changed) override {
    auto early = std::make_unique<Prefetched>();
    early->url = std::string(url);
    early->limits = limits;
    early->if_changed = if_changed;
    DownloadLimits held = limits;
    held.MaxBytes = std::min(limits.MaxBytes, kMaxPrefetchBytes);
    const auto id = StartTransfer(RequestOf(url, held, if_changed), early->sink);
    if (!id) return;
    early->id = *id;
    prefetched_.push_back(std::move(early));
  }

  // The bodies go with the transfers that fill them.
  void Forget() {
    for (const auto& early : prefetched_) EndTransfer(early->id);
    prefetched_.clear();
  }

  std::optional<double> LineRate() override { return LineBytesPerSecond(); }

  DownloadStatus FinishDownload(DownloadHandle handle, DownloadReport* report) override {
    const TransferState before = TransferStatus(handle);
    EndTransfer(handle);
    Describe(before, report);
    if (!before.Done && report != nullptr) report->Reason = "cancelled";
    return before.Done ? StatusOf(before) : DownloadStatus::Aborted;
  }

 private:
  std::unique_ptr<Prefetched> TakePrefetched(std::string_view url, const DownloadLimits& limits,
                                             const HttpValidators& if_changed) {
    const auto it = std::find_if(prefetched_.begin(), prefetched_.end(), [&](const auto& early) {
      return early->url == url && early->limits.MaxBytes == limits.MaxBytes &&
             early->limits.HttpsOnly == limits.HttpsOnly && early->if_changed == if_changed;
    });
    if (it == prefetched_.end()) return nullptr;
    std::unique_ptr<Prefetched> early = std::move(*it);
    prefetched_.erase(it);
    return early;
  }

  // Waits for a prefetched request and hands its body to `sink`. Nothing
  // when the caller must ask again: the body was more than memory may hold,
  // the early answer came too long before the step that wanted it, or it was
  // no success (the server may be up by now; that asking again is a retry,
  // `retry` then says, and happens only while the server's retries last).
  std::optional<bool> Finish(Prefetched& early, DownloadSink& sink, DownloadReport* report,
                             bool* retry) {
    const auto asked = std::chrono::steady_clock::now();
    while (!WaitForTransfer(early.id, kWaitSliceMs)) KeepWaiting();
    const TransferState state = TransferStatus(early.id);
    EndTransfer(early.id);
    const bool too_large =
        state.Outcome == TransferOutcome::kTooLarge && early.limits.MaxBytes > kMaxPrefetchBytes;
    const bool succeeded =
        state.Outcome == TransferOutcome::kCompleted &&
        ((state.HttpStatus >= 200 && state.HttpStatus <= 299) || state.HttpStatus == 304);
    if (too_large ||
        (succeeded && asked - state.EndedAt > std::chrono::milliseconds(PrefetchFreshnessMs()))) {
      return std::nullopt;
    }
    if (!succeeded && TakeRetry(early.url)) {
      *retry = true;
      return std::nullopt;
    }
    Describe(state, report);
    if (state.Outcome != TransferOutcome::kCompleted) return false;
    const std::string& bytes = early.sink.bytes;
    if (!bytes.empty() && !sink.Write(bytes.data(), bytes.size())) {
      if (report != nullptr) report->Reason = "the body could not be stored";
      return false;
    }
    return true;
  }

  std::vector<std::unique_ptr<Prefetched>> prefetched_;
};

LibcurlLayer& Libcurl() {
  static LibcurlLayer layer;
  return layer;
}

}  // namespace

void SetDownloadWaitHook(std::function<void()> hook) {
  wait_hook = std::move(hook);
}

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

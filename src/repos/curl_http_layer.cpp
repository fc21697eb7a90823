// The libcurl implementation of the HTTP layer.
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "repos/curl_transfer.h"
#include "repos/http_client.h"
#include "ui/responsiveness.h"
#include "util/path.h"

namespace kanade {

namespace {

// A body larger than this is refused rather than exhausting memory.
constexpr std::uint64_t kMaxMemoryBody = std::uint64_t{2} << 30;
// Capacity beyond the body that is worth giving back before handing it over.
constexpr std::size_t kSlack = std::size_t{64} << 20;

class FileSink : public TransferSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {}
  bool Write(const char* data, std::size_t size) override {
    return std::fwrite(data, 1, size, file_) == size;
  }
  // File downloads run on the patch run's thread: keep the window alive.
  void Progress() override { KeepResponsive(); }

 private:
  std::FILE* file_;
};

class MemorySink : public TransferSink {
 public:
  MemorySink(std::string& body, std::atomic<std::uint64_t>& received)
      : body_(body), received_(received) {}

  // Reserving up front keeps a large body from being copied as it grows.
  void ExpectLength(std::uint64_t length) override {
    if (length > kMaxMemoryBody) return;
    try {
      body_.reserve(static_cast<std::size_t>(length));
    } catch (const std::exception&) {
      // Growing as it arrives still works.
    }
  }

  bool Write(const char* data, std::size_t size) override {
    if (body_.size() + size > kMaxMemoryBody) return false;
    try {
      body_.append(data, size);
    } catch (const std::exception&) {
      return false;
    }
    received_.store(body_.size(), std::memory_order_relaxed);
    return true;
  }

 private:
  std::string& body_;
  std::atomic<std::uint64_t>& received_;
};

struct MemoryDownload {
  DownloadHandle handle = 0;
  std::string url;
  std::atomic<std::uint64_t> received{0};
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;                               // guarded by mutex
  DownloadStatus status = DownloadStatus::Failed;  // guarded by mutex
  std::string body;                                // the worker's until done
};

void RunMemoryDownload(MemoryDownload& download) {
  MemorySink sink(download.body, download.received);
  const TransferOutcome outcome = RunTransfer(download.url, sink, &download.cancel);
  DownloadStatus status = DownloadStatus::Failed;
  switch (outcome) {
    case TransferOutcome::kCompleted:
      status = download.body.empty() ? DownloadStatus::Failed : DownloadStatus::Succeeded;
      break;
    case TransferOutcome::kFailed:
      status = DownloadStatus::Failed;
      break;
    case TransferOutcome::kStalled:
    case TransferOutcome::kCancelled:
      status = DownloadStatus::Aborted;
      break;
  }
  if (status != DownloadStatus::Succeeded) {
    std::string().swap(download.body);
  } else if (download.body.capacity() > download.body.size() + kSlack) {
    // The server announced more than it sent.
    try {
      download.body.shrink_to_fit();
    } catch (const std::exception&) {
    }
  }
  // Notified under the lock: once the waiter sees `done` it may free the
  // download, so nothing here may touch it after the unlock.
  std::lock_guard<std::mutex> lock(download.mutex);
  download.status = status;
  download.done = true;
  download.ended.notify_all();
}

// Runs memory downloads one after another on one long-lived thread, so that
// a download costs no thread start.
class DownloadWorker {
 public:
  ~DownloadWorker() { Stop(); }

  bool Submit(MemoryDownload& download) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Loop(); });
      } catch (const std::system_error&) {
        return false;
      }
    }
    job_ = &download;
    lock.unlock();
    wake_.notify_one();
    return true;
  }

  // Waits for the thread to end; a submitted download runs to its end first.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    stopping_ = false;
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return job_ != nullptr || stopping_; });
      if (job_ == nullptr) return;
      MemoryDownload* job = job_;
      job_ = nullptr;
      lock.unlock();
      RunMemoryDownload(*job);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  MemoryDownload* job_ = nullptr;  // guarded by mutex_
  bool stopping_ = false;          // guarded by mutex_
  std::thread thread_;
};

// Called from one thread only (the patch run's); the worker touches nothing
// here but its own MemoryDownload.
class LibcurlLayer : public HttpLayer {
 public:
  ~LibcurlLayer() override { Shutdown(); }

  bool DownloadToFile(std::string_view url, std::string_view path) override {
    std::FILE* file = OpenFile(path, "wb");
    if (file == nullptr) return false;
    FileSink sink(file);
    const TransferOutcome outcome = RunTransfer(url, sink);
    const bool closed = std::fclose(file) == 0;
    if (outcome == TransferOutcome::kCompleted && closed) return true;
    RemoveFile(path);
    return false;
  }

  std::optional<DownloadHandle> StartMemoryDownload(std::string_view url) override {
    if (current_ != nullptr) return std::nullopt;
    // Initialise libcurl here rather than racing on the worker thread.
    if (!StartCurlSession()) return std::nullopt;
    auto download = std::make_unique<MemoryDownload>();
    download->handle = next_handle_++;
    download->url = std::string(url);
    download->status = DownloadStatus::InProgress;
    if (!worker_.Submit(*download)) return std::nullopt;
    current_ = std::move(download);
    return current_->handle;
  }

  DownloadProgress PollDownload(DownloadHandle handle) override {
    MemoryDownload* download = Find(handle);
    if (download == nullptr) return {DownloadStatus::Failed, 0};
    DownloadProgress progress;
    {
      std::lock_guard<std::mutex> lock(download->mutex);
      progress.Status = download->done ? download->status : DownloadStatus::InProgress;
    }
    progress.BytesReceived = download->received.load(std::memory_order_relaxed);
    return progress;
  }

  bool WaitForDownload(DownloadHandle handle, int max_ms) override {
    MemoryDownload* download = Find(handle);
    if (download == nullptr) return true;
    std::unique_lock<std::mutex> lock(download->mutex);
    return download->ended.wait_for(lock, std::chrono::milliseconds(max_ms < 0 ? 0 : max_ms),
                                    [download] { return download->done; });
  }

  std::optional<std::string> FinishDownload(DownloadHandle handle) override {
    if (Find(handle) == nullptr) return std::nullopt;
    std::unique_ptr<MemoryDownload> download = std::move(current_);
    download->cancel = true;  // ignored when it has already ended
    {
      std::unique_lock<std::mutex> lock(download->mutex);
      download->ended.wait(lock, [&download] { return download->done; });
    }
    if (download->status != DownloadStatus::Succeeded) return std::nullopt;
    return std::move(download->body);
  }

  // Cancels a download in flight and ends the worker thread.
  void Shutdown() {
    if (current_ != nullptr) FinishDownload(current_->handle);
    worker_.Stop();
  }

 private:
  MemoryDownload* Find(DownloadHandle handle) const {
    return current_ != nullptr && current_->handle == handle ? current_.get() : nullptr;
  }

  DownloadWorker worker_;
  std::unique_ptr<MemoryDownload> current_;
  DownloadHandle next_handle_ = 1;
};

LibcurlLayer& TheLibcurlLayer() {
  static LibcurlLayer layer;
  return layer;
}

}  // namespace

HttpLayer& LibcurlHttpLayer() {
  return TheLibcurlLayer();
}

bool InitNetworking() {
  return StartCurlSession();
}

void ReleaseNetworking() {
  TheLibcurlLayer().Shutdown();
  StopCurlSession();
}

}  // namespace kanade

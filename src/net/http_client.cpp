#include "net/http_client.h"

#include <atomic>
#include <cstdio>

#include "net/flight_window.h"
#include "util/path.h"
#include "util/reason.h"

namespace kanade {

namespace {

class FileSink : public DownloadSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {}
  bool Write(const char* data, std::size_t size) override {
    return std::fwrite(data, 1, size, file_) == size;
  }
  bool Restart() override { return TruncateFile(file_); }

 private:
  std::FILE* file_;
};

HttpLayer* installed_layer = nullptr;
std::atomic<int> prefetch_fresh_ms{10'000};

}  // namespace

HttpLayer& GetHttpLayer() {
  return installed_layer != nullptr ? *installed_layer : LibcurlHttpLayer();
}

void SetHttpLayer(HttpLayer* layer) {
  installed_layer = layer;
}

void SetPrefetchFreshnessMs(int ms) {
  prefetch_fresh_ms = ms > 0 ? ms : 0;
}

int PrefetchFreshnessMs() {
  return prefetch_fresh_ms;
}

bool DownloadToSink(std::string_view url, const DownloadLimits& limits, DownloadSink& sink,
                    DownloadReport* report, const HttpValidators& if_changed) {
  return GetHttpLayer().DownloadToSink(url, limits, sink, report, if_changed);
}

bool DownloadToFile(std::string_view url, std::string_view path, const DownloadLimits& limits,
                    DownloadReport* report, const HttpValidators& if_changed) {
  UniqueFile file(CreateNewFile(path));
  if (!file) {
    if (report != nullptr) {
      report->Reason = SystemReason("cannot create " + std::string(path));
    }
    return false;
  }
  FileSink sink(file.get());
  const bool completed = DownloadToSink(url, limits, sink, report, if_changed);
  const bool closed = std::fclose(file.release()) == 0;
  if (completed && !closed && report != nullptr) {
    report->Reason = SystemReason("cannot write " + std::string(path));
  }
  if (completed && closed) return true;
  RemoveFile(path);
  return false;
}

void PrefetchDownload(std::string_view url, const DownloadLimits& limits,
                      const HttpValidators& if_changed) {
  GetHttpLayer().Prefetch(url, limits, if_changed);
}

std::optional<DownloadHandle> StartDownload(std::string_view url, const DownloadLimits& limits,
                                            DownloadSink& sink) {
  return GetHttpLayer().StartDownload(url, limits, sink);
}

bool MayStartDownload(int in_flight, const std::function<std::uint64_t()>& outstanding) {
  return MayStartAnother(in_flight, outstanding, GetHttpLayer().LineRate());
}

DownloadProgress PollDownload(DownloadHandle handle) {
  return GetHttpLayer().PollDownload(handle);
}

bool WaitForDownload(DownloadHandle handle, int max_ms) {
  return GetHttpLayer().WaitForDownload(handle, max_ms);
}

DownloadStatus FinishDownload(DownloadHandle handle, DownloadReport* report) {
  return GetHttpLayer().FinishDownload(handle, report);
}

}  // namespace kanade

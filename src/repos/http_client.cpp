#include "repos/http_client.h"

#include <atomic>

namespace kanade {

namespace {

HttpLayer* installed_layer = nullptr;
std::atomic<int> no_data_abort_ms{60'000};
std::atomic<int> low_speed_bytes_per_second{1024};
std::atomic<int> low_speed_window_ms{60'000};

}  // namespace

HttpLayer& GetHttpLayer() {
  return installed_layer != nullptr ? *installed_layer : LibcurlHttpLayer();
}

void SetHttpLayer(HttpLayer* layer) {
  installed_layer = layer;
}

void SetNoDataAbortMs(int ms) {
  no_data_abort_ms = ms > 0 ? ms : 1;
}

int NoDataAbortMs() {
  return no_data_abort_ms;
}

void SetLowSpeedLimit(int bytes_per_second, int window_ms) {
  low_speed_bytes_per_second = bytes_per_second > 0 ? bytes_per_second : 0;
  low_speed_window_ms = window_ms > 0 ? window_ms : 1;
}

int LowSpeedBytesPerSecond() {
  return low_speed_bytes_per_second;
}

int LowSpeedWindowMs() {
  return low_speed_window_ms;
}

bool DownloadToFile(std::string_view url, std::string_view path, const DownloadLimits& limits,
                    DownloadReport* report, const HttpValidators& if_changed) {
  return GetHttpLayer().DownloadToFile(url, path, limits, report, if_changed);
}

std::optional<DownloadHandle> StartDownload(std::string_view url, const DownloadLimits& limits,
                                            DownloadSink& sink) {
  return GetHttpLayer().StartDownload(url, limits, sink);
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

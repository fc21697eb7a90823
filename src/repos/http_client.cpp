#include "repos/http_client.h"

#include <atomic>

namespace kanade {

namespace {

HttpLayer* installed_layer = nullptr;
std::atomic<int> no_data_abort_ms{60'000};

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

bool DownloadToFile(std::string_view url, std::string_view path) {
  return GetHttpLayer().DownloadToFile(url, path);
}

std::optional<DownloadHandle> StartMemoryDownload(std::string_view url) {
  return GetHttpLayer().StartMemoryDownload(url);
}

DownloadProgress PollDownload(DownloadHandle handle) {
  return GetHttpLayer().PollDownload(handle);
}

bool WaitForDownload(DownloadHandle handle, int max_ms) {
  return GetHttpLayer().WaitForDownload(handle, max_ms);
}

std::optional<std::string> FinishDownload(DownloadHandle handle) {
  return GetHttpLayer().FinishDownload(handle);
}

}  // namespace kanade

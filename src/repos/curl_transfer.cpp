#include "repos/curl_transfer.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>

#include "repos/http_client.h"
#ifdef _WIN32
#include "util/utf.h"
#endif

namespace kanade {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::mutex session_mutex;
bool curl_ready = false;
CURLSH* share = nullptr;
std::mutex share_locks[CURL_LOCK_DATA_LAST];

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void*) {
  share_locks[data].lock();
}

void UnlockShare(CURL*, curl_lock_data data, void*) {
  share_locks[data].unlock();
}

struct TransferContext {
  CURL* easy = nullptr;
  TransferSink* sink = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  std::chrono::milliseconds no_data_limit{60'000};
  SteadyClock::time_point last_activity = SteadyClock::now();
  bool length_told = false;
  bool stalled = false;
  bool cancelled = false;
};

// The extra CA file named in the environment, as UTF-8 (what libcurl built
// for Unicode expects). On Windows getenv gives the ANSI code page, which
// cannot hold every folder name, so the wide environment is read instead.
std::string CaBundleFromEnvironment() {
#ifdef _WIN32
  const wchar_t* bundle = _wgetenv(L"CURL_CA_BUNDLE");
  return bundle == nullptr ? std::string() : Narrow(bundle);
#else
  const char* bundle = std::getenv("CURL_CA_BUNDLE");
  return bundle == nullptr ? std::string() : std::string(bundle);
#endif
}

bool CancelRequested(const TransferContext& context) {
  return context.cancel != nullptr && context.cancel->load(std::memory_order_relaxed);
}

std::size_t OnHeader(char*, std::size_t size, std::size_t count, void* user) {
  auto& context = *static_cast<TransferContext*>(user);
  context.last_activity = SteadyClock::now();
  return size * count;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& context = *static_cast<TransferContext*>(user);
  const std::size_t bytes = size * count;
  context.last_activity = SteadyClock::now();
  if (CancelRequested(context)) {
    context.cancelled = true;
    return 0;
  }
  if (!context.length_told) {
    // Redirect bodies never reach here, so this is the final response.
    context.length_told = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(context.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0) {
      context.sink->ExpectLength(static_cast<std::uint64_t>(length));
    }
  }
  if (bytes > 0 && !context.sink->Write(data, bytes)) return 0;
  return bytes;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& context = *static_cast<TransferContext*>(user);
  if (CancelRequested(context)) {
    context.cancelled = true;
    return 1;
  }
  // libcurl calls this about once a second even while nothing arrives.
  if (SteadyClock::now() - context.last_activity > context.no_data_limit) {
    context.stalled = true;
    return 1;
  }
  context.sink->Progress();
  return 0;
}

bool Configure(CURL* easy, const std::string& url, TransferContext& context) {
  bool ok = true;
  auto set = [&](CURLoption option, auto value) {
    ok = curl_easy_setopt(easy, option, value) == CURLE_OK && ok;
  };
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
#if LIBCURL_VERSION_NUM >= 0x075500
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  set(CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  set(CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  set(CURLOPT_USERAGENT, std::string(kUserAgent).c_str());
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // As curl's own tool does: a CA file named in the environment is trusted.
  if (const std::string bundle = CaBundleFromEnvironment(); !bundle.empty()) {
    set(CURLOPT_CAINFO, bundle.c_str());
  }
  if (share != nullptr) set(CURLOPT_SHARE, share);
  set(CURLOPT_BUFFERSIZE, 256L * 1024L);
  set(CURLOPT_HEADERFUNCTION, &OnHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&context));
  set(CURLOPT_WRITEFUNCTION, &OnBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&context));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &OnProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&context));
  return ok;
}

}  // namespace

bool StartCurlSession() {
  std::lock_guard<std::mutex> lock(session_mutex);
  if (curl_ready) return true;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
  curl_ready = true;
  share = curl_share_init();
  if (share != nullptr) {
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &LockShare);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &UnlockShare);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  return true;
}

void StopCurlSession() {
  std::lock_guard<std::mutex> lock(session_mutex);
  if (!curl_ready) return;
  if (share != nullptr) curl_share_cleanup(share);
  share = nullptr;
  curl_global_cleanup();
  curl_ready = false;
}

TransferOutcome RunTransfer(std::string_view url, TransferSink& sink,
                            const std::atomic<bool>* cancel) {
  if (!StartCurlSession()) return TransferOutcome::kFailed;
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return TransferOutcome::kFailed;
  TransferContext context;
  context.easy = easy;
  context.sink = &sink;
  context.cancel = cancel;
  context.no_data_limit = std::chrono::milliseconds(NoDataAbortMs());
  context.last_activity = SteadyClock::now();
  const std::string url_text(url);
  CURLcode result = CURLE_FAILED_INIT;
  if (Configure(easy, url_text, context)) result = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  if (context.cancelled) return TransferOutcome::kCancelled;
  if (context.stalled) return TransferOutcome::kStalled;
  return result == CURLE_OK ? TransferOutcome::kCompleted : TransferOutcome::kFailed;
}

}  // namespace kanade

#include "net/curl_transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "net/host_watch.h"
#include "net/rate_meter.h"
#include "net/socket_wait.h"
#include "net/system_proxy.h"
#include "util/text.h"
#ifdef _WIN32
#include "util/utf.h"
#endif

namespace kanade {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// How often the worker looks at its transfers' clocks when nothing happens.
constexpr int kWorkerTickMs = 100;
constexpr long kMaxConnectionsPerHost = 8;
// The longest pauses before the second and the third attempt; each pause
// is drawn between none and this (full jitter), so that the players a busy
// server turned away do not all come back in step.
constexpr Milliseconds kRetryPauses[] = {Milliseconds(500), Milliseconds(2000)};
// A Retry-After is the server's word about one request: that request and
// the server's new ones wait for it, but no longer than this, and then go
// on (what the server keeps refusing fails within the retry budget).
std::atomic<int> longest_retry_pause_ms{10'000};
// Retries to one origin in a run: a tenth of the requests sent to it, and a
// few more, so that a server that is down sees about 1.1 times a healthy
// run's requests.
constexpr int kRetryBudgetPercent = 10;
constexpr int kRetryBudgetExtra = 3;
// Connection failures this close to one already charged are the same break.
constexpr Milliseconds kOneBreak{500};

constexpr const char* kRetriesSpent =
    "not tried again: the retries for this server in this run are spent";

// The delivery rate over the last seconds in which transfers were under
// way, and how much of such time it takes before the rate counts: a fast
// line's first answers come sooner, and its rate stays unknown (no limit)
// until bodies show it.
constexpr Milliseconds kLineRateWindow{3000};
constexpr Milliseconds kLineRateLeast{500};

std::atomic<int> connect_timeout_ms{15'000};
std::atomic<int> first_byte_timeout_ms{20'000};
std::atomic<int> no_data_abort_ms{60'000};
std::atomic<int> low_speed_bytes_per_second{1024};
std::atomic<int> low_speed_window_ms{60'000};

Milliseconds JitteredPause(Milliseconds longest) {
  static std::mt19937_64 random{std::random_device{}()};
  return Milliseconds(std::uniform_int_distribution<long long>(0, longest.count())(random));
}

// Retry-After as seconds from now: a number of seconds or an HTTP date.
std::optional<long> ParseRetryAfter(std::string_view value) {
  long seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (!value.empty() && error == std::errc() && end == value.data() + value.size()) {
    return std::max(seconds, 0L);
  }
  const std::string text(value);
  const time_t when = curl_getdate(text.c_str(), nullptr);
  if (when < 0) return std::nullopt;
  return std::max(static_cast<long>(when - std::time(nullptr)), 0L);
}

// "https://host:port" of a URL, in lower case: what a connection is made to.
std::string OriginOf(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return ToLowerAscii(url);
  return ToLowerAscii(url.substr(0, url.find_first_of("/?#", scheme + 3)));
}

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

// What the line delivers across every transfer, counted only while some
// transfer is under way: idle time says nothing of the line. Bodies that
// fit a TLS record arrive whole, so the rate is the bytes over that time,
// not over each body's own. The worker feeds it; the module engine reads
// it to decide how many downloads run at once.
class LineMeter {
 public:
  void Started(SteadyClock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (under_way_++ == 0) meter_.Count(true, now);
  }
  void Ended(SteadyClock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--under_way_ == 0) meter_.Count(false, now);
  }
  void Add(std::uint64_t bytes, SteadyClock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    meter_.Add(bytes, now);
  }
  std::optional<double> BytesPerSecond() {
    std::lock_guard<std::mutex> lock(mutex_);
    return meter_.BytesPerSecond(SteadyClock::now());
  }

 private:
  std::mutex mutex_;
  RateMeter meter_{kLineRateWindow, kLineRateLeast};
  int under_way_ = 0;
};

LineMeter& Deliveries() {
  static LineMeter meter;
  return meter;
}

struct Transfer {
  TransferId id = 0;
  TransferRequest request;
  TransferSink* sink = nullptr;
  std::atomic<std::uint64_t> received{0};
  std::atomic<bool> cancel{false};
  // Guarded by the pool's mutex.
  bool done = false;
  TransferOutcome outcome = TransferOutcome::kFailed;
  long http_status = 0;
  Reason reason;
  std::vector<Reason> retries;
  // The worker's own.
  CURL* easy = nullptr;
  std::string url;
  std::string origin;
  HostWatch* host = nullptr;  // its origin's, the worker's own
  int attempt = 1;
  SteadyClock::time_point retry_at;
  char error[CURL_ERROR_SIZE] = {};
  bool too_large = false;
  bool sink_failed = false;
  // Until libcurl gives the transfer a connection it waits in libcurl's
  // queue, where only its origin's progress says that all is well.
  bool connected = false;
  bool got_response = false;        // a status line arrived in this attempt
  bool got_body = false;            // so did a byte of the body
  std::optional<long> retry_after;  // seconds the latest response asks to wait
  SteadyClock::time_point launched_at;
  SteadyClock::time_point connected_at;
  bool counted = false;     // in its origin's requests for the retry budget
  bool http1_only = false;  // its origin refuses HTTP/2 streams
  SteadyClock::time_point last_activity;
  curl_slist* headers = nullptr;  // the request's own header lines
  std::string proxy;              // the proxy this attempt goes through, for its reasons
  TransferResponse response;      // of the latest response so far
  bool in_headers = false;        // between a status line and the blank line
  // Guarded by the pool's mutex, once done.
  TransferResponse final_response;
  SteadyClock::time_point ended_at;
};

// Takes a validator of the response when it may be sent back later.
void TakeValidator(std::string_view name, std::string_view value, std::size_t limit,
                   std::string* kept, std::string* refused) {
  if (IsSendableValidator(value, limit)) {
    *kept = std::string(value);
    return;
  }
  kept->clear();
  *refused = "the server's " + std::string(name) + " (" + std::to_string(value.size()) +
             " bytes) is " + (value.size() > limit ? "too long" : "not plain text") +
             " to be sent back";
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  transfer.last_activity = SteadyClock::now();
  transfer.host->Heard(transfer.last_activity);
  std::string_view line(data, size * count);
  // Each response (a redirect, then the final one) starts anew.
  if (line.substr(0, 5) == "HTTP/") {
    transfer.got_response = true;
    transfer.response = {};
    transfer.retry_after.reset();
    transfer.in_headers = true;
    return size * count;
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.empty()) {
    transfer.in_headers = false;
    return size * count;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return size * count;
  const std::string_view name = line.substr(0, colon);
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  TransferResponse& response = transfer.response;
  if (EqualsIgnoreCaseAscii(name, "ETag")) {
    TakeValidator("ETag", value, kMaxETagBytes, &response.Validators.ETag, &response.Refused);
  } else if (EqualsIgnoreCaseAscii(name, "Last-Modified")) {
    TakeValidator("Last-Modified", value, kMaxLastModifiedBytes, &response.Validators.LastModified,
                  &response.Refused);
  } else if (EqualsIgnoreCaseAscii(name, "Retry-After")) {
    transfer.retry_after = ParseRetryAfter(value);
  }
  return size * count;
}

// libcurl drops the bytes that a server sends after a response that has no
// body (a 304), saying so only in its verbose text.
int OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
  constexpr std::string_view kExcess = "Excess found";
  if (type == CURLINFO_TEXT && std::string_view(data, size).substr(0, kExcess.size()) == kExcess) {
    static_cast<Transfer*>(user)->response.ExcessBody = true;
  }
  return 0;
}

// Called once the transfer has a connection, just before its request goes
// out: its own clocks start here, not while it waited for a connection.
int OnConnected(void* user, char*, char*, int, int) {
  auto& transfer = *static_cast<Transfer*>(user);
  transfer.connected = true;
  transfer.last_activity = SteadyClock::now();
  transfer.connected_at = transfer.last_activity;
  return CURL_PREREQFUNC_OK;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  transfer.last_activity = SteadyClock::now();
  const std::uint64_t total = transfer.received.load(std::memory_order_relaxed) + bytes;
  // Counted as the bytes arrive, decoded: Content-Length is the server's
  // word, and a compressed body may unpack to far more than it announced.
  if (total > transfer.request.MaxBytes) {
    transfer.too_large = true;
    return 0;
  }
  if (bytes > 0 && !transfer.sink->Write(data, bytes)) {
    transfer.sink_failed = true;
    return 0;
  }
  if (bytes > 0) {
    transfer.got_body = true;
    transfer.host->Heard(transfer.last_activity);
    transfer.host->Delivered(bytes);
    Deliveries().Add(bytes, transfer.last_activity);
  }
  transfer.received.store(total, std::memory_order_relaxed);
  return bytes;
}

bool Configure(Transfer& transfer) {
  CURL* easy = transfer.easy;
  bool ok = true;
  auto set = [&](CURLoption option, auto value) {
    ok = curl_easy_setopt(easy, option, value) == CURLE_OK && ok;
  };
  const char* protocols = transfer.request.HttpsOnly ? "https" : "http,https";
  set(CURLOPT_URL, transfer.url.c_str());
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
#if LIBCURL_VERSION_NUM >= 0x075500
  set(CURLOPT_PROTOCOLS_STR, protocols);
  set(CURLOPT_REDIR_PROTOCOLS_STR, protocols);
#else
  const long mask =
      transfer.request.HttpsOnly ? CURLPROTO_HTTPS : (CURLPROTO_HTTP | CURLPROTO_HTTPS);
  set(CURLOPT_PROTOCOLS, mask);
  set(CURLOPT_REDIR_PROTOCOLS, mask);
#endif
  set(CURLOPT_USERAGENT, std::string(kUserAgent).c_str());
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_ERRORBUFFER, transfer.error);
  // libcurl's own connect time-out (300 s) stays: the worker ends a
  // connection that hears nothing from its server (host_watch.h), while a
  // handshake that waits behind the server's own bytes on a narrow line
  // may take its time.
  // A retry never trusts the connection that just failed.
  if (transfer.attempt > 1) set(CURLOPT_FRESH_CONNECT, 1L);
  if (transfer.http1_only) set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // As curl's own tool does: a CA file named in the environment is trusted.
  if (const std::string bundle = CaBundleFromEnvironment(); !bundle.empty()) {
    set(CURLOPT_CAINFO, bundle.c_str());
  }
  // The proxy Windows is set to use, where the environment names none.
  // Over it https still tunnels and verifies the server's certificate.
  if (const std::optional<ProxyRoute> route = SystemProxyRoute(transfer.url)) {
    set(CURLOPT_PROXY, route->Proxy.c_str());
    set(CURLOPT_NOPROXY, route->NoProxy.c_str());
    if (route->SignIn != 0) {
      set(CURLOPT_PROXYAUTH, route->SignIn);
      set(CURLOPT_PROXYUSERPWD, ":");  // the Windows user's own sign-in
    }
  }
  // The proxy it goes through, for its reasons: the settings', or the
  // environment's unless no_proxy names the host.
  transfer.proxy = ProxyInUse(transfer.url).Proxy;
  // Compressed bodies where the server has them (the site keeps .gz
  // copies); limits and digests apply to the decoded bytes. "gzip" alone,
  // the same from every build: caches keep one copy per spelling, and
  // libcurl's own list differs between the Linux and the Windows build.
  set(CURLOPT_ACCEPT_ENCODING, "gzip");
  // Over TLS, wait for a connection that may multiplex (ALPN tells soon)
  // rather than open another. Plain http never multiplexes: waiting there
  // would only tie every transfer to the first one's answer.
  if (transfer.url.compare(0, 8, "https://") == 0) set(CURLOPT_PIPEWAIT, 1L);
  if (const HttpValidators& held = transfer.request.IfChanged; !held.Empty()) {
    if (!IsSendableValidator(held.ETag, kMaxETagBytes) ||
        !IsSendableValidator(held.LastModified, kMaxLastModifiedBytes)) {
      return false;
    }
    // Made once; a retry sends the same lines.
    for (const auto& [field, value] : {std::pair{"If-None-Match: ", &held.ETag},
                                       std::pair{"If-Modified-Since: ", &held.LastModified}}) {
      if (value->empty() || transfer.attempt > 1) continue;
      curl_slist* more = curl_slist_append(transfer.headers, (field + *value).c_str());
      if (more == nullptr) return false;
      transfer.headers = more;
    }
    set(CURLOPT_HTTPHEADER, transfer.headers);
    set(CURLOPT_DEBUGFUNCTION, &OnDebug);
    set(CURLOPT_DEBUGDATA, static_cast<void*>(&transfer));
    set(CURLOPT_VERBOSE, 1L);
  }
  // A big body arrives faster through a big buffer; the many small ones in
  // flight at once need no more than their size.
  set(CURLOPT_BUFFERSIZE, static_cast<long>(std::clamp<std::uint64_t>(transfer.request.MaxBytes,
                                                                      16 * 1024, 256 * 1024)));
  set(CURLOPT_PREREQFUNCTION, &OnConnected);
  set(CURLOPT_PREREQDATA, static_cast<void*>(&transfer));
  set(CURLOPT_HEADERFUNCTION, &OnHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
  set(CURLOPT_WRITEFUNCTION, &OnBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  set(CURLOPT_PRIVATE, static_cast<void*>(&transfer));
  return ok;
}

bool IsConnectionFailure(CURLcode result) {
  switch (result) {
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SSL_CONNECT_ERROR:
      return true;
    default:
      return false;
  }
}

// How a finished attempt went and whether another attempt may mend it.
struct Verdict {
  TransferOutcome outcome = TransferOutcome::kFailed;
  Reason reason;
  bool retry = false;
  bool unreachable = false;  // the connection could not be made in time
  bool streams_refused = false;
};

Verdict Judge(Transfer& transfer, CURLcode result) {
  long status = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  transfer.http_status = status;
  if (transfer.too_large) {
    return {TransferOutcome::kTooLarge,
            "more than " + std::to_string(transfer.request.MaxBytes) + " bytes"};
  }
  if (transfer.sink_failed) return {TransferOutcome::kFailed, "the body could not be stored"};
  // A sign-in that the proxy did not take fails the same way again.
  long tunnel = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
  if (tunnel == 407 || status == 407) {
    return {TransferOutcome::kFailed, "the proxy asks for a sign-in (HTTP 407)"};
  }
  if (result == CURLE_OK) {
    const bool busy = status >= 500 || status == 429;
    if (!busy) return {TransferOutcome::kCompleted, ""};
    Verdict verdict{TransferOutcome::kCompleted, "HTTP " + std::to_string(status), true};
    if (transfer.retry_after && *transfer.retry_after * 1000 > longest_retry_pause_ms) {
      verdict.reason.Then("the server asks to wait " + std::to_string(*transfer.retry_after) +
                          " s");
    }
    return verdict;
  }
  // libcurl refuses a header line above its limit (100 KiB) as out of
  // memory (later versions: CURLE_TOO_LARGE, 100) before the headers end.
  if (transfer.in_headers && (result == CURLE_OUT_OF_MEMORY || static_cast<int>(result) == 100)) {
    return {TransferOutcome::kFailed,
            "a response header line was longer than libcurl takes (100 KiB)"};
  }
  Verdict verdict{TransferOutcome::kFailed,
                  "curl error " + std::to_string(static_cast<int>(result))};
  verdict.reason.From = Reason::Source::kCurl;
  verdict.reason.Code = static_cast<long>(result);
  verdict.reason.Text = transfer.error[0] != '\0' ? transfer.error : curl_easy_strerror(result);
  if (!transfer.proxy.empty()) {
    verdict.reason.Then("through the proxy " + ShownProxy(transfer.proxy));
  }
  // Without a total time-out of ours, only libcurl's connect time-out says
  // this: the host took minutes to connect.
  verdict.unreachable = result == CURLE_OPERATION_TIMEDOUT;
  verdict.retry = IsConnectionFailure(result);
  // libcurl tries a refused stream again on new connections by itself; a
  // transfer that still got no answer after that has met a server that
  // takes no HTTP/2 stream (MAX_CONCURRENT_STREAMS 0), not a broken link.
  long connects = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_NUM_CONNECTS, &connects);
  verdict.streams_refused =
      verdict.retry && !transfer.got_response && !transfer.http1_only && connects >= 2;
  return verdict;
}

class TransferPool {
 public:
  ~TransferPool() { Stop(); }

  std::optional<TransferId> Start(const TransferRequest& request, TransferSink& sink) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!EnsureWorker()) return std::nullopt;
    auto transfer = std::make_shared<Transfer>();
    transfer->id = next_id_++;
    transfer->request = request;
    transfer->url = request.Url;
    transfer->origin = OriginOf(request.Url);
    transfer->sink = &sink;
    transfers_[transfer->id] = transfer;
    incoming_.push_back(transfer);
    lock.unlock();
    waiter_->Wake();
    return transfer->id;
  }

  TransferState Status(TransferId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = transfers_.find(id);
    if (it == transfers_.end())
      return {true, TransferOutcome::kFailed, 0, 0, "unknown transfer", {}, {}, {}};
    const Transfer& transfer = *it->second;
    return {transfer.done,
            transfer.outcome,
            transfer.received.load(std::memory_order_relaxed),
            transfer.http_status,
            transfer.reason,
            transfer.retries,
            transfer.done ? transfer.final_response : TransferResponse{},
            transfer.ended_at};
  }

  bool Wait(TransferId id, int max_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto it = transfers_.find(id);
    if (it == transfers_.end()) return true;
    const std::shared_ptr<Transfer> transfer = it->second;
    return ended_.wait_for(lock, Milliseconds(max_ms < 0 ? 0 : max_ms),
                           [&transfer] { return transfer->done; });
  }

  void End(TransferId id) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto it = transfers_.find(id);
    if (it == transfers_.end()) return;
    const std::shared_ptr<Transfer> transfer = it->second;
    if (!transfer->done) {
      transfer->cancel = true;
      lock.unlock();
      waiter_->Wake();
      lock.lock();
      ended_.wait(lock, [&transfer] { return transfer->done; });
    }
    transfers_.erase(id);
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!thread_.joinable()) return;
      stopping_ = true;
      for (auto& [id, transfer] : transfers_) transfer->cancel = true;
    }
    waiter_->Wake();
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    curl_multi_cleanup(multi_);
    multi_ = nullptr;
    watched_.clear();
    timer_due_.reset();
    waiter_.reset();
    transfers_.clear();
    incoming_.clear();
    stopping_ = false;
  }

  void ForgetUnreachable() {
    std::lock_guard<std::mutex> lock(mutex_);
    unreachable_.clear();
    budgets_.clear();
  }

  bool TakeRetry(const std::string& origin) {
    std::lock_guard<std::mutex> lock(mutex_);
    return TakeRetryLocked(origin);
  }

 private:
  // Called with the lock held.
  bool EnsureWorker() {
    if (thread_.joinable()) return true;
    if (!StartCurlSession()) return false;
    waiter_ = std::make_unique<SocketWaiter>();
    multi_ = waiter_->Usable() ? curl_multi_init() : nullptr;
    if (multi_ == nullptr) {
      waiter_.reset();
      return false;
    }
    // libcurl names the sockets to watch and when it wants to look again;
    // the worker waits on exactly those and tells it which one woke.
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &TransferPool::OnSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &TransferPool::OnTimer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, connection_limit_);
    curl_multi_setopt(multi_, CURLMOPT_MAX_CONCURRENT_STREAMS, long{kMaxStreamsPerConnection});
    try {
      thread_ = std::thread([this] { Loop(); });
    } catch (const std::system_error&) {
      curl_multi_cleanup(multi_);
      multi_ = nullptr;
      waiter_.reset();
      return false;
    }
    return true;
  }

  void Release(Transfer& transfer) {
    if (transfer.easy == nullptr) return;
    Deliveries().Ended(SteadyClock::now());
    curl_multi_remove_handle(multi_, transfer.easy);
    curl_easy_cleanup(transfer.easy);
    transfer.easy = nullptr;
  }

  void Complete(Transfer& transfer, TransferOutcome outcome, Reason reason = {}) {
    Release(transfer);
    curl_slist_free_all(transfer.headers);
    transfer.headers = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    transfer.done = true;
    transfer.outcome = outcome;
    transfer.reason = std::move(reason);
    transfer.final_response = transfer.response;
    transfer.ended_at = SteadyClock::now();
    ended_.notify_all();
  }

  // Starts an attempt on the multi handle, unless its host is known to be
  // unreachable in this run; while the host asked to wait, later.
  void Launch(const std::shared_ptr<Transfer>& transfer,
              std::vector<std::shared_ptr<Transfer>>& running) {
    std::optional<Reason> unreachable;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (const auto it = unreachable_.find(transfer->origin); it != unreachable_.end()) {
        unreachable = it->second;
      }
    }
    if (unreachable) {
      Complete(*transfer, TransferOutcome::kFailed, *unreachable);
      return;
    }
    const auto now = SteadyClock::now();
    transfer->host = &hosts_[transfer->origin];
    if (const auto paused = transfer->host->PausedAt(now)) {
      transfer->retry_at = *paused;
      delayed_.push_back(transfer);
      return;
    }
    if (!transfer->counted) {
      transfer->counted = true;
      std::lock_guard<std::mutex> lock(mutex_);
      if (!transfer->request.Retry) budgets_[transfer->origin].requests += 1;
    }
    transfer->easy = curl_easy_init();
    transfer->connected = false;
    transfer->got_response = false;
    transfer->got_body = false;
    transfer->retry_after.reset();
    transfer->last_activity = now;
    transfer->launched_at = now;
    transfer->error[0] = '\0';
    transfer->response = {};
    transfer->in_headers = false;
    transfer->http1_only = http1_origins_.count(transfer->origin) > 0;
    if (transfer->url.compare(0, 8, "https://") != 0) HeardHttpVersion(CURL_HTTP_VERSION_1_1);
    if (transfer->easy == nullptr || !Configure(*transfer) ||
        curl_multi_add_handle(multi_, transfer->easy) != CURLM_OK) {
      if (transfer->easy != nullptr) curl_easy_cleanup(transfer->easy);
      transfer->easy = nullptr;
      Complete(*transfer, TransferOutcome::kFailed, "libcurl could not start the transfer");
      return;
    }
    Deliveries().Started(now);
    running.push_back(transfer);
  }

  void AddIncoming(std::vector<std::shared_ptr<Transfer>>& running) {
    std::vector<std::shared_ptr<Transfer>> added;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      added.swap(incoming_);
    }
    for (auto& transfer : added) Launch(transfer, running);
    // Retries whose pause is over start again (or wait on, while their
    // server asks to); cancelled ones end.
    const auto now = SteadyClock::now();
    std::vector<std::shared_ptr<Transfer>> due;
    std::erase_if(delayed_, [&](const std::shared_ptr<Transfer>& transfer) {
      if (transfer->cancel) {
        Complete(*transfer, TransferOutcome::kCancelled, "cancelled");
        return true;
      }
      if (now < transfer->retry_at) return false;
      due.push_back(transfer);
      return true;
    });
    for (auto& transfer : due) Launch(transfer, running);
  }

  // Another attempt from the start, after a pause, into a sink that forgot
  // what the failed one wrote; none once the origin's retries for the run
  // are spent (`reason` then says so).
  bool ScheduleRetry(const std::shared_ptr<Transfer>& transfer, Reason& reason, CURLcode result) {
    if (transfer->attempt >= kTransferAttempts || transfer->cancel) return false;
    // A connection that breaks takes every stream it carried with it: the
    // transfers that fail with it cost one retry of the budget together.
    const auto now = SteadyClock::now();
    const bool connection = result != CURLE_OK;
    auto& last_break = charged_breaks_[transfer->origin];
    const bool same_break = connection && now - last_break < kOneBreak;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!same_break && !TakeRetryLocked(transfer->origin)) {
        reason.Then(kRetriesSpent);
        return false;
      }
    }
    if (connection && !same_break) last_break = now;
    if (!transfer->sink->Restart()) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      transfer->retries.push_back(reason);
    }
    Milliseconds pause =
        JitteredPause(kRetryPauses[static_cast<std::size_t>(transfer->attempt - 1)]);
    if (transfer->retry_after) {
      // The server's word: this request and its server's new ones wait,
      // up to the longest pause.
      pause = std::min(Milliseconds(*transfer->retry_after * 1000),
                       Milliseconds(longest_retry_pause_ms.load()));
      transfer->host->PauseUntil(now + pause);
    }
    Requeue(transfer, now + pause);
    transfer->attempt += 1;
    return true;
  }

  // Takes the transfer off libcurl to start again from its first byte at
  // `when`; its sink has forgotten what it was given.
  void Requeue(const std::shared_ptr<Transfer>& transfer, SteadyClock::time_point when) {
    Release(*transfer);
    transfer->received.store(0, std::memory_order_relaxed);
    transfer->too_large = false;
    transfer->sink_failed = false;
    transfer->retry_at = when;
    delayed_.push_back(transfer);
  }

  // Over HTTP/1.x a transfer takes a connection of its own: up to eight to
  // a host. Over HTTP/2 more than the connections that carry what the
  // module engine keeps in flight would only cost handshakes: a transfer
  // that found the streams of its host's connections taken opened one of
  // its own, each with its TLS handshake, while the first still shook
  // hands. So eight until an answer tells which, and for good once one
  // came over HTTP/1.x.
  void HeardHttpVersion(long version) {
    if (version != CURL_HTTP_VERSION_2_0 && version != CURL_HTTP_VERSION_3) spoke_http1_ = true;
    const long limit = spoke_http1_ ? kMaxConnectionsPerHost : kMultiplexedConnectionsPerHost;
    if (limit == connection_limit_) return;
    connection_limit_ = limit;
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, limit);
  }

  // The origin serves HTTP/1.1 only from now on. Its transfers that have no
  // answer yet start again at once (no attempt counted): libcurl would put
  // an HTTP/2 transfer on a busy HTTP/1.1 connection of the same server,
  // where answers can reach the wrong transfer.
  void FallBackToHttp1(const std::string& origin, std::vector<std::shared_ptr<Transfer>>& running,
                       const Transfer& failed) {
    http1_origins_.insert(origin);
    HeardHttpVersion(CURL_HTTP_VERSION_1_1);
    for (auto& transfer : running) {
      if (transfer.get() == &failed || transfer->easy == nullptr || transfer->origin != origin ||
          transfer->got_response || !transfer->sink->Restart()) {
        continue;
      }
      Requeue(transfer, SteadyClock::now());
    }
  }

  // Cancelled, silent or too slow transfers end here; the rest go on.
  // Silence is judged by server: whatever arrives on any connection to it
  // counts for every transfer waiting there.
  void CheckClocks(std::vector<std::shared_ptr<Transfer>>& running) {
    const auto now = SteadyClock::now();
    const SilenceLimits limits{
        Milliseconds(connect_timeout_ms.load()), Milliseconds(first_byte_timeout_ms.load()),
        Milliseconds(no_data_abort_ms.load()), Milliseconds(low_speed_window_ms.load()),
        static_cast<std::uint64_t>(low_speed_bytes_per_second.load()) *
            static_cast<std::uint64_t>(low_speed_window_ms.load()) / 1000};
    std::map<std::string, Reason> unreachable;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      unreachable = unreachable_;
    }
    // The servers whose transfers hold a connection, and those among them
    // that brought too little over a whole low-speed window.
    std::set<HostWatch*> connected;
    for (const auto& transfer : running) {
      if (transfer->easy != nullptr && transfer->connected) connected.insert(transfer->host);
    }
    std::map<HostWatch*, Reason> too_slow;
    for (auto& [origin, host] : hosts_) {
      if (auto reason = host.TooSlow(connected.count(&host) > 0, limits, now)) {
        too_slow.emplace(&host, std::move(*reason));
      }
    }
    for (auto& transfer : running) {
      if (transfer->easy == nullptr) continue;
      if (transfer->cancel) {
        Complete(*transfer, TransferOutcome::kCancelled, "cancelled");
        continue;
      }
      // Transfers already under way to a host that just timed out would
      // only wait for the same end (some of them in libcurl's queue).
      if (const auto it = unreachable.find(transfer->origin); it != unreachable.end()) {
        Complete(*transfer, TransferOutcome::kFailed, it->second);
        continue;
      }
      if (const auto it = too_slow.find(transfer->host);
          it != too_slow.end() && transfer->connected) {
        Complete(*transfer, TransferOutcome::kStalled, it->second);
        continue;
      }
      const TransferClock clock{transfer->connected,    transfer->got_response,
                                transfer->got_body,     transfer->launched_at,
                                transfer->connected_at, transfer->last_activity};
      std::optional<Silence> silence = JudgeSilence(
          clock, transfer->host->LastHeard(), connected.count(transfer->host) > 0, limits, now);
      if (!silence) continue;
      if (silence->Unreachable) {
        std::lock_guard<std::mutex> lock(mutex_);
        unreachable_.emplace(transfer->origin, silence->Why);
        unreachable.emplace(transfer->origin, silence->Why);
      }
      Complete(*transfer, silence->Stalled ? TransferOutcome::kStalled : TransferOutcome::kFailed,
               std::move(silence->Why));
    }
  }

  void CollectFinished(std::vector<std::shared_ptr<Transfer>>& running) {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      void* user = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &user);
      const auto it = std::find_if(running.begin(), running.end(),
                                   [user](const auto& transfer) { return transfer.get() == user; });
      if (it == running.end()) continue;
      const std::shared_ptr<Transfer> transfer = *it;
      long version = 0;
      if (transfer->got_response &&
          curl_easy_getinfo(transfer->easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK) {
        HeardHttpVersion(version);
      }
      Verdict verdict = Judge(*transfer, message->data.result);
      if (transfer->connected) transfer->host->Heard(SteadyClock::now());
      if (verdict.streams_refused) FallBackToHttp1(transfer->origin, running, *transfer);
      if (verdict.retry && ScheduleRetry(transfer, verdict.reason, message->data.result)) continue;
      if (verdict.unreachable) {
        std::lock_guard<std::mutex> lock(mutex_);
        unreachable_.emplace(transfer->origin, verdict.reason);
      }
      Complete(*transfer, verdict.outcome, std::move(verdict.reason));
    }
  }

  // A multi handle that fails itself takes its transfers with it, with the
  // reason, instead of leaving them to wait for ever.
  void FailRunning(std::vector<std::shared_ptr<Transfer>>& running, const Reason& reason) {
    for (auto& transfer : running) Complete(*transfer, TransferOutcome::kFailed, reason);
  }

  // Called with the lock held.
  bool TakeRetryLocked(const std::string& origin) {
    RetryBudget& budget = budgets_[origin];
    if (budget.retries >= budget.requests * kRetryBudgetPercent / 100 + kRetryBudgetExtra) {
      return false;
    }
    budget.retries += 1;
    return true;
  }

  static int OnSocket(CURL* easy, curl_socket_t socket, int what, void* user, void*) {
    auto& pool = *static_cast<TransferPool*>(user);
    if (what == CURL_POLL_REMOVE) {
      pool.watched_.erase(socket);
    } else {
      Watched& watched = pool.watched_[socket];
      watched.what = what;
      watched.looked_at = SteadyClock::now();
      // A connection serves one origin: what arrives on it is that server's.
      void* transfer = nullptr;
      if (easy != nullptr && curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer) == CURLE_OK &&
          transfer != nullptr) {
        watched.host = static_cast<Transfer*>(transfer)->host;
      }
    }
    return 0;
  }

  static int OnTimer(CURLM*, long timeout_ms, void* user) {
    auto& pool = *static_cast<TransferPool*>(user);
    if (timeout_ms < 0) {
      pool.timer_due_.reset();
    } else {
      pool.timer_due_ = SteadyClock::now() + Milliseconds(timeout_ms);
    }
    return 0;
  }

  // The TLS layer may hold records that libcurl has not taken yet while
  // nothing more comes on the socket (Schannel decrypts all it has read at
  // once): a socket that libcurl reads and that was quiet for a tick is
  // looked at anyway, so that such a body never waits for the clocks.
  void LookAtQuietSockets(std::vector<std::shared_ptr<Transfer>>& running) {
    const auto quiet_since = SteadyClock::now() - Milliseconds(kWorkerTickMs);
    std::vector<curl_socket_t> quiet;
    for (const auto& [socket, watched] : watched_) {
      const bool reads = watched.what == CURL_POLL_IN || watched.what == CURL_POLL_INOUT;
      if (reads && watched.looked_at <= quiet_since) quiet.push_back(socket);
    }
    for (const curl_socket_t socket : quiet) {
      if (const auto it = watched_.find(socket); it != watched_.end()) {
        it->second.looked_at = SteadyClock::now();
        Act(running, socket, CURL_CSELECT_IN);
      }
    }
  }

  void Act(std::vector<std::shared_ptr<Transfer>>& running, curl_socket_t socket, int events) {
    int still_running = 0;
    if (const CURLMcode code = curl_multi_socket_action(multi_, socket, events, &still_running);
        code != CURLM_OK) {
      FailRunning(running, std::string("curl_multi_socket_action: ") + curl_multi_strerror(code));
    }
    // Each transfer that ended is told at once, not after the other
    // sockets' turns.
    CollectFinished(running);
  }

  // How long the worker may sleep: until libcurl's timer, the clocks' next
  // look or the first retry that is due, whichever comes first.
  int SleepMs(SteadyClock::time_point clocks_due) const {
    auto until = clocks_due;
    if (timer_due_) until = std::min(until, *timer_due_);
    for (const auto& transfer : delayed_) until = std::min(until, transfer->retry_at);
    const auto left = std::chrono::ceil<Milliseconds>(until - SteadyClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kWorkerTickMs));
  }

  void Loop() {
    std::vector<std::shared_ptr<Transfer>> running;
    std::vector<SocketInterest> interest;
    std::vector<SocketReady> ready;
    auto clocks_due = SteadyClock::now();
    bool woken = true;
    while (true) {
      AddIncoming(running);
      if (timer_due_ && SteadyClock::now() >= *timer_due_) {
        timer_due_.reset();
        Act(running, CURL_SOCKET_TIMEOUT, 0);
      }
      CollectFinished(running);
      // The clocks are looked at every tick, and at once when a caller
      // woke the worker (a cancel): not on every socket event.
      if (woken || SteadyClock::now() >= clocks_due) {
        CheckClocks(running);
        LookAtQuietSockets(running);
        clocks_due = SteadyClock::now() + Milliseconds(kWorkerTickMs);
      }
      std::erase_if(running, [](const auto& transfer) { return transfer->easy == nullptr; });
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ && running.empty() && incoming_.empty() && delayed_.empty()) break;
      }
      interest.clear();
      for (const auto& [socket, watched] : watched_) {
        interest.push_back({static_cast<NativeSocket>(socket),
                            watched.what == CURL_POLL_IN || watched.what == CURL_POLL_INOUT,
                            watched.what == CURL_POLL_OUT || watched.what == CURL_POLL_INOUT});
      }
      woken = waiter_->Wait(interest, SleepMs(clocks_due), &ready);
      for (const SocketReady& r : ready) {
        if (const auto it = watched_.find(static_cast<curl_socket_t>(r.Socket));
            it != watched_.end()) {
          it->second.looked_at = SteadyClock::now();
          // Bytes on the connection, a handshake's or another body's: its
          // server is alive for every transfer waiting on it.
          if (r.Read && it->second.host != nullptr) it->second.host->Heard(it->second.looked_at);
        }
        const int events = (r.Read ? CURL_CSELECT_IN : 0) | (r.Write ? CURL_CSELECT_OUT : 0) |
                           (r.Error ? CURL_CSELECT_ERR : 0);
        Act(running, static_cast<curl_socket_t>(r.Socket), events);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable ended_;
  CURLM* multi_ = nullptr;
  std::unique_ptr<SocketWaiter> waiter_;
  // The worker's own: the sockets libcurl watches (CURL_POLL_*, and when
  // the worker last told libcurl about each), and its timer.
  struct Watched {
    int what = 0;
    SteadyClock::time_point looked_at;
    HostWatch* host = nullptr;  // the server at the other end
  };
  std::map<curl_socket_t, Watched> watched_;
  std::optional<SteadyClock::time_point> timer_due_;
  long connection_limit_ = kMaxConnectionsPerHost;  // see HeardHttpVersion
  bool spoke_http1_ = false;
  std::thread thread_;
  bool stopping_ = false;
  TransferId next_id_ = 1;
  std::map<TransferId, std::shared_ptr<Transfer>> transfers_;
  std::vector<std::shared_ptr<Transfer>> incoming_;
  std::map<std::string, Reason> unreachable_;  // origin -> why
  // The worker's own: transfers waiting to be tried again, and what each
  // origin's transfers heard from it.
  std::vector<std::shared_ptr<Transfer>> delayed_;
  std::map<std::string, HostWatch> hosts_;
  std::set<std::string> http1_origins_;  // servers that refused every HTTP/2 stream
  struct RetryBudget {
    int requests = 0;  // first attempts sent in this run
    int retries = 0;
  };
  std::map<std::string, RetryBudget> budgets_;  // by origin
  // When a broken connection to each origin was last charged to its budget;
  // the worker's own.
  std::map<std::string, SteadyClock::time_point> charged_breaks_;
};

std::mutex session_mutex;
bool curl_ready = false;

TransferPool& Pool() {
  static TransferPool pool;
  return pool;
}

}  // namespace

bool IsSendableValidator(std::string_view value, std::size_t limit) {
  if (value.size() > limit) return false;
  for (const char c : value) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool StartCurlSession() {
  std::lock_guard<std::mutex> lock(session_mutex);
  if (curl_ready) return true;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
  curl_ready = true;
  return true;
}

void StopCurlSession() {
  Pool().Stop();
  std::lock_guard<std::mutex> lock(session_mutex);
  if (!curl_ready) return;
  curl_global_cleanup();
  curl_ready = false;
}

std::optional<TransferId> StartTransfer(const TransferRequest& request, TransferSink& sink) {
  return Pool().Start(request, sink);
}

TransferState TransferStatus(TransferId id) {
  return Pool().Status(id);
}

bool WaitForTransfer(TransferId id, int max_ms) {
  return Pool().Wait(id, max_ms);
}

void EndTransfer(TransferId id) {
  Pool().End(id);
}

void SetConnectTimeoutMs(int ms) {
  connect_timeout_ms = ms > 0 ? ms : 1;
}

int ConnectTimeoutMs() {
  return connect_timeout_ms;
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

void SetFirstByteTimeoutMs(int ms) {
  first_byte_timeout_ms = ms > 0 ? ms : 1;
}

void SetLongestRetryPauseMs(int ms) {
  longest_retry_pause_ms = ms > 0 ? ms : 1;
}

std::optional<double> LineBytesPerSecond() {
  return Deliveries().BytesPerSecond();
}

void ForgetUnreachableHosts() {
  Pool().ForgetUnreachable();
}

bool TakeRetry(std::string_view url) {
  return Pool().TakeRetry(OriginOf(url));
}

}  // namespace kanade

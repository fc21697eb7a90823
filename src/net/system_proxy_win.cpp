// The proxy Windows is set to use, read through WinHTTP on a thread of its
// own while the window opens: the user's settings, and where they ask for a
// PAC script (at a set URL or found by automatic detection), the script's
// answer for the repository host: its list, tried in order as Windows does
// (proxy_script.h).
#include <windows.h>
// Windows headers first: the one below needs their definitions.
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/proxy_script.h"
#include "net/system_proxy.h"
#include "util/utf.h"

namespace kanade {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A failed WPAD look-up can take more than 2 s: the run waits this long for
// automatic detection and goes on without it. Reading the settings and a
// script at a set URL get a little longer; the script's download itself is
// bounded by WinHTTP's time-outs, and its run ends with its process.
constexpr std::chrono::milliseconds kDetectionLimit{3000};
constexpr std::chrono::milliseconds kScriptLimit{5000};
constexpr int kScriptTimeoutMs = 4000;
constexpr std::size_t kMaxScriptBytes = 1 << 20;

struct Lookup {
  std::mutex mutex;
  std::condition_variable changed;
  bool decided = false;
  SystemProxySettings settings;  // the answer; until decided, what stands if time runs out
  SteadyClock::time_point deadline;
  std::string late;  // the note for an answer that did not come in time
};

// Made once and never freed: a look-up given up on may still end on its
// thread while the program goes on, or ends.
std::atomic<Lookup*> current{nullptr};

std::string Take(LPWSTR text) {
  if (text == nullptr) return {};
  std::string value = Narrow(text);
  GlobalFree(text);
  return value;
}

std::string WinHttpError(DWORD code) {
  std::string what;
  switch (code) {
    case ERROR_WINHTTP_AUTODETECTION_FAILED:
      what = "no proxy script was found";
      break;
    case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
      what = "the script could not be downloaded";
      break;
    case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
      what = "the script does not run";
      break;
    case ERROR_WINHTTP_TIMEOUT:
      what = "no answer in time";
      break;
    default:
      what = "failed";
  }
  return what + " (WinHTTP error " + std::to_string(code) + ")";
}

// Called with the lock held.
void Decide(Lookup& lookup, SystemProxySettings settings) {
  if (lookup.decided) return;
  lookup.settings = std::move(settings);
  lookup.decided = true;
  lookup.changed.notify_all();
}

// What stands while the next step runs, and how long it may take.
void Expect(Lookup& lookup, const SystemProxySettings& standing, std::chrono::milliseconds limit,
            std::string late) {
  std::lock_guard<std::mutex> lock(lookup.mutex);
  if (lookup.decided) return;
  lookup.settings = standing;
  lookup.deadline = SteadyClock::now() + limit;
  lookup.late = std::move(late);
  lookup.changed.notify_all();
}

// Called with the lock held: the time is up, what stands is the answer.
bool DecidedByNow(Lookup& lookup) {
  if (!lookup.decided && SteadyClock::now() >= lookup.deadline) {
    SystemProxySettings standing = lookup.settings;
    standing.Note += (standing.Note.empty() ? "" : "; ") + lookup.late;
    Decide(lookup, std::move(standing));
  }
  return lookup.decided;
}

// The text of the script at `url`, or why there is none.
std::optional<std::string> DownloadScript(HINTERNET session, const std::wstring& url,
                                          std::string* why) {
  wchar_t host[256], path[2048], extra[2048];
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = 2048;
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
    *why = "not a URL that can be fetched";
    return std::nullopt;
  }
  const std::wstring target = std::wstring(path) + extra;
  HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
  HINTERNET request =
      connection == nullptr
          ? nullptr
          : WinHttpOpenRequest(connection, L"GET", target.c_str(), nullptr, WINHTTP_NO_REFERER,
                               WINHTTP_DEFAULT_ACCEPT_TYPES,
                               parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  std::optional<std::string> text;
  DWORD status = 0, size = sizeof status;
  if (request != nullptr &&
      WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                         0) &&
      WinHttpReceiveResponse(request, nullptr) &&
      WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    if (status == 200) {
      text.emplace();
      char buffer[8192];
      DWORD got = 0;
      while (text->size() <= kMaxScriptBytes &&
             WinHttpReadData(request, buffer, sizeof buffer, &got) && got > 0) {
        text->append(buffer, got);
      }
    } else {
      *why = "the script could not be downloaded (HTTP " + std::to_string(status) + ")";
    }
  } else {
    *why =
        "the script could not be downloaded (WinHTTP error " + std::to_string(GetLastError()) + ")";
  }
  if (request != nullptr) WinHttpCloseHandle(request);
  if (connection != nullptr) WinHttpCloseHandle(connection);
  return text;
}

// WinHTTP's own answer for `url` from the script at `script`, or automatic
// detection when it is empty: the first proxy of the list only.
bool AskWinHttp(HINTERNET session, const std::wstring& url, const std::wstring& script,
                SystemProxySettings& answer, std::string& note) {
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (script.empty()) {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = script.c_str();
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  if (session == nullptr || !WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) {
    const DWORD code = GetLastError();
    note += (note.empty() ? "" : "; ") +
            (script.empty() ? "automatic detection: " : "the PAC script " + Narrow(script) + ": ") +
            WinHttpError(code);
    return false;
  }
  const std::string list = Take(info.lpszProxy);
  answer.Source = ProxySource::kScript;
  answer.Script = Narrow(script);
  answer.List = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? list : std::string();
  answer.Bypass = Take(info.lpszProxyBypass);
  return true;
}

// The script's answer for `url`: found by automatic detection when
// `script` is empty. The script is fetched here and run in a process of its
// own, which is ended when the look-up's time is up.
bool AskScript(Lookup& lookup, HINTERNET session, const std::wstring& url, std::wstring script,
               SystemProxySettings& answer, std::string& note) {
  const std::wstring set = script;
  const std::string what =
      script.empty() ? "automatic detection: " : "the PAC script " + Narrow(script) + ": ";
  const auto failed = [&](const std::string& why) {
    note += (note.empty() ? "" : "; ") + what + why;
    return false;
  };
  if (session == nullptr) return failed(WinHttpError(GetLastError()));
  if (script.empty()) {
    LPWSTR found = nullptr;
    if (!WinHttpDetectAutoProxyConfigUrl(
            WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A, &found)) {
      return failed(WinHttpError(GetLastError()));
    }
    script = Widen(Take(found));
  }
  std::string why;
  const std::optional<std::string> text = DownloadScript(session, script, &why);
  if (!text) return failed(why);
  SteadyClock::time_point deadline;
  {
    std::lock_guard<std::mutex> lock(lookup.mutex);
    deadline = lookup.deadline;
  }
  const ScriptAnswer asked = AskScriptProcess(*text, Narrow(url), deadline);
  if (asked.Unsupported) {
    if (!AskWinHttp(session, url, script, answer, note)) return false;
    answer.Script = Narrow(set);
    return true;
  }
  if (asked.Late) {
    // In the words of the look-up's own time-out, whichever tells first.
    std::lock_guard<std::mutex> lock(lookup.mutex);
    note += (note.empty() ? "" : "; ") + lookup.late;
    return false;
  }
  if (!asked.Pac) return failed(asked.Failure);
  std::string passed;
  answer.Source = ProxySource::kScript;
  answer.Script = Narrow(set);
  answer.List = FirstAnswering(PacProxies(*asked.Pac), &passed);
  answer.Bypass.clear();
  if (!passed.empty()) answer.Note = passed + " before it did not answer";
  return true;
}

void Run(Lookup& lookup, const std::wstring& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
  SystemProxySettings fixed;
  bool detect = false;
  std::wstring script;
  if (WinHttpGetIEProxyConfigForCurrentUser(&ie)) {
    detect = ie.fAutoDetect != FALSE;
    if (ie.lpszAutoConfigUrl != nullptr) script = ie.lpszAutoConfigUrl;
    Take(ie.lpszAutoConfigUrl);
    fixed.List = Take(ie.lpszProxy);
    fixed.Bypass = Take(ie.lpszProxyBypass);
    if (!fixed.List.empty()) fixed.Source = ProxySource::kFixed;
  } else {
    fixed.Note = "the Windows proxy settings could not be read (error " +
                 std::to_string(GetLastError()) + ")";
  }
  if (!detect && script.empty()) {
    std::lock_guard<std::mutex> lock(lookup.mutex);
    Decide(lookup, fixed);
    return;
  }
  HINTERNET session = WinHttpOpen(L"Kanade Patcher", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session != nullptr) {
    WinHttpSetTimeouts(session, kScriptTimeoutMs, kScriptTimeoutMs, kScriptTimeoutMs,
                       kScriptTimeoutMs);
  }
  // A script the player named comes first: it answers at once, where a
  // detection that finds nothing takes seconds. Until an answer comes, the
  // fixed proxy (or none) stands.
  SystemProxySettings answer;
  std::string notes;
  bool answered = false;
  if (!script.empty()) {
    Expect(lookup, fixed, kScriptLimit,
           "the PAC script " + Narrow(script) + " gave no answer within " +
               std::to_string(kScriptLimit.count() / 1000) + " s");
    answered = AskScript(lookup, session, url, script, answer, notes);
  }
  if (!answered && detect) {
    SystemProxySettings standing = fixed;
    standing.Note = notes;
    Expect(lookup, standing, kDetectionLimit,
           "automatic detection gave no answer within " +
               std::to_string(kDetectionLimit.count() / 1000) + " s");
    answered = AskScript(lookup, session, url, L"", answer, notes);
  }
  if (session != nullptr) WinHttpCloseHandle(session);
  if (!answered) {
    answer = fixed;
    answer.Note = notes;
  }
  std::lock_guard<std::mutex> lock(lookup.mutex);
  Decide(lookup, std::move(answer));
}

}  // namespace

void StartSystemProxyLookup(std::string_view url) {
  static std::once_flag once;
  std::call_once(once, [url] {
    auto* lookup = new Lookup;
    lookup->deadline = SteadyClock::now() + kScriptLimit;
    lookup->late = "the Windows proxy settings gave no answer within " +
                   std::to_string(kScriptLimit.count() / 1000) + " s";
    try {
      std::thread([lookup, wide = Widen(url)] { Run(*lookup, wide); }).detach();
    } catch (const std::system_error&) {
      delete lookup;
      return;  // no look-up: libcurl decides, as before
    }
    current = lookup;
  });
}

bool SystemProxyDecided() {
  Lookup* lookup = current;
  if (lookup == nullptr) return true;
  std::lock_guard<std::mutex> lock(lookup->mutex);
  return DecidedByNow(*lookup);
}

std::optional<SystemProxySettings> AwaitSystemProxySettings() {
  Lookup* lookup = current;
  if (lookup == nullptr) return std::nullopt;
  std::unique_lock<std::mutex> lock(lookup->mutex);
  while (!DecidedByNow(*lookup)) lookup->changed.wait_until(lock, lookup->deadline);
  return lookup->settings;
}

}  // namespace kanade

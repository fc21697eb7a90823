// The proxy Windows is set to use, read through WinHTTP on a thread of its
// own while the window opens: the user's settings, and where they ask for a
// PAC script (at a set URL or found by automatic detection), the script's
// answer for the repository host.
#include <windows.h>
// Windows headers first: the one below needs their definitions.
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/system_proxy.h"
#include "util/utf.h"

namespace kanade {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A failed WPAD look-up can take more than 2 s: the run waits this long for
// automatic detection and goes on without it. Reading the settings and a
// script at a set URL get a little longer; the script's download itself is
// bounded by WinHTTP's time-outs.
constexpr std::chrono::milliseconds kDetectionLimit{3000};
constexpr std::chrono::milliseconds kScriptLimit{5000};
constexpr int kScriptTimeoutMs = 4000;

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

// The script's answer for `url`: found by automatic detection when
// `script` is empty.
bool AskScript(HINTERNET session, const std::wstring& url, const std::wstring& script,
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
    answered = AskScript(session, url, script, answer, notes);
  }
  if (!answered && detect) {
    SystemProxySettings standing = fixed;
    standing.Note = notes;
    Expect(lookup, standing, kDetectionLimit,
           "automatic detection gave no answer within " +
               std::to_string(kDetectionLimit.count() / 1000) + " s");
    answered = AskScript(session, url, L"", answer, notes);
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

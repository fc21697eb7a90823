// The proxy that the program's transfers take. libcurl reads the proxy
// environment variables itself, and they win as they always did; without
// them, the proxy that Windows is set to use (a fixed proxy with its bypass
// list, a PAC script, or automatic detection) is read once, in the
// background at start-up, for the repository host.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kanade {

enum class ProxySource {
  kNone,         // no proxy is set anywhere
  kEnvironment,  // a proxy environment variable; libcurl takes it itself
  kFixed,        // the Windows settings name a proxy server
  kScript,       // a PAC script answered, named in the settings or detected
};

/// The proxy a URL's transfers take, with where it came from, for the log.
struct ProxyChoice {
  ProxySource Source = ProxySource::kNone;
  std::string Proxy;      // as libcurl takes it ("http://host:port"); empty: direct
  std::string Variable;   // kEnvironment: the variable that names it
  std::string Bypass;     // the Windows bypass list, as set
  std::string Script;     // kScript: the script's URL; empty when detected
  bool Bypassed = false;  // the bypass list names the URL's host: direct
  std::string NoProxy;    // kEnvironment: the variable whose list names the host (direct)
  std::string Note;       // why automatic detection or the script gave no answer
};

/// What the system settings make of one transfer, when the environment
/// names no proxy for it: CURLOPT_PROXY ("" goes direct), CURLOPT_NOPROXY
/// for the hosts a redirect may reach, and CURLOPT_PROXYAUTH.
struct ProxyRoute {
  std::string Proxy;
  std::string NoProxy;
  long SignIn = 0;  // the player's own Windows sign-in (NTLM, Negotiate), where libcurl has it
};

/// Starts reading the system's proxy settings for `url` (the repository
/// host); once per process, and only where there are such settings
/// (Windows). Automatic detection gets a few seconds; a failure stays for
/// the process.
void StartSystemProxyLookup(std::string_view url);
/// True once the look-up has an answer or its time is up, or none runs.
bool SystemProxyDecided();
/// The route of a transfer of `url`; nothing when libcurl is to decide (a
/// proxy environment variable is set, or no look-up ran). Waits for the
/// look-up while it may still answer.
std::optional<ProxyRoute> SystemProxyRoute(std::string_view url);
/// The proxy that `url` takes and where it came from. Waits as above.
ProxyChoice ProxyInUse(std::string_view url);

// The parts, for tests.

/// The proxy environment variable that libcurl takes for `url` and its
/// value: <scheme>_proxy (or upper case, except HTTP_PROXY), then all_proxy.
std::optional<std::pair<std::string, std::string>> EnvironmentProxy(std::string_view url);
/// The proxy that a Windows proxy list gives for `scheme` ("https"), as
/// libcurl takes it: "host:port" for every scheme, "http=h:p;https=h:p"
/// per scheme, "socks=h:p" for any scheme without its own. Empty for none.
std::string ProxyForScheme(std::string_view list, std::string_view scheme);
/// True when the Windows bypass list names `host`: entries apart by ";",
/// "," or spaces, "*" for any characters, "<local>" for names without a dot;
/// a scheme or port in an entry is not compared.
bool BypassesProxy(std::string_view bypass, std::string_view host);
/// The entries of a bypass list that libcurl's NOPROXY can take, apart by
/// ",": plain names and addresses, "*.example.com" as a domain.
std::string NoProxyList(std::string_view bypass);
/// The no_proxy (or NO_PROXY) variable whose list names `url`'s host, as
/// libcurl reads it, with its value; nothing when none does.
std::optional<std::pair<std::string, std::string>> EnvironmentNoProxy(std::string_view url);
/// True when a no_proxy list names `host`: "*" for every host, names apart
/// by "," or spaces, each also for the names below it (a leading "." or
/// not), addresses as written or with a "/bits" IPv4 range.
bool NoProxyCovers(std::string_view list, std::string_view host);
/// A proxy URL as the log may show it: a user name and password become
/// "***" ("http://***@host:port").
std::string ShownProxy(std::string_view proxy);
/// The proxies of a PAC script's answer ("PROXY a:1; SOCKS b:2; DIRECT"),
/// in its order, as libcurl takes them; "" stands for DIRECT. Unknown
/// entries are left out.
std::vector<std::string> PacProxies(std::string_view answer);

// Each platform's part (system_proxy_win.cpp, system_proxy_posix.cpp).

/// What the system's settings answered for the repository host.
struct SystemProxySettings {
  ProxySource Source = ProxySource::kNone;
  std::string List;    // a Windows proxy list, as ProxyForScheme takes it
  std::string Bypass;  // a Windows bypass list
  std::string Script;
  std::string Note;
};
/// The answer of the look-up, waiting for it while it may still come;
/// nothing when no look-up ran.
std::optional<SystemProxySettings> AwaitSystemProxySettings();

}  // namespace kanade

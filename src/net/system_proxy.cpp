#include "net/system_proxy.h"

#include <curl/curl.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "util/text.h"

namespace kanade {

namespace {

// "https" of "https://host:port/path".
std::string SchemeOf(std::string_view url) {
  const std::size_t end = url.find("://");
  return end == std::string_view::npos ? std::string() : ToLowerAscii(url.substr(0, end));
}

// "host" of "https://user@host:port/path", without an IPv6 address's brackets.
std::string HostOf(std::string_view url) {
  const std::size_t scheme = url.find("://");
  std::string_view rest = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    rest = rest.substr(at + 1);
  }
  if (!rest.empty() && rest.front() == '[') return ToLowerAscii(rest.substr(1, rest.find(']') - 1));
  return ToLowerAscii(rest.substr(0, rest.find(':')));
}

std::vector<std::string> Entries(std::string_view list, std::string_view separators) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find_first_of(separators, start);
    if (end == std::string_view::npos) end = list.size();
    if (end > start) entries.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

// A bypass entry's host pattern: no scheme, no port.
std::string HostPattern(std::string_view entry) {
  if (const std::size_t scheme = entry.find("://"); scheme != std::string_view::npos) {
    entry = entry.substr(scheme + 3);
  }
  if (entry.find(':') != entry.rfind(':')) return ToLowerAscii(entry);  // an IPv6 address
  return ToLowerAscii(entry.substr(0, entry.find(':')));
}

bool MatchesWildcard(std::string_view pattern, std::string_view text) {
  // The classic two-pointer walk: a "*" remembers where to resume.
  std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// What libcurl needs for a proxy named "host:port": the scheme that it
// speaks to the proxy.
std::string ProxyUrl(std::string_view address, std::string_view scheme) {
  if (address.find("://") != std::string_view::npos) return std::string(address);
  return std::string(scheme) + "://" + std::string(address);
}

// NTLM and Negotiate with an empty name sign in as the Windows user, which
// only a libcurl on SSPI does.
long SignInMethods() {
  const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
  if ((curl->features & CURL_VERSION_SSPI) == 0) return 0;
  long methods = 0;
  if ((curl->features & CURL_VERSION_NTLM) != 0) methods |= CURLAUTH_NTLM;
  if ((curl->features & CURL_VERSION_SPNEGO) != 0) methods |= CURLAUTH_NEGOTIATE;
  return methods;
}

// "10.1.2.3" as a number, when it is an IPv4 address.
std::optional<std::uint32_t> Ipv4(std::string_view text) {
  std::uint32_t address = 0;
  int parts = 0;
  std::size_t at = 0;
  while (parts < 4) {
    std::size_t end = at;
    while (end < text.size() && end - at < 3 && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == at) return std::nullopt;
    const int part = std::stoi(std::string(text.substr(at, end - at)));
    if (part > 255) return std::nullopt;
    address = address << 8 | static_cast<std::uint32_t>(part);
    ++parts;
    if (parts < 4 && (end >= text.size() || text[end] != '.')) return std::nullopt;
    at = end + 1;
    if (parts == 4 && end != text.size()) return std::nullopt;
  }
  return address;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> EnvironmentProxy(std::string_view url) {
  const std::string scheme = SchemeOf(url);
  std::vector<std::string> names = {scheme + "_proxy"};
  // libcurl leaves HTTP_PROXY alone: a CGI script's request can set it.
  if (scheme != "http") names.push_back(ToUpperAscii(scheme) + "_PROXY");
  names.insert(names.end(), {"all_proxy", "ALL_PROXY"});
  for (const std::string& name : names) {
    const char* value = std::getenv(name.c_str());
    if (value != nullptr && *value != '\0') return std::pair{name, std::string(value)};
  }
  return std::nullopt;
}

std::string ProxyForScheme(std::string_view list, std::string_view scheme) {
  std::string socks;
  for (const std::string& entry : Entries(list, "; \t")) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) return ProxyUrl(entry, "http");
    const std::string name = ToLowerAscii(entry.substr(0, equals));
    const std::string address = entry.substr(equals + 1);
    if (address.empty()) continue;
    if (name == scheme) return ProxyUrl(address, "http");
    // Windows speaks SOCKS 4 to a "socks=" proxy.
    if (name == "socks" && socks.empty()) socks = ProxyUrl(address, "socks4");
  }
  return socks;
}

bool BypassesProxy(std::string_view bypass, std::string_view host) {
  const std::string name = ToLowerAscii(host);
  for (const std::string& entry : Entries(bypass, ";, \t\r\n")) {
    if (EqualsIgnoreCaseAscii(entry, "<local>")) {
      if (name.find('.') == std::string::npos && name.find(':') == std::string::npos) return true;
      continue;
    }
    if (MatchesWildcard(HostPattern(entry), name)) return true;
  }
  return false;
}

std::string NoProxyList(std::string_view bypass) {
  std::string list;
  for (const std::string& entry : Entries(bypass, ";, \t\r\n")) {
    std::string pattern = HostPattern(entry);
    // libcurl takes a name as itself and every name below it.
    if (StartsWith(pattern, "*.")) pattern.erase(0, 2);
    if (pattern.empty() || pattern.find_first_of("*<>") != std::string::npos) continue;
    list += (list.empty() ? "" : ",") + pattern;
  }
  return list;
}

bool NoProxyCovers(std::string_view list, std::string_view host) {
  std::string name = ToLowerAscii(host);
  while (!name.empty() && name.back() == '.') name.pop_back();
  const std::optional<std::uint32_t> address = Ipv4(name);
  for (std::string entry : Entries(list, ", \t")) {
    entry = ToLowerAscii(entry);
    if (entry == "*") return true;
    if (const std::size_t slash = entry.find('/'); slash != std::string::npos && address) {
      const std::optional<std::uint32_t> range = Ipv4(entry.substr(0, slash));
      const std::string bits = entry.substr(slash + 1);
      if (!range || bits.empty() || bits.size() > 2 ||
          bits.find_first_not_of("0123456789") != std::string::npos || std::stoi(bits) > 32) {
        continue;
      }
      const int width = std::stoi(bits);
      const std::uint32_t mask = width == 0 ? 0 : ~std::uint32_t{0} << (32 - width);
      if ((*address & mask) == (*range & mask)) return true;
      continue;
    }
    if (!entry.empty() && entry.front() == '[') {
      entry = entry.substr(1, entry.find(']') - 1);  // an IPv6 address as written
    }
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (name == entry) return true;
    if (!address && name.size() > entry.size() && EndsWith(name, entry) &&
        name[name.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

std::optional<std::pair<std::string, std::string>> EnvironmentNoProxy(std::string_view url) {
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    // libcurl reads the first one set, whatever it says.
    if (NoProxyCovers(value, HostOf(url))) return std::pair{std::string(name), std::string(value)};
    return std::nullopt;
  }
  return std::nullopt;
}

std::string ShownProxy(std::string_view proxy) {
  const std::size_t scheme = proxy.find("://");
  const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
  const std::size_t end = proxy.find_first_of("/?#", start);
  const std::size_t at = proxy.substr(0, end).rfind('@');
  if (at == std::string_view::npos || at < start) return std::string(proxy);
  return std::string(proxy.substr(0, start)) + "***" + std::string(proxy.substr(at));
}

std::vector<std::string> PacProxies(std::string_view answer) {
  std::vector<std::string> proxies;
  for (const std::string& entry : Entries(answer, ";")) {
    std::vector<std::string> words = Entries(entry, " \t\r\n");
    if (words.empty()) continue;
    const std::string kind = ToUpperAscii(words[0]);
    if (kind == "DIRECT") {
      proxies.emplace_back();
      continue;
    }
    if (words.size() < 2) continue;
    const char* scheme = kind == "PROXY" || kind == "HTTP"     ? "http"
                         : kind == "HTTPS"                     ? "https"
                         : kind == "SOCKS" || kind == "SOCKS4" ? "socks4"
                         : kind == "SOCKS5"                    ? "socks5"
                                                               : nullptr;
    if (scheme != nullptr) proxies.push_back(ProxyUrl(words[1], scheme));
  }
  return proxies;
}

std::optional<ProxyRoute> SystemProxyRoute(std::string_view url) {
  if (EnvironmentProxy(url)) return std::nullopt;
  const std::optional<SystemProxySettings> settings = AwaitSystemProxySettings();
  if (!settings) return std::nullopt;
  ProxyRoute route;
  route.NoProxy = NoProxyList(settings->Bypass);
  if (!BypassesProxy(settings->Bypass, HostOf(url))) {
    route.Proxy = ProxyForScheme(settings->List, SchemeOf(url));
  }
  if (!route.Proxy.empty()) route.SignIn = SignInMethods();
  return route;
}

ProxyChoice ProxyInUse(std::string_view url) {
  ProxyChoice choice;
  if (const auto variable = EnvironmentProxy(url)) {
    choice.Source = ProxySource::kEnvironment;
    choice.Variable = variable->first;
    // libcurl goes direct to a host that no_proxy names.
    if (const auto no_proxy = EnvironmentNoProxy(url)) {
      choice.NoProxy = no_proxy->first;
    } else {
      choice.Proxy = variable->second;
    }
    return choice;
  }
  const std::optional<SystemProxySettings> settings = AwaitSystemProxySettings();
  if (!settings) return choice;
  choice.Source = settings->Source;
  choice.Bypass = settings->Bypass;
  choice.Script = settings->Script;
  choice.Note = settings->Note;
  choice.Bypassed = BypassesProxy(settings->Bypass, HostOf(url));
  if (!choice.Bypassed) choice.Proxy = ProxyForScheme(settings->List, SchemeOf(url));
  return choice;
}

}  // namespace kanade

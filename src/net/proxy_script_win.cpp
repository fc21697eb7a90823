// The PAC script's evaluator process and what the look-up does with its
// answer. The script runs in jsproxy.dll, the engine that WinHTTP itself
// uses, whose answer is the whole list; WinHTTP's own call hands back only
// its first proxy.
#include <winsock2.h>
#include <ws2tcpip.h>
// Windows headers first: the ones below need their definitions.
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/proxy_script.h"
#include "util/utf.h"

namespace kanade {

namespace {

// A script is at most this long; its answer is read up to this much.
constexpr DWORD kMaxScriptBytes = 1 << 20;
constexpr DWORD kMaxAnswerBytes = 16 * 1024;
// How long a proxy of the list has to take a connection.
constexpr int kProxyAnswerMs = 1500;

struct ScriptBuffer {  // AUTO_PROXY_SCRIPT_BUFFER
  DWORD dwStructSize;
  LPSTR lpszScriptBuffer;
  DWORD dwScriptBufferSize;
};
using InitializeScript = BOOL(WINAPI*)(DWORD, LPSTR, LPSTR, void*, ScriptBuffer*);
using GetScriptAnswer = BOOL(WINAPI*)(LPCSTR, DWORD, LPSTR, DWORD, LPSTR*, LPDWORD);

void WriteAll(HANDLE out, const std::string& text) {
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string ReadAll(HANDLE in, DWORD limit) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (text.size() < limit && ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  return text;
}

// "host" of "https://host:port/path".
std::string HostOf(std::string_view url) {
  const std::size_t scheme = url.find("://");
  std::string_view rest = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (!rest.empty() && rest.front() == '[') return std::string(rest.substr(1, rest.find(']') - 1));
  return std::string(rest.substr(0, rest.find(':')));
}

struct Handle {
  HANDLE h = nullptr;
  ~Handle() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// Whether `proxy` ("scheme://host:port") takes a TCP connection soon.
bool Answers(const std::string& proxy) {
  const std::size_t scheme = proxy.find("://");
  std::string rest = scheme == std::string::npos ? proxy : proxy.substr(scheme + 3);
  rest = rest.substr(0, rest.find('/'));
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = rest.substr(0, colon), port = rest.substr(colon + 1);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool answered = false;
  for (addrinfo* a = found; a != nullptr && !answered; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
      answered = true;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval wait{kProxyAnswerMs / 1000, (kProxyAnswerMs % 1000) * 1000};
      answered = select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(s, &writable) &&
                 !FD_ISSET(s, &failed);
    }
    closesocket(s);
  }
  freeaddrinfo(found);
  return answered;
}

}  // namespace

int RunProxyScript() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  std::string script = ReadAll(GetStdHandle(STD_INPUT_HANDLE), kMaxScriptBytes + 4096);
  const std::size_t line = script.find('\n');
  if (line == std::string::npos) return 2;
  const std::string url = script.substr(0, line);
  script.erase(0, line + 1);
  const HMODULE engine = LoadLibraryW(L"jsproxy.dll");
  const auto initialize = engine == nullptr
                              ? nullptr
                              : reinterpret_cast<InitializeScript>(reinterpret_cast<void*>(
                                    GetProcAddress(engine, "InternetInitializeAutoProxyDll")));
  const auto ask = engine == nullptr ? nullptr
                                     : reinterpret_cast<GetScriptAnswer>(reinterpret_cast<void*>(
                                           GetProcAddress(engine, "InternetGetProxyInfo")));
  if (initialize == nullptr || ask == nullptr) {
    WriteAll(out, "NONE\n");
    return 3;
  }
  ScriptBuffer buffer{sizeof(ScriptBuffer), script.data(), static_cast<DWORD>(script.size())};
  std::string target(url), host = HostOf(url);
  LPSTR answer = nullptr;
  DWORD length = 0;
  if (!initialize(0, nullptr, nullptr, nullptr, &buffer) ||
      !ask(target.c_str(), static_cast<DWORD>(target.size()), host.data(),
           static_cast<DWORD>(host.size()), &answer, &length) ||
      answer == nullptr) {
    WriteAll(out, "FAIL " + std::to_string(GetLastError()) + "\n");
    return 4;
  }
  WriteAll(out, "PAC " + std::string(answer, strnlen(answer, length)) + "\n");
  return 0;
}

ScriptAnswer AskScriptProcess(const std::string& script, std::string_view url,
                              std::chrono::steady_clock::time_point deadline) {
  ScriptAnswer result;
  if (script.size() > kMaxScriptBytes) {
    result.Failure = "the script is larger than " + std::to_string(kMaxScriptBytes) + " bytes";
    return result;
  }
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  Handle in_read, in_write, out_read, out_write;
  // The script fits the pipe whole: writing it never waits for the reader.
  if (!CreatePipe(&in_read.h, &in_write.h, &inherited,
                  static_cast<DWORD>(script.size() + url.size()) + 4096) ||
      !CreatePipe(&out_read.h, &out_write.h, &inherited, kMaxAnswerBytes) ||
      !SetHandleInformation(in_write.h, HANDLE_FLAG_INHERIT, 0) ||
      !SetHandleInformation(out_read.h, HANDLE_FLAG_INHERIT, 0)) {
    result.Failure = "no pipe for the script (error " + std::to_string(GetLastError()) + ")";
    return result;
  }
  wchar_t program[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH * 4);
  // The URL goes with the script: no command line to take it apart.
  std::wstring command =
      L"\"" + std::wstring(program, length) + L"\" " + Widen(kProxyScriptArgument);
  STARTUPINFOEXW start{};
  start.StartupInfo.cb = sizeof start;
  start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  start.StartupInfo.hStdInput = in_read.h;
  start.StartupInfo.hStdOutput = out_write.h;
  start.StartupInfo.hStdError = out_write.h;
  // The process gets the two pipes and nothing else of ours: no socket of a
  // transfer, no file the program holds.
  HANDLE inherited_handles[] = {in_read.h, out_write.h};
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list(list_size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
  DWORD flags = CREATE_NO_WINDOW;
  if (list_size > 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &list_size)) {
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                  inherited_handles, sizeof inherited_handles, nullptr, nullptr)) {
      start.lpAttributeList = attributes;
      flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
  }
  PROCESS_INFORMATION process{};
  const bool started =
      length > 0 && CreateProcessW(program, command.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                   nullptr, &start.StartupInfo, &process);
  if (start.lpAttributeList != nullptr) DeleteProcThreadAttributeList(attributes);
  if (!started) {
    result.Failure =
        "the script's process did not start (error " + std::to_string(GetLastError()) + ")";
    return result;
  }
  Handle child{process.hProcess}, thread{process.hThread};
  CloseHandle(in_read.h);
  in_read.h = nullptr;
  CloseHandle(out_write.h);
  out_write.h = nullptr;
  const std::string input = std::string(url) + "\n" + script;
  DWORD written = 0;
  WriteFile(in_write.h, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  CloseHandle(in_write.h);
  in_write.h = nullptr;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (WaitForSingleObject(child.h, static_cast<DWORD>(std::max<long long>(left.count(), 0))) !=
      WAIT_OBJECT_0) {
    // A script that does not end is ended with its process.
    TerminateProcess(child.h, 1);
    WaitForSingleObject(child.h, 5000);
    result.Late = true;
    return result;
  }
  const std::string said = ReadAll(out_read.h, kMaxAnswerBytes);
  if (said.rfind("PAC ", 0) == 0) {
    result.Pac = said.substr(4, said.find_first_of("\r\n") - 4);
  } else if (said.rfind("NONE", 0) == 0) {
    result.Unsupported = true;
  } else {
    result.Failure = "the script does not run" +
                     (said.rfind("FAIL ", 0) == 0
                          ? " (error " + said.substr(5, said.find_first_of("\r\n") - 5) + ")"
                          : std::string());
  }
  return result;
}

std::string FirstAnswering(const std::vector<std::string>& proxies, std::string* passed) {
  WSADATA winsock;
  const bool started = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
  std::string chosen = proxies.empty() ? std::string() : proxies.front();
  for (const std::string& proxy : proxies) {
    if (proxy.empty() || Answers(proxy)) {
      chosen = proxy;
      break;
    }
    if (passed != nullptr) *passed += (passed->empty() ? "" : ", ") + proxy;
  }
  if (started) WSACleanup();
  return chosen;
}

}  // namespace kanade

#include "support/nginx_server.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/http_test_server.h"
#include "util/text.h"

namespace kanade::test {

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
// The site that is deployed, so that the tests run against what serves players.
constexpr const char* kSiteTemplate = KANADE_SOURCE_DIR "/scripts/nginx-site.conf.in";

std::string Quoted(const std::string& text) {
  return "'" + ReplaceAll(text, "'", "'\\''") + "'";
}

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool Answers(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// Waits for the child for up to `ms`; true when it has ended.
bool Reap(pid_t pid, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || done < 0) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

const TestCertificates* GetTestCertificates() {
  static std::unique_ptr<TempDir> folder;
  static std::unique_ptr<TestCertificates> made;
  static bool tried = false;
  if (tried) return made.get();
  tried = true;
  folder = std::make_unique<TempDir>();
  const TempDir& dir = *folder;
  auto certificates = std::make_unique<TestCertificates>();
  certificates->CaFile = dir / "ca.pem";
  certificates->ServerCertificate = dir / "server.pem";
  certificates->ServerKey = dir / "server.key";
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  WriteFile(dir / "server.ext",
            "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
            "basicConstraints=CA:FALSE\n"
            "extendedKeyUsage=serverAuth\n");
  const bool ok = Run("openssl req -x509" + ec + " -days 2 -subj '/CN=Kanade Test CA' -keyout " +
                      Quoted(dir / "ca.key") + " -out " + Quoted(certificates->CaFile)) &&
                  Run("openssl req" + ec + " -subj '/CN=localhost' -keyout " +
                      Quoted(certificates->ServerKey) + " -out " + Quoted(dir / "server.csr")) &&
                  Run("openssl x509 -req -days 2 -in " + Quoted(dir / "server.csr") + " -CA " +
                      Quoted(certificates->CaFile) + " -CAkey " + Quoted(dir / "ca.key") +
                      " -CAcreateserial -extfile " + Quoted(dir / "server.ext") + " -out " +
                      Quoted(certificates->ServerCertificate));
  if (ok) made = std::move(certificates);
  return made.get();
}

NginxServer::NginxServer(std::string root) : root_(std::move(root)) {
  for (int attempt = 0; attempt < 5 && !Start(); ++attempt) {
  }
}

NginxServer::~NginxServer() {
  Stop();
}

bool NginxServer::Start() {
  const TestCertificates* certificates = GetTestCertificates();
  if (certificates == nullptr) return false;
  port_ = UnusedPort();
  const std::string dir = state_.path();
  std::string site = ReadFile(kSiteTemplate);
  if (site.empty()) {
    WriteFile(dir + "/error.log", std::string("cannot read ") + kSiteTemplate + "\n");
    return false;
  }
  site = ReplaceAll(site, "@LISTEN@", "127.0.0.1:" + std::to_string(port_));
  site = ReplaceAll(site, "@SERVER_NAME@", "127.0.0.1 localhost");
  site = ReplaceAll(site, "@SSL_CERTIFICATE@", certificates->ServerCertificate);
  site = ReplaceAll(site, "@SSL_CERTIFICATE_KEY@", certificates->ServerKey);
  site = ReplaceAll(site, "@ROOT@", root_);
  std::ostringstream conf;
  conf << "daemon off;\n"
       << "master_process off;\n"
       << "worker_processes 1;\n"
       << "pid " << dir << "/nginx.pid;\n"
       << "error_log " << dir << "/error.log warn;\n"
       << "events { worker_connections 256; }\n"
       << "http {\n"
       << "  log_format kanade '$connection\\t$status\\t$request\\t$http_user_agent';\n"
       << "  access_log " << dir << "/access.log kanade;\n"
       << "  client_body_temp_path " << dir << "/tmp;\n"
       << "  proxy_temp_path " << dir << "/tmp;\n"
       << "  fastcgi_temp_path " << dir << "/tmp;\n"
       << "  uwsgi_temp_path " << dir << "/tmp;\n"
       << "  scgi_temp_path " << dir << "/tmp;\n"
       << "  types { }\n"
       << "  default_type application/octet-stream;\n"
       << "  keepalive_requests 100000;\n"
       << site << "}\n";
  WriteFile(dir + "/tmp/.keep", "");
  WriteFile(dir + "/nginx.conf", conf.str());

  const std::string conf_path = dir + "/nginx.conf";
  const std::string error_log = dir + "/error.log";
  const std::string output = dir + "/nginx.out";
  const char* argv[] = {kNginx, "-p", dir.c_str(), "-c", conf_path.c_str(), "-e", error_log.c_str(),
                        nullptr};
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // nginx must not outlive the test, whatever ends it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    ::execv(kNginx, const_cast<char* const*>(argv));
    ::_exit(127);
  }
  pid_ = pid;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    if (Answers(port_)) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) break;  // it gave up (port taken?)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Stop();
  return false;
}

void NginxServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!Reap(pid_, 5000)) {
    ::kill(pid_, SIGKILL);
    Reap(pid_, 5000);
  }
  pid_ = -1;
}

std::string NginxServer::BaseUrl() const {
  return "https://127.0.0.1:" + std::to_string(port_);
}

std::string NginxServer::Url(std::string_view path) const {
  return BaseUrl() + std::string(path);
}

std::string NginxServer::CaFile() const {
  const TestCertificates* certificates = GetTestCertificates();
  return certificates != nullptr ? certificates->CaFile : std::string();
}

namespace {

constexpr std::string_view kLogBarrier = "/.kanade-access-log-barrier";

// nginx logs a request just after answering it, so a client can see the
// answer before the log line exists. The one nginx process handles events in
// order: once it has answered one more request, every earlier one is logged.
void PassLogBarrier(const std::string& url, const std::string& ca_file) {
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file.c_str());
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(
      easy, CURLOPT_WRITEFUNCTION,
      +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
  curl_easy_perform(easy);
  curl_easy_cleanup(easy);
}

}  // namespace

std::vector<AccessLogEntry> NginxServer::AccessLog() const {
  PassLogBarrier(Url(kLogBarrier), CaFile());
  std::vector<AccessLogEntry> entries;
  std::ifstream in(state_ / "access.log");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string connection;
    std::string status;
    AccessLogEntry entry;
    std::getline(fields, connection, '\t');
    std::getline(fields, status, '\t');
    std::getline(fields, entry.Request, '\t');
    std::getline(fields, entry.UserAgent);
    entry.Connection = std::atol(connection.c_str());
    entry.Status = std::atoi(status.c_str());
    if (entry.Request.find(kLogBarrier) != std::string::npos) continue;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string NginxServer::ErrorLog() const {
  return ReadFile(state_ / "error.log");
}

ScopedCaBundle::ScopedCaBundle(const std::string& ca_file) {
  if (const char* value = std::getenv("CURL_CA_BUNDLE"); value != nullptr) {
    had_value_ = true;
    previous_ = value;
  }
  ::setenv("CURL_CA_BUNDLE", ca_file.c_str(), 1);
}

ScopedCaBundle::~ScopedCaBundle() {
  if (had_value_) {
    ::setenv("CURL_CA_BUNDLE", previous_.c_str(), 1);
  } else {
    ::unsetenv("CURL_CA_BUNDLE");
  }
}

}  // namespace kanade::test

#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <zlib.h>

#include <chrono>
#include <cstdlib>

namespace kanade::test {

namespace {

constexpr const char* kNotFoundPage =
    "<html><head><title>404 Not Found</title></head>"
    "<body><h1>Not Found</h1></body></html>\n";

// A listening socket on 127.0.0.1 and a port chosen by the system.
int ListenOnLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

std::string Gzip(const std::string& body) {
  z_stream stream{};
  // 15 + 16: a gzip wrapper rather than zlib's own.
  if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&stream, body.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = static_cast<uInt>(body.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace

HttpTestServer::HttpTestServer() : server_(std::make_unique<httplib::Server>()) {
  server_->set_tcp_nodelay(true);
  server_->set_keep_alive_max_count(100000);
  server_->set_keep_alive_timeout(2);
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Route route;
    bool found = false;
    RecordedRequest record;
    std::function<Answer(const RecordedRequest&)> handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      record.Method = request.method;
      record.Path = request.path;
      for (const auto& [name, value] : request.headers) record.Headers.emplace(name, value);
      record.RemotePort = request.remote_port;
      requests_.push_back(record);
      if (auto it = routes_.find(request.path); it != routes_.end()) {
        route = it->second;
        found = true;
        if (route.kind == Kind::kHandler) handler = handlers_[request.path];
      }
      if (auto it = fail_first_.find(request.path);
          it != fail_first_.end() && it->second.first > 0) {
        --it->second.first;
        route = Route{Kind::kBody, it->second.second, "failure on purpose", 0};
        if (it->second.second == 0) route = Route{Kind::kCutShort, 200, "cut", 4096};
        found = true;
      }
    }
    if (!found) {
      response.status = 404;
      response.set_content(kNotFoundPage, "text/html");
      return;
    }
    switch (route.kind) {
      case Kind::kBody:
        response.status = route.status;
        response.set_content(route.body, "application/octet-stream");
        break;
      case Kind::kRedirect:
        response.set_redirect(route.body, route.status);
        break;
      case Kind::kCutShort:
        response.set_content_provider(
            route.declared, "application/octet-stream",
            [sent = route.body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
              if (offset == 0 && !sent.empty()) sink.write(sent.data(), sent.size());
              return false;  // closes the connection
            });
        break;
      case Kind::kStallBeforeAnswer:
        WaitUntilStopping();
        response.status = 503;
        break;
      case Kind::kEndless:
        response.set_chunked_content_provider("application/octet-stream",
                                              [](std::size_t, httplib::DataSink& sink) {
                                                static const std::string block(64 * 1024, 'e');
                                                return sink.write(block.data(), block.size());
                                              });
        break;
      case Kind::kDrip:
        response.set_chunked_content_provider(
            "application/octet-stream",
            [this, bytes = route.declared, interval = route.interval_ms](std::size_t,
                                                                         httplib::DataSink& sink) {
              const std::string drop(bytes, 'd');
              return sink.write(drop.data(), drop.size()) && !SleepUnlessStopping(interval);
            });
        break;
      case Kind::kLate:
        SleepUnlessStopping(route.interval_ms);
        response.set_content(route.body, "application/octet-stream");
        break;
      case Kind::kGzip:
        response.set_header("Content-Encoding", "gzip");
        response.set_content(route.body, "application/octet-stream");
        break;
      case Kind::kHandler: {
        Answer answer = handler(record);
        response.status = answer.Status;
        for (const auto& [name, value] : answer.Headers) response.set_header(name, value);
        response.set_content(answer.Body, "application/octet-stream");
        break;
      }
      case Kind::kStallAfter:
        response.set_content_provider(
            route.declared, "application/octet-stream",
            [this, sent = route.body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
              if (offset == 0 && !sent.empty()) sink.write(sent.data(), sent.size());
              WaitUntilStopping();
              return false;
            });
        break;
    }
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) std::abort();
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() is ignored until the accept loop runs, so wait for it.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpTestServer::~HttpTestServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopping_cv_.notify_all();
  server_->stop();
  thread_.join();
}

std::string HttpTestServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

std::string HttpTestServer::Url(std::string_view path) const {
  return BaseUrl() + std::string(path);
}

void HttpTestServer::AddRoute(const std::string& path, Route route) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = std::move(route);
}

void HttpTestServer::Serve(const std::string& path, std::string body, int status) {
  AddRoute(path, Route{Kind::kBody, status, std::move(body), 0});
}

void HttpTestServer::Redirect(const std::string& path, const std::string& location, int status) {
  AddRoute(path, Route{Kind::kRedirect, status, location, 0});
}

void HttpTestServer::CutShort(const std::string& path, std::size_t declared, std::string sent) {
  AddRoute(path, Route{Kind::kCutShort, 200, std::move(sent), declared});
}

void HttpTestServer::StallBeforeAnswer(const std::string& path) {
  AddRoute(path, Route{Kind::kStallBeforeAnswer, 200, std::string(), 0});
}

void HttpTestServer::StallAfter(const std::string& path, std::size_t declared, std::string sent) {
  AddRoute(path, Route{Kind::kStallAfter, 200, std::move(sent), declared});
}

void HttpTestServer::Endless(const std::string& path) {
  AddRoute(path, Route{Kind::kEndless, 200, std::string(), 0});
}

void HttpTestServer::Drip(const std::string& path, std::size_t bytes, int interval_ms) {
  AddRoute(path, Route{Kind::kDrip, 200, std::string(), bytes, interval_ms});
}

void HttpTestServer::ServeLate(const std::string& path, std::string body, int delay_ms) {
  AddRoute(path, Route{Kind::kLate, 200, std::move(body), 0, delay_ms});
}

void HttpTestServer::FailFirst(const std::string& path, int count, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_first_[path] = {count, status};
}

void HttpTestServer::ServeGzip(const std::string& path, const std::string& body) {
  AddRoute(path, Route{Kind::kGzip, 200, Gzip(body), 0});
}

void HttpTestServer::Handle(const std::string& path,
                            std::function<Answer(const RecordedRequest&)> handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = Route{Kind::kHandler, 200, std::string(), 0, 0};
  handlers_[path] = std::move(handler);
}

bool HttpTestServer::SleepUnlessStopping(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return stopping_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void HttpTestServer::WaitUntilStopping() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_cv_.wait(lock, [this] { return stopping_; });
}

std::vector<RecordedRequest> HttpTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int HttpTestServer::RequestCount(std::string_view path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const RecordedRequest& request : requests_) count += request.Path == path ? 1 : 0;
  return count;
}

SilentTcpServer::SilentTcpServer() {
  listener_ = ListenOnLoopback(&port_);
  if (listener_ < 0) std::abort();
  thread_ = std::thread([this] {
    while (true) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;  // the listener was shut down
      std::lock_guard<std::mutex> lock(mutex_);
      accepted_.push_back(fd);
    }
  });
}

SilentTcpServer::~SilentTcpServer() {
  ::shutdown(listener_, SHUT_RDWR);
  thread_.join();
  ::close(listener_);
  for (const int fd : accepted_) ::close(fd);
}

std::string SilentTcpServer::Url(std::string_view scheme, std::string_view path) const {
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

int SilentTcpServer::AcceptedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(accepted_.size());
}

int UnusedPort() {
  int port = 0;
  const int fd = ListenOnLoopback(&port);
  if (fd >= 0) ::close(fd);
  return port;
}

}  // namespace kanade::test

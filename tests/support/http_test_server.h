// An HTTP server inside the test process (cpp-httplib) on 127.0.0.1 and a
// free port, which can misbehave on purpose. Paths without a route answer
// 404 with an HTML page. Routes may be added while the server runs.
// Connections are kept alive for reuse; a client that still holds one makes
// destruction wait up to 2 s, so tests call ReleaseNetworking() first (in
// TearDown, with the server a member of the fixture).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace kanade::test {

struct RecordedRequest {
  std::string Method;
  std::string Path;
  std::multimap<std::string, std::string> Headers;  // names as sent
  int RemotePort = 0;  // the client's port: equal ports mean a reused connection
};

class HttpTestServer {
 public:
  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int Port() const { return port_; }
  /// "http://127.0.0.1:PORT".
  std::string BaseUrl() const;
  /// BaseUrl() + path.
  std::string Url(std::string_view path) const;

  /// Answers `path` with `body` and `status`.
  void Serve(const std::string& path, std::string body, int status = 200);
  /// Answers `path` with a redirect to `location` (absolute or a path).
  void Redirect(const std::string& path, const std::string& location, int status = 302);
  /// Announces `declared` bytes, sends `sent` and closes the connection.
  void CutShort(const std::string& path, std::size_t declared, std::string sent);
  /// Reads the request and never answers.
  void StallBeforeAnswer(const std::string& path);
  /// Announces `declared` bytes, sends `sent` and then nothing more.
  void StallAfter(const std::string& path, std::size_t declared, std::string sent);
  /// Sends bytes without end (chunked), as fast as the client takes them.
  void Endless(const std::string& path);
  /// Sends `bytes` bytes every `interval_ms` without end (chunked): each
  /// step resets a client's no-data clock, and nothing ever completes.
  void Drip(const std::string& path, std::size_t bytes, int interval_ms);
  /// Answers with `body` after `delay_ms`.
  void ServeLate(const std::string& path, std::string body, int delay_ms);
  /// Answers with `body` gzip-compressed and "Content-Encoding: gzip".
  void ServeGzip(const std::string& path, const std::string& body);
  /// The next `count` requests for `path` fail before its route answers:
  /// with `status` and a short page, or, for status 0, with a body cut short.
  void FailFirst(const std::string& path, int count, int status);

  /// What a handler answers: status, header fields and body (sent as given,
  /// whatever the status).
  struct Answer {
    int Status = 200;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
  };
  /// Answers `path` with what `handler` makes of each request (called on
  /// the server's thread).
  void Handle(const std::string& path, std::function<Answer(const RecordedRequest&)> handler);

  /// Every request so far, in order of arrival.
  std::vector<RecordedRequest> Requests() const;
  /// How many requests asked for `path`.
  int RequestCount(std::string_view path) const;

 private:
  enum class Kind {
    kBody,
    kRedirect,
    kCutShort,
    kStallBeforeAnswer,
    kStallAfter,
    kEndless,
    kDrip,
    kGzip,
    kLate,
    kHandler,
  };
  struct Route {
    Kind kind = Kind::kBody;
    int status = 200;
    std::string body;          // body, location, or bytes sent before the stall
    std::size_t declared = 0;  // bytes announced, or bytes per drip
    int interval_ms = 0;
  };

  void AddRoute(const std::string& path, Route route);
  void WaitUntilStopping();
  // Waits up to `ms`; true when the server is stopping.
  bool SleepUnlessStopping(int ms);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable stopping_cv_;
  bool stopping_ = false;
  std::map<std::string, Route> routes_;
  std::map<std::string, std::function<Answer(const RecordedRequest&)>> handlers_;
  std::map<std::string, std::pair<int, int>> fail_first_;  // path -> (count, status)
  std::vector<RecordedRequest> requests_;
};

/// A TCP listener on 127.0.0.1 that accepts connections and never sends a
/// byte (not even a TLS handshake). Connections close on destruction.
class SilentTcpServer {
 public:
  SilentTcpServer();
  ~SilentTcpServer();
  SilentTcpServer(const SilentTcpServer&) = delete;
  SilentTcpServer& operator=(const SilentTcpServer&) = delete;

  int Port() const { return port_; }
  /// scheme + "://127.0.0.1:PORT" + path.
  std::string Url(std::string_view scheme, std::string_view path) const;
  int AcceptedCount() const;

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<int> accepted_;
};

/// A port on 127.0.0.1 where nothing listens (at the time of the call).
int UnusedPort();

}  // namespace kanade::test

// nginx serving a folder over TLS on 127.0.0.1 through the deployed site
// (scripts/nginx-site.conf.in: only repos/ and files/, HTTP/2 offered), with
// a certificate authority made by the test. Trust it by pointing
// CURL_CA_BUNDLE at CaFile(). nginx runs as one process in the foreground and
// dies with the test process.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"

namespace kanade::test {

/// A CA and a server certificate for 127.0.0.1 and localhost, made once per
/// test process with the openssl command.
struct TestCertificates {
  std::string CaFile;
  std::string ServerCertificate;
  std::string ServerKey;
};
/// Nothing when openssl failed.
const TestCertificates* GetTestCertificates();

struct AccessLogEntry {
  long Connection = 0;  // nginx's connection serial number
  std::string Request;  // "GET /path HTTP/2.0" (HTTP/1.1 without ALPN)
  int Status = 0;
  std::string UserAgent;
};

class NginxServer {
 public:
  /// Serves `root` (an existing folder). Check Running() before use.
  explicit NginxServer(std::string root);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool Running() const { return pid_ > 0; }
  /// "https://127.0.0.1:PORT".
  std::string BaseUrl() const;
  std::string Url(std::string_view path) const;
  std::string CaFile() const;
  /// The requests answered so far, in order (every one of them logged).
  std::vector<AccessLogEntry> AccessLog() const;
  /// What nginx wrote to its error log (for failure messages).
  std::string ErrorLog() const;

 private:
  bool Start();
  void Stop();

  std::string root_;
  TempDir state_;
  int port_ = 0;
  pid_t pid_ = -1;
};

/// Sets CURL_CA_BUNDLE for its lifetime (restoring the previous value).
class ScopedCaBundle {
 public:
  explicit ScopedCaBundle(const std::string& ca_file);
  ~ScopedCaBundle();
  ScopedCaBundle(const ScopedCaBundle&) = delete;
  ScopedCaBundle& operator=(const ScopedCaBundle&) = delete;

 private:
  bool had_value_ = false;
  std::string previous_;
};

}  // namespace kanade::test

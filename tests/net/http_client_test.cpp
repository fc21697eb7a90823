#include "net/http_client.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <utility>

#include "support/http_test_server.h"
#include "support/temp_dir.h"
#include "util/path.h"

namespace kanade {
namespace {

using std::chrono::steady_clock;

std::string RandomBytes(std::size_t size) {
  std::mt19937 random(42);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

struct StringSink : DownloadSink {
  bool Write(const char* data, std::size_t size) override {
    body.append(data, size);
    return true;
  }
  std::string body;
};

double SecondsSince(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(InitNetworking()); }
  void TearDown() override {
    SetNoDataAbortMs(60'000);
    // Closes the cached connections, so the server need not wait them out.
    ReleaseNetworking();
  }

  // Runs a download into memory to its end and returns the final state and
  // the bytes that arrived.
  std::pair<DownloadStatus, std::string> Fetch(const std::string& url,
                                               const DownloadLimits& limits = {}) {
    StringSink sink;
    const std::optional<DownloadHandle> handle = StartDownload(url, limits, sink);
    if (!handle) return {DownloadStatus::Failed, ""};
    while (!WaitForDownload(*handle, 10'000)) {
    }
    return {FinishDownload(*handle), sink.body};
  }
  bool ToFile(const std::string& url, const std::string& path, const DownloadLimits& limits = {}) {
    return DownloadToFile(url, path, limits);
  }

  test::TempDir dir_;
  test::HttpTestServer server_;
};

TEST_F(HttpClientTest, FileDownloadSavesAnyBodyIncludingErrorPages) {
  server_.Serve("/a.bin", "payload");
  ASSERT_TRUE(ToFile(server_.Url("/a.bin"), dir_ / "a.bin"));
  EXPECT_EQ(test::ReadFile(dir_ / "a.bin"), "payload");

  // An HTTP error status is no transfer failure: the page is saved.
  ASSERT_TRUE(ToFile(server_.Url("/missing"), dir_ / "missing"));
  EXPECT_NE(test::ReadFile(dir_ / "missing").find("Not Found"), std::string::npos);

  server_.Serve("/empty", "");
  ASSERT_TRUE(ToFile(server_.Url("/empty"), dir_ / "empty"));
  EXPECT_EQ(test::ReadFile(dir_ / "empty"), "");
}

TEST_F(HttpClientTest, FileDownloadFailuresLeaveNoFileAndNeverOpenAnExistingOne) {
  const std::string path = dir_ / "out.bin";
  server_.CutShort("/short", 1000, "only a part");
  EXPECT_FALSE(ToFile(server_.Url("/short"), path));
  EXPECT_FALSE(IsFile(path));
  // The reason keeps whose code it is: libcurl's for the network, the
  // system's for the file.
  DownloadReport report;
  EXPECT_FALSE(DownloadToFile("http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/x", path,
                              {}, &report));
  EXPECT_FALSE(IsFile(path));
  EXPECT_EQ(report.Reason.From, Reason::Source::kCurl) << report.Reason;
  EXPECT_EQ(report.Reason.Code, 7) << report.Reason;  // CURLE_COULDNT_CONNECT
  EXPECT_EQ(report.Reason.Line().rfind("curl error 7: ", 0), 0u) << report.Reason;
  report = {};
  EXPECT_FALSE(DownloadToFile(server_.Url("/short"), dir_ / "no-such-folder/a", {}, &report));
  EXPECT_EQ(report.Reason.From, Reason::Source::kErrno) << report.Reason;
  EXPECT_EQ(report.Reason.Code, ENOENT) << report.Reason;
  EXPECT_EQ(report.Reason.Line(), "cannot create " + (dir_ / "no-such-folder/a") +
                                      ": No such file or directory (errno 2)");

  // The file is created, never opened: whatever lies at the name already (a
  // file, or a link planted to make us overwrite another file) stays as it is.
  server_.Serve("/a", "a");
  test::WriteFile(path, "old");
  test::WriteFile(dir_ / "elsewhere", "precious");
  std::filesystem::create_symlink(dir_ / "elsewhere", dir_ / "link");
  EXPECT_FALSE(ToFile(server_.Url("/a"), path));
  EXPECT_FALSE(ToFile(server_.Url("/a"), dir_ / "link"));
  EXPECT_EQ(test::ReadFile(path), "old");
  EXPECT_EQ(test::ReadFile(dir_ / "elsewhere"), "precious");
  EXPECT_FALSE(ToFile(server_.Url("/a"), dir_ / "no-such-folder/a"));
}

TEST_F(HttpClientTest, RedirectsAreFollowedUpToTwentyTimes) {
  for (int i = 0; i < 21; ++i) {
    server_.Redirect("/hop" + std::to_string(i), "/hop" + std::to_string(i + 1));
  }
  server_.Serve("/hop21", "arrived");
  const std::string path = dir_ / "r.bin";
  // /hop1 needs 20 redirects, /hop0 needs 21.
  ASSERT_TRUE(ToFile(server_.Url("/hop1"), path));
  EXPECT_EQ(test::ReadFile(path), "arrived");
  EXPECT_FALSE(ToFile(server_.Url("/hop0"), dir_ / "r0.bin"));
  EXPECT_FALSE(IsFile(dir_ / "r0.bin"));

  server_.Redirect("/loop", "/loop", 301);
  EXPECT_FALSE(ToFile(server_.Url("/loop"), path));
  EXPECT_EQ(Fetch(server_.Url("/loop")).first, DownloadStatus::Failed);
  EXPECT_LE(server_.RequestCount("/loop"), 2 * 21);
}

TEST_F(HttpClientTest, RedirectsToOtherProtocolsAreRefused) {
  test::WriteFile(dir_ / "secret.txt", "local secret");
  server_.Redirect("/to-file", "file://" + (dir_ / "secret.txt"));
  const std::string path = dir_ / "copy.txt";
  EXPECT_FALSE(ToFile(server_.Url("/to-file"), path));
  EXPECT_FALSE(IsFile(path));
  EXPECT_EQ(Fetch(server_.Url("/to-file")).first, DownloadStatus::Failed);
  EXPECT_FALSE(ToFile("file://" + (dir_ / "secret.txt"), path));
}

TEST_F(HttpClientTest, RequestsCarryTheUserAgentAndNothingPersonal) {
  server_.Redirect("/start", "/end");
  server_.Serve("/end", "x");
  ASSERT_TRUE(ToFile(server_.Url("/start"), dir_ / "x"));
  ASSERT_EQ(Fetch(server_.Url("/end")).first, DownloadStatus::Succeeded);
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const test::RecordedRequest& request : requests) {
    EXPECT_EQ(request.Method, "GET");
    const auto agent = request.Headers.find("User-Agent");
    ASSERT_NE(agent, request.Headers.end());
    EXPECT_EQ(agent->second, "Mozilla/5.0 Gecko/41.0 Firefox/41.0");
    EXPECT_EQ(request.Headers.count("Cookie"), 0u);
    EXPECT_EQ(request.Headers.count("Authorization"), 0u);
  }
}

TEST_F(HttpClientTest, ConnectionsAreReusedBetweenDownloads) {
  server_.Serve("/1", "one");
  server_.Serve("/2", "two");
  server_.Serve("/3", "three");
  ASSERT_TRUE(ToFile(server_.Url("/1"), dir_ / "1"));
  ASSERT_EQ(Fetch(server_.Url("/2")).first, DownloadStatus::Succeeded);
  ASSERT_EQ(Fetch(server_.Url("/3")).first, DownloadStatus::Succeeded);
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].RemotePort, requests[0].RemotePort);
  EXPECT_EQ(requests[2].RemotePort, requests[0].RemotePort);
}

TEST_F(HttpClientTest, DownloadsDeliverTheExactDecodedBody) {
  const std::string body = RandomBytes(3 << 20);
  server_.Serve("/big", body);
  const std::string text(5 << 20, 't');
  server_.ServeGzip("/text", text);
  for (const auto& [path, expected] : {std::pair{"/big", &body}, std::pair{"/text", &text}}) {
    const auto [status, fetched] = Fetch(server_.Url(path));
    EXPECT_EQ(status, DownloadStatus::Succeeded) << path;
    EXPECT_TRUE(fetched == *expected) << path;
  }
  // Compressed bodies are asked for, and arrive compressed; the one
  // spelling that every build sends, so that caches keep one copy.
  const auto requests = server_.Requests();
  const auto encoding = requests.back().Headers.find("Accept-Encoding");
  ASSERT_NE(encoding, requests.back().Headers.end());
  EXPECT_EQ(encoding->second, "gzip");

  // An error page arrives like any body; the caller's digest check rejects it.
  const auto [page_status, page] = Fetch(server_.Url("/nothing-here"));
  EXPECT_EQ(page_status, DownloadStatus::Succeeded);
  EXPECT_NE(page.find("Not Found"), std::string::npos);
}

TEST_F(HttpClientTest, EmptyBrokenOrOversizedBodiesFail) {
  server_.Serve("/empty", "");
  server_.CutShort("/short", 5000, std::string(100, 'x'));
  server_.Serve("/exact", std::string(1000, 'x'));
  server_.Serve("/one-more", std::string(1001, 'x'));
  server_.Endless("/endless");
  // Fits in the limit as it travels, unpacks far beyond it.
  server_.ServeGzip("/bomb", std::string(8 << 20, '\0'));
  const std::string unreachable = "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/";
  const DownloadLimits thousand{1000, false};
  const struct {
    std::string url;
    DownloadLimits limits;
    DownloadStatus status;
  } cases[] = {
      {server_.Url("/empty"), {}, DownloadStatus::Failed},
      {server_.Url("/short"), {}, DownloadStatus::Failed},
      {unreachable, {}, DownloadStatus::Failed},
      {server_.Url("/exact"), thousand, DownloadStatus::Succeeded},
      {server_.Url("/one-more"), thousand, DownloadStatus::Failed},
      {server_.Url("/endless"), {1 << 20, false}, DownloadStatus::Failed},
      {server_.Url("/bomb"), {1 << 20, false}, DownloadStatus::Failed},
  };
  for (const auto& c : cases) {
    const auto [status, body] = Fetch(c.url, c.limits);
    EXPECT_EQ(status, c.status) << c.url;
    EXPECT_LE(body.size(), c.limits.MaxBytes) << c.url;
  }
  // The same limit holds for a file, which is gone afterwards.
  EXPECT_FALSE(ToFile(server_.Url("/endless"), dir_ / "endless", {1 << 20, false}));
  EXPECT_FALSE(IsFile(dir_ / "endless"));
}

TEST_F(HttpClientTest, AnHttpsOnlyDownloadRefusesPlainHttp) {
  server_.Serve("/a", "a");
  EXPECT_EQ(Fetch(server_.Url("/a"), {1000, true}).first, DownloadStatus::Failed);
  EXPECT_FALSE(ToFile(server_.Url("/a"), dir_ / "a", {1000, true}));
  EXPECT_EQ(server_.RequestCount("/a"), 0);
  EXPECT_EQ(Fetch(server_.Url("/a"), {1000, false}).first, DownloadStatus::Succeeded);
}

TEST_F(HttpClientTest, SeveralDownloadsRunAtOnceAndFinishCancels) {
  server_.StallBeforeAnswer("/stall");
  server_.Serve("/ok", "fine");
  StringSink stalled;
  const std::optional<DownloadHandle> first = StartDownload(server_.Url("/stall"), {}, stalled);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(PollDownload(*first).Status, DownloadStatus::InProgress);
  // Another download runs to its end meanwhile.
  const auto [status, body] = Fetch(server_.Url("/ok"));
  EXPECT_EQ(status, DownloadStatus::Succeeded);
  EXPECT_EQ(body, "fine");
  EXPECT_FALSE(WaitForDownload(*first, 50));

  // Finishing a download in flight cancels it; the handle is gone then.
  EXPECT_EQ(FinishDownload(*first), DownloadStatus::Aborted);
  EXPECT_EQ(PollDownload(*first).Status, DownloadStatus::Failed);
  EXPECT_EQ(FinishDownload(*first), DownloadStatus::Failed);
}

TEST_F(HttpClientTest, ATransferThatReceivesNothingIsAbortedAfterTheNoDataLimit) {
  SetNoDataAbortMs(1000);
  server_.StallAfter("/half", 10000, std::string(1234, 'h'));
  server_.StallBeforeAnswer("/silent");
  test::SilentTcpServer silent;

  const auto start = steady_clock::now();
  StringSink sink;
  const std::optional<DownloadHandle> handle = StartDownload(server_.Url("/half"), {}, sink);
  ASSERT_TRUE(handle.has_value());
  DownloadProgress progress;
  do {
    WaitForDownload(*handle, 20);
    progress = PollDownload(*handle);
  } while (progress.Status == DownloadStatus::InProgress && progress.BytesReceived < 1234);
  EXPECT_EQ(progress.Status, DownloadStatus::InProgress);
  EXPECT_EQ(progress.BytesReceived, 1234u);
  while (!WaitForDownload(*handle, 100)) {
  }
  EXPECT_EQ(PollDownload(*handle).Status, DownloadStatus::Aborted);
  EXPECT_EQ(FinishDownload(*handle), DownloadStatus::Aborted);

  EXPECT_EQ(Fetch(server_.Url("/silent")).first, DownloadStatus::Aborted);
  // Accepts the connection but never even starts the TLS handshake.
  EXPECT_EQ(Fetch(silent.Url("https", "/x")).first, DownloadStatus::Aborted);
  EXPECT_FALSE(ToFile(silent.Url("http", "/x"), dir_ / "x"));
  EXPECT_FALSE(IsFile(dir_ / "x"));
  // Four stalls of about a second each, far from any built-in limit.
  EXPECT_LT(SecondsSince(start), 20.0);
}

TEST_F(HttpClientTest, ADripFeedEndsAtTheLowSpeedLimit) {
  // Ten bytes every 100 ms keep the no-data clock happy for ever.
  SetLowSpeedLimit(1024, 1500);
  server_.Drip("/drip", 10, 100);
  const auto start = steady_clock::now();
  EXPECT_EQ(Fetch(server_.Url("/drip")).first, DownloadStatus::Aborted);
  EXPECT_FALSE(ToFile(server_.Url("/drip"), dir_ / "drip"));
  EXPECT_FALSE(IsFile(dir_ / "drip"));
  EXPECT_LT(SecondsSince(start), 10.0);
  SetLowSpeedLimit(1024, 60'000);
}

}  // namespace
}  // namespace kanade

namespace kanade {
namespace {

TEST_F(HttpClientTest, AFileDownloadCallsTheWaitHookWhileItWaits) {
  int calls = 0;
  SetDownloadWaitHook([&calls] { ++calls; });
  SetNoDataAbortMs(2500);
  server_.StallAfter("/slow", 10, "12345");
  EXPECT_FALSE(ToFile(server_.Url("/slow"), dir_ / "slow"));
  SetDownloadWaitHook(nullptr);
  EXPECT_GE(calls, 2);
}

}  // namespace
}  // namespace kanade

namespace kanade {
namespace {

TEST_F(HttpClientTest, APrefetchedRequestIsTakenOverByTheDownloadThatMakesIt) {
  const std::string big(kMaxPrefetchBytes + 1, 'b');
  server_.Serve("/early", "early body");
  server_.Serve("/big", big);
  server_.Serve("/other", "other body");
  DownloadLimits limits;
  limits.MaxBytes = 16 << 20;
  PrefetchDownload(server_.Url("/early"), limits);
  PrefetchDownload(server_.Url("/big"), limits);
  PrefetchDownload(server_.Url("/other"), limits);

  // The same request waits for the one under way; a body too large to hold
  // in memory is fetched again, whole.
  ASSERT_TRUE(ToFile(server_.Url("/early"), dir_ / "early", limits));
  ASSERT_TRUE(ToFile(server_.Url("/big"), dir_ / "big", limits));
  EXPECT_EQ(test::ReadFile(dir_ / "early"), "early body");
  EXPECT_EQ(test::ReadFile(dir_ / "big"), big);
  EXPECT_EQ(server_.RequestCount("/early"), 1);
  EXPECT_EQ(server_.RequestCount("/big"), 2);
  // Other limits make another request.
  DownloadLimits other = limits;
  other.MaxBytes = 1 << 20;
  ASSERT_TRUE(ToFile(server_.Url("/other"), dir_ / "other", other));
  EXPECT_EQ(server_.RequestCount("/other"), 2);

  // An early answer that was no success, or that came too long before, is
  // asked for again: the server may be up, or have something new, by now.
  auto down = std::make_shared<bool>(true);
  server_.Handle("/was-down", [down](const test::RecordedRequest&) {
    return std::exchange(*down, false) ? test::HttpTestServer::Answer{404, {}, "not yet"}
                                       : test::HttpTestServer::Answer{200, {}, "up now"};
  });
  server_.Serve("/stale", "stale body");
  PrefetchDownload(server_.Url("/was-down"), limits);
  SetPrefetchFreshnessMs(50);
  PrefetchDownload(server_.Url("/stale"), limits);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (const char* path : {"/was-down", "/stale"}) {
    ASSERT_TRUE(ToFile(server_.Url(path), dir_ / (path + 1), limits)) << path;
    EXPECT_EQ(server_.RequestCount(path), 2) << path;
  }
  EXPECT_EQ(test::ReadFile(dir_ / "was-down"), "up now");
  SetPrefetchFreshnessMs(10000);
}

}  // namespace
}  // namespace kanade

#include "repos/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "support/http_test_server.h"
#include "support/temp_dir.h"
#include "ui/headless_toolkit.h"
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

  // Runs a memory download to its end and returns the final state and body.
  std::pair<DownloadStatus, std::optional<std::string>> Fetch(const std::string& url) {
    const std::optional<DownloadHandle> handle = StartMemoryDownload(url);
    if (!handle) return {DownloadStatus::Failed, std::nullopt};
    while (!WaitForDownload(*handle, 10'000)) {
    }
    const DownloadStatus status = PollDownload(*handle).Status;
    return {status, FinishDownload(*handle)};
  }

  test::TempDir dir_;
  test::HttpTestServer server_;
};

TEST_F(HttpClientTest, FileDownloadSavesAnyBodyIncludingErrorPages) {
  server_.Serve("/a.bin", "payload");
  const std::string path = dir_ / "a.bin";
  ASSERT_TRUE(DownloadToFile(server_.Url("/a.bin"), path));
  EXPECT_EQ(test::ReadFile(path), "payload");

  // An HTTP error status is no transfer failure: the page is saved.
  ASSERT_TRUE(DownloadToFile(server_.Url("/missing"), path));
  EXPECT_NE(test::ReadFile(path).find("Not Found"), std::string::npos);

  server_.Serve("/empty", "");
  ASSERT_TRUE(DownloadToFile(server_.Url("/empty"), path));
  EXPECT_EQ(test::ReadFile(path), "");
}

TEST_F(HttpClientTest, FileDownloadFailuresLeaveNoFile) {
  const std::string path = dir_ / "out.bin";
  server_.CutShort("/short", 1000, "only a part");
  test::WriteFile(path, "old");
  EXPECT_FALSE(DownloadToFile(server_.Url("/short"), path));
  EXPECT_FALSE(IsFile(path));

  test::WriteFile(path, "old");
  EXPECT_FALSE(
      DownloadToFile("http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/x", path));
  EXPECT_FALSE(IsFile(path));

  // A file that cannot be created is a failure too.
  server_.Serve("/a", "a");
  EXPECT_FALSE(DownloadToFile(server_.Url("/a"), dir_ / "no-such-folder/a"));
}

TEST_F(HttpClientTest, RedirectsAreFollowedUpToTwentyTimes) {
  for (int i = 0; i < 21; ++i) {
    server_.Redirect("/hop" + std::to_string(i), "/hop" + std::to_string(i + 1));
  }
  server_.Serve("/hop21", "arrived");
  const std::string path = dir_ / "r.bin";
  // /hop1 needs 20 redirects, /hop0 needs 21.
  ASSERT_TRUE(DownloadToFile(server_.Url("/hop1"), path));
  EXPECT_EQ(test::ReadFile(path), "arrived");
  EXPECT_FALSE(DownloadToFile(server_.Url("/hop0"), path));
  EXPECT_FALSE(IsFile(path));

  server_.Redirect("/loop", "/loop", 301);
  EXPECT_FALSE(DownloadToFile(server_.Url("/loop"), path));
  EXPECT_EQ(Fetch(server_.Url("/loop")).first, DownloadStatus::Failed);
  EXPECT_LE(server_.RequestCount("/loop"), 2 * 21);
}

TEST_F(HttpClientTest, RedirectsToOtherProtocolsAreRefused) {
  test::WriteFile(dir_ / "secret.txt", "local secret");
  server_.Redirect("/to-file", "file://" + (dir_ / "secret.txt"));
  const std::string path = dir_ / "copy.txt";
  EXPECT_FALSE(DownloadToFile(server_.Url("/to-file"), path));
  EXPECT_FALSE(IsFile(path));
  EXPECT_EQ(Fetch(server_.Url("/to-file")).first, DownloadStatus::Failed);
  EXPECT_FALSE(DownloadToFile("file://" + (dir_ / "secret.txt"), path));
}

TEST_F(HttpClientTest, RequestsCarryTheUserAgentAndNothingPersonal) {
  server_.Redirect("/start", "/end");
  server_.Serve("/end", "x");
  ASSERT_TRUE(DownloadToFile(server_.Url("/start"), dir_ / "x"));
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
  ASSERT_TRUE(DownloadToFile(server_.Url("/1"), dir_ / "1"));
  ASSERT_EQ(Fetch(server_.Url("/2")).first, DownloadStatus::Succeeded);
  ASSERT_EQ(Fetch(server_.Url("/3")).first, DownloadStatus::Succeeded);
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].RemotePort, requests[0].RemotePort);
  EXPECT_EQ(requests[2].RemotePort, requests[0].RemotePort);
}

TEST_F(HttpClientTest, MemoryDownloadDeliversTheExactBody) {
  const std::string body = RandomBytes(3 << 20);
  server_.Serve("/big", body);
  const auto [status, fetched] = Fetch(server_.Url("/big"));
  EXPECT_EQ(status, DownloadStatus::Succeeded);
  ASSERT_TRUE(fetched.has_value());
  EXPECT_TRUE(*fetched == body);

  // An error page arrives like any body; the caller's digest check rejects it.
  const auto [page_status, page] = Fetch(server_.Url("/nothing-here"));
  EXPECT_EQ(page_status, DownloadStatus::Succeeded);
  EXPECT_NE(page.value_or("").find("Not Found"), std::string::npos);
}

TEST_F(HttpClientTest, EmptyOrBrokenBodiesFail) {
  server_.Serve("/empty", "");
  server_.CutShort("/short", 5000, std::string(100, 'x'));
  for (const char* path : {"/empty", "/short"}) {
    const auto [status, body] = Fetch(server_.Url(path));
    EXPECT_EQ(status, DownloadStatus::Failed) << path;
    EXPECT_FALSE(body.has_value()) << path;
  }
  const auto [status, body] =
      Fetch("http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/gone");
  EXPECT_EQ(status, DownloadStatus::Failed);
}

TEST_F(HttpClientTest, OneMemoryDownloadAtATimeAndHandlesEndWithFinish) {
  server_.StallBeforeAnswer("/stall");
  server_.Serve("/ok", "fine");
  const std::optional<DownloadHandle> first = StartMemoryDownload(server_.Url("/stall"));
  ASSERT_TRUE(first.has_value());
  EXPECT_FALSE(StartMemoryDownload(server_.Url("/ok")).has_value());
  EXPECT_EQ(PollDownload(*first).Status, DownloadStatus::InProgress);
  EXPECT_FALSE(WaitForDownload(*first, 50));

  // Finishing a download in flight cancels it.
  EXPECT_FALSE(FinishDownload(*first).has_value());
  EXPECT_EQ(PollDownload(*first).Status, DownloadStatus::Failed);
  EXPECT_FALSE(FinishDownload(*first).has_value());

  const auto [status, body] = Fetch(server_.Url("/ok"));
  EXPECT_EQ(status, DownloadStatus::Succeeded);
  EXPECT_EQ(body.value_or(""), "fine");
}

TEST_F(HttpClientTest, ATransferThatReceivesNothingIsAbortedAfterTheNoDataLimit) {
  SetNoDataAbortMs(1000);
  server_.StallAfter("/half", 10000, std::string(1234, 'h'));
  server_.StallBeforeAnswer("/silent");
  test::SilentTcpServer silent;

  const auto start = steady_clock::now();
  const std::optional<DownloadHandle> handle = StartMemoryDownload(server_.Url("/half"));
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
  EXPECT_FALSE(FinishDownload(*handle).has_value());

  EXPECT_EQ(Fetch(server_.Url("/silent")).first, DownloadStatus::Aborted);
  // Accepts the connection but never even starts the TLS handshake.
  EXPECT_EQ(Fetch(silent.Url("https", "/x")).first, DownloadStatus::Aborted);
  EXPECT_FALSE(DownloadToFile(silent.Url("http", "/x"), dir_ / "x"));
  EXPECT_FALSE(IsFile(dir_ / "x"));
  // Four stalls of about a second each, far from any built-in limit.
  EXPECT_LT(SecondsSince(start), 20.0);
}

}  // namespace
}  // namespace kanade

namespace kanade {
namespace {

TEST_F(HttpClientTest, AFileDownloadKeepsTheWindowAliveWhileItWaits) {
  HeadlessToolkit toolkit;
  SetToolkit(&toolkit);
  SetNoDataAbortMs(2500);
  server_.StallAfter("/slow", 10, "12345");
  EXPECT_FALSE(DownloadToFile(server_.Url("/slow"), dir_ / "slow"));
  EXPECT_GE(toolkit.pumps(), 2);
  SetToolkit(nullptr);
}

}  // namespace
}  // namespace kanade

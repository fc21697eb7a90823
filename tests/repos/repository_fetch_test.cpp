#include "repos/repository_fetch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "repos/http_client.h"
#include "repos/publisher_keys.h"
#include "repos/repository_server.h"
#include "repos/repository_signing.h"
#include "repos/repository_trust.h"
#include "state/patcher_state.h"
#include "support/http_test_server.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/test_repository.h"
#include "ui/console.h"
#include "util/path.h"

namespace kanade {
namespace {

const std::string kModules =
    test::ModuleLineText("a.txt", "https://127.0.0.1/a.txt", std::string(64, '0'));

class RepositoryFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("CURL_CA_BUNDLE");
    test::ResetForTest(program_.path());
    repository_ = test::PublishedRepositoryText("kanade-test", kModules);
  }
  void TearDown() override { ReleaseNetworking(); }

  std::string Local() const { return LocalRepositoryPath("kanade-test.repo"); }
  const std::string& LastLine() const { return Console().Lines.back(); }
  Rgb LastColour() const { return Console().Colours.back(); }
  // Entries of the repos folder: no temporary file may stay behind.
  int ReposEntries() const {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(ReposFolder())) {
      ++count;
    }
    return count;
  }

  test::TempDir program_;
  test::HttpTestServer server_;
  std::string repository_;
};

TEST_F(RepositoryFetchTest, ReposFolderIsBesideTheProgram) {
  ProgramFolder = "/opt/kanade//";
  EXPECT_EQ(ReposFolder(), "/opt/kanade/repos");
  EXPECT_EQ(LocalRepositoryPath("x.repo"), "/opt/kanade/repos/x.repo");
}

TEST_F(RepositoryFetchTest, FetchesOverVerifiedTlsFromTheConfiguredServer) {
  test::TempDir www;
  test::WriteFile(www / "repos/kanade-test.repo", repository_);
  test::NginxServer nginx(www.path());
  ASSERT_TRUE(nginx.Running()) << nginx.ErrorLog();
  test::ScopedCaBundle trust(nginx.CaFile());
  ::setenv("KANADE_REPOSITORY_URL", (nginx.BaseUrl() + "/").c_str(), 1);
  const std::string url = RepositoryBaseUrl() + RepositoryPathOf("kanade-test.repo");
  ::unsetenv("KANADE_REPOSITORY_URL");
  EXPECT_EQ(url, nginx.Url("/repos/kanade-test.repo"));

  ASSERT_TRUE(FetchRepository(url, "kanade-test.repo"));
  EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 成功");
  EXPECT_EQ(LastColour(), kWhite);
  EXPECT_EQ(test::ReadFile(Local()), repository_);
  EXPECT_EQ(ReposEntries(), 1);

  // Always afresh: a second fetch downloads again.
  ASSERT_TRUE(FetchRepository(url, "kanade-test.repo"));
  EXPECT_EQ(nginx.AccessLog().size(), 2u);
}

TEST_F(RepositoryFetchTest, AnUntrustedCertificateFailsAndKeepsThePreviousCopy) {
  test::TempDir www;
  test::WriteFile(www / "repos/kanade-test.repo", repository_);
  test::NginxServer nginx(www.path());
  ASSERT_TRUE(nginx.Running()) << nginx.ErrorLog();
  test::WriteFile(Local(), "previous copy");
  const std::string url = nginx.Url("/repos/kanade-test.repo");
  EXPECT_FALSE(FetchRepository(url, "kanade-test.repo"));
  EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 失敗");
  EXPECT_EQ(LastColour(), kRed);
  EXPECT_EQ(test::ReadFile(Local()), "previous copy");
  EXPECT_EQ(ReposEntries(), 1);
  EXPECT_TRUE(nginx.AccessLog().empty());
}

TEST_F(RepositoryFetchTest, WhatDoesNotVerifyIsReportedAndNeverReplacesTheLocalCopy) {
  server_.Serve("/repos/empty.repo", "");
  server_.Serve("/repos/tampered.repo", repository_ + "module=b.txt\thttps://x/b\t00\n");
  server_.Serve("/repos/unsigned.repo", "module=a.txt\thttps://x/a\t00\n");
  test::WriteFile(Local(), "previous copy");
  for (const char* path : {"/repos/missing.repo", "/repos/empty.repo", "/repos/tampered.repo",
                           "/repos/unsigned.repo"}) {
    const std::string url = server_.Url(path);
    EXPECT_FALSE(FetchRepository(url, "kanade-test.repo")) << path;
    EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 不一致") << path;
    EXPECT_EQ(LastColour(), kRed) << path;
    EXPECT_EQ(test::ReadFile(Local()), "previous copy") << path;
  }
  EXPECT_EQ(ReposEntries(), 1);

  // Without a previous copy nothing is left at all.
  EXPECT_FALSE(FetchRepository(server_.Url("/repos/missing.repo"), "new.repo"));
  EXPECT_FALSE(IsFile(LocalRepositoryPath("new.repo")));
}

TEST_F(RepositoryFetchTest, OnlyTheTrustedPublishersNewestFileUnderItsOwnNameIsAccepted) {
  const std::string current = test::PublishedRepositoryText("kanade-test", kModules, 5);
  const auto foreign_key = GenerateSecretKey();
  ASSERT_TRUE(foreign_key.has_value());
  const std::string without_signature = current.substr(0, FindSignatureBlock(current).Start);
  const struct {
    const char* what;
    std::string served;
    bool accepted;
  } cases[] = {
      {"signed by a key the program does not trust",
       test::PublishedRepositoryText("kanade-test", kModules, 6, &*foreign_key), false},
      {"signature line stripped, SIGN made to match",
       test::SignedRepositoryText(without_signature.substr(without_signature.find('\n') + 1)),
       false},
      {"a line added after the signature, SIGN made to match",
       *SignRepositoryText(current + "module=b.txt\thttps://x/b\t00\n"), false},
      {"another repository served under this name",
       test::PublishedRepositoryText("kanade-conv-test", kModules, 6), false},
      {"an older release", test::PublishedRepositoryText("kanade-test", kModules, 4), false},
      {"the same release with other contents",
       test::PublishedRepositoryText("kanade-test", kModules + "; changed\n", 5), false},
      {"the same release again", current, true},
      {"a newer release", test::PublishedRepositoryText("kanade-test", kModules, 6), true},
  };
  for (const auto& c : cases) {
    test::WriteLocalRepository("kanade-test.repo", current);
    server_.Serve("/repos/kanade-test.repo", c.served);
    const std::string url = server_.Url("/repos/kanade-test.repo");
    EXPECT_EQ(static_cast<bool>(FetchRepository(url, "kanade-test.repo")), c.accepted) << c.what;
    EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + (c.accepted ? " 成功" : " 不一致"))
        << c.what;
    EXPECT_EQ(test::ReadFile(Local()), c.accepted ? c.served : current) << c.what;
  }
  // A copy from before files were signed counts as release 0.
  test::WriteLocalRepository("kanade-test.repo", test::SignedRepositoryText(kModules));
  server_.Serve("/repos/kanade-test.repo", current);
  EXPECT_TRUE(FetchRepository(server_.Url("/repos/kanade-test.repo"), "kanade-test.repo"));
  EXPECT_EQ(ReposEntries(), 1);
}

TEST_F(RepositoryFetchTest, EndlessOrDrippingRepositoriesEndAndLeaveNothing) {
  server_.Endless("/repos/endless.repo");
  server_.Drip("/repos/drip.repo", 10, 100);
  SetLowSpeedLimit(1024, 1500);
  test::WriteFile(Local(), "previous copy");
  for (const char* path : {"/repos/endless.repo", "/repos/drip.repo"}) {
    const std::string url = server_.Url(path);
    EXPECT_FALSE(FetchRepository(url, "kanade-test.repo")) << path;
    EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 失敗") << path;
    EXPECT_EQ(test::ReadFile(Local()), "previous copy") << path;
  }
  SetLowSpeedLimit(1024, 60'000);
  EXPECT_EQ(ReposEntries(), 1);
}

TEST_F(RepositoryFetchTest, BrokenTransfersAreFailuresAndKeepThePreviousCopy) {
  server_.CutShort("/repos/short.repo", repository_.size(), repository_.substr(0, 40));
  server_.Redirect("/repos/loop.repo", "/repos/loop.repo");
  test::WriteFile(Local(), "previous copy");
  const std::string unreachable =
      "https://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/repos/kanade-test.repo";
  for (const std::string& url :
       {server_.Url("/repos/short.repo"), server_.Url("/repos/loop.repo"), unreachable}) {
    EXPECT_FALSE(FetchRepository(url, "kanade-test.repo")) << url;
    EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 失敗") << url;
    EXPECT_EQ(LastColour(), kRed) << url;
    EXPECT_EQ(test::ReadFile(Local()), "previous copy") << url;
  }
  EXPECT_EQ(ReposEntries(), 1);
}

TEST_F(RepositoryFetchTest, ARedirectedRepositoryArrives) {
  server_.Redirect("/repos/kanade-test.repo", "/moved/1");
  server_.Redirect("/moved/1", server_.Url("/moved/2"), 301);
  server_.Serve("/moved/2", repository_);
  ASSERT_TRUE(FetchRepository(server_.Url("/repos/kanade-test.repo"), "kanade-test.repo"));
  EXPECT_EQ(test::ReadFile(Local()), repository_);
}

TEST_F(RepositoryFetchTest, AReposFolderThatCannotBeMadeStopsSilently) {
  test::WriteFile(ReposFolder(), "a file in the way");
  const int lines = Console().Last;
  EXPECT_FALSE(FetchRepository("https://127.0.0.1:1/repos/x.repo", "x.repo"));
  EXPECT_EQ(Console().Last, lines);
}

}  // namespace
}  // namespace kanade

#include "repos/repository_fetch.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "app/run_report.h"
#include "kanade_repo/repository_signing.h"
#include "net/http_client.h"
#include "repos/publisher_keys.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "repos/repository_validators.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "support/http_test_server.h"
#include "support/nginx_server.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "support/test_repository.h"
#include "ui/console.h"
#include "util/path.h"
#include "util/text.h"

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

  RunReporter reporter_;
  test::RecordingSink sink_{&reporter_};
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

  ASSERT_TRUE(FetchRepository(url, "kanade-test.repo", sink_).Fetched());
  EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 成功");
  EXPECT_EQ(LastColour(), kWhite);
  EXPECT_EQ(test::ReadFile(Local()), repository_);
  EXPECT_EQ(ReposEntries(), 2);  // the copy and its validators

  // Nothing new: nginx answers the validators with 304, and the copy stays.
  ASSERT_TRUE(FetchRepository(url, "kanade-test.repo", sink_).Fetched());
  EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 成功");
  EXPECT_EQ(test::ReadFile(Local()), repository_);
  // A newer release is fetched whole.
  const std::string newer = test::PublishedRepositoryText("kanade-test", kModules, 2);
  test::WriteFile(www / "repos/kanade-test.repo", newer);
  std::filesystem::last_write_time(
      www / "repos/kanade-test.repo",
      std::filesystem::file_time_type::clock::now() + std::chrono::seconds(2));
  ASSERT_TRUE(FetchRepository(url, "kanade-test.repo", sink_).Fetched());
  EXPECT_EQ(test::ReadFile(Local()), newer);
  std::vector<int> statuses;
  for (const auto& entry : nginx.AccessLog()) statuses.push_back(entry.Status);
  EXPECT_EQ(statuses, (std::vector<int>{200, 304, 200}));
  EXPECT_EQ(ReposEntries(), 2);
}

TEST_F(RepositoryFetchTest, AnUntrustedCertificateFailsAndKeepsThePreviousCopy) {
  test::TempDir www;
  test::WriteFile(www / "repos/kanade-test.repo", repository_);
  test::NginxServer nginx(www.path());
  ASSERT_TRUE(nginx.Running()) << nginx.ErrorLog();
  test::WriteFile(Local(), "previous copy");
  const std::string url = nginx.Url("/repos/kanade-test.repo");
  EXPECT_FALSE(FetchRepository(url, "kanade-test.repo", sink_).Fetched());
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
    EXPECT_FALSE(FetchRepository(url, "kanade-test.repo", sink_).Fetched()) << path;
    EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 不一致") << path;
    EXPECT_EQ(LastColour(), kRed) << path;
    EXPECT_EQ(test::ReadFile(Local()), "previous copy") << path;
  }
  EXPECT_EQ(ReposEntries(), 1);

  // Without a previous copy nothing is left at all.
  EXPECT_FALSE(FetchRepository(server_.Url("/repos/missing.repo"), "new.repo", sink_).Fetched());
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
    EXPECT_EQ(FetchRepository(url, "kanade-test.repo", sink_).Fetched(), c.accepted) << c.what;
    EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + (c.accepted ? " 成功" : " 不一致"))
        << c.what;
    EXPECT_EQ(test::ReadFile(Local()), c.accepted ? c.served : current) << c.what;
  }
  // A copy from before files were signed counts as release 0.
  test::WriteLocalRepository("kanade-test.repo", test::SignedRepositoryText(kModules));
  server_.Serve("/repos/kanade-test.repo", current);
  EXPECT_TRUE(
      FetchRepository(server_.Url("/repos/kanade-test.repo"), "kanade-test.repo", sink_).Fetched());
  EXPECT_EQ(ReposEntries(), 1);
}

TEST_F(RepositoryFetchTest, EndlessOrDrippingRepositoriesEndAndLeaveNothing) {
  server_.Endless("/repos/endless.repo");
  server_.Drip("/repos/drip.repo", 10, 100);
  SetLowSpeedLimit(1024, 1500);
  test::WriteFile(Local(), "previous copy");
  for (const char* path : {"/repos/endless.repo", "/repos/drip.repo"}) {
    const std::string url = server_.Url(path);
    EXPECT_FALSE(FetchRepository(url, "kanade-test.repo", sink_).Fetched()) << path;
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
    EXPECT_FALSE(FetchRepository(url, "kanade-test.repo", sink_).Fetched()) << url;
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
  ASSERT_TRUE(
      FetchRepository(server_.Url("/repos/kanade-test.repo"), "kanade-test.repo", sink_).Fetched());
  EXPECT_EQ(test::ReadFile(Local()), repository_);
}

TEST_F(RepositoryFetchTest, NothingIsWrittenThroughOrOverALinkInTheProgramFolder) {
  server_.Serve("/repos/kanade-test.repo", repository_);
  const std::string url = server_.Url("/repos/kanade-test.repo");
  test::TempDir other;  // another user's folder, or one outside
  test::WriteFile(other / "kanade-test.repo", "theirs");
  test::WriteFile(other / "kanade-test.repo.kanade-tmp-0123456789abcdef", "theirs too");
  const std::string before = test::Fingerprint(other / "kanade-test.repo");
  const std::string leftover =
      test::Fingerprint(other / "kanade-test.repo.kanade-tmp-0123456789abcdef");
  const auto fails = [&](const char* what) {
    EXPECT_FALSE(FetchRepository(url, "kanade-test.repo", sink_).Fetched()) << what;
    EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + " 失敗") << what;
    EXPECT_EQ(LastColour(), kRed) << what;
    EXPECT_EQ(test::Fingerprint(other / "kanade-test.repo"), before) << what;
    EXPECT_EQ(test::Fingerprint(other / "kanade-test.repo.kanade-tmp-0123456789abcdef"), leftover)
        << what;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(other.path()), {}), 2) << what;
  };
  std::filesystem::create_directory_symlink(other.path(), ReposFolder());
  ASSERT_EQ(::lchown(ReposFolder().c_str(), test::kNobody, test::kNobody), 0);
  fails("repos/ is another user's link");
  EXPECT_FALSE(ReadLocalRepository("kanade-test.repo"));
  std::filesystem::remove(ReposFolder());

  for (const test::Plant plant : {test::Plant::kSymlink, test::Plant::kFifo}) {
    std::filesystem::remove_all(ReposFolder());
    std::filesystem::create_directory(ReposFolder());
    test::PlantAt(plant, Local(), other / "kanade-test.repo");
    fails(plant == test::Plant::kFifo ? "a fifo" : "a link");
    EXPECT_EQ(ReposEntries(), 1);
  }

  // A hard link is replaced as a name of its own, never written through.
  std::filesystem::remove_all(ReposFolder());
  std::filesystem::create_directory(ReposFolder());
  test::PlantAt(test::Plant::kHardLink, Local(), other / "kanade-test.repo");
  EXPECT_TRUE(FetchRepository(url, "kanade-test.repo", sink_).Fetched());
  EXPECT_EQ(test::ReadFile(Local()), repository_);
  EXPECT_EQ(test::Fingerprint(other / "kanade-test.repo"), before);
}

// The program folder may be one that others can write: a repository copy,
// its validators or repos/ itself that another user owns is neither trusted
// nor replaced, and the reason names the owner.
TEST_F(RepositoryFetchTest, AnotherUsersProgramFilesAreNotUsed) {
  const std::string path = "/repos/kanade-test.repo";
  const std::string url = server_.Url(path);
  const std::string validators = Local() + ".validators";
  const std::string& older = repository_;
  const std::string newer = test::PublishedRepositoryText("kanade-test", kModules, 2);
  server_.Serve(path, newer);
  struct Case {
    const char* what;
    std::string given_away;  // chown'ed to nobody
    bool fetched;
    std::string reason;
    std::string note;
  };
  const std::string nobody = " belongs to nobody (uid 65534)";
  const Case cases[] = {
      {"all ours", "", true, "", ""},
      {"a copy of another user's", Local(), false, Local() + nobody + "; not used", ""},
      {"repos/ of another user's", ReposFolder(), false, ReposFolder() + nobody + "; not used", ""},
      {"validators of another user's", validators, true, "",
       "kanade-test.repo.validators not used (" + validators + nobody +
           "): asked for the whole file"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(ReposFolder());
    test::WriteFile(Local(), older);
    test::WriteFile(validators, ValidatorsText({url, Sha256OfText(older), {"\"v0\"", ""}}));
    if (!c.given_away.empty()) {
      ASSERT_EQ(::chown(c.given_away.c_str(), test::kNobody, test::kNobody), 0) << c.what;
    }
    const std::size_t asked = server_.Requests().size();
    const FetchOutcome outcome = FetchRepository(url, "kanade-test.repo", sink_);
    EXPECT_EQ(outcome.Fetched(), c.fetched) << c.what;
    EXPECT_EQ(outcome.Reason, c.reason) << c.what;
    EXPECT_EQ(outcome.Note, c.note) << c.what;
    EXPECT_EQ(test::ReadFile(Local()), c.fetched ? newer : older) << c.what;
    // Another user's copy is no verified copy to fall back on either.
    EXPECT_EQ(HasVerifiedLocalCopy("kanade-test.repo"), c.fetched) << c.what;
    const auto requests = server_.Requests();
    const bool conditional =
        requests.size() > asked && requests.back().Headers.count("If-None-Match");
    EXPECT_EQ(conditional, c.given_away.empty()) << c.what;
  }
}

// The server says whether a repository changed since the copy the fetch
// holds; nothing but a copy that verifies is ever taken, and the log says why
// an answer or a kept validators file was not.
TEST_F(RepositoryFetchTest, ConditionalFetchesTakeOnlyVerifiedCopies) {
  const std::string path = "/repos/kanade-test.repo";
  const std::string url = server_.Url(path);
  const std::string lua_url = server_.Url("/repos/kanade-lua.repo");
  const std::string validators = Local() + ".validators";
  const std::string v1 = repository_;
  const std::string v2 = test::PublishedRepositoryText("kanade-test", kModules, 2);
  const std::string lua = test::PublishedRepositoryText("kanade-lua", kModules);
  const std::string outside = program_ / "outside.txt";
  std::string outside_text;
  using Answer = test::HttpTestServer::Answer;
  // A server that honours validators, serving `body` as its version `tag`.
  const auto honour = [](std::string body, std::string tag) {
    return [body, tag](const test::RecordedRequest& request) {
      const auto asked = request.Headers.find("If-None-Match");
      if (asked != request.Headers.end() && asked->second == tag) return Answer{304, {}, ""};
      return Answer{200, {{"ETag", tag}, {"Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT"}}, body};
    };
  };
  const auto answer = [](Answer fixed) { return [fixed](const auto&) { return fixed; }; };
  const auto edit = [](const std::string& file, const std::string& from, const std::string& to) {
    test::WriteFile(file, ReplaceAll(test::ReadFile(file), from, to));
  };
  server_.Handle("/repos/kanade-lua.repo", honour(lua, "\"lua\""));
  const struct {
    const char* what;
    std::function<void()> spoil;  // the folder or the server, after a first fetch
    std::function<Answer(const test::RecordedRequest&)> server;
    bool accepted;
    bool asked;                       // the request carried the kept validators
    std::optional<std::string> copy;  // the local copy afterwards
    std::string reason;               // in the log after the line, when not empty
  } cases[] = {
      {"nothing new", [] {}, honour(v1, "\"v1\""), true, true, v1, ""},
      {"a newer release", [] {}, honour(v2, "\"v2\""), true, true, v2, ""},
      {"a busy server, then nothing new", [&] { server_.FailFirst(path, 1, 503); },
       honour(v1, "\"v1\""), true, true, v1, ""},
      {"a 304 to a request without validators", [&] { std::filesystem::remove(validators); },
       answer({304, {}, ""}), false, false, v1, "to a request without validators"},
      {"a 304 once the local copy is gone", [] {},
       [&](const auto&) {
         std::filesystem::remove(Local());
         return Answer{304, {}, ""};
       },
       false, true, std::nullopt, "the local copy is gone"},
      {"an ETag of 10 MB", [] {}, answer({200, {{"ETag", std::string(10 << 20, 'e')}}, v2}), false,
       true, v1, "longer than libcurl takes (100 KiB)"},
      {"an ETag too long to keep", [] {}, answer({200, {{"ETag", std::string(2000, 'e')}}, v2}),
       true, true, v2, "ETag (2000 bytes) is too long"},
      {"validators that are a link",
       [&] {
         std::filesystem::rename(validators, outside);
         outside_text = test::ReadFile(outside);
         std::filesystem::create_symlink(outside, validators);
       },
       honour(v1, "\"v1\""), true, false, v1, "a link or no regular file"},
      {"validators of another repository",
       [&] {
         ASSERT_TRUE(FetchRepository(lua_url, "kanade-lua.repo", sink_).Fetched());
         std::filesystem::copy_file(LocalRepositoryPath("kanade-lua.repo.validators"), validators,
                                    std::filesystem::copy_options::overwrite_existing);
       },
       honour(v1, "\"lua\""), true, false, v1, "kept for " + lua_url},
      {"validators edited to another copy's digest",
       [&] { edit(validators, Sha256OfText(v1), Sha256OfText(lua)); }, honour(v1, "\"v1\""), true,
       false, v1, "other bytes than the local copy"},
      {"the copy and validators of another repository, edited to this one",
       [&] {
         test::WriteFile(Local(), lua);
         edit(validators, Sha256OfText(v1), Sha256OfText(lua));
       },
       honour(v1, "\"v1\""), true, false, v1, "no verified local copy"},
      {"validators with a header smuggled in",
       [&] { edit(validators, "ETag=\"v1\"", "ETag=\"v1\"\r\nX-Smuggled: 1"); },
       honour(v1, "\"v1\""), true, false, v1, "not a validators file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(Local());
    std::filesystem::remove(validators);
    server_.Handle(path, honour(v1, "\"v1\""));
    ASSERT_TRUE(FetchRepository(url, "kanade-test.repo", sink_).Fetched());
    ASSERT_NE(test::ReadFile(validators).find("ETag=\"v1\"\n"), std::string::npos);
    c.spoil();
    server_.Handle(path, c.server);
    const std::string log_before = test::ReadFile(program_ / "kanade.log");
    EXPECT_EQ(FetchRepository(url, "kanade-test.repo", sink_).Fetched(), c.accepted);
    EXPECT_EQ(LastLine(), "レポジトリを取得中: " + url + (c.accepted ? " 成功" : " 失敗"));
    EXPECT_EQ(LastColour(), c.accepted ? kWhite : kRed);
    const test::RecordedRequest last = server_.Requests().back();
    EXPECT_EQ(last.Headers.count("If-None-Match"), c.asked ? 1u : 0u);
    EXPECT_EQ(last.Headers.count("If-Modified-Since"), c.asked ? 1u : 0u);
    EXPECT_EQ(last.Headers.count("X-Smuggled"), 0u);
    EXPECT_EQ(IsFile(Local()) ? std::optional(test::ReadFile(Local())) : std::nullopt, c.copy);
    const std::string logged = test::ReadFile(program_ / "kanade.log").substr(log_before.size());
    const std::size_t reason = logged.find("\r\n! ");
    if (c.reason.empty()) {
      EXPECT_EQ(reason, std::string::npos) << logged;
    } else {
      EXPECT_NE(logged.find(c.reason, reason), std::string::npos) << logged;
    }
    // Validators stay with the copy they came with, never with another.
    if (c.accepted && c.copy == v2 && c.reason.empty()) {
      EXPECT_NE(test::ReadFile(validators).find("SHA256=" + Sha256OfText(v2)), std::string::npos);
    }
    if (c.accepted && !c.reason.empty() && c.copy == v2) {
      EXPECT_FALSE(IsFile(validators));
    }
    EXPECT_FALSE(std::filesystem::is_symlink(validators));
  }
  // What the link pointed to is untouched.
  EXPECT_EQ(test::ReadFile(outside), outside_text);
}

TEST_F(RepositoryFetchTest, AReposFolderThatCannotBeMadeStopsSilently) {
  test::WriteFile(ReposFolder(), "a file in the way");
  const int lines = Console().Last;
  EXPECT_FALSE(FetchRepository("https://127.0.0.1:1/repos/x.repo", "x.repo", sink_).Fetched());
  EXPECT_EQ(Console().Last, lines);
}

}  // namespace
}  // namespace kanade

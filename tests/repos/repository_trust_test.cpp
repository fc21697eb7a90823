#include "repos/repository_trust.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kanade_repo/repository_signing.h"
#include "repos/repository_format.h"
#include "support/test_repository.h"
#include "util/base64.h"
#include "util/text.h"

namespace kanade {
namespace {

const std::string kModules = "module=a.txt\thttps://h/a.txt\t" + std::string(64, 'a') + "\t5\n";

SecretKey NewKey() {
  const auto key = GenerateSecretKey();
  EXPECT_TRUE(key.has_value());
  return key.value_or(SecretKey{});
}

// Signs `body` (NAME and SERIAL as written, nothing added) the way the
// publisher's tool does, so that malformed names and serials can be signed.
std::string SignedAsIs(const std::string& body, const SecretKey& key) {
  const std::string message = "SIGN=0\n" + body;
  return *SignRepositoryText(message + SignatureLineFor(message, key) + "\n");
}

TEST(RepositoryTrust, OnlyATrustedKeysSignatureOverTheWholeTextCounts) {
  const SecretKey key = NewKey();
  const SecretKey other = NewKey();
  const std::vector<PublicKey> trusted = {key.Public()};
  const std::string good = *SignRepositoryWithKey(kModules, key, "kanade-test", 7);
  const std::string body = "NAME=kanade-test\nSERIAL=7\n" + kModules;
  const std::string block = good.substr(FindSignatureBlock(good).Start);
  const std::string unsigned_part = good.substr(0, FindSignatureBlock(good).Start);
  const std::string foreign = *SignRepositoryWithKey(kModules, other, "kanade-test", 7);
  const std::string foreign_line = foreign.substr(FindSignatureBlock(foreign).Start);

  const struct {
    const char* what;
    std::string text;
    std::vector<PublicKey> keys;
    RepositoryTrust trust;
  } cases[] = {
      {"signed by the trusted key", good, trusted, RepositoryTrust::kSigned},
      {"CR LF line ends", *SignRepositoryWithKey(ReplaceAll(kModules, "\n", "\r\n"), key, "x", 1),
       trusted, RepositoryTrust::kSigned},
      {"one of several keys (rotation)",
       good,
       {other.Public(), key.Public()},
       RepositoryTrust::kSigned},
      {"a foreign signature beside the trusted one",
       *SignRepositoryText(unsigned_part + foreign_line + block), trusted,
       RepositoryTrust::kSigned},
      {"signed by another key", foreign, trusted, RepositoryTrust::kRefused},
      {"SIGN line only", test::SignedRepositoryText(body), trusted, RepositoryTrust::kLegacy},
      {"SIGN check fails", good + "module=b\thttps://h/b\t00\n", trusted,
       RepositoryTrust::kRefused},
      {"a line slipped in before the signature, SIGN recomputed",
       *SignRepositoryText(unsigned_part + "module=b\thttps://h/b\t00\n" + block), trusted,
       RepositoryTrust::kRefused},
      {"a line after the signature, SIGN recomputed",
       *SignRepositoryText(good + "module=b\thttps://h/b\t00\n"), trusted,
       RepositoryTrust::kRefused},
      {"a module hidden behind a CR in the signature line",
       *SignRepositoryText(unsigned_part + block.substr(0, block.size() - 1) +
                           "\rmodule=b\thttps://h/b\t00\n"),
       trusted, RepositoryTrust::kRefused},
      {"a signature line broken", *SignRepositoryText(unsigned_part + ";ed25519 zz\n"), trusted,
       RepositoryTrust::kRefused},
      {"no NAME", SignedAsIs("SERIAL=1\n" + kModules, key), trusted, RepositoryTrust::kRefused},
      {"two NAME lines", SignedAsIs("NAME=a\nNAME=b\nSERIAL=1\n" + kModules, key), trusted,
       RepositoryTrust::kRefused},
      {"no SERIAL", SignedAsIs("NAME=a\n" + kModules, key), trusted, RepositoryTrust::kRefused},
      {"SERIAL 0", SignedAsIs("NAME=a\nSERIAL=0\n" + kModules, key), trusted,
       RepositoryTrust::kRefused},
      {"SERIAL beyond 2^63-1", SignedAsIs("NAME=a\nSERIAL=9223372036854775808\n" + kModules, key),
       trusted, RepositoryTrust::kRefused},
      {"SERIAL with a sign", SignedAsIs("NAME=a\nSERIAL=+5\n" + kModules, key), trusted,
       RepositoryTrust::kRefused},
      {"SERIAL 2^63-1", SignedAsIs("NAME=a\nSERIAL=9223372036854775807\n" + kModules, key), trusted,
       RepositoryTrust::kSigned},
  };
  for (const auto& c : cases) {
    const RepositoryCheck check = CheckRepositoryText(c.text, c.keys);
    EXPECT_EQ(check.Trust, c.trust) << c.what;
    // Whatever the signature layer says, old clients' SIGN check is intact.
    if (c.trust == RepositoryTrust::kSigned) {
      EXPECT_TRUE(VerifyRepositoryText(c.text)) << c.what;
    }
  }
  const RepositoryCheck check = CheckRepositoryText(good, trusted);
  EXPECT_EQ(check.Name, "kanade-test");
  EXPECT_EQ(check.Serial, 7);
}

TEST(RepositoryTrust, SigningAgainReplacesTheSignatureAndCountsTheSerialOn) {
  const SecretKey key = NewKey();
  const std::string first = *SignRepositoryWithKey(kModules, key, "kanade-lua", std::nullopt);
  const std::string second = *SignRepositoryWithKey(first, key, std::nullopt, std::nullopt);
  const RepositoryCheck check = CheckRepositoryText(second, {key.Public()});
  EXPECT_EQ(check.Trust, RepositoryTrust::kSigned);
  EXPECT_EQ(check.Name, "kanade-lua");
  EXPECT_EQ(check.Serial, 2);
  EXPECT_EQ(FindSignatureBlock(second).Entries.size(), 1u);
  std::string problem;
  EXPECT_FALSE(SignRepositoryWithKey(kModules, key, std::nullopt, 1, &problem));
  EXPECT_NE(problem.find("NAME"), std::string::npos);
  EXPECT_FALSE(SignRepositoryWithKey(kModules, key, "a b", 1, &problem));
}

TEST(PublisherKeys, KeyFilesRoundTripAndRejectWhatIsNoKey) {
  const SecretKey key = NewKey();
  const auto secret = ParseSecretKeyFile(SecretKeyFileText(key));
  ASSERT_TRUE(secret.has_value());
  EXPECT_EQ(secret->Public(), key.Public());
  const auto keys = ParsePublicKeyFile("# rotation\n\n" + PublicKeyFileText(key.Public()) +
                                       PublicKeyFileText(NewKey().Public()));
  ASSERT_TRUE(keys.has_value());
  EXPECT_EQ(keys->size(), 2u);
  EXPECT_EQ((*keys)[0], key.Public());

  SecretKey mismatched = key;
  mismatched.Bytes[40] ^= 1;  // the public half of another key
  for (const std::string& bad : {std::string(""), PublicKeyFileText(key.Public()),
                                 SecretKeyFileText(mismatched), std::string("not base64!\n")}) {
    EXPECT_FALSE(ParseSecretKeyFile(bad).has_value()) << bad;
  }
  for (const std::string& bad :
       {std::string("# only a comment\n"), SecretKeyFileText(key), std::string("AAAA\n"),
        EncodeBase64(std::string(32, 'k')).substr(0, 43) + "A\n"}) {
    EXPECT_FALSE(ParsePublicKeyFile(bad).has_value()) << bad;
  }
}

TEST(Base64, RoundTripsAndAcceptsOnlyCanonicalText) {
  for (const std::string& bytes : {std::string(""), std::string("f"), std::string("fo"),
                                   std::string("foo"), std::string("\0\xff\x10\x80", 4)}) {
    EXPECT_EQ(DecodeBase64(EncodeBase64(bytes)), bytes);
  }
  EXPECT_EQ(EncodeBase64("foobar"), "Zm9vYmFy");
  for (const char* bad : {"Zm9", "Zm9v\n", "Zg", "Zh==", "Zm9=v", "Z===", "Zm9v YmFy", "****"}) {
    EXPECT_FALSE(DecodeBase64(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace kanade

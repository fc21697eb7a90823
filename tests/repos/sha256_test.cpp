#include "repos/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace kanade {
namespace {

using test::TempDir;
using test::WriteFile;

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Bytes that are not periodic within a chunk, so a chunk read twice or
// skipped changes the digest.
std::string PseudoRandomBytes(std::size_t size) {
  std::string bytes(size, '\0');
  unsigned state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  return bytes;
}

TEST(Sha256, KnownVectorsAsLowerCaseHex) {
  EXPECT_EQ(Sha256OfText("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256OfText(""), kEmptyDigest);
  EXPECT_EQ(Sha256OfText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::string million(1000000, 'a');
  EXPECT_EQ(Sha256OfBytes(million.data(), million.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(Sha256OfBytes(nullptr, 0), kEmptyDigest);
}

TEST(Sha256, TextIsHashedAsItsBytesIncludingNulAndInvalidUtf8) {
  const std::string bytes("a\0b\xFF\xFE", 5);
  EXPECT_EQ(Sha256OfText(bytes), Sha256OfBytes(bytes.data(), bytes.size()));
  EXPECT_NE(Sha256OfText(bytes), Sha256OfText("a"));
}

TEST(Sha256, FileDigestMatchesBytesAcrossChunkBoundaries) {
  TempDir dir;
  constexpr std::size_t kMiB = 1024 * 1024;
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, kMiB - 1, kMiB, kMiB + 1, 2 * kMiB + 12345}) {
    const std::string bytes = PseudoRandomBytes(size);
    const std::string path = dir / ("file-" + std::to_string(size));
    WriteFile(path, bytes);
    EXPECT_EQ(Sha256OfFile(path), Sha256OfBytes(bytes.data(), bytes.size())) << size;
  }
}

TEST(Sha256, FileThatCannotBeReadGivesEmptyText) {
  TempDir dir;
  EXPECT_EQ(Sha256OfFile(dir / "missing"), "");
  EXPECT_EQ(Sha256OfFile(""), "");
  // A folder opens on some systems but cannot be read.
  EXPECT_EQ(Sha256OfFile(dir.path()), "");
}

}  // namespace
}  // namespace kanade

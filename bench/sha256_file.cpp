// Hashes one file with Sha256OfFile and prints the digest text and the time
// taken, like "sha256sum": scripts/bench-sha256.sh compares it with openssl
// and sha256sum on the same file.
#include <chrono>
#include <cstdio>
#include <string>

#include "repos/sha256.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_sha256_file FILE\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::string digest = kanade::Sha256OfFile(argv[1]);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (digest.empty()) {
    std::fprintf(stderr, "bench_sha256_file: cannot read %s\n", argv[1]);
    return 1;
  }
  std::printf("%s  %s\n", digest.c_str(), argv[1]);
  std::fprintf(stderr, "Sha256OfFile: %.3f s\n", seconds);
  return 0;
}

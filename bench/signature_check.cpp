// What the publisher signature adds to accepting a repository file: a
// 2,000-module repository checked with the SIGN line alone and with both
// layers (SIGN, Ed25519 signature, NAME and SERIAL). Prints the median of
// many runs and the difference.
//
//   bench_signature_check [MODULES]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kanade_repo/repository_signing.h"
#include "repos/publisher_keys.h"
#include "repos/repository_format.h"
#include "repos/repository_trust.h"
#include "repos/sha256.h"

namespace {

constexpr int kRuns = 201;

template <typename Check>
double MedianMs(Check check) {
  std::vector<double> times;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    if (!check()) {
      std::fprintf(stderr, "bench_signature_check: the check failed\n");
      std::exit(1);
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::nth_element(times.begin(), times.begin() + kRuns / 2, times.end());
  return times[kRuns / 2];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kanade;
  const int modules = argc > 1 ? std::atoi(argv[1]) : 2000;
  std::string lines;
  for (int i = 0; i < modules; ++i) {
    const std::string path =
        "Shroud of the Avatar_Data/Translations/file" + std::to_string(i) + ".txt";
    lines += "module=" + path + "\thttps://kanade.example.org/files/" + Sha256OfText(path) + "\t" +
             Sha256OfText(path + "body") + "\t12345\n";
  }
  const auto key = GenerateSecretKey();
  if (!key) return 1;
  const auto text = SignRepositoryWithKey(lines, *key, "kanade-test", 1);
  if (!text) return 1;
  const std::vector<PublicKey> keys = {key->Public()};

  const double sign_only = MedianMs([&] { return VerifyRepositoryText(*text); });
  const double both =
      MedianMs([&] { return CheckRepositoryText(*text, keys).Trust == RepositoryTrust::kSigned; });
  std::printf("repository                  %d modules, %zu bytes\n", modules, text->size());
  std::printf("SIGN line only              %.3f ms\n", sign_only);
  std::printf("both layers                 %.3f ms\n", both);
  std::printf("added by the signature      %.3f ms (goal < 5 ms)\n", both - sign_only);
  return 0;
}

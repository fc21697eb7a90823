#include "repos/repository_trust.h"

#include <limits>

#include "repos/repository_format.h"
#include "util/base64.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::size_t kKeyIdLength = 16;
constexpr std::size_t kSignatureTextLength = 88;  // base64 of 64 bytes

// ";ed25519 KEYID SIGNATURE", nothing more: a stray CR inside would make the
// line reader see a line that the signature never covered.
std::optional<SignatureLineEntry> ParseSignatureLine(std::string_view line) {
  if (!StartsWith(line, kSignatureLinePrefix)) return std::nullopt;
  line.remove_prefix(kSignatureLinePrefix.size());
  if (line.size() != kKeyIdLength + 1 + kSignatureTextLength || line[kKeyIdLength] != ' ') {
    return std::nullopt;
  }
  const std::string_view key_id = line.substr(0, kKeyIdLength);
  if (!IsLowerHex(key_id)) return std::nullopt;
  const auto signature = DecodeBase64(line.substr(kKeyIdLength + 1));
  if (!signature || signature->size() != kSignatureSize) return std::nullopt;
  return SignatureLineEntry{std::string(key_id), *signature};
}

// The signed text's NAME and SERIAL, each exactly once, read as the module
// engine reads lines.
bool ReadNameAndSerial(std::string_view message, RepositoryCheck& check) {
  int names = 0;
  int serials = 0;
  for (const std::string& raw : SplitLines(message)) {
    const RepositoryLine line = SplitRepositoryLine(raw);
    if (line.Key == kNameKey) {
      ++names;
      check.Name = line.Value;
    } else if (line.Key == kSerialKey) {
      ++serials;
      const auto serial = ParseSerial(line.Value);
      if (!serial) return false;
      check.Serial = *serial;
    }
  }
  return names == 1 && serials == 1 && !check.Name.empty();
}

}  // namespace

std::optional<std::int64_t> ParseSerial(std::string_view text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  if (value < 1 || value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

SignatureBlock FindSignatureBlock(std::string_view text) {
  SignatureBlock block;
  block.Start = text.size();
  std::size_t end = text.size();
  // The last line may lack its line end; a trailing LF ends the last line.
  if (end > 0 && text[end - 1] == '\n') --end;
  std::vector<SignatureLineEntry> reversed;
  while (true) {
    const std::size_t lf = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    const std::size_t start = lf == std::string_view::npos ? 0 : lf + 1;
    std::string_view line = text.substr(start, end - start);
    if (EndsWith(line, "\r")) line.remove_suffix(1);
    const auto entry = ParseSignatureLine(line);
    if (!entry) break;
    reversed.push_back(*entry);
    block.Start = start;
    if (start == 0) break;
    end = start - 1;
  }
  block.Entries.assign(reversed.rbegin(), reversed.rend());
  return block;
}

RepositoryCheck CheckRepositoryText(std::string_view text, const std::vector<PublicKey>& keys) {
  RepositoryCheck check;
  const auto refuse = [](std::string reason) {
    RepositoryCheck refused;
    refused.Reason = std::move(reason);
    return refused;
  };
  const std::optional<std::string> replaced = SignCheckedText(text);
  if (!replaced) return refuse("the SIGN line does not match the text");
  const SignatureBlock block = FindSignatureBlock(text);
  if (block.Entries.empty()) {
    // A file that tries to look signed but is not is no legacy file.
    if (text.find(std::string("\n") + std::string(kSignatureLinePrefix)) == text.npos &&
        !StartsWith(text, kSignatureLinePrefix)) {
      check.Trust = RepositoryTrust::kLegacy;
      check.Reason = "no publisher signature line";
      return check;
    }
    return refuse("a malformed signature line");
  }
  // The signed message is the text before the signature lines as the SIGN
  // check reads it. The check never rewrites signature lines, so they end
  // the rewritten text unchanged.
  const std::string_view suffix = text.substr(block.Start);
  if (!EndsWith(*replaced, suffix)) return refuse("the signature lines are not the text's end");
  const std::string_view message =
      std::string_view(*replaced).substr(0, replaced->size() - suffix.size());

  bool verified = false;
  bool known_key = false;
  for (const SignatureLineEntry& entry : block.Entries) {
    for (const PublicKey& key : keys) {
      if (KeyIdOf(key) != entry.KeyId) continue;
      known_key = true;
      const auto* signature = reinterpret_cast<const unsigned char*>(entry.Signature.data());
      if (VerifyMessage(message, signature, key)) verified = true;
    }
    if (verified) break;
  }
  if (!known_key) return refuse("signed by unknown key " + block.Entries.front().KeyId);
  if (!verified)
    return refuse("the signature of key " + block.Entries.front().KeyId + " does not hold");
  if (!ReadNameAndSerial(message, check)) return refuse("NAME or SERIAL is missing or malformed");
  check.Trust = RepositoryTrust::kSigned;
  return check;
}

std::string TrustRefusal(const RepositoryCheck& check, std::string_view name, bool legacy_allowed) {
  switch (check.Trust) {
    case RepositoryTrust::kSigned:
      if (check.Name == name) return {};
      return "NAME " + check.Name + ", expected " + std::string(name);
    case RepositoryTrust::kLegacy:
      return legacy_allowed ? std::string() : check.Reason;
    case RepositoryTrust::kRefused:
      break;
  }
  return check.Reason.empty() ? "not signed by a trusted key" : check.Reason;
}

bool IsTrustedAs(const RepositoryCheck& check, std::string_view name, bool legacy_allowed) {
  if (check.Trust == RepositoryTrust::kSigned) return check.Name == name;
  return legacy_allowed && check.Trust == RepositoryTrust::kLegacy;
}

bool MayReplaceLocalCopy(std::string_view fetched, std::string_view name,
                         const std::optional<std::string>& local,
                         const std::vector<PublicKey>& keys) {
  return !ReplacementRefusal(fetched, name, local, keys);
}

std::optional<std::string> ReplacementRefusal(std::string_view fetched, std::string_view name,
                                              const std::optional<std::string>& local,
                                              const std::vector<PublicKey>& keys) {
  const RepositoryCheck incoming = CheckRepositoryText(fetched, keys);
  if (std::string why = TrustRefusal(incoming, name, false); !why.empty()) return why;
  if (!local) return std::nullopt;
  const RepositoryCheck current = CheckRepositoryText(*local, keys);
  // A legacy copy, or one no trusted key signs any more, counts as serial 0.
  const std::int64_t current_serial = IsTrustedAs(current, name, false) ? current.Serial : 0;
  if (incoming.Serial < current_serial) {
    return "SERIAL " + std::to_string(incoming.Serial) + " is below the kept " +
           std::to_string(current_serial);
  }
  if (incoming.Serial == current_serial && fetched != *local) {
    return "SERIAL " + std::to_string(incoming.Serial) + " is the kept one, with other bytes";
  }
  return std::nullopt;
}

}  // namespace kanade

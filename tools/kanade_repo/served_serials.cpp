#include "served_serials.h"

#include <algorithm>

#include "repos/repository_trust.h"
#include "served_tree.h"
#include "tool_support.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

std::string RecordPathOf(std::string_view www) {
  return Utf8Path(FsPath(www) / kSerialRecordName);
}

std::string RecordText(const std::map<std::string, std::int64_t>& record) {
  std::string text =
      "# The SERIAL each repository last went out at. kanade-repo publish gives the\n"
      "# next release of one a higher SERIAL, whatever repos/ holds then.\n";
  for (const auto& [name, serial] : record) text += name + " " + std::to_string(serial) + "\n";
  return text;
}

}  // namespace

std::map<std::string, std::int64_t> ReadSerialRecord(std::string_view www) {
  std::map<std::string, std::int64_t> record;
  const auto text = ReadSmallFile(RecordPathOf(www));
  if (!text) return record;
  for (const std::string& line : SplitLines(*text)) {
    if (line.empty() || line[0] == '#') continue;
    const auto serial = ParseSerial(TextAfter(line, " "));
    const std::string name = TextBefore(line, " ");
    if (serial && !name.empty()) record[name] = std::max(record[name], *serial);
  }
  return record;
}

bool RaiseSerialRecord(std::string_view www, const std::map<std::string, std::string>& texts,
                       PublishError* error) {
  const std::string path = RecordPathOf(www);
  std::map<std::string, std::int64_t> record = ReadSerialRecord(www);
  for (const auto& [name, text] : texts) {
    if (const auto serial = SerialLineOf(text)) {
      record[name] = std::max(record[name], *serial);
    }
  }
  const std::string text = RecordText(record);
  if (ReadSmallFile(path) == text) return true;
  if (!WriteFileAtomically(path, text)) {
    if (error != nullptr) *error = {path + ": cannot write the file", false};
    return false;
  }
  return true;
}

SerialsAbove SerialsHeldAbove(std::string_view www, std::string_view name,
                              std::int64_t plain_serial,
                              const std::map<std::string, std::int64_t>& record,
                              const std::vector<PublicKey>& keys) {
  SerialsAbove above;
  above.Highest = plain_serial;
  const std::string plain = std::string(name) + ".repo";
  const std::string of_plain = "the SERIAL " + std::to_string(plain_serial) + " of " + plain;
  const std::string gz_path = RepositoryCopyPathOf(www, name);
  if (const auto copy = DecodedGzipFile(gz_path)) {
    const RepositoryCheck check = CheckRepositoryText(*copy, keys);
    if (IsTrustedAs(check, name, false) && check.Serial > plain_serial) {
      above.Places.push_back(gz_path + " holds SERIAL " + std::to_string(check.Serial) +
                             ", above " + of_plain +
                             " beside it (a publish stopped between the two renames, or the "
                             "plain file put back from a backup)");
      above.Highest = std::max(above.Highest, check.Serial);
    }
  }
  const auto recorded = record.find(std::string(name));
  if (recorded != record.end() && recorded->second > plain_serial) {
    above.Places.push_back(RecordPathOf(www) + " records that " + plain + " went out as SERIAL " +
                           std::to_string(recorded->second) + ", above " + of_plain +
                           " (files put back from a backup, or a publish stopped before its "
                           "renames)");
    above.Highest = std::max(above.Highest, recorded->second);
  }
  return above;
}

}  // namespace kanade

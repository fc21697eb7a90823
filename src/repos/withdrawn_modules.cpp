#include "repos/withdrawn_modules.h"

#include <map>
#include <set>
#include <string>

#include "repos/module_engine.h"
#include "repos/publisher_keys.h"
#include "repos/repository_fetch.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "util/text.h"

namespace kanade {

namespace {

std::map<std::string, std::vector<ModuleEntry>>& Noted() {
  static std::map<std::string, std::vector<ModuleEntry>> noted;
  return noted;
}

// Only a copy the program trusted is a record of what it installed.
bool IsInstallRecord(std::string_view local_name, std::string_view text) {
  return IsTrustedAs(CheckRepositoryText(text, CompiledPublisherKeys()),
                     PublishedNameOf(local_name), false);
}

std::vector<ModuleEntry> ModulesOf(std::string_view text) {
  std::vector<ModuleEntry> modules;
  for (const std::string& raw : SplitLines(text)) {
    if (auto entry = ParseModuleLine(SplitRepositoryLine(raw))) modules.push_back(*entry);
  }
  return modules;
}

}  // namespace

void NoteWithdrawnModules(std::string_view local_name, std::string_view old_text,
                          std::string_view new_text) {
  if (!IsInstallRecord(local_name, old_text)) return;
  std::set<std::string> kept;
  for (const ModuleEntry& entry : ModulesOf(new_text))
    kept.insert(ModulePathKey(entry.RelativePath));
  std::vector<ModuleEntry>& noted = Noted()[std::string(local_name)];
  for (ModuleEntry& entry : ModulesOf(old_text)) {
    if (!entry.Sha256.empty() && kept.count(ModulePathKey(entry.RelativePath)) == 0) {
      noted.push_back(std::move(entry));
    }
  }
}

std::vector<ModuleEntry> TakeWithdrawnModules(std::string_view local_name) {
  const auto it = Noted().find(std::string(local_name));
  if (it == Noted().end()) return {};
  std::vector<ModuleEntry> taken = std::move(it->second);
  Noted().erase(it);
  return taken;
}

std::vector<ModuleEntry> ModulesLeftBy(std::string_view local_name,
                                       const std::set<std::string>& listed) {
  std::vector<ModuleEntry> left = TakeWithdrawnModules(local_name);
  if (const auto text = ReadLocalRepository(local_name);
      text && IsInstallRecord(local_name, *text)) {
    for (ModuleEntry& entry : ModulesOf(*text)) left.push_back(std::move(entry));
  }
  std::erase_if(left, [&](const ModuleEntry& entry) {
    return entry.Sha256.empty() || listed.count(ModulePathKey(entry.RelativePath)) > 0;
  });
  return left;
}

}  // namespace kanade

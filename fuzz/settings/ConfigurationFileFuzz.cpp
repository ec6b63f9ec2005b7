// Feeds arbitrary bytes to the configuration loader as XML. The first byte picks the selector mode
// and the second the APO location, the rest is the document, loaded once. Besides memory safety it
// checks what a successful load promises: valid, uniquely findable modes, chains with processes,
// processes with tech ids, identity controls kept out of the lists.
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string_view>

#include "settings/QORAPOConfigurationFile.h"
#include "settings/QORXMLDocumentCache.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckMode(const QORAPOConfigurationFile& config,
               const std::shared_ptr<QORAPOOperatingMode>& mode) {
  Require(mode->GetModeIdentity().IsValid());
  Require(mode->GetPrivateControls().Find(QORAPOModeIdentity::kModeName) == nullptr);
  Require(mode->GetPrivateControls().Find(QORAPOModeIdentity::kSpeakerTypeName) == nullptr);
  for (const auto& [name, value] : mode->GetPrivateControls().Values()) {
    const QORUTSValue* merged = mode->GetControls().Find(name);
    Require(merged != nullptr && *merged == value);
  }
  for (const auto& [name, value] : mode->GetPublicControls().Values()) {
    Require(!name.empty() && !value.GetValueText().empty());
    Require(mode->GetControls().Find(name) != nullptr);
  }
  for (const ChainEntry& chain : mode->GetChainDefinition().GetEntries()) {
    Require(!chain.processes.empty());
    for (const ProcessEntry& process : chain.processes) Require(!process.techId.empty());
  }
  std::shared_ptr<QORAPOOperatingMode> found;
  config.FindOperatingMode(mode->GetModeIdentity(), found);
  Require(found != nullptr && found->GetModeIdentity() == mode->GetModeIdentity());
  found.reset();
  config.FindAutoMicMode(mode->GetModeIdentity(), found);
  Require(found != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Both known selector modes, unknown ones, each location and ones past them.
  constexpr uint32_t kSelectors[] = {0, 1, 2, 7, 0xFFFFFFFFu};
  constexpr uint32_t kLocations[] = {0, 1, 2, 3, 4, 5, 6, 0xFFFFFFFFu};
  if (size < 2) return 0;
  const uint32_t selectorMode = kSelectors[data[0] % std::size(kSelectors)];
  const uint32_t location = kLocations[data[1] % std::size(kLocations)];
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

  const std::shared_ptr<const tinyxml2::XMLDocument> document = QORXMLDocumentCache::Parse(text);
  QORAPOConfigurationFile config;
  const uint32_t code = config.LoadDocument(document.get(), selectorMode, location);
  Require(code == 0 || code == 2 || code == 3 || code == 6);
  Require(config.GetSelectorMode() == selectorMode);
  if (document == nullptr) Require(code == 6 && config.GetOperatingModes().empty());
  if (selectorMode > 1) Require(config.GetOperatingModes().empty());
  if (code == 0 && !config.GetOperatingModes().empty()) {
    Require(config.GetDefaultMode().IsValid());
  }
  for (const auto& mode : config.GetOperatingModes()) CheckMode(config, mode);
  return 0;
}

#include "settings/QORAPOChainDefinition.h"

namespace {

bool NamesLayout(uint32_t code) {
  return code != 0 && code != QORAPOChannelCode::kAnyLayout;
}

}  // namespace

bool QORAPOChainDefinition::FindChain(uint32_t inputCode, uint32_t outputCode, ChainEntry& out,
                                      bool render) const {
  if (!NamesLayout(inputCode) || !NamesLayout(outputCode)) return false;
  for (const ChainEntry& entry : entries_) {
    if ((entry.inputMask & inputCode) != 0 && (entry.outputMask & outputCode) != 0 &&
        entry.render == render) {
      out = entry;
      return true;
    }
  }
  return false;
}

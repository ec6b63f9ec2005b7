#pragma once

#include <cstdint>
#include <vector>

#include "settings/ProcessEntry.h"
#include "settings/QORAPOChannelCode.h"
#include "settings/QORUTSValueList.h"

// One chain of a mode: the layouts and direction it serves, its processes in order and its own
// controls, which override every other source when the chain is tuned. A plain value.
struct ChainEntry {
  uint32_t inputMask = QORAPOChannelCode::kAnyLayout;
  uint32_t outputMask = QORAPOChannelCode::kAnyLayout;
  bool render = true;
  std::vector<ProcessEntry> processes;
  QORUTSValueList controls;
};

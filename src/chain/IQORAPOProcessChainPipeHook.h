#pragma once

#include "audio/IQORAudioData.h"

// Side-chain exchange offered to a running chain: receive true fills data from the capture pipe,
// false hands data to it.
class IQORAPOProcessChainPipeHook {
 public:
  virtual ~IQORAPOProcessChainPipeHook() = default;
  virtual void OnPipeData(bool receive, IQORAudioData<float>& data) = 0;
};

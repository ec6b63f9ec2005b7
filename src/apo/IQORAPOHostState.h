#pragma once

#include <cstdint>

#include "platform/IUnknown.h"

struct QORAPOHostStateInfo {
  int32_t location;
  bool attached;
  bool ready;
  uint32_t rebuildCount;
  uint32_t switchState;
  int64_t latency;  // 10-ns units
  // The current chain's process list as one line, e.g. "Delay(480) > ZR3D > GEQ > Limiter", or
  // "bypassed".
  char chain[1024];
};

// What the host shell reports about an APO object and waits on; the engine never asks for it.
class IQORAPOHostState : public IUnknown {
 public:
  // Configuration thread, with no period running.
  virtual HRESULT GetHostState(QORAPOHostStateInfo* info) = 0;
  // Any. The rebuild count alone, for a host that checks it every period: no chain line is built.
  virtual HRESULT GetRebuildCount(uint32_t* count) = 0;
  // The thread that runs the periods, between two of them: the host paused the stream on
  // purpose, so the next period is not a stall and nothing is flushed. An offline host that waits
  // for a rebuild stays deterministic however slow the machine is.
  virtual HRESULT ContinueAfterPause() = 0;

 protected:
  ~IQORAPOHostState() = default;
};

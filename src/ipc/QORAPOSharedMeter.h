#pragma once

#include <cstdint>
#include <vector>

#include "endpoint/QORAPOEndpointInfo.h"

// Peak meter published to control applications in shared memory. Until the shared block exists
// a meter never opens, and updates report failure.
class QORAPOSharedMeter {
 public:
  virtual ~QORAPOSharedMeter() = default;

  virtual void Close() {}
  virtual bool OpenCreate(const QORAPOEndpointInfo& endpoint, uint32_t index);
  virtual bool IsOpen() const { return false; }
  // Write (read false) merges the levels as peaks; read (read true) fetches and clears them.
  virtual bool Update(std::vector<float>& values, bool read);
};

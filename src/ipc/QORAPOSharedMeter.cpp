#include "ipc/QORAPOSharedMeter.h"

#include <algorithm>

bool QORAPOSharedMeter::OpenCreate(const QORAPOEndpointInfo& /*endpoint*/, uint32_t /*index*/) {
  return false;
}

bool QORAPOSharedMeter::Update(std::vector<float>& values, bool read) {
  if (read) std::fill(values.begin(), values.end(), 0.0f);
  return false;
}

#include "chain/QORAPOLatencyCalculator.h"

bool QORAPOLatencyCalculator::Calculate() {
  latency_ = 0;
  return false;
}

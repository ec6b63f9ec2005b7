#pragma once

#include <cstdint>

// Finds the common latency of every chain an endpoint can build, in units of 10 ns. Until chains
// are built from the configuration there is nothing to measure and the latency is 0.
class QORAPOLatencyCalculator {
 public:
  virtual ~QORAPOLatencyCalculator() = default;

  bool Calculate();
  int64_t GetLatency() const { return latency_; }

 private:
  int64_t latency_ = 0;
};

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "endpoint/QORAPOEndpointInfo.h"
#include "settings/QORAPOOperatingMode.h"

class QORRegistryKey;

// Finds the common latency of an endpoint: the largest latency of any chain its configuration can
// build, in units of 10 ns. Every chain and the bypass are padded to it, so switching never shifts
// the audio in time. Building every chain is slow, so the result is cached under the endpoint's
// registry subkey for the configuration file's write time.
//
// Threads: the configuration thread (the manager's Initialize, at each lock). The chains it builds
// are its own, so it never touches a chain the worker or the real-time thread holds.
class QORAPOLatencyCalculator {
 public:
  static constexpr wchar_t kCacheIdValue[] = L"QorApoCfgLatencyCacheId";
  static constexpr wchar_t kLatencyValue[] = L"QorApoCfgLatency";
  // Chains are always measured at this rate.
  static constexpr uint32_t kMeasureRate = 44100;

  virtual ~QORAPOLatencyCalculator() = default;

  // Configuration: builds chains, reads and writes the registry, so it may take long.
  // True when the latency came from the cache or at least one chain was built. rate, when neither
  // 0 nor kMeasureRate, is measured as well: chains that resample there, or whose latencies round
  // to other frame counts, may need more time. Its result is cached under the value names
  // followed by ":" and the rate. positionSuffix, when not empty, is appended to both names too:
  // APOs at different positions of one endpoint share its subkey but not their chains.
  bool Calculate(const QORAPOEndpointInfo& endpoint,
                 const std::vector<std::shared_ptr<QORAPOOperatingMode>>& modes, uint32_t rate = 0,
                 const std::wstring& positionSuffix = std::wstring());
  // Configuration, after Calculate.
  int64_t GetLatency() const { return latency_; }

 protected:
  // From Calculate. What a calculation costs, through seams a test can count.
  virtual uint32_t ReadQword(const QORRegistryKey& key, const std::wstring& name, uint64_t* value);
  virtual uint64_t QueryFileTime(const std::wstring& path);

 private:
  // The largest latency of the chains built at rate; false when none was built.
  static bool Measure(const QORAPOEndpointInfo& endpoint,
                      const std::vector<std::shared_ptr<QORAPOOperatingMode>>& modes, uint32_t rate,
                      int64_t& latency);

  int64_t latency_ = 0;
};

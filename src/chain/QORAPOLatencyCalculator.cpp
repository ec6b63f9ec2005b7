#include "chain/QORAPOLatencyCalculator.h"

#include <algorithm>

#include "chain/QORAPOProcessChain.h"
#include "platform/QORFileTime.h"
#include "platform/QORRegistryKey.h"

namespace {

constexpr uint32_t kCodes[] = {1, 2, 4, 8};

}  // namespace

uint32_t QORAPOLatencyCalculator::ReadQword(const QORRegistryKey& key, const std::wstring& name,
                                            uint64_t* value) {
  return key.GetQword(name, value);
}

uint64_t QORAPOLatencyCalculator::QueryFileTime(const std::wstring& path) {
  return QORFileTime::GetWriteTime(path);
}

bool QORAPOLatencyCalculator::Measure(
    const QORAPOEndpointInfo& endpoint,
    const std::vector<std::shared_ptr<QORAPOOperatingMode>>& modes, uint32_t rate,
    int64_t& latency) {
  QORAPOProcessChain chain;
  QORAPOProcessChain::Request request;
  request.endpoint = endpoint;
  request.sampleRate = rate;
  bool built = false;
  for (const auto& mode : modes) {
    if (mode == nullptr) continue;
    request.mode = *mode;
    for (uint32_t input : kCodes) {
      for (uint32_t output : kCodes) {
        request.inputCode = input;
        request.outputCode = output;
        if (!chain.ConstructChain(request)) continue;
        built = true;
        // Chain latencies count frames at the endpoint rate.
        const int64_t value = int64_t{chain.latency} * QORAPOProcessChain::kUnitsPerSecond / rate;
        latency = std::max(latency, value);
      }
    }
  }
  return built;
}

bool QORAPOLatencyCalculator::Calculate(
    const QORAPOEndpointInfo& endpoint,
    const std::vector<std::shared_ptr<QORAPOOperatingMode>>& modes, uint32_t rate,
    const std::wstring& positionSuffix) {
  latency_ = 0;
  const bool extraRate = rate != 0 && rate != kMeasureRate;
  const std::wstring suffix =
      (extraRate ? L":" + std::to_wstring(rate) : std::wstring()) + positionSuffix;
  const std::wstring idName = kCacheIdValue + suffix;
  const std::wstring latencyName = kLatencyValue + suffix;

  QORRegistryKey key;
  uint64_t fileTime = 0;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, endpoint.GetRegistrySubkey(),
                           KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                           key) == ERROR_SUCCESS) {
    fileTime = QueryFileTime(endpoint.GetConfigurationPath());
    uint64_t cachedId = 0;
    uint64_t cached = 0;
    // A typed read refuses anything but an 8-byte QWORD.
    if (ReadQword(key, idName, &cachedId) == ERROR_SUCCESS && cachedId != 0 &&
        cachedId == fileTime && ReadQword(key, latencyName, &cached) == ERROR_SUCCESS) {
      latency_ = static_cast<int64_t>(cached);
      return true;
    }
  }

  int64_t latency = 0;
  bool built = Measure(endpoint, modes, kMeasureRate, latency);
  if (extraRate) built = Measure(endpoint, modes, rate, latency) || built;
  latency_ = latency;
  if (built && key.IsOpen()) {
    key.SetQword(idName, fileTime);
    key.SetQword(latencyName, static_cast<uint64_t>(latency));
  }
  return built;
}

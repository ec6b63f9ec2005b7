#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/IQORDeviceTopologyService.h"
#include "platform/QORGuid.h"

namespace qortest {

// A Skylake-style DSP behind the device-topology services: one render endpoint whose connector
// leads through an adapter's topology filter (a connector, an input selector, a connector) to a
// wave filter (a connector with the audio-engine node, then the host's software I/O connector).
// The wave filter answers the audio-engine descriptor and the post-processing requests from the
// configuration below. Install it with QORDriverServices::Install; change the configuration only
// while no query runs.
class FakeDeviceTopology : public IQORDeviceTopologyService {
 public:
  struct ModuleRecord {
    uint32_t type = 1;
    GUID id{};
    std::string name;     // up to 64 bytes; 64 leaves no NUL
    std::string version;  // likewise
  };
  struct Request {
    std::vector<uint8_t> property;
    uint32_t dataLength = 0;
  };

  static constexpr uint32_t kNodeLocalId = 0x00010004;  // node 4 on the wave filter

  FakeDeviceTopology();
  ~FakeDeviceTopology() override;

  // The render endpoint's id; another, non-matching render endpoint comes before it.
  std::wstring endpointId =
      L"{e1cf177b-af91-4f37-adcf6c1e6cb24d60}.{5e0a1c2d-0000-4000-8000-000000000001}";
  bool endpointPresent = true;
  bool createEnumeratorFails = false;
  bool topologyActivationFails = false;  // the endpoint's device has no topology
  bool ksActivationFails = false;        // the wave filter gives no kernel-streaming control
  bool descriptorFails = false;
  uint32_t offloadPin = 2;
  HRESULT versionResult = S_OK;
  uint8_t version[5] = {1, 0, 0, 0, 7};
  std::vector<ModuleRecord> modules;
  // When not empty, the module-list answer as is (sizes and counts as written).
  std::vector<uint8_t> rawModuleList;
  // Parameter data by id; the answer is its stated size then the data. Absent ids fail.
  std::map<uint32_t, std::vector<uint8_t>> parameters;
  bool overrideStatedSize = false;
  uint32_t statedSize = 0;

  HRESULT CreateDeviceEnumerator(IMMDeviceEnumerator** enumerator) override;

  // The input selector's input leads back to the selector itself: a walk never reaches a filter.
  void LoopTheSelector();

  // Post-processing requests received by the wave filter (descriptor requests not included).
  std::vector<Request> Requests();
  // The module list as this configuration answers it.
  std::vector<uint8_t> ModuleListAnswer();
  // Answers one property request as the driver would (used by the wave filter's control).
  HRESULT Answer(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength,
                 uint32_t* returned);

  struct Graph;

 private:
  std::mutex lock_;
  std::vector<Request> requests_;
  Graph* graph_;
};

}  // namespace qortest

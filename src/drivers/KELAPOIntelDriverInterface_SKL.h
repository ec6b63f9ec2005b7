#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/IKsControl.h"
#include "platform/IMMDevice.h"
#include "platform/IMMDeviceEnumerator.h"
#include "platform/IPart.h"
#include "platform/QORComPtr.h"
#include "platform/QORGuid.h"

// The conversation with the Skylake DSP's post-processing module: kernel-streaming properties on
// the wave filter found by walking the device topology of one render endpoint. Every answer is
// the driver's data: sizes and counts are checked against what arrived before anything is read.
//
// Threads: the configuration thread. GetEffectsList makes one for its call and drops it; every
// operation waits on the driver, so none belongs on the real-time thread.
class KELAPOIntelDriverInterface_SKL {
 public:
  static constexpr GUID kModuleId = {
      0xE1284052, 0xF064, 0x4FE4, {0xA3, 0xD3, 0x38, 0x78, 0xF7, 0x27, 0x04, 0xC3}};
  static constexpr GUID kPropertySet = {
      0xBAE9CE37, 0xAA99, 0x4BC7, {0x9B, 0xDF, 0x4C, 0xBF, 0x3D, 0x23, 0xE1, 0xB9}};
  static constexpr GUID kSecondId = {
      0xC18E2F7E, 0x933D, 0x4965, {0xB1, 0xD1, 0x1E, 0xEF, 0x22, 0x8D, 0x2A, 0xF3}};
  static constexpr GUID kAudioEngineSet = {
      0x3A2F82DC, 0x886F, 0x4BAA, {0x9E, 0xB4, 0x08, 0x2B, 0x90, 0x25, 0xC5, 0x36}};
  static constexpr const wchar_t* kEndpointPrefix = L"{e1cf177b-af91-4f37-adcf6c1e6cb24d60}";

  static constexpr uint32_t kPropVersion = 0;
  static constexpr uint32_t kPropModuleList = 1;
  static constexpr uint32_t kPropGetParameter = 3;
  static constexpr uint32_t kPropRegisterEvent = 4;
  static constexpr uint32_t kPropUnregisterEvent = 5;
  static constexpr uint32_t kAudioEngineDescriptor = 6;

  static constexpr uint32_t kVersionRequestSize = 32;
  static constexpr uint32_t kModuleListRequestSize = 48;
  static constexpr uint32_t kRegisterRequestSize = 68;
  static constexpr uint32_t kParameterRequestSize = 73;
  static constexpr uint32_t kVersionAnswerSize = 5;
  static constexpr uint32_t kModuleListHeader = 8;
  static constexpr uint32_t kModuleRecordSize = 148;
  static constexpr uint32_t kParameterDataMax = 64000;
  static constexpr uint32_t kAnswerSize = 4 + kParameterDataMax;
  static constexpr uint32_t kDescriptorRequestSize = 32;
  static constexpr uint32_t kDescriptorAnswerSize = 12;

  // Configuration. Finds the module; status receives the result (S_OK only when the module is
  // active). The destructor unregisters the event.
  explicit KELAPOIntelDriverInterface_SKL(HRESULT* status);
  virtual ~KELAPOIntelDriverInterface_SKL();
  KELAPOIntelDriverInterface_SKL(const KELAPOIntelDriverInterface_SKL&) = delete;
  KELAPOIntelDriverInterface_SKL& operator=(const KELAPOIntelDriverInterface_SKL&) = delete;

  // Configuration; calls from two threads take turns over the answer buffer.
  // Copies the answer's data to data. False without a module, when the request failed, when the
  // answer states more data than arrived or than the caller's buffer holds (nothing is copied).
  bool GetParameter(HRESULT* status, uint32_t parameterId, void* data, uint32_t size);

  // Configuration. Feature queries: true when the call succeeded, the status is S_OK and the tested
  // word is not 0.
  bool Query10014405Offset16();
  bool Query10014404();
  bool Query10014405Offset0();
  bool Query10014402();
  bool Query1001440B();
  // A direct read under the same conditions, testing the first word.
  bool ReadParameterWord0(uint32_t parameterId, uint32_t size);

  // Configuration (the destructor).
  void UnregisterEvent();
  // Configuration (GetParameter): traces the bytes.
  void DumpBuffer(const void* data, uint32_t size);

  // Configuration: fixed by the constructor.
  uint32_t ModuleType() const { return moduleType_; }
  const std::string& ModuleName() const { return moduleName_; }
  const std::string& ModuleVersion() const { return moduleVersion_; }
  bool HasControl() const { return static_cast<bool>(control_); }
  uint32_t NodeId() const { return nodeId_; }

  // Any. Request layouts, shared with the tests that play the driver.
  static std::vector<uint8_t> BuildRequest(uint32_t propertyId, uint32_t flags, uint32_t nodeId,
                                           uint32_t length, uint32_t moduleType,
                                           uint32_t parameterId);

 private:
  HRESULT ActivateIKsControls();
  HRESULT WalkParts(IPart* start, EDataFlow flow, IMMDeviceEnumerator* enumerator,
                    QORComPtr<IKsControl>* filter, int depth);
  HRESULT ReadOffloadPin(IPart* part, IMMDeviceEnumerator* enumerator);
  HRESULT TryNode(IKsControl* control, uint32_t nodeId);
  bool QueryWord(uint32_t parameterId, uint32_t size, uint32_t offset, uint32_t* word);
  void Log(const char* function, int line);

  QORComPtr<IMMDevice> device_;
  QORComPtr<IKsControl> control_;
  GUID moduleId_ = kModuleId;
  std::wstring prefix_ = kEndpointPrefix;
  uint32_t versionWord_ = 0;
  uint8_t versionByte4_ = 0;
  uint32_t versionRead_ = 0;
  uint32_t nodeId_ = 0;
  uint64_t eventHandle_ = 0;
  bool eventRegistered_ = false;
  std::string moduleName_;
  std::string moduleVersion_;
  uint32_t moduleType_ = 0;
  uint32_t moduleListRead_ = 0;
  std::vector<uint8_t> moduleList_;
  std::set<uint32_t> offloadPins_;
  std::ostringstream log_;
  // The answer buffer, allocated once with the object; the lock keeps queries on one object
  // from sharing it at the same time.
  std::vector<uint8_t> answer_;
  std::mutex answerLock_;
};

#pragma once

#include <string>
#include <vector>

#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORGuid.h"
#include "platform/QORMMDeviceTypes.h"

// Finding the render endpoint a run uses, and the demonstration endpoint of scripts/run.sh.
class QORHostEndpointSetup {
 public:
  // The demonstration endpoint's identity and name.
  static constexpr GUID kDemoEndpoint = {
      0x0DE30001, 0x51A7, 0x4C0E, {0x9A, 0x0D, 0x7E, 0x4D, 0x00, 0x00, 0x00, 0x01}};
  static constexpr wchar_t kDemoName[] = L"QOR Demo Speakers";
  // The demonstration microphone: a capture endpoint with the same configuration, running the
  // module's capture class, whose side chain the speakers' readers receive.
  static constexpr GUID kDemoMicrophone = {
      0x0DE30001, 0x51A7, 0x4C0E, {0x9A, 0x0D, 0x7E, 0x4D, 0x00, 0x00, 0x00, 0x02}};
  static constexpr wchar_t kDemoMicrophoneName[] = L"QOR Demo Microphone";

  // An endpoint record as `qorapo endpoint add` and device following write it.
  struct NewEndpoint {
    EDataFlow flow = eRender;
    GUID guid = GUID_NULL;
    std::string name;
    std::string configuration;  // its XML configuration, an absolute path
    CLSID classes[QORAPOEndpointInfo::kPositionCount] = {};
    uint32_t state = DEVICE_STATE_ACTIVE;
    bool makeDefault = false;
    std::string device;  // the PipeWire node it plays into or records from; empty: none
  };

  // The module's class for a graph position: its render classes, and for a capture endpoint's
  // local-effect position its capture class.
  static const CLSID& ClassForLocation(int location, EDataFlow flow = eRender);
  // One "POSITION[=CLSID]" into classes (indexed by location); without a CLSID, the module's
  // class for the position. False with the reason.
  static bool ParseEffect(const std::string& item, EDataFlow flow, CLSID* classes,
                          std::string* error);
  // Loads the configuration, then writes the record (inactive until it is complete, so that no
  // reader sees half of it), its properties and its settings key. False with the reason.
  static bool Write(const NewEndpoint& endpoint, std::string* error);
  // The GUID of a PipeWire device's endpoint: always the same for the same node name, so that
  // a device that comes back finds its controls, modes and tuning again.
  static GUID DeviceGuid(EDataFlow flow, const std::string& node);
  // A new random (version 4) GUID.
  static GUID NewGuid();
  // The PipeWire node an endpoint belongs to, or empty.
  static std::string DeviceNode(EDataFlow flow, const GUID& guid);
  // "PreBlue", "SFX", ... for 0 to 5.
  static const char* LocationName(int location);

  // An active render endpoint by friendly name (case-insensitive) or GUID text (braces optional);
  // empty text takes the default one. False with a message listing the known endpoints.
  static bool Find(const std::string& text, QORAPOEndpointInfo* out, std::string* error);
  // Any endpoint of the store, render or capture, in any state, by friendly name
  // (case-insensitive) or GUID text (braces optional). False with a message naming the known ones.
  static bool FindRecord(const std::string& text, QOREndpointRecord* out, std::string* error);
  // The render endpoint's friendly name.
  static std::string Name(const GUID& endpoint);
  static std::string RecordName(const QOREndpointRecord& record);
  // "active", "disabled", "not present" or "unplugged".
  static const char* StateName(uint32_t state);
  // "name {guid}" for each active render endpoint.
  static std::vector<std::string> Describe();

  // Adds (or refreshes) the demonstration endpoint in the current state root: the configuration
  // file as its configuration path, the module's classes at SFX, MFX and EFX in its FX properties,
  // its settings key, and techPath (when given) as the technology library it uses. The
  // demonstration microphone gets the same, with the capture class at the local-effect position.
  static bool SetUpDemo(const std::wstring& configurationPath, const std::wstring& techPath,
                        std::string* error);
};

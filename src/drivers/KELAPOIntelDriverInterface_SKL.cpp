#include "drivers/KELAPOIntelDriverInterface_SKL.h"

#include <cstring>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "drivers/QORDriverBytes.h"
#include "platform/IAudioInputSelector.h"
#include "platform/IAudioOutputSelector.h"
#include "platform/IDeviceTopology.h"
#include "platform/IMMEndpoint.h"
#include "platform/QORComApi.h"
#include "platform/QORDriverServices.h"

namespace {

constexpr const char* kSklFile = "KELAPOIntelDriverInterface_SKL";
constexpr const char* kActivate = "KELAPOIntelDriverInterface_SKL::ActivateIKsControls";
constexpr const char* kWalk = "KELAPOIntelDriverInterface_SKL::WalkParts";
constexpr const char* kNode = "KELAPOIntelDriverInterface_SKL::TryNode";
constexpr const char* kGet = "KELAPOIntelDriverInterface_SKL::GetParameter";
// A topology is the driver's data too: a walk that goes deeper than any real filter chain is
// taken for a loop.
constexpr int kMaxWalkDepth = 32;
// The largest module list accepted (far above any real module count).
constexpr uint32_t kMaxModuleList = 1u << 20;
constexpr HRESULT kMoreData = HRESULT_FROM_WIN32(234);      // ERROR_MORE_DATA
constexpr HRESULT kInsufficient = HRESULT_FROM_WIN32(122);  // ERROR_INSUFFICIENT_BUFFER

std::string Narrow(const wchar_t* text) {
  return text != nullptr ? QORWideToUtf8(text) : std::string();
}

bool StartsWithNoCase(const wchar_t* id, const std::wstring& prefix) {
  if (id == nullptr) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    wchar_t a = id[i];
    wchar_t b = prefix[i];
    if (a == L'\0') return false;
    if (a >= L'A' && a <= L'Z') a = static_cast<wchar_t>(a - L'A' + L'a');
    if (b >= L'A' && b <= L'Z') b = static_cast<wchar_t>(b - L'A' + L'a');
    if (a != b) return false;
  }
  return true;
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case 0:
      return "SFX";
    case 1:
      return "MFX";
    case 2:
      return "EFX";
    default:
      return "Unknown module type";
  }
}

}  // namespace

KELAPOIntelDriverInterface_SKL::KELAPOIntelDriverInterface_SKL(HRESULT* status)
    : answer_(kAnswerSize, 0) {
  const HRESULT hr = ActivateIKsControls();
  if (status != nullptr) *status = hr;
}

KELAPOIntelDriverInterface_SKL::~KELAPOIntelDriverInterface_SKL() {
  UnregisterEvent();
}

void KELAPOIntelDriverInterface_SKL::Log(const char* function, int line) {
  const std::string text = log_.str();
  log_.str(std::string());
  QORTrace({kSklFile, line, function}, "%s", text.c_str());
}

std::vector<uint8_t> KELAPOIntelDriverInterface_SKL::BuildRequest(uint32_t propertyId,
                                                                  uint32_t flags, uint32_t nodeId,
                                                                  uint32_t length,
                                                                  uint32_t moduleType,
                                                                  uint32_t parameterId) {
  std::vector<uint8_t> request(length, 0);
  QORDriverBytes::PutGuid(request.data(), kPropertySet);
  QORDriverBytes::PutU32(request.data() + 16, propertyId);
  QORDriverBytes::PutU32(request.data() + 20, flags);
  QORDriverBytes::PutU32(request.data() + 24, nodeId);
  if (length >= 48) QORDriverBytes::PutGuid(request.data() + 32, kSecondId);
  if (length >= 68) {
    QORDriverBytes::PutU32(request.data() + 48, moduleType);
    QORDriverBytes::PutGuid(request.data() + 52, kModuleId);
  }
  if (length >= 73) QORDriverBytes::PutU32(request.data() + 68, parameterId);
  return request;
}

HRESULT KELAPOIntelDriverInterface_SKL::ActivateIKsControls() {
  QORComPtr<IMMDeviceEnumerator> enumerator;
  HRESULT hr = QORDriverServices::TopologyService().CreateDeviceEnumerator(enumerator.Put());
  if (FAILED(hr) || !enumerator) {
    log_ << "Failed to initialize COM device interface!";
    Log(kActivate, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  QORComPtr<IMMDeviceCollection> devices;
  hr = enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, devices.Put());
  if (FAILED(hr) || !devices) {
    log_ << "EnumAudioEndpoints failed!";
    Log(kActivate, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  uint32_t count = 0;
  hr = devices->GetCount(&count);
  if (FAILED(hr)) {
    log_ << "GetCount for devices list failed!";
    Log(kActivate, __LINE__);
    return hr;
  }
  log_ << "Devices count: " << count;
  Log(kActivate, __LINE__);

  HRESULT result = E_FAIL;
  for (uint32_t index = 0; index < count; ++index) {
    QORComPtr<IMMDevice> device;
    hr = devices->Item(index, device.Put());
    if (FAILED(hr) || !device) {
      log_ << "Failed to get device from collection!";
      Log(kActivate, __LINE__);
      result = FAILED(hr) ? hr : E_FAIL;
      continue;
    }
    wchar_t* id = nullptr;
    hr = device->GetId(&id);
    if (FAILED(hr) || id == nullptr) {
      log_ << "Failed to get device id!";
      Log(kActivate, __LINE__);
      result = FAILED(hr) ? hr : E_FAIL;
      continue;
    }
    log_ << "Matching device id: " << Narrow(id) << " against: " << Narrow(prefix_.c_str());
    Log(kActivate, __LINE__);
    const bool match = StartsWithNoCase(id, prefix_);
    CoTaskMemFree(id);
    if (!match) {
      log_ << "Device id not match, skipping device";
      Log(kActivate, __LINE__);
      continue;
    }
    log_ << "Matching device id found.";
    Log(kActivate, __LINE__);

    QORComPtr<IMMEndpoint> endpoint;
    hr = device->QueryInterface(IID_IMMEndpoint, endpoint.PutVoid());
    if (FAILED(hr) || !endpoint) {
      log_ << "Endpoint interface query failed! " << std::hex << hr << std::dec;
      Log(kActivate, __LINE__);
      result = FAILED(hr) ? hr : E_FAIL;
      continue;
    }
    EDataFlow flow = eRender;
    hr = endpoint->GetDataFlow(&flow);
    if (FAILED(hr)) {
      log_ << "GetDataFlow failed! " << std::hex << hr << std::dec;
      Log(kActivate, __LINE__);
      result = hr;
      continue;
    }
    QORComPtr<IDeviceTopology> topology;
    hr = device->Activate(IID_IDeviceTopology, CLSCTX_ALL, nullptr, topology.PutVoid());
    if (FAILED(hr) || !topology) {
      log_ << "Error: Device activation failed! " << std::hex << hr << std::dec;
      Log(kActivate, __LINE__);
      result = FAILED(hr) ? hr : E_FAIL;
      continue;
    }

    // The endpoint's connectors lead to the adapter; behind them lies the wave filter.
    QORComPtr<IKsControl> filter;
    offloadPins_.clear();
    uint32_t connectors = 1;
    if (FAILED(topology->GetConnectorCount(&connectors))) connectors = 1;
    bool found = false;
    for (uint32_t c = 0; c < connectors && !found; ++c) {
      QORComPtr<IConnector> connector;
      hr = topology->GetConnector(c, connector.Put());
      if (FAILED(hr) || !connector) {
        log_ << "GetConnector failed! " << std::hex << hr << std::dec;
        Log(kActivate, __LINE__);
        break;
      }
      log_ << "--- next connector ---";
      Log(kActivate, __LINE__);
      int32_t connected = 0;
      hr = connector->IsConnected(&connected);
      if (FAILED(hr)) {
        log_ << "Connector IsConnected failed! " << std::hex << hr << std::dec;
        Log(kActivate, __LINE__);
        break;
      }
      ConnectorType type = Unknown_Connector;
      hr = connector->GetType(&type);
      if (FAILED(hr)) {
        log_ << "Connector GetType failed! " << std::hex << hr << std::dec;
        Log(kActivate, __LINE__);
        break;
      }
      if (!connected) continue;
      QORComPtr<IConnector> deviceSide;
      QORComPtr<IPart> part;
      hr = connector->GetConnectedTo(deviceSide.Put());
      if (SUCCEEDED(hr) && deviceSide) hr = deviceSide->QueryInterface(IID_IPart, part.PutVoid());
      if (FAILED(hr) || !part) {
        log_ << "Failed to query next connector IPart interface! " << std::hex << hr << std::dec;
        Log(kActivate, __LINE__);
        break;
      }
      hr = WalkParts(part.Get(), flow, enumerator.Get(), &filter, 0);
      if (hr == S_OK && filter) {
        found = true;
      } else {
        log_ << "Device does not match.";
        Log(kActivate, __LINE__);
      }
    }
    if (!found) {
      log_ << "Failed to find connector part!";
      Log(kActivate, __LINE__);
      result = E_FAIL;
      continue;
    }
    log_ << "End of connectors. Found Software_IO.";
    Log(kActivate, __LINE__);

    result = E_FAIL;
    for (uint32_t pin : offloadPins_) {
      result = TryNode(filter.Get(), pin);
      if (result == S_OK) break;
    }
    if (result != S_OK) continue;
    device_ = device;

    if (eventHandle_ != 0) {
      std::vector<uint8_t> request = BuildRequest(kPropRegisterEvent, KSPROPERTY_TYPE_SET, nodeId_,
                                                  kRegisterRequestSize, moduleType_, 0);
      uint64_t handle = eventHandle_;
      uint32_t returned = 0;
      hr = control_->KsProperty(request.data(), kRegisterRequestSize, &handle, sizeof handle,
                                &returned);
      if (FAILED(hr)) {
        log_ << "Error: RegisterModuleEvent() failed! \n";
        Log(kActivate, __LINE__);
        return E_FAIL;
      }
      eventRegistered_ = true;
    } else {
      log_ << "Warning: Event handle not opened.  Skipping event register.\n";
      Log(kActivate, __LINE__);
    }
    log_ << "--- OK: Matching GUID found! SST PP module is active and ready. ---\n";
    Log(kActivate, __LINE__);
    return S_OK;
  }
  return result;
}

HRESULT KELAPOIntelDriverInterface_SKL::WalkParts(IPart* start, EDataFlow flow,
                                                  IMMDeviceEnumerator* enumerator,
                                                  QORComPtr<IKsControl>* filter, int depth) {
  if (depth > kMaxWalkDepth) return E_FAIL;
  // Towards the stream's source: upstream of a render endpoint are the incoming parts.
  QORComPtr<IPartsList> parts;
  HRESULT hr = flow == eRender ? start->EnumPartsIncoming(parts.Put())
                               : start->EnumPartsOutgoing(parts.Put());
  if (FAILED(hr) || !parts) {
    log_ << "EnumParts failed. Result: 0x" << std::hex << hr << std::dec
         << " This is error is expected.";
    Log(kWalk, __LINE__);
    return E_FAIL;
  }
  uint32_t count = 0;
  hr = parts->GetCount(&count);
  if (FAILED(hr)) {
    log_ << "Failed to retrieve count of the outgoing/incoming parts! Result: 0x" << std::hex << hr
         << std::dec;
    Log(kWalk, __LINE__);
    return hr;
  }
  if (count == 0) {
    log_ << "No parts were found!";
    Log(kWalk, __LINE__);
    return E_FAIL;
  }
  HRESULT result = E_FAIL;
  for (uint32_t index = 0; index < count; ++index) {
    QORComPtr<IPart> part;
    hr = parts->GetPart(index, part.Put());
    if (FAILED(hr) || !part) {
      log_ << "Failed to retrieve next part from incoming parts! Result: 0x" << std::hex << hr
           << std::dec;
      Log(kWalk, __LINE__);
      return FAILED(hr) ? hr : E_FAIL;
    }
    PartType type = Subunit;
    hr = part->GetPartType(&type);
    if (FAILED(hr)) {
      log_ << "GetPartType failed! Result: 0x" << std::hex << hr << std::dec;
      Log(kWalk, __LINE__);
      return hr;
    }
    uint32_t localId = 0;
    hr = part->GetLocalId(&localId);
    if (FAILED(hr)) {
      log_ << "IPart interface GetLocalId failed! Result: 0x" << std::hex << hr << std::dec;
      Log(kWalk, __LINE__);
      return hr;
    }
    if (type == Subunit) {
      QORComPtr<IAudioInputSelector> input;
      QORComPtr<IAudioOutputSelector> output;
      if (SUCCEEDED(part->Activate(CLSCTX_ALL, IID_IAudioInputSelector, input.PutVoid())) &&
          input) {
        log_ << "Input selector activated";
        Log(kWalk, __LINE__);
        uint32_t selected = 0;
        hr = input->GetSelection(&selected);
        if (FAILED(hr)) {
          log_ << "Failed to select input selector! Result: 0x" << std::hex << hr << std::dec;
          Log(kWalk, __LINE__);
        }
      } else if (SUCCEEDED(
                     part->Activate(CLSCTX_ALL, IID_IAudioOutputSelector, output.PutVoid())) &&
                 output) {
        log_ << "Output selector activated";
        Log(kWalk, __LINE__);
        uint32_t selected = 0;
        hr = output->GetSelection(&selected);
        if (FAILED(hr)) {
          log_ << "Failed to select output selector! Result: 0x" << std::hex << hr << std::dec;
          Log(kWalk, __LINE__);
        }
      }
      result = WalkParts(part.Get(), flow, enumerator, filter, depth + 1);
      if (result == S_OK) return S_OK;
      continue;
    }

    QORComPtr<IConnector> connector;
    hr = part->QueryInterface(IID_IConnector, connector.PutVoid());
    if (FAILED(hr) || !connector) {
      log_ << "Connector QueryInterfacet failed!";
      Log(kWalk, __LINE__);
      continue;
    }
    ConnectorType connectorType = Unknown_Connector;
    hr = connector->GetType(&connectorType);
    if (FAILED(hr)) {
      log_ << "IConnector GetType failed! " << std::hex << hr << std::dec;
      Log(kWalk, __LINE__);
      return hr;
    }
    if (connectorType == Software_IO) {
      // The host's pin of the wave filter: the filter itself answers the module's properties.
      QORComPtr<IDeviceTopology> wave;
      hr = part->GetTopologyObject(wave.Put());
      if (FAILED(hr) || !wave) {
        log_ << "Failed to retrieve wave filer device! " << std::hex << hr << std::dec;
        Log(kWalk, __LINE__);
        return FAILED(hr) ? hr : E_FAIL;
      }
      wchar_t* waveId = nullptr;
      hr = wave->GetDeviceId(&waveId);
      if (FAILED(hr) || waveId == nullptr) {
        log_ << "GetDeviceId failed! " << std::hex << hr << std::dec;
        Log(kWalk, __LINE__);
        return FAILED(hr) ? hr : E_FAIL;
      }
      QORComPtr<IMMDevice> waveDevice;
      hr = enumerator->GetDevice(waveId, waveDevice.Put());
      CoTaskMemFree(waveId);
      if (SUCCEEDED(hr) && waveDevice) {
        hr = waveDevice->Activate(IID_IKsControl, CLSCTX_ALL, nullptr, filter->PutVoid());
      }
      if (FAILED(hr) || !*filter) {
        filter->Reset();
        log_ << "Activate ks control failed! " << std::hex << hr << std::dec;
        Log(kWalk, __LINE__);
        return FAILED(hr) ? hr : E_FAIL;
      }
      return S_OK;
    }
    int32_t connected = 0;
    if (FAILED(connector->IsConnected(&connected)) || !connected) continue;
    QORComPtr<IConnector> next;
    QORComPtr<IPart> nextPart;
    hr = connector->GetConnectedTo(next.Put());
    if (FAILED(hr) || !next) {
      log_ << "Connector GetConnectedTo failed! " << std::hex << hr << std::dec;
      Log(kWalk, __LINE__);
      return FAILED(hr) ? hr : E_FAIL;
    }
    hr = next->QueryInterface(IID_IPart, nextPart.PutVoid());
    if (FAILED(hr) || !nextPart) {
      log_ << "Failed to query next connector IPart interface! " << std::hex << hr << std::dec;
      Log(kWalk, __LINE__);
      return FAILED(hr) ? hr : E_FAIL;
    }
    log_ << "End of parts; replacing connector";
    Log(kWalk, __LINE__);
    hr = ReadOffloadPin(nextPart.Get(), enumerator);
    if (FAILED(hr)) return hr;
    result = WalkParts(nextPart.Get(), flow, enumerator, filter, depth + 1);
    if (result == S_OK) return S_OK;
  }
  return result;
}

HRESULT KELAPOIntelDriverInterface_SKL::ReadOffloadPin(IPart* part,
                                                       IMMDeviceEnumerator* enumerator) {
  log_ << "Trying to read offload pin id...";
  Log(kWalk, __LINE__);
  QORComPtr<IDeviceTopology> topology;
  HRESULT hr = part->GetTopologyObject(topology.Put());
  if (FAILED(hr) || !topology) {
    log_ << "GetTopologyObject failed! Result: 0x" << std::hex << hr << std::dec;
    Log(kWalk, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  wchar_t* id = nullptr;
  hr = topology->GetDeviceId(&id);
  if (FAILED(hr) || id == nullptr) {
    log_ << "GetDeviceId failed! Result: 0x" << std::hex << hr << std::dec;
    Log(kWalk, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  QORComPtr<IMMDevice> device;
  hr = enumerator->GetDevice(id, device.Put());
  CoTaskMemFree(id);
  if (FAILED(hr) || !device) {
    log_ << "GetDevice failed! Result: 0x" << std::hex << hr << std::dec;
    Log(kWalk, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  QORComPtr<IKsControl> control;
  hr = device->Activate(IID_IKsControl, CLSCTX_ALL, nullptr, control.PutVoid());
  if (FAILED(hr) || !control) {
    log_ << "Failed to activate IKsControl interface! Result: 0x" << std::hex << hr << std::dec;
    Log(kWalk, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  uint32_t localId = 0;
  hr = part->GetLocalId(&localId);
  if (FAILED(hr)) {
    log_ << "Warning, failed to retrieve node id! Result: 0x" << std::hex << hr << std::dec;
    Log(kWalk, __LINE__);
    return hr;
  }
  uint8_t request[kDescriptorRequestSize] = {};
  QORDriverBytes::PutGuid(request, kAudioEngineSet);
  QORDriverBytes::PutU32(request + 16, kAudioEngineDescriptor);
  QORDriverBytes::PutU32(request + 20, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY);
  QORDriverBytes::PutU32(request + 24, localId & 0xFFFFu);
  uint8_t answer[kDescriptorAnswerSize] = {};
  uint32_t returned = 0;
  hr = control->KsProperty(request, kDescriptorRequestSize, answer, kDescriptorAnswerSize,
                           &returned);
  // Host, offload and loopback pin ids; only a whole answer names the offload pin.
  if (SUCCEEDED(hr) && returned < kDescriptorAnswerSize) hr = E_FAIL;
  if (FAILED(hr)) {
    log_ << "Warning, failed to retrieve pin id! Result: 0x" << std::hex << hr << std::dec;
    Log(kWalk, __LINE__);
    return hr;
  }
  offloadPins_.insert(QORDriverBytes::GetU32(answer + 4));
  return S_OK;
}

HRESULT KELAPOIntelDriverInterface_SKL::TryNode(IKsControl* control, uint32_t nodeId) {
  nodeId_ = nodeId;
  log_ << "Using pin id: " << nodeId;
  Log(kNode, __LINE__);
  log_ << "Testing PP API; comparing versions...";
  Log(kNode, __LINE__);
  std::vector<uint8_t> request =
      BuildRequest(kPropVersion, KSPROPERTY_TYPE_GET, nodeId, kVersionRequestSize, 0, 0);
  uint8_t version[kVersionAnswerSize] = {};
  uint32_t returned = 0;
  HRESULT hr = control->KsProperty(request.data(), kVersionRequestSize, version, kVersionAnswerSize,
                                   &returned);
  if (FAILED(hr) || returned < kVersionAnswerSize) {
    versionRead_ = 0;
    log_ << "Error Failed to retrieve version!";
    Log(kNode, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  versionWord_ = QORDriverBytes::GetU32(version);
  versionByte4_ = version[4];
  versionRead_ = 1;
  if (version[0] != 1) {
    log_ << "Error: API Version mismatch: 0x" << std::hex << static_cast<unsigned>(version[0])
         << std::dec;
    Log(kNode, __LINE__);
    return E_FAIL;
  }
  log_ << "OK: API Version matched: 0x" << 1;
  Log(kNode, __LINE__);

  log_ << "Obtaining modules list...";
  Log(kNode, __LINE__);
  request =
      BuildRequest(kPropModuleList, KSPROPERTY_TYPE_GET, nodeId, kModuleListRequestSize, 0, 0);
  uint32_t needed = 0;
  hr = control->KsProperty(request.data(), kModuleListRequestSize, nullptr, 0, &needed);
  const bool sized = SUCCEEDED(hr) || hr == kMoreData || hr == kInsufficient;
  if (!sized || needed < kModuleListHeader || needed > kMaxModuleList) {
    log_ << "Error: Failed to retrieve modules list! " << std::hex << hr << std::dec;
    Log(kNode, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  moduleList_.assign(needed, 0);
  returned = 0;
  hr = control->KsProperty(request.data(), kModuleListRequestSize, moduleList_.data(), needed,
                           &returned);
  if (FAILED(hr) || returned < kModuleListHeader || returned > needed) {
    moduleList_.clear();
    log_ << "Error: Failed to read modules list!";
    Log(kNode, __LINE__);
    return FAILED(hr) ? hr : E_FAIL;
  }
  const uint32_t total = QORDriverBytes::GetU32(moduleList_.data());
  const uint32_t count = QORDriverBytes::GetU32(moduleList_.data() + 4);
  // The stated size and count are the driver's word: neither may reach past what arrived.
  if (total > returned ||
      kModuleListHeader + static_cast<uint64_t>(count) * kModuleRecordSize > total) {
    log_ << "Error: Modules list states " << total << " bytes and " << count << " modules, but "
         << returned << " bytes arrived!";
    Log(kNode, __LINE__);
    moduleList_.clear();
    return E_FAIL;
  }
  moduleListRead_ = 1;
  log_ << "Modules count: " << count << ", modules size: " << total;
  Log(kNode, __LINE__);

  const uint8_t* record = moduleList_.data() + kModuleListHeader;
  for (uint32_t index = 0; index < count; ++index, record += kModuleRecordSize) {
    const uint32_t type = QORDriverBytes::GetU32(record);
    const GUID id = QORDriverBytes::GetGuid(record + 4);
    moduleName_ = QORDriverBytes::FieldText(record + 20, 64);
    moduleVersion_ = QORDriverBytes::FieldText(record + 84, 64);
    std::wstring text = QORGuidToString(id);
    log_ << "Module id:" << QORWideToUtf8(text) << ", type " << TypeName(type) << ", version "
         << moduleVersion_ << ", name " << moduleName_;
    Log(kNode, __LINE__);
    if (id == moduleId_) {
      moduleType_ = type;
      control_ = QORComPtr<IKsControl>::Attach(control);
      control->AddRef();
      return S_OK;
    }
  }
  return E_FAIL;
}

bool KELAPOIntelDriverInterface_SKL::GetParameter(HRESULT* status, uint32_t parameterId, void* data,
                                                  uint32_t size) {
  *status = E_FAIL;
  if (!control_) {
    QORTrace({kSklFile, __LINE__, kGet},
             "Error: SKL driver handle is null. Is SST active? Status=0x%x\n",
             static_cast<uint32_t>(*status));
    return false;
  }
  bool result = false;
  {
    std::lock_guard<std::mutex> hold(answerLock_);
    std::vector<uint8_t> request = BuildRequest(kPropGetParameter, KSPROPERTY_TYPE_GET, nodeId_,
                                                kParameterRequestSize, moduleType_, parameterId);
    std::memset(answer_.data(), 0, answer_.size());
    uint32_t returned = 0;
    *status = control_->KsProperty(request.data(), kParameterRequestSize, answer_.data(),
                                   kAnswerSize, &returned);
    const uint32_t arrived = returned < kAnswerSize ? returned : kAnswerSize;
    const uint32_t stated = arrived >= 4 ? QORDriverBytes::GetU32(answer_.data()) : 0;
    if (SUCCEEDED(*status) && arrived >= 4 && stated <= arrived - 4 && stated <= size &&
        (stated == 0 || data != nullptr)) {
      if (stated > 0) std::memcpy(data, answer_.data() + 4, stated);
      result = true;
    } else {
      QORTrace({kSklFile, __LINE__, kGet}, "Warning: Get param failed.\n");
    }
  }
  QORTrace({kSklFile, __LINE__, kGet},
           "ParameterId=0x%x, buffer=0x%x, buffer_size=%d, status=0x%x\n", parameterId,
           static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data)), static_cast<int>(size),
           static_cast<uint32_t>(*status));
  DumpBuffer(data, size);
  return result;
}

void KELAPOIntelDriverInterface_SKL::DumpBuffer(const void* data, uint32_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  if (data != nullptr) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    text.reserve(size * 2u);
    for (uint32_t i = 0; i < size; ++i) {
      text.push_back(kDigits[bytes[i] >> 4]);
      text.push_back(kDigits[bytes[i] & 0xF]);
    }
  }
  QORTrace({kSklFile, __LINE__, "KELAPOIntelDriverInterface_SKL::DumpBuffer"},
           "\n(%d bytes): [%s]\n", static_cast<int>(size), text.c_str());
}

bool KELAPOIntelDriverInterface_SKL::QueryWord(uint32_t parameterId, uint32_t size, uint32_t offset,
                                               uint32_t* word) {
  std::vector<uint8_t> data(size, 0);
  HRESULT status = E_FAIL;
  if (!GetParameter(&status, parameterId, data.data(), size) || status != S_OK) return false;
  *word = QORDriverBytes::GetU32(data.data() + offset);
  return true;
}

bool KELAPOIntelDriverInterface_SKL::ReadParameterWord0(uint32_t parameterId, uint32_t size) {
  uint32_t word = 0;
  return size >= 4 && QueryWord(parameterId, size, 0, &word) && word != 0;
}

bool KELAPOIntelDriverInterface_SKL::Query10014405Offset16() {
  uint32_t word = 0;
  return QueryWord(0x10014405, 28, 16, &word) && word != 0;
}

bool KELAPOIntelDriverInterface_SKL::Query10014404() {
  return ReadParameterWord0(0x10014404, 40);
}

bool KELAPOIntelDriverInterface_SKL::Query10014405Offset0() {
  return ReadParameterWord0(0x10014405, 28);
}

bool KELAPOIntelDriverInterface_SKL::Query10014402() {
  return ReadParameterWord0(0x10014402, 12);
}

bool KELAPOIntelDriverInterface_SKL::Query1001440B() {
  return ReadParameterWord0(0x1001440B, 8);
}

void KELAPOIntelDriverInterface_SKL::UnregisterEvent() {
  if (eventHandle_ == 0 || !control_ || !eventRegistered_) return;
  std::vector<uint8_t> request = BuildRequest(kPropUnregisterEvent, KSPROPERTY_TYPE_SET, nodeId_,
                                              kParameterRequestSize, moduleType_, 0);
  uint64_t handle = eventHandle_;
  uint32_t returned = 0;
  const HRESULT hr = control_->KsProperty(request.data(), kParameterRequestSize, &handle,
                                          sizeof handle, &returned);
  eventRegistered_ = false;
  QORTrace({kSklFile, __LINE__, "KELAPOIntelDriverInterface_SKL::UnregisterEvent"},
           "Unregister module event, hr=0x%x\n", static_cast<uint32_t>(hr));
}

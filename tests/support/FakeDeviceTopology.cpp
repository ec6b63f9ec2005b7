#include "FakeDeviceTopology.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "drivers/QORDriverBytes.h"
#include "platform/IAudioInputSelector.h"
#include "platform/IDeviceTopology.h"
#include "platform/IKsControl.h"
#include "platform/IMMEndpoint.h"
#include "platform/QORComApi.h"
#include "platform/QORComObject.h"

namespace qortest {

namespace topology_fake {

constexpr GUID kPostProcessingSet = {
    0xBAE9CE37, 0xAA99, 0x4BC7, {0x9B, 0xDF, 0x4C, 0xBF, 0x3D, 0x23, 0xE1, 0xB9}};
constexpr GUID kSecondId = {
    0xC18E2F7E, 0x933D, 0x4965, {0xB1, 0xD1, 0x1E, 0xEF, 0x22, 0x8D, 0x2A, 0xF3}};
constexpr GUID kAudioEngineSet = {
    0x3A2F82DC, 0x886F, 0x4BAA, {0x9E, 0xB4, 0x08, 0x2B, 0x90, 0x25, 0xC5, 0x36}};
constexpr HRESULT kMoreData = HRESULT_FROM_WIN32(234);

bool IsGuid(const uint8_t* at, const GUID& guid) {
  uint8_t bytes[16];
  QORDriverBytes::PutGuid(bytes, guid);
  return std::memcmp(at, bytes, 16) == 0;
}

wchar_t* TaskText(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  std::wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

class FakeKs : public QORComObject<IKsControl> {
 public:
  explicit FakeKs(FakeDeviceTopology* owner) : owner_(owner) {}
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IKsControl)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IKsControl*>(this);
    return S_OK;
  }
  HRESULT KsProperty(const void* property, uint32_t length, void* data, uint32_t dataLength,
                     uint32_t* returned) override {
    return owner_->Answer(property, length, data, dataLength, returned);
  }

 private:
  FakeDeviceTopology* owner_;
};

class FakeSelector : public QORComObject<IAudioInputSelector> {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IAudioInputSelector)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IAudioInputSelector*>(this);
    return S_OK;
  }
  HRESULT GetSelection(uint32_t* partId) override {
    *partId = selected_;
    return S_OK;
  }
  HRESULT SetSelection(uint32_t partId, const GUID*) override {
    selected_ = partId;
    return S_OK;
  }

 private:
  uint32_t selected_ = 0x00010003;
};

class FakeTopology;

class FakePart : public QORComObject<IPart, IConnector> {
 public:
  FakePart(uint32_t localId, PartType type, ConnectorType connectorType)
      : localId_(localId), type_(type), connectorType_(connectorType) {}

  std::vector<FakePart*> incoming;
  std::vector<FakePart*> outgoing;
  FakePart* connectedTo = nullptr;
  IDeviceTopology* topology = nullptr;
  bool selector = false;

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IPart) {
      *object = static_cast<IPart*>(this);
    } else if (iid == IID_IConnector && type_ == Connector) {
      *object = static_cast<IConnector*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  HRESULT GetLocalId(uint32_t* id) override {
    *id = localId_;
    return S_OK;
  }
  HRESULT GetPartType(PartType* type) override {
    *type = type_;
    return S_OK;
  }
  HRESULT EnumPartsIncoming(IPartsList** parts) override;
  HRESULT EnumPartsOutgoing(IPartsList** parts) override;
  HRESULT GetTopologyObject(IDeviceTopology** out) override {
    topology->AddRef();
    *out = topology;
    return S_OK;
  }
  HRESULT Activate(uint32_t, REFIID iid, void** object) override {
    *object = nullptr;
    if (!selector || !(iid == IID_IAudioInputSelector)) return E_NOINTERFACE;
    *object = static_cast<IAudioInputSelector*>(new FakeSelector());
    return S_OK;
  }
  HRESULT GetType(ConnectorType* type) override {
    *type = connectorType_;
    return S_OK;
  }
  HRESULT GetDataFlow(EDataFlow* flow) override {
    *flow = eRender;
    return S_OK;
  }
  HRESULT IsConnected(int32_t* connected) override {
    *connected = connectedTo != nullptr ? 1 : 0;
    return S_OK;
  }
  HRESULT GetConnectedTo(IConnector** other) override {
    *other = nullptr;
    if (connectedTo == nullptr) return HRESULT_FROM_WIN32(1168);
    connectedTo->AddRef();
    *other = static_cast<IConnector*>(connectedTo);
    return S_OK;
  }

 private:
  uint32_t localId_;
  PartType type_;
  ConnectorType connectorType_;
};

class FakePartsList : public QORComObject<IPartsList> {
 public:
  explicit FakePartsList(const std::vector<FakePart*>& parts) : parts_(parts) {
    for (FakePart* part : parts_) part->AddRef();
  }
  ~FakePartsList() override {
    for (FakePart* part : parts_) part->Release();
  }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IPartsList)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IPartsList*>(this);
    return S_OK;
  }
  HRESULT GetCount(uint32_t* count) override {
    *count = static_cast<uint32_t>(parts_.size());
    return S_OK;
  }
  HRESULT GetPart(uint32_t index, IPart** part) override {
    *part = nullptr;
    if (index >= parts_.size()) return E_INVALIDARG;
    parts_[index]->AddRef();
    *part = static_cast<IPart*>(parts_[index]);
    return S_OK;
  }

 private:
  std::vector<FakePart*> parts_;
};

HRESULT FakePart::EnumPartsIncoming(IPartsList** parts) {
  *parts = nullptr;
  if (incoming.empty()) return HRESULT_FROM_WIN32(1168);
  *parts = new FakePartsList(incoming);
  return S_OK;
}

HRESULT FakePart::EnumPartsOutgoing(IPartsList** parts) {
  *parts = nullptr;
  if (outgoing.empty()) return HRESULT_FROM_WIN32(1168);
  *parts = new FakePartsList(outgoing);
  return S_OK;
}

class FakeTopology : public QORComObject<IDeviceTopology> {
 public:
  explicit FakeTopology(std::wstring deviceId) : deviceId_(std::move(deviceId)) {}
  std::vector<FakePart*> connectors;
  std::vector<FakePart*> parts;

  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IDeviceTopology)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IDeviceTopology*>(this);
    return S_OK;
  }
  HRESULT GetConnectorCount(uint32_t* count) override {
    *count = static_cast<uint32_t>(connectors.size());
    return S_OK;
  }
  HRESULT GetConnector(uint32_t index, IConnector** connector) override {
    *connector = nullptr;
    if (index >= connectors.size()) return E_INVALIDARG;
    connectors[index]->AddRef();
    *connector = static_cast<IConnector*>(connectors[index]);
    return S_OK;
  }
  HRESULT GetPartById(uint32_t id, IPart** part) override {
    *part = nullptr;
    for (FakePart* candidate : parts) {
      uint32_t local = 0;
      candidate->GetLocalId(&local);
      if (local == id) {
        candidate->AddRef();
        *part = static_cast<IPart*>(candidate);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }
  HRESULT GetDeviceId(wchar_t** id) override {
    *id = TaskText(deviceId_);
    return S_OK;
  }
  HRESULT GetSignalPath(IPart*, IPart*, int32_t, IPartsList** parts) override {
    *parts = nullptr;
    return E_NOTIMPL;
  }

 private:
  std::wstring deviceId_;
};

enum class Role { kOther, kEndpoint, kAdapter, kWave };

class FakeDevice : public QORComObject<IMMDevice, IMMEndpoint> {
 public:
  FakeDevice(FakeDeviceTopology* owner, Role role, std::wstring id, FakeTopology* topology)
      : owner_(owner), role_(role), id_(std::move(id)), topology_(topology) {}

  std::wstring Id() const { return role_ == Role::kEndpoint ? owner_->endpointId : id_; }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMMDevice) {
      *object = static_cast<IMMDevice*>(this);
    } else if (iid == IID_IMMEndpoint) {
      *object = static_cast<IMMEndpoint*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  HRESULT Activate(REFIID iid, uint32_t, PROPVARIANT*, void** object) override {
    *object = nullptr;
    if (iid == IID_IDeviceTopology && topology_ != nullptr) {
      if (role_ == Role::kEndpoint && owner_->topologyActivationFails) return E_NOINTERFACE;
      topology_->AddRef();
      *object = static_cast<IDeviceTopology*>(topology_);
      return S_OK;
    }
    if (iid == IID_IKsControl && role_ == Role::kWave) {
      if (owner_->ksActivationFails) return E_NOINTERFACE;
      *object = static_cast<IKsControl*>(new FakeKs(owner_));
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT OpenPropertyStore(uint32_t, IPropertyStore** store) override {
    *store = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetId(wchar_t** id) override {
    *id = TaskText(Id());
    return S_OK;
  }
  HRESULT GetState(uint32_t* state) override {
    *state = DEVICE_STATE_ACTIVE;
    return S_OK;
  }
  HRESULT GetDataFlow(EDataFlow* flow) override {
    *flow = eRender;
    return S_OK;
  }

 private:
  FakeDeviceTopology* owner_;
  Role role_;
  std::wstring id_;
  FakeTopology* topology_;
};

class FakeCollection : public QORComObject<IMMDeviceCollection> {
 public:
  explicit FakeCollection(std::vector<FakeDevice*> devices) : devices_(std::move(devices)) {
    for (FakeDevice* device : devices_) device->AddRef();
  }
  ~FakeCollection() override {
    for (FakeDevice* device : devices_) device->Release();
  }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IMMDeviceCollection)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IMMDeviceCollection*>(this);
    return S_OK;
  }
  HRESULT GetCount(uint32_t* count) override {
    *count = static_cast<uint32_t>(devices_.size());
    return S_OK;
  }
  HRESULT Item(uint32_t index, IMMDevice** device) override {
    *device = nullptr;
    if (index >= devices_.size()) return E_INVALIDARG;
    devices_[index]->AddRef();
    *device = static_cast<IMMDevice*>(devices_[index]);
    return S_OK;
  }

 private:
  std::vector<FakeDevice*> devices_;
};

}  // namespace topology_fake

using namespace topology_fake;

struct FakeDeviceTopology::Graph {
  std::vector<FakePart*> parts;
  std::vector<FakeTopology*> topologies;
  FakeDevice* other = nullptr;
  FakeDevice* endpoint = nullptr;
  FakeDevice* adapter = nullptr;
  FakeDevice* wave = nullptr;

  ~Graph() {
    for (FakeDevice* device : {other, endpoint, adapter, wave}) device->Release();
    for (FakeTopology* topology : topologies) topology->Release();
    for (FakePart* part : parts) part->Release();
  }
};

namespace topology_fake {

class FakeEnumerator : public QORComObject<IMMDeviceEnumerator> {
 public:
  FakeEnumerator(FakeDeviceTopology* owner, FakeDeviceTopology::Graph* graph)
      : owner_(owner), graph_(graph) {}
  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IMMDeviceEnumerator)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IMMDeviceEnumerator*>(this);
    return S_OK;
  }
  HRESULT EnumAudioEndpoints(EDataFlow flow, uint32_t, IMMDeviceCollection** devices) override {
    std::vector<FakeDevice*> list;
    if (flow == eRender || flow == eAll) {
      list.push_back(graph_->other);
      if (owner_->endpointPresent) list.push_back(graph_->endpoint);
    }
    *devices = new FakeCollection(std::move(list));
    return S_OK;
  }
  HRESULT GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** device) override {
    *device = nullptr;
    return E_NOTFOUND;
  }
  HRESULT GetDevice(const wchar_t* id, IMMDevice** device) override {
    *device = nullptr;
    for (FakeDevice* candidate : {graph_->other, graph_->endpoint, graph_->adapter, graph_->wave}) {
      if (candidate == graph_->endpoint && !owner_->endpointPresent) continue;
      if (id != nullptr && candidate->Id() == id) {
        candidate->AddRef();
        *device = static_cast<IMMDevice*>(candidate);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }
  HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient*) override { return S_OK; }
  HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient*) override { return S_OK; }

 private:
  FakeDeviceTopology* owner_;
  FakeDeviceTopology::Graph* graph_;
};

}  // namespace topology_fake

using namespace topology_fake;

FakeDeviceTopology::FakeDeviceTopology() : graph_(new Graph) {
  constexpr GUID kModuleId = {
      0xE1284052, 0xF064, 0x4FE4, {0xA3, 0xD3, 0x38, 0x78, 0xF7, 0x27, 0x04, 0xC3}};
  modules = {{0, {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}}, "OtherPP", "0.9"},
             {1, kModuleId, "LuxSndPP", "1.2.3"}};

  auto* endpointTopology = new FakeTopology(L"endpoint");
  auto* adapterTopology = new FakeTopology(L"{2}.\\\\?\\hdaudio#adapter\\topology");
  auto* waveTopology = new FakeTopology(L"{2}.\\\\?\\hdaudio#adapter\\wave");
  graph_->topologies = {endpointTopology, adapterTopology, waveTopology};

  auto* endpointConnector = new FakePart(0x00010000, Connector, Software_Fixed);
  auto* bridge = new FakePart(0x00010001, Connector, Physical_Internal);
  auto* mux = new FakePart(0x00020002, Subunit, Unknown_Connector);
  auto* toWave = new FakePart(0x00010003, Connector, Physical_Internal);
  auto* waveOut = new FakePart(kNodeLocalId, Connector, Physical_Internal);
  auto* hostPin = new FakePart(0x00010005, Connector, Software_IO);
  graph_->parts = {endpointConnector, bridge, mux, toWave, waveOut, hostPin};

  endpointConnector->topology = endpointTopology;
  endpointConnector->connectedTo = bridge;
  bridge->topology = adapterTopology;
  bridge->connectedTo = endpointConnector;
  bridge->incoming = {mux};
  mux->topology = adapterTopology;
  mux->selector = true;
  mux->incoming = {toWave};
  mux->outgoing = {bridge};
  toWave->topology = adapterTopology;
  toWave->outgoing = {mux};
  toWave->connectedTo = waveOut;
  waveOut->topology = waveTopology;
  waveOut->connectedTo = toWave;
  waveOut->incoming = {hostPin};
  hostPin->topology = waveTopology;
  hostPin->outgoing = {waveOut};

  endpointTopology->connectors = {endpointConnector};
  endpointTopology->parts = {endpointConnector};
  adapterTopology->connectors = {bridge, toWave};
  adapterTopology->parts = {bridge, mux, toWave};
  waveTopology->connectors = {waveOut, hostPin};
  waveTopology->parts = {waveOut, hostPin};

  graph_->other = new FakeDevice(
      this, Role::kOther, L"{0.0.0.00000000}.{5e0a1c2d-0000-4000-8000-000000000002}", nullptr);
  graph_->endpoint = new FakeDevice(this, Role::kEndpoint, L"", endpointTopology);
  graph_->adapter = new FakeDevice(this, Role::kAdapter, L"{2}.\\\\?\\hdaudio#adapter\\topology",
                                   adapterTopology);
  graph_->wave =
      new FakeDevice(this, Role::kWave, L"{2}.\\\\?\\hdaudio#adapter\\wave", waveTopology);
}

void FakeDeviceTopology::LoopTheSelector() {
  FakePart* mux = graph_->parts[2];
  mux->incoming = {mux};
}

FakeDeviceTopology::~FakeDeviceTopology() {
  delete graph_;
}

HRESULT FakeDeviceTopology::CreateDeviceEnumerator(IMMDeviceEnumerator** enumerator) {
  *enumerator = nullptr;
  if (createEnumeratorFails) return REGDB_E_CLASSNOTREG;
  *enumerator = new FakeEnumerator(this, graph_);
  return S_OK;
}

std::vector<FakeDeviceTopology::Request> FakeDeviceTopology::Requests() {
  std::lock_guard<std::mutex> hold(lock_);
  return requests_;
}

uint32_t FakeDeviceTopology::DescriptorRequests() {
  std::lock_guard<std::mutex> hold(lock_);
  return descriptorRequests_;
}

std::vector<uint8_t> FakeDeviceTopology::ModuleListAnswer() {
  if (!rawModuleList.empty()) return rawModuleList;
  std::vector<uint8_t> list(8 + 148 * modules.size(), 0);
  QORDriverBytes::PutU32(list.data(), static_cast<uint32_t>(list.size()));
  QORDriverBytes::PutU32(list.data() + 4, static_cast<uint32_t>(modules.size()));
  uint8_t* record = list.data() + 8;
  for (const ModuleRecord& module : modules) {
    QORDriverBytes::PutU32(record, module.type);
    QORDriverBytes::PutGuid(record + 4, module.id);
    std::memcpy(record + 20, module.name.data(), std::min<size_t>(module.name.size(), 64));
    std::memcpy(record + 84, module.version.data(), std::min<size_t>(module.version.size(), 64));
    record += 148;
  }
  return list;
}

HRESULT FakeDeviceTopology::Answer(const void* property, uint32_t length, void* data,
                                   uint32_t dataLength, uint32_t* returned) {
  const auto* request = static_cast<const uint8_t*>(property);
  auto* out = static_cast<uint8_t*>(data);
  *returned = 0;
  if (length < 24) return E_INVALIDARG;
  const uint32_t id = QORDriverBytes::GetU32(request + 16);
  const uint32_t flags = QORDriverBytes::GetU32(request + 20);
  const uint32_t node = length >= 28 ? QORDriverBytes::GetU32(request + 24) : 0;

  if (IsGuid(request, kAudioEngineSet)) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++descriptorRequests_;
    }
    if (id != 6 || flags != 0x10000001 || length != 32 || node != (kNodeLocalId & 0xFFFF)) {
      return E_INVALIDARG;
    }
    if (descriptorFails) return E_FAIL;
    if (dataLength < 12) {
      *returned = 12;
      return kMoreData;
    }
    QORDriverBytes::PutU32(out, 1);
    QORDriverBytes::PutU32(out + 4, offloadPin);
    QORDriverBytes::PutU32(out + 8, 3);
    *returned = 12;
    return S_OK;
  }
  if (!IsGuid(request, kPostProcessingSet)) return E_INVALIDARG;
  {
    std::lock_guard<std::mutex> hold(lock_);
    Request copy;
    copy.property.assign(request, request + length);
    copy.dataLength = dataLength;
    if ((flags & 2) != 0 && out != nullptr) copy.data.assign(out, out + dataLength);
    requests_.push_back(std::move(copy));
  }
  if (node != offloadPin || QORDriverBytes::GetU32(request + 28) != 0) return E_INVALIDARG;
  auto answer = [&](const std::vector<uint8_t>& bytes) -> HRESULT {
    *returned = static_cast<uint32_t>(bytes.size());
    if (dataLength < bytes.size()) return kMoreData;
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    return S_OK;
  };
  switch (id) {
    case 0:
      if (length != 32 || flags != 1) return E_INVALIDARG;
      if (FAILED(versionResult)) return versionResult;
      return answer(std::vector<uint8_t>(version, version + 5));
    case 1:
      if (length != 48 || flags != 1 || !IsGuid(request + 32, kSecondId)) return E_INVALIDARG;
      return answer(ModuleListAnswer());
    case 3: {
      if (length != 73 || flags != 1 || !IsGuid(request + 32, kSecondId) || request[72] != 0) {
        return E_INVALIDARG;
      }
      const auto found = parameters.find(QORDriverBytes::GetU32(request + 68));
      if (found == parameters.end()) return E_NOTFOUND;
      std::vector<uint8_t> bytes(4 + found->second.size());
      QORDriverBytes::PutU32(bytes.data(), overrideStatedSize
                                               ? statedSize
                                               : static_cast<uint32_t>(found->second.size()));
      if (!found->second.empty()) {
        std::memcpy(bytes.data() + 4, found->second.data(), found->second.size());
      }
      return answer(bytes);
    }
    case 4:
    case 5:
      return flags == 2 && dataLength == 8 ? S_OK : E_INVALIDARG;
    default:
      return E_INVALIDARG;
  }
}

}  // namespace qortest

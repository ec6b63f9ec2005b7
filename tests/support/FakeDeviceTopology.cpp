#include "FakeDeviceTopology.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <type_traits>

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
constexpr HRESULT kNoMoreItems = HRESULT_FROM_WIN32(1168);

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

template <typename T>
HRESULT Put(T* out, T value) {
  *out = value;
  return S_OK;
}

// No object, and the result.
template <typename T>
HRESULT Nothing(T** out, HRESULT result) {
  *out = nullptr;
  return result;
}

// Self as interface I, with a reference.
template <typename I, typename T>
HRESULT Give(T* self, void** object) {
  self->AddRef();
  *object = static_cast<I*>(self);
  return S_OK;
}

// QueryInterface of an object that answers IUnknown and one interface.
template <typename I, typename T>
HRESULT Offer(T* self, REFIID asked, REFIID own, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!(asked == IID_IUnknown) && !(asked == own)) return E_NOINTERFACE;
  return Give<I>(self, object);
}

// Item index of items as interface I, with a reference.
template <typename I, typename T>
HRESULT At(const std::vector<T*>& items, uint32_t index, I** out) {
  if (index >= items.size()) return Nothing(out, E_INVALIDARG);
  items[index]->AddRef();
  return Put<I*>(out, items[index]);
}

// A list of parts or of devices, holding a reference to each.
template <typename T>
class FakeList : public QORComObject<IPartsList, IMMDeviceCollection> {
 public:
  static constexpr bool kParts = std::is_base_of_v<IPart, T>;
  explicit FakeList(const std::vector<T*>& items) : items_(items) {
    for (T* item : items_) item->AddRef();
  }
  ~FakeList() override {
    for (T* item : items_) item->Release();
  }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    return kParts ? Offer<IPartsList>(this, iid, IID_IPartsList, object)
                  : Offer<IMMDeviceCollection>(this, iid, IID_IMMDeviceCollection, object);
  }
  HRESULT GetCount(uint32_t* count) override {
    return Put(count, static_cast<uint32_t>(items_.size()));
  }
  HRESULT GetPart(uint32_t index, IPart** part) override { return Get(index, part); }
  HRESULT Item(UINT index, IMMDevice** device) override { return Get(index, device); }

 private:
  template <typename I>
  HRESULT Get(uint32_t index, I** out) {
    if constexpr (std::is_base_of_v<I, T>) {
      return At(items_, index, out);
    } else {
      return Nothing(out, E_NOTIMPL);
    }
  }

  std::vector<T*> items_;
};

// A part of a topology; a subunit marked as selector is its own input selector.
class FakePart : public QORComObject<IPart, IConnector, IAudioInputSelector> {
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
    if (iid == IID_IUnknown || iid == IID_IPart) return Give<IPart>(this, object);
    if (iid == IID_IConnector && type_ == Connector) return Give<IConnector>(this, object);
    return E_NOINTERFACE;
  }
  HRESULT GetLocalId(uint32_t* id) override { return Put(id, localId_); }
  HRESULT GetPartType(PartType* type) override { return Put(type, type_); }
  HRESULT EnumPartsIncoming(IPartsList** parts) override { return List(incoming, parts); }
  HRESULT EnumPartsOutgoing(IPartsList** parts) override { return List(outgoing, parts); }
  HRESULT GetTopologyObject(IDeviceTopology** out) override {
    topology->AddRef();
    return Put(out, topology);
  }
  HRESULT Activate(uint32_t, REFIID iid, void** object) override {
    if (!selector || !(iid == IID_IAudioInputSelector)) return Nothing(object, E_NOINTERFACE);
    return Give<IAudioInputSelector>(this, object);
  }
  HRESULT GetType(ConnectorType* type) override { return Put(type, connectorType_); }
  HRESULT GetDataFlow(EDataFlow* flow) override { return Put(flow, eRender); }
  HRESULT IsConnected(int32_t* connected) override {
    return Put(connected, connectedTo != nullptr ? 1 : 0);
  }
  HRESULT GetConnectedTo(IConnector** other) override {
    if (connectedTo == nullptr) return Nothing(other, kNoMoreItems);
    connectedTo->AddRef();
    return Put<IConnector*>(other, connectedTo);
  }
  HRESULT GetSelection(uint32_t* partId) override { return Put(partId, selected_); }
  HRESULT SetSelection(uint32_t partId, const GUID*) override { return Put(&selected_, partId); }

 private:
  static HRESULT List(const std::vector<FakePart*>& parts, IPartsList** list) {
    *list = parts.empty() ? nullptr : new FakeList<FakePart>(parts);
    return parts.empty() ? kNoMoreItems : S_OK;
  }

  uint32_t localId_;
  PartType type_;
  ConnectorType connectorType_;
  uint32_t selected_ = 0x00010003;
};

enum class Role { kOther, kEndpoint, kAdapter, kWave };

// A device is its own topology (with the connectors and parts below), and the wave filter's device
// is its own kernel-streaming control.
class FakeDevice : public QORComObject<IMMDevice, IMMEndpoint, IDeviceTopology, IKsControl> {
 public:
  FakeDevice(FakeDeviceTopology* owner, Role role, std::wstring id)
      : owner_(owner), role_(role), id_(std::move(id)) {}

  std::vector<FakePart*> connectors;
  std::vector<FakePart*> parts;

  std::wstring Id() const { return role_ == Role::kEndpoint ? owner_->endpointId : id_; }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMMDevice) return Give<IMMDevice>(this, object);
    if (iid == IID_IMMEndpoint) return Give<IMMEndpoint>(this, object);
    return E_NOINTERFACE;
  }
  HRESULT Activate(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
    if (iid == IID_IDeviceTopology && role_ != Role::kOther) {
      const bool fails = role_ == Role::kEndpoint && owner_->topologyActivationFails;
      return fails ? Nothing(object, E_NOINTERFACE) : Give<IDeviceTopology>(this, object);
    }
    if (!(iid == IID_IKsControl) || role_ != Role::kWave || owner_->ksActivationFails) {
      return Nothing(object, E_NOINTERFACE);
    }
    return Give<IKsControl>(this, object);
  }
  HRESULT OpenPropertyStore(DWORD, IPropertyStore** store) override {
    return Nothing(store, E_NOTIMPL);
  }
  HRESULT GetId(wchar_t** id) override { return Put(id, TaskText(Id())); }
  HRESULT GetState(DWORD* state) override { return Put<DWORD>(state, DEVICE_STATE_ACTIVE); }
  HRESULT GetDataFlow(EDataFlow* flow) override { return Put(flow, eRender); }

  HRESULT GetConnectorCount(uint32_t* count) override {
    return Put(count, static_cast<uint32_t>(connectors.size()));
  }
  HRESULT GetConnector(uint32_t index, IConnector** connector) override {
    return At(connectors, index, connector);
  }
  HRESULT GetPartById(uint32_t id, IPart** part) override {
    for (FakePart* candidate : parts) {
      uint32_t local = 0;
      candidate->GetLocalId(&local);
      if (local != id) continue;
      candidate->AddRef();
      return Put<IPart*>(part, candidate);
    }
    return Nothing(part, E_NOTFOUND);
  }
  HRESULT GetDeviceId(wchar_t** id) override { return GetId(id); }
  HRESULT GetSignalPath(IPart*, IPart*, int32_t, IPartsList** parts) override {
    return Nothing(parts, E_NOTIMPL);
  }

  HRESULT KsProperty(const void* property, uint32_t length, void* data, uint32_t dataLength,
                     uint32_t* returned) override {
    return owner_->Answer(property, length, data, dataLength, returned);
  }

 private:
  FakeDeviceTopology* owner_;
  Role role_;
  std::wstring id_;
};

}  // namespace topology_fake

using namespace topology_fake;

struct FakeDeviceTopology::Graph {
  std::vector<FakePart*> parts;
  std::vector<FakeDevice*> devices;  // another render endpoint, the endpoint, adapter, wave

  ~Graph() {
    for (FakeDevice* device : devices) device->Release();
    for (FakePart* part : parts) part->Release();
  }
};

namespace topology_fake {

class FakeEnumerator : public QORComObject<IMMDeviceEnumerator> {
 public:
  FakeEnumerator(FakeDeviceTopology* owner, FakeDeviceTopology::Graph* graph)
      : owner_(owner), graph_(graph) {}
  HRESULT QueryInterface(REFIID iid, void** object) override {
    return Offer<IMMDeviceEnumerator>(this, iid, IID_IMMDeviceEnumerator, object);
  }
  HRESULT EnumAudioEndpoints(EDataFlow flow, DWORD, IMMDeviceCollection** devices) override {
    std::vector<FakeDevice*> list;
    if (flow == eRender || flow == eAll) list = {graph_->devices[0]};
    if (!list.empty() && owner_->endpointPresent) list.push_back(graph_->devices[1]);
    *devices = new FakeList<FakeDevice>(list);
    return S_OK;
  }
  HRESULT GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** device) override {
    return Nothing(device, E_NOTFOUND);
  }
  HRESULT GetDevice(const wchar_t* id, IMMDevice** device) override {
    for (FakeDevice* candidate : graph_->devices) {
      if (candidate == graph_->devices[1] && !owner_->endpointPresent) continue;
      if (id == nullptr || candidate->Id() != id) continue;
      candidate->AddRef();
      return Put<IMMDevice*>(device, candidate);
    }
    return Nothing(device, E_NOTFOUND);
  }
  HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient*) override { return S_OK; }
  HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient*) override { return S_OK; }

 private:
  FakeDeviceTopology* owner_;
  FakeDeviceTopology::Graph* graph_;
};

}  // namespace topology_fake

FakeDeviceTopology::FakeDeviceTopology() : graph_(new Graph) {
  constexpr GUID kModuleId = {
      0xE1284052, 0xF064, 0x4FE4, {0xA3, 0xD3, 0x38, 0x78, 0xF7, 0x27, 0x04, 0xC3}};
  modules = {{0, {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}}, "OtherPP", "0.9"},
             {1, kModuleId, "LuxSndPP", "1.2.3"}};

  graph_->devices = {new FakeDevice(this, Role::kOther,
                                    L"{0.0.0.00000000}.{5e0a1c2d-0000-4000-8000-000000000002}"),
                     new FakeDevice(this, Role::kEndpoint, L""),
                     new FakeDevice(this, Role::kAdapter, L"{2}.\\\\?\\hdaudio#adapter\\topology"),
                     new FakeDevice(this, Role::kWave, L"{2}.\\\\?\\hdaudio#adapter\\wave")};
  FakeDevice* endpoint = graph_->devices[1];
  FakeDevice* adapter = graph_->devices[2];
  FakeDevice* wave = graph_->devices[3];

  auto* endpointConnector = new FakePart(0x00010000, Connector, Software_Fixed);
  auto* bridge = new FakePart(0x00010001, Connector, Physical_Internal);
  auto* mux = new FakePart(0x00020002, Subunit, Unknown_Connector);
  auto* toWave = new FakePart(0x00010003, Connector, Physical_Internal);
  auto* waveOut = new FakePart(kNodeLocalId, Connector, Physical_Internal);
  auto* hostPin = new FakePart(0x00010005, Connector, Software_IO);
  graph_->parts = {endpointConnector, bridge, mux, toWave, waveOut, hostPin};

  endpointConnector->connectedTo = bridge;
  bridge->connectedTo = endpointConnector;
  bridge->incoming = {mux};
  mux->selector = true;
  mux->incoming = {toWave};
  mux->outgoing = {bridge};
  toWave->outgoing = {mux};
  toWave->connectedTo = waveOut;
  waveOut->connectedTo = toWave;
  waveOut->incoming = {hostPin};
  hostPin->outgoing = {waveOut};

  endpoint->connectors = endpoint->parts = {endpointConnector};
  adapter->connectors = {bridge, toWave};
  adapter->parts = {bridge, mux, toWave};
  wave->connectors = wave->parts = {waveOut, hostPin};
  for (FakeDevice* device : graph_->devices) {
    for (FakePart* part : device->parts) part->topology = device;
  }
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

  auto answer = [&](const std::vector<uint8_t>& bytes) -> HRESULT {
    *returned = static_cast<uint32_t>(bytes.size());
    if (dataLength < bytes.size()) return kMoreData;
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    return S_OK;
  };

  if (IsGuid(request, kAudioEngineSet)) {
    if (id != 6 || flags != 0x10000001 || length != 32 || node != (kNodeLocalId & 0xFFFF)) {
      return E_INVALIDARG;
    }
    if (descriptorFails) return E_FAIL;
    std::vector<uint8_t> descriptor(12);  // a count of 1, the pin, then 3
    QORDriverBytes::PutU32(descriptor.data(), 1);
    QORDriverBytes::PutU32(descriptor.data() + 4, offloadPin);
    QORDriverBytes::PutU32(descriptor.data() + 8, 3);
    return answer(descriptor);
  }
  if (!IsGuid(request, kPostProcessingSet)) return E_INVALIDARG;
  {
    std::lock_guard<std::mutex> hold(lock_);
    requests_.push_back({std::vector<uint8_t>(request, request + length), dataLength});
  }
  if (node != offloadPin || QORDriverBytes::GetU32(request + 28) != 0) return E_INVALIDARG;
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
      const auto size = static_cast<uint32_t>(found->second.size());
      std::vector<uint8_t> bytes(4);  // the stated size, then the data
      QORDriverBytes::PutU32(bytes.data(), overrideStatedSize ? statedSize : size);
      bytes.insert(bytes.end(), found->second.begin(), found->second.end());
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

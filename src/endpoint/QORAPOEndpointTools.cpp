#include "endpoint/QORAPOEndpointTools.h"

#include <string>

#include "platform/IMMDeviceEnumerator.h"
#include "platform/IPolicyConfig.h"
#include "platform/QORAudioEndpointKeys.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORGuid.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORWait.h"

namespace {

constexpr wchar_t kMakerKey[] = L"Software\\QOR Labs\\APO";
constexpr wchar_t kInitFxValue[] = L"InitFxProperties";
constexpr const wchar_t* kEndpointRoots[] = {
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render\\",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture\\"};
constexpr size_t kMaxKeyName = 260;

bool CreateEnumerator(QORComPtr<IMMDeviceEnumerator>& enumerator) {
  return SUCCEEDED(QORCoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                       IID_IMMDeviceEnumerator, enumerator.PutVoid()));
}

void Signal(const std::atomic<IQOREvent*>& event) {
  IQOREvent* target = event.load();
  if (target != nullptr) target->Set();
}

}  // namespace

QORAPOEndpointTools::QORAPOEndpointTools() = default;

QORAPOEndpointTools::~QORAPOEndpointTools() {
  StopWatching();
  deviceSignal_.store(nullptr);
  propertySignal_.store(nullptr);
}

HRESULT QORAPOEndpointTools::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_NOINTERFACE;
  if (iid == IID_IMMNotificationClient || iid == IID_IUnknown) {
    *object = static_cast<IMMNotificationClient*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG QORAPOEndpointTools::AddRef() {
  return 2;
}

ULONG QORAPOEndpointTools::Release() {
  return 1;
}

HRESULT QORAPOEndpointTools::OnDeviceStateChanged(const wchar_t*, DWORD newState) {
  const HRESULT init = CoInitialize(nullptr);
  if (newState == DEVICE_STATE_ACTIVE || newState == DEVICE_STATE_DISABLED ||
      newState == DEVICE_STATE_NOTPRESENT || newState == DEVICE_STATE_UNPLUGGED) {
    changeKind_.store(newState == DEVICE_STATE_ACTIVE ? kEndpointActive : kEndpointGone);
    Signal(deviceSignal_);
  }
  if (init == S_OK || init == S_FALSE) CoUninitialize();
  return S_OK;
}

HRESULT QORAPOEndpointTools::OnDeviceAdded(const wchar_t*) {
  return S_OK;
}

HRESULT QORAPOEndpointTools::OnDeviceRemoved(const wchar_t*) {
  return S_OK;
}

HRESULT QORAPOEndpointTools::OnDefaultDeviceChanged(EDataFlow, ERole, const wchar_t*) {
  changeKind_.store(kDefaultChanged);
  Signal(deviceSignal_);
  return S_OK;
}

HRESULT QORAPOEndpointTools::OnPropertyValueChanged(const wchar_t*, const PROPERTYKEY key) {
  if (key == PKEY_AudioEndpoint_Disable_SysFx) Signal(propertySignal_);
  return S_OK;
}

bool QORAPOEndpointTools::EnumerateEndpoints(std::vector<QORAPOEndpointInfo>& list) {
  return EnumerateEndpoints(eRender, list);
}

bool QORAPOEndpointTools::ActiveDevices(EDataFlow flow, std::vector<QORComPtr<IMMDevice>>& active) {
  active.clear();
  if (flow != eRender && flow != eCapture) return false;
  QORComPtr<IMMDeviceEnumerator> enumerator;
  if (!CreateEnumerator(enumerator)) return false;
  QORComPtr<IMMDeviceCollection> devices;
  if (FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATEMASK_ALL, devices.Put()))) {
    return false;
  }
  UINT count = 0;
  if (FAILED(devices->GetCount(&count))) return false;
  for (UINT i = 0; i < count; ++i) {
    QORComPtr<IMMDevice> device;
    DWORD state = 0;
    if (FAILED(devices->Item(i, device.Put())) || FAILED(device->GetState(&state))) continue;
    if (state == DEVICE_STATE_ACTIVE) active.push_back(std::move(device));
  }
  return true;
}

bool QORAPOEndpointTools::EnumerateEndpoints(EDataFlow flow,
                                             std::vector<QORAPOEndpointInfo>& list) {
  list.clear();
  std::vector<QORComPtr<IMMDevice>> active;
  if (!ActiveDevices(flow, active)) return false;
  for (const QORComPtr<IMMDevice>& device : active) {
    QORAPOEndpointInfo endpoint;
    if (endpoint.Init(device.Get(), flow == eRender)) list.push_back(endpoint);
  }
  return !list.empty();
}

bool QORAPOEndpointTools::FindEndpoint(EDataFlow flow, const GUID& guid,
                                       QORAPOEndpointInfo& endpoint) {
  std::vector<QORComPtr<IMMDevice>> active;
  if (!ActiveDevices(flow, active)) return false;
  for (const QORComPtr<IMMDevice>& device : active) {
    wchar_t* id = nullptr;
    if (FAILED(device->GetId(&id)) || id == nullptr) continue;
    const std::wstring text = QORAPOEndpointInfo::GuidTextOfDeviceId(id);
    CoTaskMemFree(id);
    GUID candidate = GUID_NULL;
    if (QORGuidFromString(text, &candidate) && candidate == guid) {
      return endpoint.Init(device.Get(), flow == eRender);
    }
  }
  return false;
}

bool QORAPOEndpointTools::SetDefaultEndpoint(const QORAPOEndpointInfo& endpoint) {
  QORComPtr<IPolicyConfig> policy;
  if (FAILED(QORCoCreateInstance(CLSID_PolicyConfig, nullptr, CLSCTX_ALL, IID_IPolicyConfig,
                                 policy.PutVoid()))) {
    return false;
  }
  const std::wstring& id = endpoint.GetDeviceId();
  // The multimedia role goes with the console role, so that the default read back is this one.
  return SUCCEEDED(policy->SetDefaultEndpoint(id.c_str(), eConsole)) &&
         SUCCEEDED(policy->SetDefaultEndpoint(id.c_str(), eMultimedia));
}

bool QORAPOEndpointTools::GetDefaultEndpoint(QORAPOEndpointInfo& endpoint) {
  QORComPtr<IMMDeviceEnumerator> enumerator;
  if (!CreateEnumerator(enumerator)) return false;
  QORComPtr<IMMDevice> device;
  if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, device.Put()))) {
    return false;
  }
  return endpoint.Init(device.Get(), true);
}

void QORAPOEndpointTools::Register(IQORAPOEndpointNotify* listener) {
  bool known;
  {
    std::lock_guard<std::recursive_mutex> lock(listenersLock_);
    known = !listeners_.empty();
  }
  // Outside the lock: stopping the worker waits for a listener call in progress.
  if (known) StartWatching();
  std::lock_guard<std::recursive_mutex> lock(listenersLock_);
  listeners_[listener] = true;
}

void QORAPOEndpointTools::Unregister(IQORAPOEndpointNotify* listener) {
  std::lock_guard<std::recursive_mutex> lock(listenersLock_);
  listeners_[listener] = false;
}

bool QORAPOEndpointTools::StartWatching() {
  StopWatching();
  if (!deviceEvent_) {
    deviceEvent_ = QORCreateEvent(false, false);
    deviceSignal_.store(deviceEvent_.get());
  }
  if (!propertyEvent_) {
    propertyEvent_ = QORCreateEvent(false, false);
    propertySignal_.store(propertyEvent_.get());
  }
  QORComPtr<IMMDeviceEnumerator> enumerator;
  bool ok = deviceEvent_ && propertyEvent_ && CreateEnumerator(enumerator);
  ok = ok && SUCCEEDED(enumerator->RegisterEndpointNotificationCallback(this));
  ok = ok && thread_.Start(this);
  return ok;
}

bool QORAPOEndpointTools::StopWatching() {
  thread_.Stop(0);
  QORComPtr<IMMDeviceEnumerator> enumerator;
  return CreateEnumerator(enumerator) &&
         SUCCEEDED(enumerator->UnregisterEndpointNotificationCallback(this));
}

void QORAPOEndpointTools::NotifyListeners(uint32_t kind) {
  std::lock_guard<std::recursive_mutex> lock(listenersLock_);
  for (auto entry = listeners_.begin(); entry != listeners_.end();) {
    IQORAPOEndpointNotify* listener = entry->first;
    const bool enabled = entry->second;
    // The next entry is found by key: a listener may change the table while it is called.
    ++entry;
    if (listener != nullptr && enabled) {
      listener->OnEndpointNotify(kind);
      entry = listeners_.upper_bound(listener);
    }
  }
}

bool QORAPOEndpointTools::DoWork(QORThreadBasic&, IQOREvent& stopEvent) {
  IQORWaitable* const objects[] = {&stopEvent, deviceEvent_.get(), propertyEvent_.get()};
  for (;;) {
    const uint32_t result = QORWaitForMultiple(objects, kQORInfinite);
    if (result == kQORWaitObject0 + 1) {
      const uint32_t kind = changeKind_.load();
      if (kind < kNoChange) NotifyListeners(kind);
    } else if (result == kQORWaitObject0 + 2) {
      NotifyListeners(kSysFxChanged);
    } else {
      // The stop event, or a wait that failed and would fail again at once.
      return result == kQORWaitObject0;
    }
  }
}

bool QORAPOEndpointTools::InitFxProperties() {
  QORRegistryKey maker;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kMakerKey, KEY_QUERY_VALUE, maker) !=
      ERROR_SUCCESS) {
    return true;
  }
  uint32_t type = 0;
  uint32_t value = 0;
  uint32_t size = sizeof value;
  if (maker.QueryValue(kInitFxValue, &type, &value, &size) != ERROR_SUCCESS || type != REG_DWORD ||
      value == 0) {
    return true;
  }
  bool ok = true;
  for (const wchar_t* rootPath : kEndpointRoots) {
    QORRegistryKey root;
    if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, rootPath,
                             KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS, root) != ERROR_SUCCESS) {
      ok = false;
      continue;
    }
    std::wstring name;
    for (uint32_t i = 0; root.EnumSubKey(i, name) == ERROR_SUCCESS; ++i) {
      if (name.size() > kMaxKeyName) {
        ok = false;
        continue;
      }
      QORRegistryKey fx;
      if (root.CreateSubKey(name + L"\\FxProperties", KEY_READ, fx) != ERROR_SUCCESS) ok = false;
    }
  }
  return ok;
}

#include "platform/QOREndpointNotifier.h"

#include <algorithm>
#include <future>

#include "platform/QOREndpointStore.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORWait.h"

namespace {

// A wait takes at most 64 objects; with more keys than that, or a key that could not be watched,
// the thread also looks every so often.
constexpr size_t kMaxWatches = 63;
constexpr uint32_t kRescanMs = 200;

// Only keys that a wait can take get a watch: each one holds a notification handle, and the
// system gives a user few of those. A key left without one is caught by the rescan. A watch of
// the last round is kept (closing a handle costs the system tens of milliseconds, which would
// delay every notification), unless its key went away.
void WatchKey(const QORRegistryKey& key, const std::wstring& path, uint32_t filter,
              QOREndpointNotifier::Watches& old, QOREndpointNotifier::Watches& watches) {
  if (watches.keys.size() >= kMaxWatches) {
    watches.partial = true;
    return;
  }
  for (auto& kept : old.keys) {
    if (kept.second && kept.first == path && !kept.second->IsStale()) {
      watches.keys.emplace_back(path, std::move(kept.second));
      return;
    }
  }
  std::unique_ptr<QORRegistryWatch> watch;
  if (key.Watch(filter, &watch) == ERROR_SUCCESS) {
    watches.keys.emplace_back(path, std::move(watch));
  } else {
    watches.partial = true;
  }
}

}  // namespace

QOREndpointNotifier& QOREndpointNotifier::Instance() {
  static QOREndpointNotifier* instance = new QOREndpointNotifier;  // lives as long as the process
  return *instance;
}

HRESULT QOREndpointNotifier::Register(IMMNotificationClient* client) {
  if (client == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (std::find(clients_.begin(), clients_.end(), client) != clients_.end()) return S_OK;
  if (!worker_) {
    auto worker = std::make_unique<Worker>();
    worker->stop = QORCreateEvent(true, false);
    if (!worker->stop) return E_FAIL;
    std::promise<void> armed;
    std::future<void> ready = armed.get_future();
    worker->thread = std::thread(&QOREndpointNotifier::Run, this, worker->stop.get(), &armed);
    workerId_ = worker->thread.get_id();
    // Changes made after Register returns are measured against what the thread saw first.
    ready.wait();
    worker_ = std::move(worker);
  }
  clients_.push_back(client);
  return S_OK;
}

HRESULT QOREndpointNotifier::Unregister(IMMNotificationClient* client) {
  std::unique_ptr<Worker> ending;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto found = std::find(clients_.begin(), clients_.end(), client);
    if (found == clients_.end()) return E_NOTFOUND;
    clients_.erase(found);
    if (!clients_.empty() || !worker_) return S_OK;
    ending = std::move(worker_);
  }
  ending->stop->Set();
  if (ending->thread.get_id() == std::this_thread::get_id()) {
    // Unregistered from a callback: the thread ends by itself after this call returns. The stop
    // event must outlive it.
    ending->thread.detach();
    ending.release();
  } else {
    ending->thread.join();
  }
  return S_OK;
}

QOREndpointNotifier::Snapshot QOREndpointNotifier::Scan() {
  Snapshot snapshot;
  std::vector<QOREndpointRecord> endpoints;
  QOREndpointStore::List(eAll, DEVICE_STATEMASK_ALL, &endpoints);
  for (const QOREndpointRecord& record : endpoints) {
    Endpoint& endpoint = snapshot.endpoints[record.id];
    endpoint.state = record.state;
    QORRegistryKey properties;
    if (QORRegistryKey::Open(
            QORRegistryHive::kLocalMachine,
            QOREndpointStore::EndpointKeyPath(record.flow, record.guid) + L"\\Properties", KEY_READ,
            properties) != ERROR_SUCCESS) {
      continue;
    }
    std::wstring name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    for (uint32_t i = 0; properties.EnumValue(i, &name, &type, &data) == ERROR_SUCCESS; ++i) {
      endpoint.properties[name] = {type, data};
    }
  }
  for (EDataFlow flow : {eRender, eCapture}) {
    for (int role = 0; role < ERole_enum_count; ++role) {
      QOREndpointRecord chosen;
      if (SUCCEEDED(QOREndpointStore::GetDefault(flow, static_cast<ERole>(role), &chosen))) {
        snapshot.defaults[flow][role] = chosen.id;
      }
    }
  }
  return snapshot;
}

QOREndpointNotifier::Watches QOREndpointNotifier::ArmWatches(Watches old) {
  Watches watches;
  for (EDataFlow flow : {eRender, eCapture}) {
    const std::wstring rootPath = QOREndpointStore::FlowKeyPath(flow);
    QORRegistryKey root;
    if (QORRegistryKey::Create(QORRegistryHive::kLocalMachine, rootPath, KEY_READ, root) !=
        ERROR_SUCCESS) {
      watches.partial = true;
      continue;
    }
    WatchKey(root, rootPath, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, old, watches);
    std::wstring name;
    for (uint32_t i = 0; root.EnumSubKey(i, name) == ERROR_SUCCESS; ++i) {
      QORRegistryKey endpoint;
      if (root.OpenSubKey(name, KEY_READ, endpoint) != ERROR_SUCCESS) continue;
      const std::wstring endpointPath = rootPath + L"\\" + name;
      WatchKey(endpoint, endpointPath, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, old,
               watches);
      QORRegistryKey properties;
      if (endpoint.OpenSubKey(L"Properties", KEY_READ, properties) == ERROR_SUCCESS) {
        WatchKey(properties, endpointPath + L"\\Properties", REG_NOTIFY_CHANGE_LAST_SET, old,
                 watches);
      }
    }
  }
  return watches;
}

void QOREndpointNotifier::Run(IQOREvent* stop, std::promise<void>* armed) {
  // Every key is watched before it is looked at, so that no change falls between the two.
  Watches watches = ArmWatches(Watches());
  Snapshot seen = Scan();
  armed->set_value();
  while (true) {
    std::vector<IQORWaitable*> objects{stop};
    for (const auto& watch : watches.keys) objects.push_back(watch.second.get());
    const uint32_t timeout = watches.partial ? kRescanMs : kQORInfinite;
    const uint32_t result = QORWaitForMultiple(objects, timeout);
    if (result == kQORWaitObject0 || result == kQORWaitFailed) return;
    watches = ArmWatches(std::move(watches));
    Snapshot now = Scan();
    Dispatch(seen, now);
    seen = std::move(now);
  }
}

template <typename Call>
void QOREndpointNotifier::ForEachClient(Call call) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::vector<IMMNotificationClient*> clients = clients_;
  for (IMMNotificationClient* client : clients) {
    // A client that a callback unregistered is not called again.
    if (std::find(clients_.begin(), clients_.end(), client) != clients_.end()) call(client);
  }
}

void QOREndpointNotifier::Dispatch(const Snapshot& before, const Snapshot& after) {
  // Plain references rather than structured bindings: clang 14 cannot capture those in lambdas.
  for (const auto& entry : before.endpoints) {
    const std::wstring& id = entry.first;
    if (after.endpoints.count(id) == 0) {
      ForEachClient([&](IMMNotificationClient* c) { c->OnDeviceRemoved(id.c_str()); });
    }
  }
  for (const auto& entry : after.endpoints) {
    const std::wstring& id = entry.first;
    const auto& endpoint = entry.second;
    const auto old = before.endpoints.find(id);
    if (old == before.endpoints.end()) {
      ForEachClient([&](IMMNotificationClient* c) { c->OnDeviceAdded(id.c_str()); });
    }
    // A new endpoint also reports the state it arrived in, as one that comes and goes does.
    if (old == before.endpoints.end() || old->second.state != endpoint.state) {
      ForEachClient(
          [&](IMMNotificationClient* c) { c->OnDeviceStateChanged(id.c_str(), endpoint.state); });
    }
    if (old == before.endpoints.end()) continue;
    std::map<std::wstring, bool> changed;
    for (const auto& [name, value] : endpoint.properties) {
      const auto was = old->second.properties.find(name);
      if (was == old->second.properties.end() || was->second != value) changed[name] = true;
    }
    for (const auto& [name, value] : old->second.properties) {
      if (endpoint.properties.count(name) == 0) changed[name] = true;
    }
    for (const auto& [name, unused] : changed) {
      PROPERTYKEY key{};
      if (!QORPropertyKeyFromString(name, &key)) continue;
      ForEachClient([&](IMMNotificationClient* c) { c->OnPropertyValueChanged(id.c_str(), key); });
    }
  }
  for (EDataFlow flow : {eRender, eCapture}) {
    for (int role = 0; role < ERole_enum_count; ++role) {
      const std::wstring& id = after.defaults[flow][role];
      if (id == before.defaults[flow][role]) continue;
      ForEachClient([&](IMMNotificationClient* c) {
        c->OnDefaultDeviceChanged(flow, static_cast<ERole>(role),
                                  id.empty() ? nullptr : id.c_str());
      });
    }
  }
}

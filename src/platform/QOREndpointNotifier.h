#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/IMMNotificationClient.h"
#include "platform/IQOREvent.h"
#include "platform/QORRegistryWatch.h"

// Tells registered clients about changes of the endpoint store, made by any process: endpoints
// added, removed or changing state, property values changing, default endpoints changing. One per
// process; a thread runs while any client is registered, watching the store's keys and comparing
// what it finds with what it saw before. Clients are called on that thread; once Unregister
// returns, the client is not called again.
class QOREndpointNotifier {
 public:
  static QOREndpointNotifier& Instance();

  // The watched keys; partial when some key is left to the periodic rescan.
  struct Watches {
    std::vector<std::pair<std::wstring, std::unique_ptr<QORRegistryWatch>>> keys;
    bool partial = false;
  };

  // Registering a client twice keeps one registration.
  HRESULT Register(IMMNotificationClient* client);
  // E_NOTFOUND when the client is not registered.
  HRESULT Unregister(IMMNotificationClient* client);

 private:
  struct Endpoint {
    uint32_t state = 0;
    std::map<std::wstring, std::pair<uint32_t, std::vector<uint8_t>>> properties;
  };
  struct Snapshot {
    std::map<std::wstring, Endpoint> endpoints;
    std::wstring defaults[2][3];
  };
  struct Worker {
    std::unique_ptr<IQOREvent> stop;
    std::thread thread;
  };

  QOREndpointNotifier() = default;
  static Snapshot Scan();
  // Watches the store's keys, keeping the watches of old that still apply.
  static Watches ArmWatches(Watches old);
  void Run(IQOREvent* stop, std::promise<void>* armed);
  void Dispatch(const Snapshot& before, const Snapshot& after);
  template <typename Call>
  void ForEachClient(Call call);

  std::recursive_mutex mutex_;
  std::vector<IMMNotificationClient*> clients_;
  std::unique_ptr<Worker> worker_;
  std::thread::id workerId_;
};

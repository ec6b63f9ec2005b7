#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "endpoint/IQORAPOEndpointNotify.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/IMMNotificationClient.h"
#include "platform/IQOREvent.h"
#include "thread/IQORThreadBasicWorker.h"
#include "thread/QORThreadBasic.h"

// The host's view of the system's audio endpoints: lists the active render (or capture) endpoints,
// finds and sets the default one, and tells registered listeners when endpoints change state (kinds
// 1 and 2), the default changes (0) or an endpoint's system-effects switch changes (3). The
// system's callbacks only record the change and signal an event; listeners are called on a worker
// thread of this object. Changes that arrive before the worker wakes coalesce: the device event
// carries only the last kind.
class QORAPOEndpointTools : private IMMNotificationClient, private IQORThreadBasicWorker {
 public:
  static constexpr uint32_t kDefaultChanged = 0;
  static constexpr uint32_t kEndpointGone = 1;
  static constexpr uint32_t kEndpointActive = 2;
  static constexpr uint32_t kSysFxChanged = 3;
  static constexpr uint32_t kNoChange = 4;

  QORAPOEndpointTools();
  ~QORAPOEndpointTools() override;
  QORAPOEndpointTools(const QORAPOEndpointTools&) = delete;
  QORAPOEndpointTools& operator=(const QORAPOEndpointTools&) = delete;

  // The owner controls the lifetime: references are not counted.
  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT OnDeviceStateChanged(const wchar_t* id, DWORD newState) override;
  HRESULT OnDeviceAdded(const wchar_t* id) override;
  HRESULT OnDeviceRemoved(const wchar_t* id) override;
  HRESULT OnDefaultDeviceChanged(EDataFlow flow, ERole role, const wchar_t* id) override;
  HRESULT OnPropertyValueChanged(const wchar_t* id, const PROPERTYKEY key) override;

  // The active render endpoints that refresh, in the system's order; true when any.
  virtual bool EnumerateEndpoints(std::vector<QORAPOEndpointInfo>& list);
  // The same for one direction: capture endpoints come with their render flag clear.
  bool EnumerateEndpoints(EDataFlow flow, std::vector<QORAPOEndpointInfo>& list);
  // The active endpoint of this flow with this GUID, read as EnumerateEndpoints reads it; only
  // that one is read.
  bool FindEndpoint(EDataFlow flow, const GUID& guid, QORAPOEndpointInfo& endpoint);
  // Makes the endpoint the default for the console and multimedia roles.
  virtual bool SetDefaultEndpoint(const QORAPOEndpointInfo& endpoint);
  // The default render endpoint of the multimedia role.
  virtual bool GetDefaultEndpoint(QORAPOEndpointInfo& endpoint);
  // Enables the listener; watching starts when the table already had an entry (an owner
  // unregisters before it registers). Once Unregister returns, the listener is not called again.
  virtual void Register(IQORAPOEndpointNotify* listener);
  virtual void Unregister(IQORAPOEndpointNotify* listener);
  virtual bool StartWatching();
  virtual bool StopWatching();
  virtual void NotifyListeners(uint32_t kind);

  // Makes sure every endpoint has an FxProperties key when the maker's key asks for it
  // (HKLM "Software\QOR Labs\APO", DWORD "InitFxProperties" not 0); true unless a root or key
  // could not be opened or created.
  static bool InitFxProperties();

 private:
  bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) override;
  // The active devices of flow (render or capture), in the system's order; false when they cannot
  // be listed.
  bool ActiveDevices(EDataFlow flow, std::vector<QORComPtr<IMMDevice>>& active);

  // Listener calls hold this lock, so that Unregister waits for a call in progress; recursive
  // so that a listener may unregister itself.
  std::recursive_mutex listenersLock_;
  std::map<IQORAPOEndpointNotify*, bool> listeners_;
  QORThreadBasic thread_;
  // Shared with the system's notification threads, which may still be inside a callback while
  // watching stops; the events are created once and kept until destruction.
  std::unique_ptr<IQOREvent> deviceEvent_;
  std::unique_ptr<IQOREvent> propertyEvent_;
  std::atomic<IQOREvent*> deviceSignal_{nullptr};
  std::atomic<IQOREvent*> propertySignal_{nullptr};
  std::atomic<uint32_t> changeKind_{kNoChange};
};

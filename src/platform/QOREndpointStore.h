#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/QORGuid.h"
#include "platform/QORMMDeviceTypes.h"
#include "platform/QORPropVariant.h"
#include "platform/QORPropertyKey.h"

struct QOREndpointRecord {
  EDataFlow flow = eRender;
  GUID guid = GUID_NULL;
  std::wstring id;
  uint32_t state = 0;
};

// The audio endpoints, kept in the registry as the platform keeps them: under
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\MMDevices\Audio\Render\{guid} (and
// Capture\) with a DeviceState value and Properties / FxProperties subkeys. Besides the reads the
// device objects use, it is the programmatic way to add, change and remove endpoints (tests and
// the endpoint command).
class QOREndpointStore {
 public:
  static std::wstring FlowKeyPath(EDataFlow flow);
  static std::wstring EndpointKeyPath(EDataFlow flow, const GUID& guid);
  // "{0.0.0.00000000}.{guid}" for render, "{0.0.1.00000000}.{guid}" for capture (lower-case guid).
  static std::wstring MakeId(EDataFlow flow, const GUID& guid);
  static bool ParseId(std::wstring_view id, EDataFlow* flow, GUID* guid);

  // state is one DEVICE_STATE_* bit. Adding an endpoint that exists fails (ERROR_ALREADY_EXISTS).
  // The friendly name is kept as given, and split as the system forms it, "Description
  // (Interface)", into the description and the interface name; a name without a bracketed tail is
  // all description.
  static HRESULT Add(EDataFlow flow, const GUID& guid, std::wstring_view friendlyName,
                     uint32_t state);
  // Splits a friendly name into description and interface name (see Add).
  static void SplitFriendlyName(std::wstring_view friendlyName, std::wstring* description,
                                std::wstring* interfaceName);
  // The endpoint's display name as its effects compose it: interface name, a blank, description.
  static std::wstring DisplayName(EDataFlow flow, const GUID& guid);
  // Whether another endpoint of the flow, in any state, composes the same display name.
  static bool IsDisplayNameShared(EDataFlow flow, const GUID& guid, std::wstring_view displayName);
  static HRESULT SetState(EDataFlow flow, const GUID& guid, uint32_t state);
  static HRESULT Enable(EDataFlow flow, const GUID& guid);
  static HRESULT Disable(EDataFlow flow, const GUID& guid);
  static HRESULT Remove(EDataFlow flow, const GUID& guid);
  // Writes one property of the endpoint's Properties key; VT_EMPTY removes it.
  static HRESULT SetProperty(EDataFlow flow, const GUID& guid, const PROPERTYKEY& key,
                             const PROPVARIANT& value);
  static HRESULT SetDefault(EDataFlow flow, ERole role, const GUID& guid);

  // flow may be eAll (render first); stateMask is a DEVICE_STATE_* mask.
  static HRESULT List(EDataFlow flow, uint32_t stateMask, std::vector<QOREndpointRecord>* out);
  static HRESULT Find(EDataFlow flow, const GUID& guid, QOREndpointRecord* out);
  // The chosen default when it is active, else the first active endpoint; E_NOTFOUND when none.
  static HRESULT GetDefault(EDataFlow flow, ERole role, QOREndpointRecord* out);
};

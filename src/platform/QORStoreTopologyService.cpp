#include "platform/QORStoreTopologyService.h"

#include "platform/QORComApi.h"

HRESULT QORStoreTopologyService::CreateDeviceEnumerator(IMMDeviceEnumerator** enumerator) {
  if (enumerator == nullptr) return E_POINTER;
  *enumerator = nullptr;
  return QORCoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                             reinterpret_cast<void**>(enumerator));
}

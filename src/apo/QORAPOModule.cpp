#include "apo/QORAPOModule.h"

#include <mutex>

#include "apo/CKEL_EFX_APO.h"
#include "apo/CKEL_MFX_APO.h"
#include "apo/CKEL_OMFX_APO.h"
#include "apo/CKEL_OSFX_APO.h"
#include "apo/CKEL_SFX_APO.h"
#include "apo/CQOR_LFX_APO_Varion.h"
#include "apo/CQOR_LFX_Capture_APO_Varion.h"
#include "apo/QORAPOClassFactory.h"
#include "apo/QORAPOClassIds.h"
#include "apo/QORAPOModuleRegistration.h"
#include "platform/QORComAggregate.h"
#include "platform/QORModuleInfo.h"
#include "platform/QORRegistryKey.h"

std::atomic<int32_t> QORAPOModule::locks_{0};
std::atomic<uint32_t> QORAPOModule::bypassCount_{QORAPOModule::kDefaultBypassCount};

namespace {

template <typename T>
HRESULT Create(IUnknown* outer, REFIID iid, void** object) {
  return QORComAggregate<T>::Create(outer, iid, object);
}

struct ClassEntry {
  const CLSID& clsid;
  QORAPOClassFactory factory;
};

ClassEntry classTable[] = {
    {CLSID_QOR_LFX_APO_Varion, QORAPOClassFactory(&Create<CQOR_LFX_APO_Varion>)},
    {CLSID_QOR_LFX_Capture_APO_Varion, QORAPOClassFactory(&Create<CQOR_LFX_Capture_APO_Varion>)},
    {CLSID_KEL_SFX_APO, QORAPOClassFactory(&Create<CKEL_SFX_APO>)},
    {CLSID_KEL_MFX_APO, QORAPOClassFactory(&Create<CKEL_MFX_APO>)},
    {CLSID_KEL_EFX_APO, QORAPOClassFactory(&Create<CKEL_EFX_APO>)},
    {CLSID_KEL_OSFX_APO, QORAPOClassFactory(&Create<CKEL_OSFX_APO>)},
    {CLSID_KEL_OMFX_APO, QORAPOClassFactory(&Create<CKEL_OMFX_APO>)},
};

std::once_flag bypassCountOnce;

}  // namespace

void QORAPOModule::Load() {
  std::call_once(bypassCountOnce, &QORAPOModule::ReadBypassCount);
}

void QORAPOModule::ReadBypassCount() {
  uint32_t value = kDefaultBypassCount;
  QORRegistryKey key;
  uint32_t stored = 0;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, L"Software\\KEL\\KEL Sonora", KEY_READ,
                           key) == ERROR_SUCCESS &&
      key.GetDword(L"BypassCount", &stored) == ERROR_SUCCESS && stored < kBypassCountLimit) {
    value = stored;
  }
  bypassCount_.store(value, std::memory_order_relaxed);
}

HRESULT QORAPOModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  Load();
  for (ClassEntry& entry : classTable) {
    if (entry.clsid == clsid) return entry.factory.QueryInterface(iid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT QORAPOModule::CanUnloadNow() {
  return GetLockCount() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  return QORAPOModule::GetClassObject(clsid, iid, object);
}

extern "C" HRESULT DllCanUnloadNow() {
  return QORAPOModule::CanUnloadNow();
}

// As an installer calls them: %MODULE% is this module's own full path.
extern "C" HRESULT DllRegisterServer() {
  return QORAPOModuleRegistration::Register(QORModuleInfo::GetOwnPath());
}

extern "C" HRESULT DllUnregisterServer() {
  return QORAPOModuleRegistration::Unregister(QORModuleInfo::GetOwnPath());
}

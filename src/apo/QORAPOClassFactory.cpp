#include "apo/QORAPOClassFactory.h"

#include "apo/QORAPOModule.h"

HRESULT QORAPOClassFactory::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassFactory) {
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT QORAPOClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  return create_(outer, iid, object);
}

HRESULT QORAPOClassFactory::LockServer(int lock) {
  if (lock != 0) {
    QORAPOModule::Lock();
  } else {
    QORAPOModule::Unlock();
  }
  return S_OK;
}

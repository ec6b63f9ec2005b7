#pragma once

#include "platform/IClassFactory.h"

// The factory of one class of the module. Factories live as long as the process; LockServer
// keeps the module loaded.
class QORAPOClassFactory final : public IClassFactory {
 public:
  using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** object);

  explicit QORAPOClassFactory(CreateFunction create) : create_(create) {}

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  // An outer object may only ask for IUnknown (CLASS_E_NOAGGREGATION otherwise).
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT LockServer(int lock) override;

 private:
  CreateFunction create_;
};

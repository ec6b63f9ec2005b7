#include "platform/QORComApi.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/QORMMDeviceEnumerator.h"
#include "platform/QORPolicyConfig.h"

namespace {

#ifndef _WIN32
thread_local uint32_t initCount = 0;
#endif

struct ClassTable {
  std::mutex mutex;
  std::map<CLSID, QORComCreateFunction> classes{
      {CLSID_MMDeviceEnumerator, &QORMMDeviceEnumerator::Create},
      {CLSID_PolicyConfig, &QORPolicyConfig::Create}};
};

ClassTable& Classes() {
  static ClassTable* table = new ClassTable;  // lives as long as the process
  return *table;
}

}  // namespace

#ifndef _WIN32
void* CoTaskMemAlloc(size_t bytes) {
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void CoTaskMemFree(void* memory) {
  std::free(memory);
}

HRESULT CoInitialize(void* reserved) {
  return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(void*, uint32_t) {
  return initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (initCount > 0) --initCount;
}
#endif

HRESULT QORCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                            void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if ((context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)) == 0) {
    return REGDB_E_CLASSNOTREG;
  }
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  QORComCreateFunction create = nullptr;
  {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.classes.find(clsid);
    if (found != table.classes.end()) create = found->second;
  }
  return create == nullptr ? REGDB_E_CLASSNOTREG : create(iid, object);
}

void QORComRegisterClass(REFCLSID clsid, QORComCreateFunction create) {
  ClassTable& table = Classes();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (create == nullptr) {
    table.classes.erase(clsid);
  } else {
    table.classes[clsid] = create;
  }
}

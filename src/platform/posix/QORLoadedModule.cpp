#include "platform/QORLoadedModule.h"

#include <dlfcn.h>

#include <string>

#include "common/QORTextConvert.h"

namespace {

// Only full paths are loaded: a bare name would send the loader down its search path, so a file
// placed anywhere on it could stand in for ours.
bool IsFullPath(const std::wstring& path) {
  return !path.empty() && path.front() == L'/' && path.find(L'\0') == std::wstring::npos;
}

}  // namespace

QORLoadedModule::~QORLoadedModule() {
  Free();
}

bool QORLoadedModule::Load(const std::wstring& path) {
  Free();
  if (!IsFullPath(path)) return false;
  // Resolve every symbol now, so a module that cannot run fails here and not during a period.
  handle_ = ::dlopen(QORWideToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle_ != nullptr;
}

void QORLoadedModule::Free() {
  if (handle_ == nullptr) return;
  ::dlclose(handle_);
  handle_ = nullptr;
}

void* QORLoadedModule::FindExport(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return ::dlsym(handle_, name);
}

bool QORLoadedModule::IsLoadedPath(const std::wstring& path) {
  if (!IsFullPath(path)) return false;
  void* handle = ::dlopen(QORWideToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  ::dlclose(handle);  // NOLOAD still took a reference
  return true;
}

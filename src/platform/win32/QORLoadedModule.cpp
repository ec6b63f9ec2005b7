#include "platform/QORLoadedModule.h"

#include <string>

#include "platform/win32/QORWin32.h"

namespace {

// Only full paths are loaded: a bare name would send the loader down its search path, so a file
// placed anywhere on it could stand in for ours.
bool IsFullPath(const std::wstring& path) {
  if (path.empty() || path.find(L'\0') != std::wstring::npos) return false;
  const bool drive = path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
  const bool share = path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
  return drive || share;
}

}  // namespace

QORLoadedModule::~QORLoadedModule() {
  Free();
}

bool QORLoadedModule::Load(const std::wstring& path) {
  Free();
  if (!IsFullPath(path)) return false;
  // The module's own folder is searched for its dependencies, never the working directory.
  handle_ = ::LoadLibraryExW(path.c_str(), nullptr,
                             LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  return handle_ != nullptr;
}

void QORLoadedModule::Free() {
  if (handle_ == nullptr) return;
  ::FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

void* QORLoadedModule::FindExport(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

bool QORLoadedModule::IsLoadedPath(const std::wstring& path) {
  if (!IsFullPath(path)) return false;
  HMODULE module = nullptr;
  // No reference is taken: the answer is only a look.
  return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(),
                              &module) != 0;
}

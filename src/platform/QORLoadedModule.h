#pragma once

#include <string>

// One reference to a module loaded at run time (LoadLibrary / FreeLibrary). The module stays mapped
// while any reference to it is held; this object releases its own on Free and on destruction.
class QORLoadedModule {
 public:
  QORLoadedModule() = default;
  QORLoadedModule(const QORLoadedModule&) = delete;
  QORLoadedModule& operator=(const QORLoadedModule&) = delete;
  ~QORLoadedModule();

  // Loads the module at this full path, dropping any reference held before; false when the file
  // cannot be loaded (missing, not a module, unresolved symbols).
  bool Load(const std::wstring& path);
  void Free();
  bool IsLoaded() const { return handle_ != nullptr; }
  // Address of an exported symbol; null when the module lacks it or none is loaded.
  void* FindExport(const char* name) const;

  // Whether the module at this path is loaded in the process now, without loading it.
  static bool IsLoadedPath(const std::wstring& path);

 private:
  void* handle_ = nullptr;
};

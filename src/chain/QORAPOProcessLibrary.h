#pragma once

#include <string>

#include "chain/QORTechProcess.h"
#include "platform/QORLoadedModule.h"

// The technology library beside the host module and the one process made from it. Each holder
// has its own reference to the library, so the library stays loaded while any process lives.
class QORAPOProcessLibrary {
 public:
  QORAPOProcessLibrary() = default;
  QORAPOProcessLibrary(const QORAPOProcessLibrary&) = delete;
  QORAPOProcessLibrary& operator=(const QORAPOProcessLibrary&) = delete;
  virtual ~QORAPOProcessLibrary();

  // Loads the library when needed, drops the process held and creates one for techId. On failure
  // no process is held and the library is not kept loaded.
  virtual bool CreateProcess(const std::string& techId);
  virtual void DestroyProcess();

  TechProcess* GetProcess() const { return process_; }
  bool IsLoaded() const { return module_.IsLoaded(); }

  // File name of the library: the 32-bit build for a process under WOW64, else the 64-bit one.
  static std::wstring GetFileName(bool wow64);
  // Where the library is looked for: the host module's folder and the file name for this process;
  // empty when the folder cannot be found. The only place looked at.
  static std::wstring GetPath();

 private:
  struct EntryPoints {
    QORTechCreateProcessFunction create = nullptr;
    QORTechDestroyProcessFunction destroy = nullptr;
  };

  bool Load();
  void Unload();

  QORLoadedModule module_;
  TechProcess* process_ = nullptr;
  EntryPoints entryPoints_;
};

#include "chain/QORAPOProcessLibrary.h"

#include <filesystem>
#include <system_error>

#include "common/QORTextConvert.h"
#include "platform/QORModule.h"
#include "platform/QORModuleInfo.h"

namespace {

// The host module's own file name, for when the path of this code is unknown.
constexpr char kHostModule[] = "qlvapo64";

std::wstring HostFolder() {
  std::wstring own = QORModuleInfo::GetOwnPath();
  if (own.empty()) {
    own = QORModuleInfo::FindLoadedPath(QORUtf8ToWide(std::string(kHostModule) + kQORModuleSuffix));
  }
  return QORModuleInfo::GetFolder(own);
}

}  // namespace

QORAPOProcessLibrary::~QORAPOProcessLibrary() {
  DestroyProcess();
  Unload();
}

std::wstring QORAPOProcessLibrary::GetFileName(bool wow64) {
  return QORUtf8ToWide(std::string(wow64 ? kQORTechModule32 : kQORTechModule64) + kQORModuleSuffix);
}

std::wstring QORAPOProcessLibrary::GetPath() {
  const std::wstring folder = HostFolder();
  if (folder.empty()) return {};
  return folder + GetFileName(QORModuleInfo::IsWow64Process());
}

bool QORAPOProcessLibrary::Load() {
  if (module_.IsLoaded()) return true;
  const std::wstring path = GetPath();
  std::error_code error;
  if (path.empty() || !std::filesystem::exists(QORWideToUtf8(path), error)) return false;
  return module_.Load(path);
}

void QORAPOProcessLibrary::Unload() {
  entryPoints_ = {};
  module_.Free();
}

bool QORAPOProcessLibrary::CreateProcess(const std::string& techId) {
  if (!Load()) return false;
  DestroyProcess();
  entryPoints_.create =
      reinterpret_cast<QORTechCreateProcessFunction>(module_.FindExport(kQORTechCreateProcessName));
  entryPoints_.destroy = reinterpret_cast<QORTechDestroyProcessFunction>(
      module_.FindExport(kQORTechDestroyProcessName));
  if (entryPoints_.create == nullptr || entryPoints_.destroy == nullptr) {
    Unload();
    return false;
  }
  const bool created = entryPoints_.create(techId.c_str(), &process_);
  if (created && process_ != nullptr) return true;
  // Whatever the library left in the field is still its own to destroy.
  DestroyProcess();
  Unload();
  return false;
}

void QORAPOProcessLibrary::DestroyProcess() {
  if (process_ == nullptr) return;
  entryPoints_.destroy(process_);
  process_ = nullptr;
}

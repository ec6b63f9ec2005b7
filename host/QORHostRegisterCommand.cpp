#include "QORHostRegisterCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "common/QORTextConvert.h"
#include "platform/QORHResult.h"
#include "platform/QORLoadedModule.h"
#include "platform/QORModule.h"
#include "platform/QORModuleInfo.h"
#include "platform/QORRegistryKey.h"

CLI::App* QORHostRegisterCommand::Register(CLI::App& app) {
  CLI::App* command =
      unregister_
          ? app.add_subcommand("unregister",
                               "Remove the APO module's class registrations (its engine records "
                               "stay, as they do on the platform)")
          : app.add_subcommand("register",
                               "Register the APO module's classes and engine records, as an "
                               "installer does");
  command->add_option("--module", module_, "The APO module (default: qlvapo64.so beside qorapo)");
  return command;
}

std::wstring QORHostRegisterCommand::DefaultModule() {
  return QORModuleInfo::GetFolder(QORModuleInfo::GetOwnPath()) + L"qlvapo64" +
         QORUtf8ToWide(kQORModuleSuffix);
}

std::wstring QORHostRegisterCommand::FindRegisteredModule(const CLSID& clsid) {
  QORRegistryKey key;
  std::wstring path;
  if (QORRegistryKey::Open(QORRegistryHive::kClassesRoot,
                           L"CLSID\\" + QORGuidToString(clsid) + L"\\InprocServer32", KEY_READ,
                           key) != ERROR_SUCCESS ||
      key.GetString(L"", &path) != ERROR_SUCCESS) {
    path.clear();
  }
  return path;
}

int QORHostRegisterCommand::Run() {
  const char* entry = unregister_ ? "DllUnregisterServer" : "DllRegisterServer";
  const std::wstring path = module_.empty() ? DefaultModule() : QORUtf8ToWide(module_);
  QORLoadedModule module;
  if (!module.Load(path)) {
    std::fprintf(stderr, "qorapo: cannot load the APO module '%s'\n", QORWideToUtf8(path).c_str());
    return 1;
  }
  auto call = reinterpret_cast<HRESULT (*)()>(module.FindExport(entry));
  if (call == nullptr) {
    std::fprintf(stderr, "qorapo: the module '%s' does not export %s\n",
                 QORWideToUtf8(path).c_str(), entry);
    return 1;
  }
  const HRESULT result = call();
  if (FAILED(result)) {
    std::fprintf(stderr, "qorapo: %s of '%s' failed with 0x%08X\n", entry,
                 QORWideToUtf8(path).c_str(), static_cast<uint32_t>(result));
    return 1;
  }
  std::printf("%s %s\n", unregister_ ? "unregistered" : "registered", QORWideToUtf8(path).c_str());
  return 0;
}

#include "QORHostRegisterCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "QORHostOutput.h"
#include "common/QORTextConvert.h"
#include "platform/QORHResult.h"
#include "platform/QORLoadedModule.h"
#include "platform/QORModule.h"
#include "platform/QORModuleInfo.h"
#include "platform/QORRegistryKey.h"

namespace {

// What a failed DllRegisterServer or DllUnregisterServer most likely ran into.
std::string Cause(HRESULT result) {
  switch (static_cast<uint32_t>(result)) {
    case 0x800705B4:  // ERROR_TIMEOUT
      return "another registration or unregistration held the state root's registration lock for "
             "longer than 30 s; nothing was changed, try again";
    case 0x800703FA:  // ERROR_KEY_DELETED
    case 0x80070002:  // ERROR_FILE_NOT_FOUND
      return "a registry key was deleted while it was being written, by a program that does not "
             "take the registration lock; run it again";
    case 0x800703F5:  // ERROR_CANTWRITE
      return "a registry key could not be written or removed whole: another program changed it "
             "at the same time, or the state root (QOR_ROOT) refused the write; run it again";
    case 0x80020009:  // DISP_E_EXCEPTION
      return "a registrar script of the module is damaged; the trace log (QOR_TRACE) names the "
             "line";
    case 0x80070005:  // ERROR_ACCESS_DENIED
      return "access was denied; check that the state root (QOR_ROOT) is writable";
    default:
      return "the trace log (QOR_TRACE) has the details; check that the state root (QOR_ROOT) is "
             "writable";
  }
}

}  // namespace

CLI::App* QORHostRegisterCommand::Register(CLI::App& app) {
  CLI::App* command =
      unregister_
          ? app.add_subcommand("unregister",
                               "Remove the APO module's class registrations (its engine records "
                               "stay, as they do on the platform)")
          : app.add_subcommand("register",
                               "Register the APO module's classes and engine records, as an "
                               "installer does");
  std::string moduleHelp = "The APO module (default: qlvapo64";
  moduleHelp += kQORModuleSuffix;
  moduleHelp += " beside qorapo)";
  command->add_option("--module", module_, moduleHelp);
  QORHostOutput::AddJson(command, &json_);
  QORHostOutput::Example(command, unregister_ ? "qorapo unregister --module /opt/qor/qlvapo64.so"
                                              : "qorapo register --module /opt/qor/qlvapo64.so");
  return command;
}

std::wstring QORHostRegisterCommand::DefaultModule() {
  return QORModuleInfo::GetFolder(QORModuleInfo::GetOwnPath()) + L"qlvapo64" +
         QORUtf8ToWide(kQORModuleSuffix);
}

int QORHostRegisterCommand::Run() {
  const char* entry = unregister_ ? "DllUnregisterServer" : "DllRegisterServer";
  const std::wstring path = module_.empty() ? DefaultModule() : QORUtf8ToWide(module_);
  QORLoadedModule module;
  const std::string text = QORWideToUtf8(path);
  if (!module.Load(path)) {
    return QORHostOutput::Error(
        QORHostOutput::kFailed,
        "cannot load the APO module '" + text + "'; build it or give its path with --module");
  }
  auto call = reinterpret_cast<HRESULT (*)()>(module.FindExport(entry));
  if (call == nullptr) {
    return QORHostOutput::Error(QORHostOutput::kFailed, "the module '" + text +
                                                            "' does not export " + entry +
                                                            "; give the APO module with --module");
  }
  const HRESULT result = call();
  if (FAILED(result)) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<uint32_t>(result));
    return QORHostOutput::Error(
        QORHostOutput::kFailed,
        std::string(entry) + " of '" + text + "' failed with " + code + ": " + Cause(result));
  }
  if (json_) {
    nlohmann::json out;
    out["module"] = text;
    out["registered"] = !unregister_;
    QORHostOutput::Print(out);
  } else {
    std::printf("%s %s\n", unregister_ ? "unregistered" : "registered", text.c_str());
  }
  return QORHostOutput::kOk;
}

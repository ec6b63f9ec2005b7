#include "QORHostExtension.h"

#include <map>
#include <memory>

#include "common/QORTextConvert.h"
#include "platform/QORLoadedModule.h"
#include "platform/QORModule.h"
#include "platform/QORModuleInfo.h"

bool QORHostExtension::Available(const std::string& name, const std::string& what,
                                 const std::string& needs, std::string* error) {
  // The modules this build makes, separated by commas, as the build names them.
  const std::string built = "," + std::string(QOR_HOST_EXTENSIONS) + ",";
  if (built.find("," + name + ",") != std::string::npos) return true;
  *error = what + " needs " + needs + ", which this build of qorapo lacks: its module " + name +
           " is built on Linux only";
  return false;
}

void* QORHostExtension::Find(const std::string& name, const char* symbol, std::string* error) {
  // Commands run on the main thread, one per process.
  static std::map<std::string, std::unique_ptr<QORLoadedModule>> loaded;
  std::unique_ptr<QORLoadedModule>& module = loaded[name];
  const std::wstring path = QORModuleInfo::GetFolder(QORModuleInfo::GetOwnPath()) +
                            QORUtf8ToWide(name) + QORUtf8ToWide(kQORModuleSuffix);
  if (module == nullptr) {
    module = std::make_unique<QORLoadedModule>();
    if (!module->Load(path)) {
      module.reset();
      std::string text = "cannot load '";
      text.append(QORWideToUtf8(path)).append("', the part of qorapo this command needs; ");
      text.append("it is built beside qorapo with the rest of the build");
      *error = text;
      return nullptr;
    }
  }
  void* address = module->FindExport(symbol);
  if (address == nullptr) {
    std::string text = "'";
    text.append(QORWideToUtf8(path)).append("' does not export ").append(symbol);
    text.append("; it belongs to another build of qorapo");
    *error = text;
  }
  return address;
}

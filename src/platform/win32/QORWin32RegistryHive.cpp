#include "platform/win32/QORWin32RegistryHive.h"

#include "platform/win32/QORWin32ObjectName.h"

std::wstring QORWin32RegistryHive::RootPath() {
  const std::wstring tag = QORWin32ObjectName::RootTag();
  return tag.empty() ? std::wstring() : L"Software\\qorapo\\roots\\" + tag;
}

uint32_t QORWin32RegistryHive::Open(QORRegistryHive hive, HKEY* out) {
  const bool machine = hive == QORRegistryHive::kLocalMachine;
  const std::wstring root = RootPath();
  *out = nullptr;
  if (!root.empty()) {
    const std::wstring path = root + (machine ? L"\\HKLM" : L"\\HKCR");
    return RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, out, nullptr);
  }
  // Wine answers with the predefined key itself, which a key holds like any other.
  return RegOpenKeyExW(machine ? HKEY_LOCAL_MACHINE : HKEY_CLASSES_ROOT, nullptr, 0,
                       MAXIMUM_ALLOWED, out);
}

uint32_t QORWin32RegistryHive::DeleteRoot() {
  const std::wstring root = RootPath();
  if (root.empty()) return ERROR_INVALID_FUNCTION;
  return RegDeleteTreeW(HKEY_CURRENT_USER, root.c_str());
}

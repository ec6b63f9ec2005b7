#pragma once

#include <cstdint>
#include <string>

#include "platform/QORRegistryTypes.h"
#include "platform/win32/QORWin32.h"

// Where the host's two hives are. Without a state root (QOR_ROOT unset or empty) they are the
// machine's HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT. Under a state root they are the keys "HKLM"
// and "HKCR" of HKEY_CURRENT_USER\Software\qorapo\roots\<tag>, with the root's tag of the named
// objects (QORWin32ObjectName::RootTag): test processes that share one machine then never share
// keys, as the POSIX backend keeps one store per root. The root is read on every call, since tests
// change it between cases.
class QORWin32RegistryHive {
 public:
  // A new handle to the hive's top key, made when missing; a Win32 error code.
  static uint32_t Open(QORRegistryHive hive, HKEY* out);
  // The state root's key under HKEY_CURRENT_USER; empty without a state root.
  static std::wstring RootPath();
  // Deletes the state root's keys, as the end of a test's root removes its folder.
  static uint32_t DeleteRoot();
};

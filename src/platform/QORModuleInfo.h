#pragma once

#include <string>

// Where the host's code lives and what kind of process runs it.
class QORModuleInfo {
 public:
  // Full path of the module that holds the host's code: the host module when it is loaded as a
  // library, the executable when the code is linked into one. Recorded on first use; empty when
  // the system cannot tell.
  static std::wstring GetOwnPath();
  // Full path of the module containing address; empty when no module does.
  static std::wstring GetPathOf(const void* address);
  // Full path of an already loaded module with this file name; empty when none is loaded.
  static std::wstring FindLoadedPath(const std::wstring& fileName);
  // The folder part of a module path, with a trailing separator; empty for a path without one.
  static std::wstring GetFolder(const std::wstring& path);
  // True when a 32-bit process runs on a 64-bit system (the WOW64 case).
  static bool IsWow64Process();
};

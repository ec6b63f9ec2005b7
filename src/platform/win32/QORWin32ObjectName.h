#pragma once

#include "platform/win32/QORWin32.h"

#include <functional>
#include <string>

#include "platform/IQORNamedMutex.h"

// How the host's object and pipe names reach the system.
//
// Under a state root (QOR_ROOT set and not empty) every name gets "." + the root's tag appended,
// so that test processes sharing one machine never meet, as the POSIX backend keeps a namespace
// per root. The tag is 16 lower-case hex digits of the FNV-1a 64 hash of QOR_ROOT's UTF-16LE
// bytes, read on every call (tests change the root between cases).
//
// Creating a file mapping under "Global\" takes a privilege that unelevated processes lack. Such a
// refusal is met by opening the object if someone privileged made it, else by making it under the
// session's "Local\" name; openers look there too when the Global\ name finds nothing.
class QORWin32ObjectName {
 public:
  // Makes or opens one object under a system name; null with GetLastError set on failure, which
  // leaves ERROR_ALREADY_EXISTS after a create that found the object.
  using Maker = std::function<HANDLE(const wchar_t* name)>;

  static std::wstring RootTag();
  // A pipe's name as the system sees it: tagged under a state root, else unchanged.
  static std::wstring ForPipe(const std::wstring& name);
  // A kernel object's name as the system sees it. The host's names may hold backslashes (a
  // settings lock is named after its registry path), which Win32 allows only after the namespace
  // ("Global\", "Local\", spelled so whatever the caller's case): each further one becomes U+29F5,
  // the reverse solidus operator, which leaves every name Win32 accepts as it is. Then tagged
  // under a state root.
  static std::wstring ForObject(const std::wstring& name);
  // "Local\" + rest for a "Global\" name (any case); empty for every other name.
  static std::wstring LocalFallback(const std::wstring& resolved);

  // Creates or opens the object named (the host's spelling). *error is ERROR_SUCCESS, or the
  // system's error with a null handle; *existed tells whether it was there already.
  static HANDLE Create(const std::wstring& name, const Maker& create, const Maker& open,
                       bool* existed, DWORD* error);
  // Opens the existing object named (the host's spelling), in Global\ then in the fallback.
  static HANDLE Open(const std::wstring& name, const Maker& open, DWORD* error);

  // kNotFound, kAccessDenied, kInTheWay (ERROR_INVALID_HANDLE: an object of another type holds
  // the name) or kFailed for a system error; kNone for ERROR_SUCCESS.
  static QORNamedObjectError ErrorFor(DWORD error);
  // Whether an open of the object named fails because an object of another type holds the name;
  // what and path then say so and where, for the user to remove it.
  static bool InTheWay(const std::wstring& name, const Maker& open, std::string* what,
                       std::string* path);
};

// Makes every creation under "Global\" fail with ERROR_ACCESS_DENIED, as for a process without the
// privilege (wine grants it to everyone). Refusing again lets the next fallback be traced again.
void QORWin32RefuseGlobalForTesting(bool refuse);

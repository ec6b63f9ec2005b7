#pragma once

#include <string>

#include "platform/QORGuid.h"
#include "platform/QORHResult.h"

// What DllRegisterServer and DllUnregisterServer write and remove: the engine's records of the
// seven APO classes, the application ID (script 101), the COM classes (their scripts) and the type
// library's identity under HKEY_CLASSES_ROOT "TypeLib\{LIBID}\1.0".
class QORAPOModuleRegistration {
 public:
  static constexpr GUID kAppId = {
      0x553C48B2, 0xBA6B, 0x412B, {0x9F, 0x8D, 0x2B, 0x62, 0xB1, 0xB9, 0x12, 0xAA}};
  static constexpr GUID kLibId = {
      0x7FBEFE6C, 0x4533, 0x4E2C, {0x97, 0x40, 0x2A, 0x7B, 0xB5, 0x20, 0xAC, 0x16}};
  static constexpr wchar_t kTypeLibVersion[] = L"1.0";
  static constexpr wchar_t kTypeLibName[] = L"QOR_APO_VarionLib";
  static constexpr wchar_t kTypeLibHelpText[] = L"QOR_APO_Varion 1.0 Type Library";
  static constexpr int kAppIdScript = 101;
  // Registering and unregistering serialise on this named mutex of the state root, as an
  // installer's lock would, waiting up to kLockWaitMs; a call that cannot have it returns
  // kLockTimeout (HRESULT_FROM_WIN32(ERROR_TIMEOUT)) and changes nothing.
  static constexpr wchar_t kLockName[] = L"Global\\QorApoRegistration";
  static constexpr uint32_t kLockWaitMs = 30000;
  static constexpr HRESULT kLockTimeout = static_cast<HRESULT>(0x800705B4);
  // A pass that fails because a key was deleted or filled under it (by a writer that does not take
  // the lock) is run again, up to this many passes in all.
  static constexpr int kPasses = 3;

  // modulePath is the module's full path, written for %MODULE%. The first failure is returned;
  // the scripts are all checked before anything is written, so a damaged one writes nothing.
  // Both run whole under kLockName.
  static HRESULT Register(const std::wstring& modulePath);
  // Leaves the engine's APO records in place.
  static HRESULT Unregister(const std::wstring& modulePath);

  // The key of the type library's version, under HKEY_CLASSES_ROOT.
  static std::wstring TypeLibKey();

 private:
  static HRESULT RegisterOnce(const std::wstring& modulePath);
  static HRESULT UnregisterOnce(const std::wstring& modulePath);
  // Runs pass under the lock, again while it fails because a key was deleted under it.
  static HRESULT Serialised(const char* what, HRESULT (*pass)(const std::wstring&),
                            const std::wstring& modulePath);
};

#include "apo/QORAPOModuleRegistration.h"

#include <string_view>
#include <vector>

#include "apo/CKEL_EFX_APO.h"
#include "apo/CKEL_MFX_APO.h"
#include "apo/CKEL_OMFX_APO.h"
#include "apo/CKEL_OSFX_APO.h"
#include "apo/CKEL_SFX_APO.h"
#include "apo/CQOR_LFX_APO_Varion.h"
#include "apo/CQOR_LFX_Capture_APO_Varion.h"
#include "apo/QORAPOClassIds.h"
#include "apo/QORAPORegistrar.h"
#include "apo/QORAPOResources.h"
#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "platform/QORAPORegistrationApi.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORThreadLocale.h"
#include "thread/QORNamedMutexLock.h"

namespace {

// The class table: each class with the script its registration runs. The manager's facade shares
// script 102 with the render class of the same module version and adds nothing of its own.
struct ClassScript {
  const CLSID& clsid;
  int script;
};

constexpr ClassScript kClassScripts[] = {
    {CLSID_QOR_LFX_APO_Varion, 102},
    {CLSID_LQORAPOProcessManager, 102},
    {CLSID_QOR_LFX_Capture_APO_Varion, 103},
    {CLSID_KEL_SFX_APO, 106},
    {CLSID_KEL_MFX_APO, 107},
    {CLSID_KEL_EFX_APO, 108},
    {CLSID_KEL_OSFX_APO, 113},
    {CLSID_KEL_OMFX_APO, 114},
};

const APO_REG_PROPERTIES* const* ApoRecords() {
  static const APO_REG_PROPERTIES* const records[] = {
      &CQOR_LFX_APO_Varion::Registration(), &CQOR_LFX_Capture_APO_Varion::Registration(),
      &CKEL_SFX_APO::Registration(),        &CKEL_MFX_APO::Registration(),
      &CKEL_EFX_APO::Registration(),        &CKEL_OSFX_APO::Registration(),
      &CKEL_OMFX_APO::Registration(),
  };
  return records;
}
constexpr size_t kApoRecordCount = 7;

// Script 101 then every class's script in table order, all parsed before any is run.
bool LoadScripts(QORAPORegistrar& registrar, std::vector<std::wstring>* scripts) {
  std::vector<int> ids{QORAPOModuleRegistration::kAppIdScript};
  for (const ClassScript& entry : kClassScripts) ids.push_back(entry.script);
  for (const int id : ids) {
    const std::string_view text = QORAPOResources::FindRegistryScript(id);
    scripts->push_back(QORUtf8ToWide(text));
    if (text.empty() || !registrar.Check(scripts->back())) {
      QORTrace({"QORAPOModuleRegistration", __LINE__, "QORAPOModuleRegistration::LoadScripts"},
               "Registrar script %d refused: %s\n", id, registrar.Error().c_str());
      return false;
    }
  }
  return true;
}

void AddReplacements(QORAPORegistrar& registrar, const std::wstring& modulePath) {
  registrar.AddReplacement(L"MODULE", modulePath);
  registrar.AddReplacement(L"APPID", QORGuidToString(QORAPOModuleRegistration::kAppId));
}

HRESULT RegisterTypeLib() {
  QORRegistryKey key;
  uint32_t error = QORRegistryKey::Create(
      QORRegistryHive::kClassesRoot, QORAPOModuleRegistration::TypeLibKey(), KEY_ALL_ACCESS, key);
  if (error == ERROR_SUCCESS)
    error = key.SetString(L"", QORAPOModuleRegistration::kTypeLibHelpText);
  if (error == ERROR_SUCCESS)
    error = key.SetString(L"Name", QORAPOModuleRegistration::kTypeLibName);
  QORRegistryKey flags;
  if (error == ERROR_SUCCESS) error = key.CreateSubKey(L"FLAGS", KEY_ALL_ACCESS, flags);
  if (error == ERROR_SUCCESS) error = flags.SetString(L"", L"0");
  return HRESULT_FROM_WIN32(error);
}

HRESULT UnregisterTypeLib() {
  const std::wstring libKey = L"TypeLib\\" + QORGuidToString(QORAPOModuleRegistration::kLibId);
  uint32_t error = QORRegistryKey::DeleteTree(QORRegistryHive::kClassesRoot,
                                              QORAPOModuleRegistration::TypeLibKey());
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(error);
  // The library's own key goes with its last version.
  QORRegistryKey lib;
  error = QORRegistryKey::Open(QORRegistryHive::kClassesRoot, libKey, KEY_READ, lib);
  if (error == ERROR_FILE_NOT_FOUND) return S_OK;
  uint32_t subKeys = 0;
  if (error == ERROR_SUCCESS) error = lib.QueryInfo(&subKeys, nullptr);
  lib.Close();
  if (error == ERROR_SUCCESS && subKeys == 0) {
    error = QORRegistryKey::DeleteTree(QORRegistryHive::kClassesRoot, libKey);
  }
  return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
}

}  // namespace

std::wstring QORAPOModuleRegistration::TypeLibKey() {
  return L"TypeLib\\" + QORGuidToString(kLibId) + L"\\" + kTypeLibVersion;
}

HRESULT QORAPOModuleRegistration::Serialised(const char* what, HRESULT (*pass)(const std::wstring&),
                                             const std::wstring& modulePath) {
  QORNamedMutexLock lock;
  switch (lock.Lock(kLockName, kLockWaitMs)) {
    case QORNamedMutexLock::Result::kHeld:
      break;
    case QORNamedMutexLock::Result::kTimeout:
      QORTrace({"QORAPOModuleRegistration", __LINE__, "QORAPOModuleRegistration::Serialised"},
               "%s: another process held the registration lock for %u ms\n", what, kLockWaitMs);
      return kLockTimeout;
    case QORNamedMutexLock::Result::kFailed:
      QORTrace({"QORAPOModuleRegistration", __LINE__, "QORAPOModuleRegistration::Serialised"},
               "%s: cannot open the registration lock\n", what);
      return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  HRESULT result = S_OK;
  for (int attempt = 1; attempt <= kPasses; ++attempt) {
    result = pass(modulePath);
    // A key deleted under the pass, or a tree that could not be removed whole because a key
    // was added to it meanwhile: what a writer outside the lock does.
    if (result != HRESULT_FROM_WIN32(ERROR_KEY_DELETED) &&
        result != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) &&
        result != HRESULT_FROM_WIN32(ERROR_CANTWRITE)) {
      break;
    }
    QORTrace({"QORAPOModuleRegistration", __LINE__, "QORAPOModuleRegistration::Serialised"},
             "%s: pass %d failed (0x%08X): a key changed under it\n", what, attempt,
             static_cast<uint32_t>(result));
  }
  return result;
}

HRESULT QORAPOModuleRegistration::Register(const std::wstring& modulePath) {
  return Serialised("Register", &RegisterOnce, modulePath);
}

HRESULT QORAPOModuleRegistration::Unregister(const std::wstring& modulePath) {
  return Serialised("Unregister", &UnregisterOnce, modulePath);
}

HRESULT QORAPOModuleRegistration::RegisterOnce(const std::wstring& modulePath) {
  QORAPORegistrar registrar;
  AddReplacements(registrar, modulePath);
  std::vector<std::wstring> scripts;
  if (!LoadScripts(registrar, &scripts)) return QORAPORegistrar::kParseFailed;

  for (size_t i = 0; i < kApoRecordCount; ++i) {
    const HRESULT result = RegisterAPO(ApoRecords()[i]);
    if (FAILED(result)) return result;
  }
  const QORThreadLocale locale;
  HRESULT result = S_OK;
  for (size_t i = 0; i < scripts.size() && SUCCEEDED(result); ++i) {
    result = registrar.Register(scripts[i]);
  }
  if (SUCCEEDED(result)) result = RegisterTypeLib();
  if (FAILED(result)) {
    QORTrace({"QORAPOModuleRegistration", __LINE__, "QORAPOModuleRegistration::Register"},
             "Registration failed: 0x%08X %s\n", static_cast<uint32_t>(result),
             registrar.Error().c_str());
  }
  return result;
}

HRESULT QORAPOModuleRegistration::UnregisterOnce(const std::wstring& modulePath) {
  QORAPORegistrar registrar;
  AddReplacements(registrar, modulePath);
  std::vector<std::wstring> scripts;
  if (!LoadScripts(registrar, &scripts)) return QORAPORegistrar::kParseFailed;

  const QORThreadLocale locale;
  HRESULT result = S_OK;
  // The classes first, then the type library, then the application ID.
  for (size_t i = 1; i < scripts.size() && SUCCEEDED(result); ++i) {
    result = registrar.Unregister(scripts[i]);
  }
  if (SUCCEEDED(result)) result = UnregisterTypeLib();
  if (SUCCEEDED(result)) result = registrar.Unregister(scripts[0]);
  return result;
}

#include "apo/QORAPORegistrar.h"

#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"

void QORAPORegistrar::AddReplacement(std::wstring name, std::wstring value) {
  script_.AddReplacement(std::move(name), std::move(value));
}

bool QORAPORegistrar::Check(std::wstring_view script) {
  error_.clear();
  if (script_.Parse(script)) return true;
  error_ = script_.Error();
  return false;
}

HRESULT QORAPORegistrar::Register(std::wstring_view script) {
  return Run(script, true);
}

HRESULT QORAPORegistrar::Unregister(std::wstring_view script) {
  return Run(script, false);
}

HRESULT QORAPORegistrar::Run(std::wstring_view script, bool reg) {
  if (!Check(script)) return kParseFailed;
  for (const QORAPORegistryScript::Root& root : script_.Roots()) {
    QORRegistryKey hive;
    uint32_t error = QORRegistryKey::Open(root.hive, L"", KEY_ALL_ACCESS, hive);
    for (const QORAPORegistryScript::Key& key : root.keys) {
      if (error != ERROR_SUCCESS) break;
      error = reg ? RegisterKey(hive, key) : UnregisterKey(hive, key);
    }
    if (error != ERROR_SUCCESS) {
      error_ = std::string(reg ? "registering" : "unregistering") + " failed with error " +
               std::to_string(error);
      return HRESULT_FROM_WIN32(error);
    }
  }
  return S_OK;
}

uint32_t QORAPORegistrar::SetValue(const QORRegistryKey& key,
                                   const QORAPORegistryScript::Value& value) {
  return value.type == REG_DWORD ? key.SetDword(value.name, value.number)
                                 : key.SetString(value.name, value.text);
}

uint32_t QORAPORegistrar::RegisterKey(const QORRegistryKey& parent,
                                      const QORAPORegistryScript::Key& key) {
  if (key.removal == QORAPORegistryScript::Removal::kForceRemove) {
    const uint32_t error = parent.DeleteSubTree(key.name);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return error;
  }
  QORRegistryKey self;
  uint32_t error = parent.CreateSubKey(key.name, KEY_ALL_ACCESS, self);
  if (error == ERROR_SUCCESS && key.hasDefault) error = SetValue(self, key.defaultValue);
  for (const QORAPORegistryScript::Value& value : key.values) {
    if (error == ERROR_SUCCESS) error = SetValue(self, value);
  }
  for (const QORAPORegistryScript::Key& child : key.keys) {
    if (error == ERROR_SUCCESS) error = RegisterKey(self, child);
  }
  return error;
}

uint32_t QORAPORegistrar::UnregisterKey(const QORRegistryKey& parent,
                                        const QORAPORegistryScript::Key& key) {
  if (key.removal == QORAPORegistryScript::Removal::kForceRemove) {
    const uint32_t error = parent.DeleteSubTree(key.name);
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  QORRegistryKey self;
  uint32_t error = parent.OpenSubKey(key.name, KEY_ALL_ACCESS, self);
  if (error == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  for (const QORAPORegistryScript::Key& child : key.keys) {
    if (error == ERROR_SUCCESS) error = UnregisterKey(self, child);
  }
  for (const QORAPORegistryScript::Value& value : key.values) {
    if (error != ERROR_SUCCESS) break;
    error = self.DeleteValue(value.name);
    if (error == ERROR_FILE_NOT_FOUND) error = ERROR_SUCCESS;
  }
  if (error != ERROR_SUCCESS || key.removal == QORAPORegistryScript::Removal::kNoRemove) {
    return error;
  }
  // A key that others still fill (subkeys the script did not write) stays.
  uint32_t subKeys = 0;
  error = self.QueryInfo(&subKeys, nullptr);
  self.Close();
  if (error != ERROR_SUCCESS || subKeys != 0) return error;
  error = parent.DeleteSubTree(key.name);
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

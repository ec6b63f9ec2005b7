#include "platform/QORAPORegistrationApi.h"

#include <cwchar>
#include <string>

#include "platform/QORGuid.h"
#include "platform/QORRegistryKey.h"

namespace {

// A fixed-size text field of the record, without reading past it when its NUL is missing.
std::wstring_view FieldText(const wchar_t (&field)[kAPORegTextChars]) {
  return std::wstring_view(field, wcsnlen(field, kAPORegTextChars));
}

}  // namespace

HRESULT RegisterAPO(const APO_REG_PROPERTIES* properties) {
  if (properties == nullptr) return E_POINTER;
  // The record holds one interface; a larger count would read past it.
  if (properties->u32NumAPOInterfaces != 1) return E_INVALIDARG;
  const std::wstring path =
      std::wstring(kQORAPORegistrationRoot) + L"\\" + QORGuidToString(properties->clsid);
  uint32_t error = QORRegistryKey::DeleteTree(QORRegistryHive::kClassesRoot, path);
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(error);
  QORRegistryKey key;
  error = QORRegistryKey::Create(QORRegistryHive::kClassesRoot, path, KEY_WRITE, key);
  if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
  const struct {
    const wchar_t* name;
    uint32_t value;
  } numbers[] = {
      {L"MajorVersion", properties->u32MajorVersion},
      {L"MinorVersion", properties->u32MinorVersion},
      {L"Flags", static_cast<uint32_t>(properties->Flags)},
      {L"MinInputConnections", properties->u32MinInputConnections},
      {L"MaxInputConnections", properties->u32MaxInputConnections},
      {L"MinOutputConnections", properties->u32MinOutputConnections},
      {L"MaxOutputConnections", properties->u32MaxOutputConnections},
      {L"MaxInstances", properties->u32MaxInstances},
      {L"NumAPOInterfaces", properties->u32NumAPOInterfaces},
  };
  error = key.SetString(L"FriendlyName", FieldText(properties->szFriendlyName));
  if (error == ERROR_SUCCESS) {
    error = key.SetString(L"Copyright", FieldText(properties->szCopyrightInfo));
  }
  for (const auto& number : numbers) {
    if (error == ERROR_SUCCESS) error = key.SetDword(number.name, number.value);
  }
  for (uint32_t i = 0; error == ERROR_SUCCESS && i < properties->u32NumAPOInterfaces; ++i) {
    error = key.SetString(L"APOInterface" + std::to_wstring(i),
                          QORGuidToString(properties->iidAPOInterfaceList[i]));
  }
  return HRESULT_FROM_WIN32(error);
}

HRESULT UnregisterAPO(REFCLSID clsid) {
  const std::wstring path = std::wstring(kQORAPORegistrationRoot) + L"\\" + QORGuidToString(clsid);
  const uint32_t error = QORRegistryKey::DeleteTree(QORRegistryHive::kClassesRoot, path);
  return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
}

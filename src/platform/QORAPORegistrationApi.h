#pragma once

#include "platform/QORAPOTypes.h"
#include "platform/QORHResult.h"

// The audio engine's record of an APO class under HKEY_CLASSES_ROOT
// "AudioEngine\AudioProcessingObjects\{CLSID}". RegisterAPO deletes the class's key and writes it
// anew from the record, so registering again leaves exactly one current key; registry errors come
// back as HRESULT_FROM_WIN32, a record with no interface or more than the record holds as
// E_INVALIDARG. UnregisterAPO removes the key (S_OK when it was not there).
HRESULT RegisterAPO(const APO_REG_PROPERTIES* properties);
HRESULT UnregisterAPO(REFCLSID clsid);

// The parent key of the records, under HKEY_CLASSES_ROOT.
inline constexpr wchar_t kQORAPORegistrationRoot[] = L"AudioEngine\\AudioProcessingObjects";

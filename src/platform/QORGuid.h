#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/QORHResult.h"

#ifdef _WIN32
// GUID_NULL, CLSIDFromString and StringFromGUID2 are the system's.
#include "platform/QORComTypes.h"
#else
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend bool operator==(const GUID& a, const GUID& b) = default;
};
using CLSID = GUID;
using IID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
#endif

bool operator<(const GUID& a, const GUID& b);

// Text forms: "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" with upper-case digits (lowerCase for the
// endpoint ids), and its parsing: exactly that form, digits of either case, nothing around it.
std::wstring QORGuidToString(const GUID& guid, bool lowerCase = false);
bool QORGuidFromString(std::wstring_view text, GUID* guid);

#ifndef _WIN32
// As the platform call: CO_E_CLASSSTRING and a zero GUID for anything malformed.
HRESULT CLSIDFromString(const wchar_t* text, CLSID* clsid);
// Writes the braced text with its NUL; returns the characters written including it, 0 when the
// buffer is too small.
int StringFromGUID2(const GUID& guid, wchar_t* buffer, int bufferChars);
#endif

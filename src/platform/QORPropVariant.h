#pragma once

#include <cstdint>
#include <string_view>

#include "platform/QORGuid.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
using VARTYPE = uint16_t;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_NULL = 1;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_UI2 = 18;
constexpr VARTYPE VT_UI4 = 19;
constexpr VARTYPE VT_I8 = 20;
constexpr VARTYPE VT_UI8 = 21;
constexpr VARTYPE VT_LPWSTR = 31;
constexpr VARTYPE VT_BLOB = 65;
constexpr VARTYPE VT_CLSID = 72;

using VARIANT_BOOL = int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// The 64-bit members as the system spells them: the number is QuadPart.
struct LARGE_INTEGER {
  int64_t QuadPart;
};
struct ULARGE_INTEGER {
  uint64_t QuadPart;
};

struct BLOB {
  uint32_t cbSize;
  uint8_t* pBlobData;
};

// A typed property value. Texts, GUIDs and blobs are CoTaskMemAlloc memory owned by the variant
// and freed by PropVariantClear.
struct PROPVARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int16_t iVal;
    uint16_t uiVal;
    int32_t lVal;
    uint32_t ulVal;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    VARIANT_BOOL boolVal;
    wchar_t* pwszVal;
    GUID* puuid;
    BLOB blob;
  };
};

void PropVariantInit(PROPVARIANT* value);
HRESULT PropVariantClear(PROPVARIANT* value);
// Deep copy into an uninitialised destination.
HRESULT PropVariantCopy(PROPVARIANT* destination, const PROPVARIANT* source);
HRESULT InitPropVariantFromString(std::wstring_view text, PROPVARIANT* value);
HRESULT InitPropVariantFromUInt32(uint32_t number, PROPVARIANT* value);
HRESULT InitPropVariantFromInt32(int32_t number, PROPVARIANT* value);
HRESULT InitPropVariantFromCLSID(const CLSID& clsid, PROPVARIANT* value);
HRESULT InitPropVariantFromBuffer(const void* data, uint32_t bytes, PROPVARIANT* value);
#endif  // _WIN32

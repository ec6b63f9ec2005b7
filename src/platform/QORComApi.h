#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/IUnknown.h"
#include "platform/QORWinTypes.h"

#ifdef _WIN32
// The system's COM memory, initialisation and class contexts.
#include "platform/QORComTypes.h"
#else
constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;
constexpr uint32_t CLSCTX_INPROC_HANDLER = 0x2;
constexpr uint32_t CLSCTX_LOCAL_SERVER = 0x4;
constexpr uint32_t CLSCTX_REMOTE_SERVER = 0x10;
constexpr uint32_t CLSCTX_ALL = 0x17;
constexpr uint32_t COINIT_MULTITHREADED = 0x0;
constexpr uint32_t COINIT_APARTMENTTHREADED = 0x2;

// Memory that crosses COM calls (ids, property texts): allocated by one side, freed by the other.
void* CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(void* memory);

// There are no apartments here. The calls only count per thread, giving the platform's results:
// S_OK for a thread's first initialisation, S_FALSE for nested ones.
HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, uint32_t flags);
void CoUninitialize();
#endif

// In-process activation of the platform's own classes (the endpoint enumerator and any class added
// with QORComRegisterClass). Unknown classes give REGDB_E_CLASSNOTREG; aggregation is refused.
using QORComCreateFunction = HRESULT (*)(REFIID iid, void** object);
HRESULT QORCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                            void** object);
// Adds or replaces a class; a null function removes it.
void QORComRegisterClass(REFCLSID clsid, QORComCreateFunction create);

#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/IMMDeviceCollection.h"
#include "platform/IPropertyStore.h"
#include "platform/QORHResult.h"
#include "platform/QORWinTypes.h"

class IAudioMediaType;

// Engine time in units of 100 ns.
using HNSTIME = int64_t;

enum APO_BUFFER_FLAGS : uint32_t {
  BUFFER_INVALID = 0,
  BUFFER_VALID = 1,
  BUFFER_SILENT = 2,
};

enum APO_CONNECTION_BUFFER_TYPE : uint32_t {
  APO_CONNECTION_BUFFER_TYPE_ALLOCATED = 0,
  APO_CONNECTION_BUFFER_TYPE_EXTERNAL = 1,
  APO_CONNECTION_BUFFER_TYPE_DEPENDANT = 2,
};

// A connection as fixed at lock time.
struct APO_CONNECTION_DESCRIPTOR {
  APO_CONNECTION_BUFFER_TYPE Type;
  UINT_PTR pBuffer;
  UINT32 u32MaxFrameCount;
  IAudioMediaType* pFormat;
  UINT32 u32Signature;
};

// A connection as one period sees it.
struct APO_CONNECTION_PROPERTY {
  UINT_PTR pBuffer;
  UINT32 u32ValidFrameCount;
  APO_BUFFER_FLAGS u32BufferFlags;
  UINT32 u32Signature;
};

enum APO_FLAG : uint32_t {
  APO_FLAG_NONE = 0x0,
  APO_FLAG_INPLACE = 0x1,
  APO_FLAG_SAMPLESPERFRAME_MUST_MATCH = 0x2,
  APO_FLAG_FRAMESPERSECOND_MUST_MATCH = 0x4,
  APO_FLAG_BITSPERSAMPLE_MUST_MATCH = 0x8,
  APO_FLAG_MIXER = 0x10,
  APO_FLAG_DEFAULT = 0xE,
};

constexpr size_t kAPORegTextChars = 256;

// What an APO class registers. This platform's classes have one APO interface each.
struct APO_REG_PROPERTIES {
  CLSID clsid;
  APO_FLAG Flags;
  wchar_t szFriendlyName[kAPORegTextChars];
  wchar_t szCopyrightInfo[kAPORegTextChars];
  UINT32 u32MajorVersion;
  UINT32 u32MinorVersion;
  UINT32 u32MinInputConnections;
  UINT32 u32MaxInputConnections;
  UINT32 u32MinOutputConnections;
  UINT32 u32MaxOutputConnections;
  UINT32 u32MaxInstances;
  UINT32 u32NumAPOInterfaces;
  IID iidAPOInterfaceList[1];
};

// The initialisation records the engine passes to Initialize; cbSize is the record's own size.
struct APOInitBaseStruct {
  UINT32 cbSize;
  CLSID clsid;
};

struct APOInitSystemEffects {
  APOInitBaseStruct APOInit;
  IPropertyStore* pAPOEndpointProperties;
  IPropertyStore* pAPOSystemEffectsProperties;
  void* pReserved;
  IMMDeviceCollection* pDeviceCollection;
};

struct APOInitSystemEffects2 {
  APOInitBaseStruct APOInit;
  IPropertyStore* pAPOEndpointProperties;
  IPropertyStore* pAPOSystemEffectsProperties;
  void* pReserved;
  IMMDeviceCollection* pDeviceCollection;
  UINT nSoftwareIoDeviceInCollection;
  UINT nSoftwareIoConnectorIndex;
  GUID AudioProcessingMode;
  BOOL InitializeForDiscoveryOnly;
};

// The records keep the sizes a 64-bit Windows build gives them (20, 56 and 88 bytes): the engine's
// checks compare against these.
static_assert(sizeof(APOInitBaseStruct) == 20);
static_assert(sizeof(APOInitSystemEffects) == 56);
static_assert(sizeof(APOInitSystemEffects2) == 88);

constexpr HRESULT APOERR_ALREADY_INITIALIZED = static_cast<HRESULT>(0x887D0001);
constexpr HRESULT APOERR_NOT_INITIALIZED = static_cast<HRESULT>(0x887D0002);
constexpr HRESULT APOERR_FORMAT_NOT_SUPPORTED = static_cast<HRESULT>(0x887D0003);
constexpr HRESULT APOERR_INVALID_APO_CLSID = static_cast<HRESULT>(0x887D0004);
constexpr HRESULT APOERR_BUFFERS_OVERLAP = static_cast<HRESULT>(0x887D0005);
constexpr HRESULT APOERR_ALREADY_UNLOCKED = static_cast<HRESULT>(0x887D0006);
constexpr HRESULT APOERR_NUM_CONNECTIONS_INVALID = static_cast<HRESULT>(0x887D0007);
constexpr HRESULT APOERR_INVALID_OUTPUT_MAXFRAMECOUNT = static_cast<HRESULT>(0x887D0008);
constexpr HRESULT APOERR_INVALID_CONNECTION_FORMAT = static_cast<HRESULT>(0x887D0009);
constexpr HRESULT APOERR_APO_LOCKED = static_cast<HRESULT>(0x887D000A);
// The names the base class uses for its lock-state refusals.
constexpr HRESULT APOERR_ALREADY_LOCKED = APOERR_APO_LOCKED;
constexpr HRESULT APOERR_NOT_LOCKED = APOERR_ALREADY_UNLOCKED;

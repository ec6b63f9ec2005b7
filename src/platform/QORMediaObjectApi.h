#pragma once

#include <cstdint>

#include "platform/IMediaObject.h"
#include "platform/QORGuid.h"
#include "platform/QORWaveFormat.h"

// The platform's sample-rate converter media object (interleaved float, any rates, same channel
// count in and out).
constexpr CLSID CLSID_CResamplerMediaObject = {
    0xF447B69E, 0x1884, 0x4A7E, {0x80, 0x55, 0x34, 0x6F, 0x74, 0xD6, 0xED, 0xB3}};

constexpr GUID MEDIATYPE_Audio = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID MEDIASUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID MEDIASUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID FORMAT_WaveFormatEx = {
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

// A media type and its format block of formatBytes, zeroed, in CoTaskMemAlloc memory; free it
// with MoDeleteMediaType.
HRESULT MoCreateMediaType(DMO_MEDIA_TYPE** type, uint32_t formatBytes);
HRESULT MoDeleteMediaType(DMO_MEDIA_TYPE* type);

// Makes CLSID_CResamplerMediaObject available to QORCoCreateInstance (once per process; later calls
// do nothing).
void QORRegisterResamplerMediaObject();

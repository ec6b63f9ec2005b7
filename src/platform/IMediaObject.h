#pragma once

#include <cstdint>

#include "platform/IMediaBuffer.h"
#include "platform/IUnknown.h"

constexpr IID IID_IMediaObject = {
    0xD8AD0F58, 0x5494, 0x4102, {0x97, 0xC5, 0xEC, 0x79, 0x8E, 0x59, 0xBC, 0xF4}};

// Time values of media objects, in 100-ns units.
using REFERENCE_TIME = int64_t;

// A media type: what a stream of a media object carries. The format block belongs to the type
// (see MoCreateMediaType).
struct DMO_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  int32_t bFixedSizeSamples;
  int32_t bTemporalCompression;
  uint32_t lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  uint32_t cbFormat;
  uint8_t* pbFormat;
};

struct DMO_OUTPUT_DATA_BUFFER {
  IMediaBuffer* pBuffer;
  uint32_t dwStatus;
  REFERENCE_TIME rtTimestamp;
  REFERENCE_TIME rtTimelength;
};

constexpr uint32_t DMO_INPUT_STATUSF_ACCEPT_DATA = 0x1;
constexpr uint32_t DMO_SET_TYPEF_TEST_ONLY = 0x1;
constexpr uint32_t DMO_SET_TYPEF_CLEAR = 0x2;
// The object holds input that did not fit into the output buffer.
constexpr uint32_t DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE = 0x01000000;

constexpr HRESULT DMO_E_INVALIDSTREAMINDEX = static_cast<HRESULT>(0x80040201);
constexpr HRESULT DMO_E_INVALIDTYPE = static_cast<HRESULT>(0x80040202);
constexpr HRESULT DMO_E_TYPE_NOT_SET = static_cast<HRESULT>(0x80040205);
constexpr HRESULT DMO_E_NOTACCEPTING = static_cast<HRESULT>(0x80040204);
constexpr HRESULT DMO_E_TYPE_NOT_ACCEPTED = static_cast<HRESULT>(0x80040206);

// A streaming transform with one input and one output stream, in the slot order of the
// platform's media-object interface. Only the calls the host makes are present.
class IMediaObject : public IUnknown {
 public:
  // A null type with DMO_SET_TYPEF_CLEAR clears the stream's type.
  virtual HRESULT SetInputType(uint32_t stream, const DMO_MEDIA_TYPE* type, uint32_t flags) = 0;
  virtual HRESULT SetOutputType(uint32_t stream, const DMO_MEDIA_TYPE* type, uint32_t flags) = 0;
  // The delay from input to output once streaming resources exist.
  virtual HRESULT GetInputMaxLatency(uint32_t stream, REFERENCE_TIME* latency) = 0;
  // Drops held input and the filter history.
  virtual HRESULT Flush() = 0;
  virtual HRESULT AllocateStreamingResources() = 0;
  virtual HRESULT FreeStreamingResources() = 0;
  virtual HRESULT GetInputStatus(uint32_t stream, uint32_t* flags) = 0;
  // The whole buffer is taken; what later output calls have not consumed yet stays in the object
  // and input is refused until it is gone.
  virtual HRESULT ProcessInput(uint32_t stream, IMediaBuffer* buffer, uint32_t flags,
                               REFERENCE_TIME timestamp, REFERENCE_TIME timelength) = 0;
  virtual HRESULT ProcessOutput(uint32_t flags, uint32_t bufferCount,
                                DMO_OUTPUT_DATA_BUFFER* buffers, uint32_t* status) = 0;

 protected:
  ~IMediaObject() = default;
};

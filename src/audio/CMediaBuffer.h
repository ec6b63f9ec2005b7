#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/IMediaBuffer.h"

// The media buffer handed to the resampler object: owned bytes with a maximum and a current
// length. Besides the interface, its owner may reuse it for a smaller maximum length (Reuse), so
// that a converter keeps one buffer at its largest size instead of creating one per call.
// Threads: those of the converter that owns it (QORSampleRateConvert).
class CMediaBuffer : public IMediaBuffer {
 public:
  // Set-up: allocates. On the period path only for a call larger than the converter reserved. A
  // buffer of maxLength bytes, length 0 and one reference; E_OUTOFMEMORY when memory runs out.
  static HRESULT Create(uint32_t maxLength, CMediaBuffer** buffer);

  // Any; the last Release frees the buffer.
  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  // Real-time (each streaming call) and set-up: no allocation.
  HRESULT SetLength(uint32_t length) override;
  HRESULT GetMaxLength(uint32_t* maxLength) override;
  HRESULT GetBufferAndLength(uint8_t** buffer, uint32_t* length) override;

  // Real-time and set-up: no allocation. Sets a new maximum length (up to the size it was created
  // with) and length 0; false when the storage is too small.
  bool Reuse(uint32_t maxLength);
  uint32_t GetCapacity() const { return capacity_; }

 private:
  CMediaBuffer(uint32_t maxLength, std::unique_ptr<uint8_t[]> data);
  virtual ~CMediaBuffer() = default;

  uint32_t length_ = 0;
  uint32_t maxLength_;
  std::atomic<uint32_t> refs_{1};
  std::unique_ptr<uint8_t[]> data_;
  uint32_t capacity_;
};

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/IMediaBuffer.h"

// The media buffer handed to the resampler object: owned bytes with a maximum and a current
// length. Besides the interface, its owner may reuse it for a smaller maximum length (Reuse), so
// that a converter keeps one buffer at its largest size instead of creating one per call.
class CMediaBuffer : public IMediaBuffer {
 public:
  // A buffer of maxLength bytes, length 0 and one reference; E_OUTOFMEMORY when memory runs out.
  static HRESULT Create(uint32_t maxLength, CMediaBuffer** buffer);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;
  HRESULT SetLength(uint32_t length) override;
  HRESULT GetMaxLength(uint32_t* maxLength) override;
  HRESULT GetBufferAndLength(uint8_t** buffer, uint32_t* length) override;

  // Sets a new maximum length (up to the size it was created with) and length 0; false when the
  // storage is too small.
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

#include "audio/CMediaBuffer.h"

#include <new>
#include <utility>

CMediaBuffer::CMediaBuffer(uint32_t maxLength, std::unique_ptr<uint8_t[]> data)
    : maxLength_(maxLength), data_(std::move(data)), capacity_(maxLength) {}

HRESULT CMediaBuffer::Create(uint32_t maxLength, CMediaBuffer** buffer) {
  if (buffer == nullptr) return E_POINTER;
  *buffer = nullptr;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[maxLength == 0 ? 1 : maxLength]);
  if (!data) return E_OUTOFMEMORY;
  *buffer = new (std::nothrow) CMediaBuffer(maxLength, std::move(data));
  return *buffer == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT CMediaBuffer::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IMediaBuffer || iid == IID_IUnknown) {
    *object = static_cast<IMediaBuffer*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CMediaBuffer::AddRef() {
  return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG CMediaBuffer::Release() {
  const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT CMediaBuffer::SetLength(uint32_t length) {
  if (length > maxLength_) return E_INVALIDARG;
  length_ = length;
  return S_OK;
}

HRESULT CMediaBuffer::GetMaxLength(uint32_t* maxLength) {
  if (maxLength == nullptr) return E_POINTER;
  *maxLength = maxLength_;
  return S_OK;
}

HRESULT CMediaBuffer::GetBufferAndLength(uint8_t** buffer, uint32_t* length) {
  if (buffer == nullptr && length == nullptr) return E_POINTER;
  if (buffer != nullptr) *buffer = data_.get();
  if (length != nullptr) *length = length_;
  return S_OK;
}

bool CMediaBuffer::Reuse(uint32_t maxLength) {
  if (maxLength > capacity_) return false;
  maxLength_ = maxLength;
  length_ = 0;
  return true;
}

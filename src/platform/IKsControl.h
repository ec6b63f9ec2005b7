#pragma once

#include <cstdint>

#include "platform/IUnknown.h"

constexpr IID IID_IKsControl = {
    0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

constexpr uint32_t KSPROPERTY_TYPE_GET = 0x00000001;
constexpr uint32_t KSPROPERTY_TYPE_SET = 0x00000002;
constexpr uint32_t KSPROPERTY_TYPE_TOPOLOGY = 0x10000000;

// Kernel-streaming property calls on a filter. The property is a byte-packed request that starts
// with the property set, id and flags; data is the answer (GET) or the value sent (SET).
class IKsControl : public IUnknown {
 public:
  // returned: bytes written to data; with no data room, the size an answer needs.
  virtual HRESULT KsProperty(const void* property, uint32_t propertyLength, void* data,
                             uint32_t dataLength, uint32_t* returned) = 0;

 protected:
  ~IKsControl() = default;
};

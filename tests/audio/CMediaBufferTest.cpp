#include <gtest/gtest.h>

#include "audio/CMediaBuffer.h"
#include "platform/IMediaObject.h"

namespace {

TEST(CMediaBuffer, LengthStaysWithinTheMaximum) {
  CMediaBuffer* buffer = nullptr;
  ASSERT_EQ(CMediaBuffer::Create(16, &buffer), S_OK);
  uint32_t max = 0;
  EXPECT_EQ(buffer->GetMaxLength(&max), S_OK);
  EXPECT_EQ(max, 16u);
  EXPECT_EQ(buffer->GetMaxLength(nullptr), E_POINTER);

  uint8_t* bytes = nullptr;
  uint32_t length = 99;
  EXPECT_EQ(buffer->GetBufferAndLength(&bytes, &length), S_OK);
  EXPECT_NE(bytes, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(buffer->SetLength(16), S_OK);
  EXPECT_EQ(buffer->SetLength(17), E_INVALIDARG);
  length = 0;
  EXPECT_EQ(buffer->GetBufferAndLength(nullptr, &length), S_OK);
  EXPECT_EQ(length, 16u);
  uint8_t* only = nullptr;
  EXPECT_EQ(buffer->GetBufferAndLength(&only, nullptr), S_OK);
  EXPECT_EQ(only, bytes);
  EXPECT_EQ(buffer->GetBufferAndLength(nullptr, nullptr), E_POINTER);

  // Reuse narrows the maximum within the storage and starts empty.
  EXPECT_TRUE(buffer->Reuse(8));
  EXPECT_EQ(buffer->SetLength(9), E_INVALIDARG);
  buffer->GetBufferAndLength(nullptr, &length);
  EXPECT_EQ(length, 0u);
  EXPECT_FALSE(buffer->Reuse(17));
  EXPECT_EQ(buffer->GetCapacity(), 16u);
  EXPECT_EQ(buffer->Release(), 0u);
}

TEST(CMediaBuffer, CountsReferencesAndAnswersItsInterfaces) {
  CMediaBuffer* buffer = nullptr;
  ASSERT_EQ(CMediaBuffer::Create(0, &buffer), S_OK);
  void* object = nullptr;
  EXPECT_EQ(buffer->QueryInterface(IID_IMediaBuffer, &object), S_OK);
  EXPECT_EQ(object, static_cast<IMediaBuffer*>(buffer));
  EXPECT_EQ(buffer->QueryInterface(IID_IUnknown, &object), S_OK);
  object = buffer;
  EXPECT_EQ(buffer->QueryInterface(IID_IMediaObject, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(buffer->QueryInterface(IID_IMediaBuffer, nullptr), E_POINTER);
  EXPECT_EQ(buffer->AddRef(), 4u);
  EXPECT_EQ(buffer->Release(), 3u);
  EXPECT_EQ(buffer->Release(), 2u);
  EXPECT_EQ(buffer->Release(), 1u);
  EXPECT_EQ(buffer->Release(), 0u);  // freed; the sanitizer build would report a leak otherwise
  EXPECT_EQ(CMediaBuffer::Create(4, nullptr), E_POINTER);
}

}  // namespace

#include <gtest/gtest.h>

#include <vector>

#include "platform/QORComApi.h"
#include "platform/QORGuid.h"
#include "platform/QORPropVariant.h"
#include "platform/QORPropVariantCodec.h"
#include "platform/QORRegistryTypes.h"

namespace {

constexpr GUID kSample = {
    0x7A8B74C8, 0xFA66, 0x4460, {0x85, 0x42, 0xD6, 0x11, 0x9C, 0x59, 0xE9, 0xD4}};

TEST(QORGuidTest, TextRoundTripAndMalformedText) {
  EXPECT_EQ(L"{7A8B74C8-FA66-4460-8542-D6119C59E9D4}", QORGuidToString(kSample));
  EXPECT_EQ(L"{7a8b74c8-fa66-4460-8542-d6119c59e9d4}", QORGuidToString(kSample, true));
  const struct {
    const wchar_t* text;
    bool valid;
  } cases[] = {{L"{7a8b74c8-FA66-4460-8542-d6119C59E9D4}", true},
               {nullptr, false},
               {L"", false},
               {L"7A8B74C8-FA66-4460-8542-D6119C59E9D4", false},
               {L"{7A8B74C8-FA66-4460-8542-D6119C59E9D4}x", false},
               {L" {7A8B74C8-FA66-4460-8542-D6119C59E9D4}", false},
               {L"{7A8B74C8-FA66-4460-8542D6119C59E9D4-}", false},
               {L"{7A8B74C8-FA66-4460-8542-D6119C59E9DG}", false},
               {L"{7A8B74C8-FA66-4460-8542-D6119C59E9D\u0664}", false},
               {L"{+A8B74C8-FA66-4460-8542-D6119C59E9D4}", false}};
  for (const auto& c : cases) {
    GUID guid = c.valid ? GUID_NULL : kSample;
    EXPECT_EQ(c.valid ? S_OK : CO_E_CLASSSTRING, CLSIDFromString(c.text, &guid))
        << QORGuidToString(guid);
    EXPECT_EQ(c.valid ? kSample : GUID_NULL, guid);
  }
}

TEST(QORPropVariantCodecTest, StoredFormsAreByteExactAndRoundTrip) {
  PROPVARIANT values[6];
  ASSERT_EQ(S_OK, InitPropVariantFromString(L"A\u00e9", &values[0]));
  ASSERT_EQ(S_OK, InitPropVariantFromUInt32(0xFFFFFFFEu, &values[1]));
  ASSERT_EQ(S_OK, InitPropVariantFromInt32(-5, &values[2]));
  ASSERT_EQ(S_OK, InitPropVariantFromCLSID(kSample, &values[3]));
  const uint8_t raw[] = {9, 8, 7};
  ASSERT_EQ(S_OK, InitPropVariantFromBuffer(raw, 3, &values[4]));
  PropVariantInit(&values[5]);
  values[5].vt = VT_BOOL;
  values[5].boolVal = VARIANT_TRUE;
  // Binary forms: the type as two bytes, two zero bytes, the payload little-endian.
  const struct {
    uint32_t type;
    std::vector<uint8_t> bytes;
  } expected[] = {
      {REG_SZ, {'A', 0, 0xE9, 0, 0, 0}},
      {REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}},
      {REG_BINARY, {3, 0, 0, 0, 0xFB, 0xFF, 0xFF, 0xFF}},
      {REG_BINARY, {72,   0,    0,    0,    0xC8, 0x74, 0x8B, 0x7A, 0x66, 0xFA,
                    0x60, 0x44, 0x85, 0x42, 0xD6, 0x11, 0x9C, 0x59, 0xE9, 0xD4}},
      {REG_BINARY, {65, 0, 0, 0, 9, 8, 7}},
      {REG_BINARY, {11, 0, 0, 0, 0xFF, 0xFF}},
  };
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(QORPropVariantCodec::ToRegistry(values[i], &type, &data));
    EXPECT_EQ(expected[i].type, type);
    EXPECT_EQ(expected[i].bytes, data);
    PROPVARIANT back;
    ASSERT_TRUE(QORPropVariantCodec::FromRegistry(type, data.data(), data.size(), &back));
    EXPECT_EQ(values[i].vt, back.vt);
    std::vector<uint8_t> again;
    ASSERT_TRUE(QORPropVariantCodec::ToRegistry(back, &type, &again));
    EXPECT_EQ(data, again);
    PropVariantClear(&back);
    PropVariantClear(&values[i]);
  }
}

}  // namespace

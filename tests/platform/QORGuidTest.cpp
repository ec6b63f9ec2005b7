#include <gtest/gtest.h>

#include "platform/QORComApi.h"
#include "platform/QORGuid.h"

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

}  // namespace

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

const char* const kTechIds[] = {
    "QOR Passthrough", "ZR3D",       "QOR Speaker Protection", "NUV", "LUXSND",
    "QOR AEC/NR",      "QOR Clarix+"};

TEST(QORTechExports, OnlyTheTwoContractFunctionsAreVisibleAndCreateKnowsExactIds) {
  auto& lib = TechTestLibrary::Get();
  EXPECT_NE(dlsym(lib.handle, "QORTechCreateProcess"), nullptr);
  EXPECT_NE(dlsym(lib.handle, "QORTechDestroyProcess"), nullptr);
  EXPECT_EQ(dlsym(lib.handle, "_ZN14QORTechLimiter7ProcessEPKPfj"), nullptr);
  EXPECT_EQ(dlsym(lib.handle, "_ZN18QORTechProcessBase4InitEjj"), nullptr);
  for (const char* id : kTechIds) {
    TechProcess* p = nullptr;
    ASSERT_TRUE(lib.create(id, &p)) << id;
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(lib.destroy(p));
  }
  for (const char* id : {"", "zr3d", "ZR3D ", "QOR", "Unknown"}) {
    TechProcess* p = reinterpret_cast<TechProcess*>(&lib);
    EXPECT_FALSE(lib.create(id, &p)) << id;
    EXPECT_EQ(p, nullptr) << id;
  }
  TechProcess* p = nullptr;
  EXPECT_FALSE(lib.create(nullptr, &p));
  EXPECT_FALSE(lib.create("ZR3D", nullptr));
  EXPECT_FALSE(lib.destroy(nullptr));
}

TEST(QORTechExports, EveryProcessKeepsTheFormatRangeDescriptorsAndTakeStateRules) {
  for (const char* id : kTechIds) {
    SCOPED_TRACE(id);
    auto p = MakeProcess(id, 1, 48000);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->Init(1, 8000));
    EXPECT_TRUE(p->Init(6, 44100));
    EXPECT_FALSE(p->Init(0, 48000));
    EXPECT_FALSE(p->Init(13, 48000));
    EXPECT_FALSE(p->Init(2, 7999));
    EXPECT_FALSE(p->Init(2, 192001));
    EXPECT_TRUE(p->Init(12, 192000));

    const TechControlDesc* descs = nullptr;
    const int32_t count = p->GetControlInfo(&descs);
    ASSERT_GE(count, 0);
    for (int32_t i = 0; i < count; ++i) {
      const TechControlDesc& d = descs[i];
      ASSERT_NE(d.name, nullptr);
      EXPECT_EQ(d.scale, d.type == kTechControlHundredths ? 100.0f : 1.0f) << d.name;
      EXPECT_EQ(d.valueNames == nullptr, d.valueNameCount == 0) << d.name;
      int32_t value = 0;
      ASSERT_TRUE(p->GetControlInt(d.name, &value)) << d.name;
      EXPECT_GE(value, d.minimum) << d.name;
      EXPECT_LE(value, d.maximum) << d.name;
      EXPECT_FALSE(p->SetControlInt(d.name, d.maximum + 1)) << d.name;
      EXPECT_FALSE(p->SetControlInt(d.name, d.minimum - 1)) << d.name;
      if (d.type == kTechControlSwitch) {
        EXPECT_EQ(d.maximum - d.minimum, 1) << d.name;
        EXPECT_NE(std::strstr(d.name, "Enable"), nullptr) << d.name;
      }
    }

    auto same = MakeProcess(id, 12, 192000);
    auto otherRate = MakeProcess(id, 12, 96000);
    EXPECT_TRUE(same->TakeState(p.get()));
    EXPECT_FALSE(same->TakeState(same.get()));
    EXPECT_FALSE(same->TakeState(nullptr));
    EXPECT_FALSE(same->TakeState(otherRate.get()));
    const char* otherId = std::string(id) == "NUV" ? "ZR3D" : "NUV";
    EXPECT_FALSE(same->TakeState(MakeProcess(otherId, 12, 192000).get()));
  }
}

TEST(QORTechExports, ProcessBeforeInitOrWithABadListLeavesAudioUntouched) {
  TechProcess* raw = nullptr;
  ASSERT_TRUE(TechTestLibrary::Get().create("ZR3D", &raw));
  ProcessPtr p(raw);
  float samples[8] = {0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f};
  float other[8] = {};
  TechChannel ch{samples, 0, 0, nullptr};
  TechChannel out{other, 0, 0, nullptr};
  p->Process(&ch, &ch, 8, nullptr);  // not initialised
  ASSERT_TRUE(p->Init(2, 48000));
  p->Process(&ch, &ch, 8, nullptr);  // one channel where two were promised
  TechChannel pair[2] = {{samples, 0, 0, &pair[1]}, {nullptr, 1, 0, nullptr}};
  p->Process(pair, pair, 8, nullptr);  // a hole in the list
  TechChannel full[2] = {{samples, 0, 0, &full[1]}, {samples, 1, 0, nullptr}};
  p->Process(full, &out, 8, nullptr);  // not in place
  p->Process(nullptr, nullptr, 8, nullptr);
  EXPECT_EQ(samples[0], 0.9f);
  EXPECT_EQ(samples[7], -0.9f);
  EXPECT_EQ(other[7], 0.0f);
  // A non-finite sample becomes silence instead of poisoning the state after it.
  Channels audio{{0.5f, std::numeric_limits<float>::quiet_NaN(),
                  std::numeric_limits<float>::infinity(), -0.25f}};
  RunBlocks(*MakeProcess("QOR Passthrough", 1, 48000), audio, 0);
  EXPECT_EQ(audio[0], (std::vector<float>{0.5f, 0.0f, 0.0f, -0.25f}));
}

TEST(QORTechExports, ControlsTakeIntegersAndTextsWithinTheirRange) {
  auto p = MakeProcess("LUXSND", 2, 48000);
  int32_t v = -1;
  const char* text = nullptr;
  struct Case {
    const char* control;
    const char* text;
    bool accepted;
    int32_t value;      // afterwards
    const char* reads;  // afterwards
  };
  const Case cases[] = {
      {"LUXSND-GEQ Enable", "On", true, 1, "On"},
      {"LUXSND-GEQ Enable", "off", true, 0, "Off"},
      {"LUXSND-GEQ Enable", "Enabled", true, 1, "On"},
      {"LUXSND-GEQ Enable", "maybe", false, 1, "On"},
      {"LUXSND-GEQ Enable", "2", false, 1, "On"},
      {"LUXSND-PEQ Band 3 Gain", "450", true, 450, "450"},
      {"LUXSND-PEQ Band 3 Gain", "4.5", false, 450, "450"},
      {"LUXSND-PEQ Band 3 Gain", "99999999999", false, 450, "450"},
      {"LUXSND-PEQ Band 3 Gain", "-1500", true, -1500, "-1500"},
      {"luxsnd-peq band 1 type", "low shelf", true, 2, "Low Shelf"},
      {"LUXSND-PEQ Band 1 Type", "Notch", false, 2, "Low Shelf"},
      {"LUXSND-PEQ Band 1 Type", "3", true, 3, "High Shelf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.control << " = " << c.text);
    EXPECT_EQ(p->SetControlString(c.control, c.text), c.accepted);
    ASSERT_TRUE(p->GetControlInt(c.control, &v));
    EXPECT_EQ(v, c.value);
    ASSERT_TRUE(p->GetControlString(c.control, &text));
    EXPECT_STREQ(text, c.reads);
  }
  EXPECT_FALSE(p->SetControlInt("LUXSND-PEQ Band 1 Type", 4));
  EXPECT_FALSE(p->SetControlInt("No Such Control", 1));
  EXPECT_FALSE(p->GetControlInt("No Such Control", &v));
  EXPECT_FALSE(p->GetControlString(nullptr, &text));
  EXPECT_FALSE(p->SetControlString("LUXSND-GEQ Enable", nullptr));
}

}  // namespace

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "TechTestLibrary.h"

namespace {

using techtest::MakeProcess;
using techtest::TechTestLibrary;

const char* const kTechIds[] = {"QOR Passthrough", "ZR3D", "QOR Speaker Protection", "NUV",
                                "LUXSND"};

TEST(QORTechExports, OnlyTheTwoContractFunctionsAreVisible) {
  void* handle = TechTestLibrary::Get().handle;
  EXPECT_NE(dlsym(handle, "QORTechCreateProcess"), nullptr);
  EXPECT_NE(dlsym(handle, "QORTechDestroyProcess"), nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN14QORTechLimiter7ProcessEPKPfj"), nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN18QORTechProcessBase4InitEjj"), nullptr);
}

TEST(QORTechExports, CreateKnowsEachTechIdExactlyAndRefusesOthers) {
  auto& lib = TechTestLibrary::Get();
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

TEST(QORTechExports, InitAcceptsOneToTwelveChannelsAndRatesFrom8kTo192k) {
  for (const char* id : kTechIds) {
    auto p = MakeProcess(id, 1, 48000);
    ASSERT_TRUE(p) << id;
    EXPECT_TRUE(p->Init(1, 8000)) << id;
    EXPECT_TRUE(p->Init(12, 192000)) << id;
    EXPECT_TRUE(p->Init(6, 44100)) << id;
    EXPECT_FALSE(p->Init(0, 48000)) << id;
    EXPECT_FALSE(p->Init(13, 48000)) << id;
    EXPECT_FALSE(p->Init(2, 7999)) << id;
    EXPECT_FALSE(p->Init(2, 192001)) << id;
  }
}

TEST(QORTechExports, ProcessBeforeInitOrWithAShortListLeavesAudioUntouched) {
  TechProcess* raw = nullptr;
  ASSERT_TRUE(TechTestLibrary::Get().create("ZR3D", &raw));
  techtest::ProcessPtr p(raw);
  float samples[8] = {0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f};
  TechChannel ch{samples, 0, 0, nullptr};
  p->Process(&ch, &ch, 8, nullptr);  // not initialised
  EXPECT_EQ(samples[0], 0.9f);
  ASSERT_TRUE(p->Init(2, 48000));
  p->Process(&ch, &ch, 8, nullptr);  // one channel where two were promised
  EXPECT_EQ(samples[0], 0.9f);
  EXPECT_EQ(samples[7], -0.9f);
  p->Process(nullptr, nullptr, 8, nullptr);
}

TEST(QORTechExports, ControlDescriptorsAreCompleteAndHoldTheirDefaults) {
  for (const char* id : kTechIds) {
    auto p = MakeProcess(id, 2, 48000);
    ASSERT_TRUE(p);
    const TechControlDesc* descs = nullptr;
    const int32_t count = p->GetControlInfo(&descs);
    ASSERT_GE(count, 0) << id;
    for (int32_t i = 0; i < count; ++i) {
      const TechControlDesc& d = descs[i];
      ASSERT_NE(d.name, nullptr);
      EXPECT_LE(d.minimum, d.maximum) << d.name;
      EXPECT_EQ(d.scale, d.type == kTechControlHundredths ? 100.0f : 1.0f) << d.name;
      EXPECT_EQ(d.valueNames == nullptr, d.valueNameCount == 0) << d.name;
      int32_t value = 0;
      ASSERT_TRUE(p->GetControlInt(d.name, &value)) << d.name;
      EXPECT_GE(value, d.minimum) << d.name;
      EXPECT_LE(value, d.maximum) << d.name;
      if (d.type == kTechControlSwitch) {
        EXPECT_EQ(d.minimum, 0);
        EXPECT_EQ(d.maximum, 1);
        EXPECT_NE(std::strstr(d.name, "Enable"), nullptr) << d.name;
      }
    }
  }
}

TEST(QORTechExports, ZR3DOffersTheControlNamesTheHostReliesOn) {
  auto p = MakeProcess("ZR3D", 2, 48000);
  ASSERT_TRUE(p);
  int32_t v = 0;
  for (const char* name : {"ZR3D-GEQ Enable", "ZR3D-AmploHD Enable", "ZR3D-GravHD Boost Enable",
                           "ZR3D-GEQ Band 1", "ZR3D-GEQ Band 10", "ZR3D-Stereo Width"}) {
    EXPECT_TRUE(p->GetControlInt(name, &v)) << name;
  }
  auto nuv = MakeProcess("NUV", 2, 48000);
  EXPECT_TRUE(nuv->GetControlInt("NUV-Process Enable", &v));
}

TEST(QORTechExports, ControlsTakeIntegersAndTextsWithinTheirRange) {
  auto p = MakeProcess("ZR3D", 2, 48000);
  ASSERT_TRUE(p);
  int32_t v = -1;
  const char* text = nullptr;

  EXPECT_TRUE(p->SetControlString("ZR3D-GEQ Enable", "On"));
  ASSERT_TRUE(p->GetControlInt("ZR3D-GEQ Enable", &v));
  EXPECT_EQ(v, 1);
  ASSERT_TRUE(p->GetControlString("ZR3D-GEQ Enable", &text));
  EXPECT_STREQ(text, "On");
  EXPECT_TRUE(p->SetControlString("ZR3D-GEQ Enable", "Off"));
  ASSERT_TRUE(p->GetControlString("ZR3D-GEQ Enable", &text));
  EXPECT_STREQ(text, "Off");
  EXPECT_TRUE(p->SetControlInt("ZR3D-GEQ Enable", 1));
  EXPECT_FALSE(p->SetControlInt("ZR3D-GEQ Enable", 2));
  EXPECT_FALSE(p->SetControlString("ZR3D-GEQ Enable", "maybe"));
  ASSERT_TRUE(p->GetControlInt("ZR3D-GEQ Enable", &v));
  EXPECT_EQ(v, 1);

  EXPECT_TRUE(p->SetControlInt("ZR3D-GEQ Band 3", -1200));
  EXPECT_FALSE(p->SetControlInt("ZR3D-GEQ Band 3", -1201));
  EXPECT_TRUE(p->SetControlString("ZR3D-GEQ Band 3", "450"));
  ASSERT_TRUE(p->GetControlString("ZR3D-GEQ Band 3", &text));
  EXPECT_STREQ(text, "450");
  EXPECT_FALSE(p->SetControlString("ZR3D-GEQ Band 3", "4.5"));
  EXPECT_FALSE(p->SetControlString("ZR3D-GEQ Band 3", "99999999999"));
  ASSERT_TRUE(p->GetControlInt("ZR3D-GEQ Band 3", &v));
  EXPECT_EQ(v, 450);

  EXPECT_FALSE(p->SetControlInt("No Such Control", 1));
  EXPECT_FALSE(p->GetControlInt("No Such Control", &v));
  EXPECT_FALSE(p->GetControlString(nullptr, &text));
  EXPECT_FALSE(p->SetControlString("ZR3D-GEQ Enable", nullptr));
}

TEST(QORTechExports, TakeStateOnlyBetweenSameKindAndFormat) {
  auto a = MakeProcess("ZR3D", 2, 48000);
  auto b = MakeProcess("ZR3D", 2, 48000);
  auto otherRate = MakeProcess("ZR3D", 2, 44100);
  auto otherKind = MakeProcess("NUV", 2, 48000);
  EXPECT_TRUE(b->TakeState(a.get()));
  EXPECT_FALSE(b->TakeState(b.get()));
  EXPECT_FALSE(b->TakeState(nullptr));
  EXPECT_FALSE(b->TakeState(otherRate.get()));
  EXPECT_FALSE(b->TakeState(otherKind.get()));
}

}  // namespace

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

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
  EXPECT_EQ(dlsym(lib.handle, "_ZN18QORTechProcessBase4InitEjj"), nullptr);
  for (const char* id : kTechIds) {
    TechProcess* p = nullptr;
    ASSERT_TRUE(lib.create(id, &p)) << id;
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(lib.destroy(p));
  }
  for (const char* id : {"zr3d", "ZR3D ", "Unknown"}) {
    TechProcess* p = reinterpret_cast<TechProcess*>(&lib);
    EXPECT_FALSE(lib.create(id, &p)) << id;
    EXPECT_EQ(p, nullptr) << id;
  }
}

TEST(QORTechExports, FormatRangeAndTakeStateRules) {
  auto p = MakeProcess("ZR3D", 1, 48000);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->Init(1, 8000));
  EXPECT_FALSE(p->Init(0, 48000));
  EXPECT_FALSE(p->Init(13, 48000));
  EXPECT_FALSE(p->Init(2, 7999));
  EXPECT_FALSE(p->Init(2, 192001));
  EXPECT_TRUE(p->Init(12, 192000));
  for (const char* id : kTechIds) {
    SCOPED_TRACE(id);
    auto a = MakeProcess(id, 12, 192000), same = MakeProcess(id, 12, 192000);
    EXPECT_TRUE(same->TakeState(a.get()));
    EXPECT_FALSE(same->TakeState(same.get()));
    EXPECT_FALSE(same->TakeState(MakeProcess(id, 12, 96000).get()));
    const char* otherId = std::string(id) == "NUV" ? "ZR3D" : "NUV";
    EXPECT_FALSE(same->TakeState(MakeProcess(otherId, 12, 192000).get()));
  }
}

TEST(QORTechExports, NonFiniteInputBecomesSilence) {
  // A non-finite sample becomes silence instead of poisoning the state after it.
  Channels audio{{0.5f, std::numeric_limits<float>::quiet_NaN(),
                  std::numeric_limits<float>::infinity(), -0.25f}};
  RunBlocks(*MakeProcess("QOR Passthrough", 1, 48000), audio, 0);
  EXPECT_EQ(audio[0], (std::vector<float>{0.5f, 0.0f, 0.0f, -0.25f}));
}

TEST(QORTechExports, ProcessBeforeInitOrWithABadListLeavesAudioUntouched) {
  TechProcess* raw = nullptr;
  ASSERT_TRUE(TechTestLibrary::Get().create("ZR3D", &raw));
  ProcessPtr p(raw);
  float samples[8] = {0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f};
  TechChannel one{samples, 0, 0, nullptr};
  p->Process(&one, &one, 8, nullptr);  // not initialised
  ASSERT_TRUE(p->Init(2, 48000));
  p->Process(&one, &one, 8, nullptr);  // one channel where two were promised
  TechChannel hole[2] = {{samples, 0, 0, &hole[1]}, {nullptr, 1, 0, nullptr}};
  p->Process(hole, hole, 8, nullptr);
  p->Process(nullptr, nullptr, 8, nullptr);
  const std::vector<float> before{0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f, 0.9f, -0.9f};
  EXPECT_EQ(std::vector<float>(samples, samples + 8), before);
  TechChannel two[2] = {{samples, 0, 0, &two[1]}, {samples, 1, 0, nullptr}};
  p->Process(two, two, 8, nullptr);  // well formed, so the process does act on these samples
  EXPECT_NE(std::vector<float>(samples, samples + 8), before);
}

}  // namespace

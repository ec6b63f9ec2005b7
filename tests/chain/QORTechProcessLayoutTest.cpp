#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "chain/QORTechProcess.h"

namespace {

// Records the last call, so that a call through a raw slot index proves both the slot and the
// argument passing.
class SlotProbe : public TechProcess {
 public:
  uint32_t GetBlockSize() override { return 0; }
  uint32_t GetLatency() override { return 17; }
  int32_t GetControlInfo(const TechControlDesc**) override { return 0; }
  bool SetControlInt(const char* name, int32_t value) override {
    last = std::string(name) + " " + std::to_string(value);
    return true;
  }
  bool SetControlString(const char*, const char*) override { return false; }
  bool GetControlInt(const char*, int32_t*) override { return false; }
  bool GetControlString(const char*, const char**) override { return false; }
  bool TakeState(TechProcess*) override { return false; }
  bool Init(uint32_t, uint32_t) override { return false; }
  void Process(TechChannel* in, TechChannel* out, uint32_t frames, const TechCallback*) override {
    last = std::to_string(in == out) + " " + std::to_string(frames);
  }
  std::string last;
};

// Itanium ABI: a pointer to a virtual member function holds 1 + the slot's byte offset.
template <typename Member>
ptrdiff_t SlotOf(Member member) {
  ptrdiff_t raw = 0;
  std::memcpy(&raw, &member, sizeof raw);
  return (raw - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

TEST(QORTechProcessLayout, OperationsSitAtTheirFixedSlotsAndRecordsHaveTheSharedByteLayout) {
  using P = TechProcess;
  EXPECT_EQ((std::vector<ptrdiff_t>{
                SlotOf(&P::Unused0), SlotOf(&P::Unused3), SlotOf(&P::GetBlockSize),
                SlotOf(&P::GetLatency), SlotOf(&P::Unused6), SlotOf(&P::GetControlInfo),
                SlotOf(&P::SetControlInt), SlotOf(&P::SetControlString), SlotOf(&P::GetControlInt),
                SlotOf(&P::GetControlString), SlotOf(&P::Unused12), SlotOf(&P::Unused13),
                SlotOf(&P::TakeState), SlotOf(&P::Init), SlotOf(&P::Process)}),
            (std::vector<ptrdiff_t>{0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
  // Calls through raw slot indices reach the operation with its arguments.
  SlotProbe probe;
  P* p = &probe;
  void** table = *reinterpret_cast<void***>(p);
  EXPECT_EQ(reinterpret_cast<uint32_t (*)(P*)>(table[5])(p), 17u);
  EXPECT_TRUE(reinterpret_cast<bool (*)(P*, const char*, int32_t)>(table[8])(p, "Gain", -300));
  EXPECT_EQ(probe.last, "Gain -300");
  float samples[4] = {};
  TechChannel channel{samples, 0, 0, nullptr};
  reinterpret_cast<void (*)(P*, TechChannel*, TechChannel*, uint32_t, const TechCallback*)>(
      table[16])(p, &channel, &channel, 4, nullptr);
  EXPECT_EQ(probe.last, "1 4");

  EXPECT_EQ(sizeof(TechChannel), 24u);
  EXPECT_EQ(offsetof(TechChannel, role), 8u);
  EXPECT_EQ(offsetof(TechChannel, next), 16u);
  EXPECT_EQ(sizeof(TechCallback), 16u);
  EXPECT_EQ(offsetof(TechCallback, context), 8u);
  EXPECT_EQ(sizeof(TechControlDesc), 48u);
  EXPECT_EQ(offsetof(TechControlDesc, minimum), 8u);
  EXPECT_EQ(offsetof(TechControlDesc, maximum), 12u);
  EXPECT_EQ(offsetof(TechControlDesc, valueNameCount), 24u);
  EXPECT_EQ(offsetof(TechControlDesc, valueNames), 32u);
  EXPECT_EQ(offsetof(TechControlDesc, type), 40u);
  EXPECT_EQ(offsetof(TechControlDesc, scale), 44u);
}

}  // namespace

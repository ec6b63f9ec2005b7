#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>

#include "chain/QORTechProcess.h"
#include "platform/QORModule.h"

namespace {

// Records which operation ran and with which arguments, so that a call through a raw slot index
// proves both the slot and the argument passing.
class SlotProbe : public TechProcess {
 public:
  uint32_t GetBlockSize() override { return 0; }
  uint32_t GetLatency() override {
    last = "GetLatency";
    return 17;
  }
  int32_t GetControlInfo(const TechControlDesc**) override { return 0; }
  bool SetControlInt(const char* name, int32_t value) override {
    last = "SetControlInt " + std::string(name) + " " + std::to_string(value);
    return true;
  }
  bool SetControlString(const char*, const char*) override { return false; }
  bool GetControlInt(const char*, int32_t*) override { return false; }
  bool GetControlString(const char*, const char**) override { return false; }
  bool TakeState(TechProcess*) override { return false; }
  bool Init(uint32_t, uint32_t) override { return false; }
  void Process(TechChannel* in, TechChannel* out, uint32_t frames,
               const TechCallback* callback) override {
    last = "Process " + std::to_string(in == out) + " " + std::to_string(frames) + " " +
           std::to_string(callback == nullptr);
  }

  std::string last;
};

void* Slot(TechProcess* process, size_t index) {
  void** table = *reinterpret_cast<void***>(process);
  return table[index];
}

// Itanium ABI: a pointer to a virtual member function holds 1 + the slot's byte offset.
template <typename Member>
ptrdiff_t SlotOf(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(ptrdiff_t));
  ptrdiff_t raw = 0;
  std::memcpy(&raw, &member, sizeof raw);
  return (raw - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

TEST(QORTechProcessLayout, OperationsSitAtTheirFixedSlotsAndTakeTheirArguments) {
  const ptrdiff_t slots[] = {
      SlotOf(&TechProcess::Unused0),       SlotOf(&TechProcess::Unused3),
      SlotOf(&TechProcess::GetBlockSize),  SlotOf(&TechProcess::GetLatency),
      SlotOf(&TechProcess::Unused6),       SlotOf(&TechProcess::GetControlInfo),
      SlotOf(&TechProcess::SetControlInt), SlotOf(&TechProcess::SetControlString),
      SlotOf(&TechProcess::GetControlInt), SlotOf(&TechProcess::GetControlString),
      SlotOf(&TechProcess::Unused12),      SlotOf(&TechProcess::Unused13),
      SlotOf(&TechProcess::TakeState),     SlotOf(&TechProcess::Init),
      SlotOf(&TechProcess::Process)};
  const ptrdiff_t expected[] = {0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_TRUE(std::equal(std::begin(slots), std::end(slots), std::begin(expected)));

  // Calls through raw slot indices reach the operation with its arguments.
  SlotProbe probe;
  TechProcess* p = &probe;
  EXPECT_EQ(reinterpret_cast<uint32_t (*)(TechProcess*)>(Slot(p, 5))(p), 17u);
  EXPECT_EQ(probe.last, "GetLatency");
  EXPECT_TRUE(
      reinterpret_cast<bool (*)(TechProcess*, const char*, int32_t)>(Slot(p, 8))(p, "Gain", -300));
  EXPECT_EQ(probe.last, "SetControlInt Gain -300");
  float samples[4] = {};
  TechChannel channel{samples, 0, 0, nullptr};
  reinterpret_cast<void (*)(TechProcess*, TechChannel*, TechChannel*, uint32_t,
                            const TechCallback*)>(Slot(p, 16))(p, &channel, &channel, 4, nullptr);
  EXPECT_EQ(probe.last, "Process 1 4 1");
}

TEST(QORTechProcessLayout, RecordsHaveTheSharedByteLayout) {
  EXPECT_EQ(sizeof(TechChannel), 24u);
  EXPECT_EQ(offsetof(TechChannel, samples), 0u);
  EXPECT_EQ(offsetof(TechChannel, role), 8u);
  EXPECT_EQ(offsetof(TechChannel, next), 16u);

  EXPECT_EQ(sizeof(TechCallback), 16u);
  EXPECT_EQ(offsetof(TechCallback, function), 0u);
  EXPECT_EQ(offsetof(TechCallback, context), 8u);

  EXPECT_EQ(sizeof(TechControlDesc), 48u);
  EXPECT_EQ(offsetof(TechControlDesc, name), 0u);
  EXPECT_EQ(offsetof(TechControlDesc, minimum), 8u);
  EXPECT_EQ(offsetof(TechControlDesc, maximum), 12u);
  EXPECT_EQ(offsetof(TechControlDesc, reserved), 16u);
  EXPECT_EQ(offsetof(TechControlDesc, valueNameCount), 24u);
  EXPECT_EQ(offsetof(TechControlDesc, valueNames), 32u);
  EXPECT_EQ(offsetof(TechControlDesc, type), 40u);
  EXPECT_EQ(offsetof(TechControlDesc, scale), 44u);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "chain/QORTechProcess.h"

namespace {

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

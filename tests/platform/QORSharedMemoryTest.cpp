#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQORSharedMemory.h"

namespace {

const std::wstring kName = L"Global\\QOR_Test_Meter_0";

// Writes a text into the parent's block and waits to be killed.
int WriteBlockChild(const std::vector<std::string>& args) {
  auto block = QOROpenSharedMemory(kName, 64);
  if (!block) return 1;
  std::memcpy(block->Data(), args[0].c_str(), args[0].size() + 1);
  qortest::ChildSay("written");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration writeBlock("write-shared-block", &WriteBlockChild);

TEST(QORSharedMemory, NewBlockIsZeroFilledAndSharedWithAChild) {
  qortest::TempStateRoot root;
  bool existed = true;
  auto block = QORCreateSharedMemory(kName, 4096, &existed);
  ASSERT_NE(block, nullptr);
  EXPECT_FALSE(existed);
  ASSERT_EQ(block->Size(), 4096u);
  const auto* bytes = static_cast<const unsigned char*>(block->Data());
  for (size_t i = 0; i < block->Size(); ++i) ASSERT_EQ(bytes[i], 0) << i;

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("write-shared-block", {"peak 0.5"}));
  ASSERT_TRUE(child.WaitFor("written"));
  child.Kill(SIGKILL);
  child.Wait();
  // Our handle keeps the contents.
  auto again = QORCreateSharedMemory(kName, 64, &existed);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(existed);
  EXPECT_STREQ(static_cast<const char*>(again->Data()), "peak 0.5");
}

TEST(QORSharedMemory, OpeningLargerThanTheBlockIsRefused) {
  qortest::TempStateRoot root;
  auto block = QORCreateSharedMemory(kName, 64);
  ASSERT_NE(block, nullptr);
  QORNamedObjectError error = QORNamedObjectError::kNone;
  EXPECT_EQ(QOROpenSharedMemory(kName, 65, &error), nullptr);
  EXPECT_EQ(error, QORNamedObjectError::kFailed);
  EXPECT_EQ(QORCreateSharedMemory(kName, 4096), nullptr);
  auto smaller = QOROpenSharedMemory(kName, 16, &error);
  ASSERT_NE(smaller, nullptr);
  EXPECT_EQ(smaller->Size(), 16u);
  EXPECT_EQ(QORCreateSharedMemory(kName, 0), nullptr);
}

}  // namespace

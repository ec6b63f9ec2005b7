#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQOREvent.h"
#include "platform/QORWait.h"

namespace {

const std::wstring kName = L"Global\\DSPKELControlChangeEvent";

int SetEventChild(const std::vector<std::string>&) {
  auto event = QOROpenNamedEvent(kName);
  if (!event) return 1;
  event->Set();
  return 0;
}
qortest::ChildRegistration setEvent("set-named-event", &SetEventChild);

TEST(QORNamedEvent, SetByAChildWakesTheParent) {
  qortest::TempStateRoot root;
  auto event = QORCreateNamedEvent(kName, false, false);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("set-named-event"));
  EXPECT_EQ(QORWaitForSingle(*event, 10000), kQORWaitObject0);
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace

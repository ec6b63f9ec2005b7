#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQOREvent.h"
#include "platform/QORWait.h"

namespace {

const std::wstring kName = L"Global\\DSPKELControlChangeEvent";

// Opens the parent's event and sets it each time the parent asks.
int SetEventChild(const std::vector<std::string>&) {
  auto event = QOROpenNamedEvent(kName);
  qortest::ChildSay(event ? "opened" : "missing");
  if (!event) return 1;
  std::string line;
  while (qortest::ChildHear(line) && line != "quit") {
    if (line == "set") {
      event->Set();
      qortest::ChildSay("done");
    }
  }
  return 0;
}
qortest::ChildRegistration setEvent("set-named-event", &SetEventChild);

TEST(QORNamedEvent, SetByAChildWakesTheParent) {
  qortest::TempStateRoot root;
  auto event = QORCreateNamedEvent(kName, false, false);
  ASSERT_NE(event, nullptr);
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("set-named-event"));
  ASSERT_TRUE(child.WaitFor("opened"));
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  ASSERT_TRUE(child.SendLine("set"));
  EXPECT_EQ(QORWaitForSingle(*event, 10000), kQORWaitObject0);
  ASSERT_TRUE(child.WaitFor("done"));
  // Auto reset: consumed by the one wait.
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  child.SendLine("quit");
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace

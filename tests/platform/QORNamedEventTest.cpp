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

// Creates the event (auto reset) and waits for it once.
int WaitEventChild(const std::vector<std::string>&) {
  auto event = QORCreateNamedEvent(kName, false, false);
  if (!event) return 1;
  qortest::ChildSay("waiting");
  const uint32_t result = QORWaitForSingle(*event, 10000);
  qortest::ChildSay(result == kQORWaitObject0 ? "woken" : "timeout");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration waitEvent("wait-named-event", &WaitEventChild);

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

TEST(QORNamedEvent, SetByTheParentWakesAChildOnce) {
  qortest::TempStateRoot root;
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("wait-named-event"));
  ASSERT_TRUE(child.WaitFor("waiting"));
  bool existed = false;
  auto event = QORCreateNamedEvent(kName, true, false, &existed);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(existed);
  event->Set();
  ASSERT_TRUE(child.WaitFor("woken"));
  // The child's auto-reset mode stands over our manual request: its wait took the signal.
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  // Sets while nobody waits make one signal.
  event->Set();
  event->Set();
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  child.SendLine("quit");
  EXPECT_EQ(child.Wait(), 0);
}

TEST(QORNamedEvent, ManualResetIsSharedAndAFreshEventForgetsTheOldSignal) {
  qortest::TempStateRoot root;
  EXPECT_EQ(QOROpenNamedEvent(kName), nullptr);
  {
    auto first = QORCreateNamedEvent(kName, true, true);
    ASSERT_NE(first, nullptr);
    auto second = QOROpenNamedEvent(kName);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(QORWaitForSingle(*second, 0), kQORWaitObject0);
    second->Reset();
    EXPECT_EQ(QORWaitForSingle(*first, 0), kQORWaitTimeout);
    second->Set();
    IQORWaitable* const both[] = {first.get(), second.get()};
    EXPECT_EQ(QORWaitForMultiple(both, 0), kQORWaitObject0);
    EXPECT_EQ(QORWaitForSingle(*second, 0), kQORWaitObject0);
  }
  EXPECT_EQ(QOROpenNamedEvent(kName), nullptr);
  // A fresh one starts from its own initial state, not the old signal.
  auto fresh = QORCreateNamedEvent(kName, false, false);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(QORWaitForSingle(*fresh, 0), kQORWaitTimeout);
}

}  // namespace

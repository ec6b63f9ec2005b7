#include "platform/QORInterrupt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>

#include "ChildProcess.h"

namespace {

// What a process that does not catch requests shows when one ends it.
#ifdef _WIN32
constexpr int kEnded = 130;
#else
constexpr int kEnded = 128 + SIGTERM;
#endif

std::atomic<int> hooked{0};

// Catches, says whether anything came before it was asked, then waits for one.
int Catcher(const std::vector<std::string>&) {
  QORInterrupt::Catch([] { hooked.fetch_add(1); });
  qortest::ChildSay(QORInterrupt::Wait(20) ? "early" : "quiet");
  qortest::ChildSay("ready");
  const bool came = QORInterrupt::Wait(-1);
  qortest::ChildSay(std::string(came && QORInterrupt::Requested() ? "requested" : "not") +
                    " hooked " + std::to_string(hooked.load()));
  return 0;
}
qortest::ChildRegistration catcher("interrupt-catcher", &Catcher);

// Catches nothing: a request ends it while it waits for a line.
int Bystander(const std::vector<std::string>&) {
  qortest::ChildSay("ready");
  std::string line;
  qortest::ChildHear(line);
  qortest::ChildSay("survived");
  return 0;
}
qortest::ChildRegistration bystander("interrupt-bystander", &Bystander);

// Holds requests back until the parent's line, then lets them go.
int Holder(const std::vector<std::string>&) {
  QORInterrupt::Hold();
  qortest::ChildSay("holding");
  std::string line;
  qortest::ChildHear(line);
  qortest::ChildSay("heard " + line);
  QORInterrupt::Release();
  qortest::ChildSay("survived");
  return 0;
}
qortest::ChildRegistration holder("interrupt-holder", &Holder);

TEST(QORInterrupt, ACaughtRequestIsWaitedForAndRunsTheHookOnce) {
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("interrupt-catcher"));
  ASSERT_TRUE(child.WaitFor("quiet"));
  ASSERT_TRUE(child.WaitFor("ready"));
  EXPECT_TRUE(QORInterrupt::Send(static_cast<uint32_t>(child.Pid())));
  EXPECT_TRUE(child.WaitFor("requested hooked 1"));
  EXPECT_EQ(child.Wait(), 0);
}

TEST(QORInterrupt, AnUncaughtRequestEndsTheProcess) {
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("interrupt-bystander"));
  ASSERT_TRUE(child.WaitFor("ready"));
  const uint32_t pid = static_cast<uint32_t>(child.Pid());
  EXPECT_TRUE(QORInterrupt::Send(pid));
  EXPECT_EQ(child.Wait(), kEnded);
  // Nobody is left to ask.
  EXPECT_FALSE(QORInterrupt::Send(pid));
}

TEST(QORInterrupt, AHeldRequestTakesEffectWhenReleased) {
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("interrupt-holder"));
  ASSERT_TRUE(child.WaitFor("holding"));
  EXPECT_TRUE(QORInterrupt::Send(static_cast<uint32_t>(child.Pid())));
  ASSERT_TRUE(child.SendLine("go"));
  EXPECT_TRUE(child.WaitFor("heard go"));
  EXPECT_EQ(child.Wait(), kEnded);
}

}  // namespace

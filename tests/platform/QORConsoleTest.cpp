#include "platform/QORConsole.h"

#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"

namespace {

using Stream = QORConsole::Stream;

// Says what it makes of its standard output, which the parent reads through a pipe.
int Describe(const std::vector<std::string>&) {
  qortest::ChildSay(std::string(QORConsole::IsTerminal(Stream::kOutput) ? "terminal" : "pipe") +
                    " " + std::to_string(QORConsole::Columns(Stream::kOutput, 77)) + " " +
                    (QORConsole::EnableEscapes(Stream::kOutput) ? "escapes" : "plain"));
  return 0;
}
qortest::ChildRegistration describe("console-describe", &Describe);

TEST(QORConsole, APipeIsNoTerminalAndHasTheFallbackWidth) {
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("console-describe"));
  EXPECT_TRUE(child.WaitFor("pipe 77 plain"));
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace

#include "platform/QOREnvironment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"

namespace {

constexpr char kName[] = "QOR_TEST_ENVIRONMENT";

int SayVariable(const std::vector<std::string>&) {
  qortest::ChildSay(QOREnvironment::Get(kName).value_or("<none>"));
  return 0;
}
qortest::ChildRegistration sayVariable("say-variable", &SayVariable);

std::string ChildSees() {
  qortest::ChildProcess child;
  std::string line;
  if (!child.Start("say-variable") || !child.ReadLine(line)) return "<no child>";
  child.Wait();
  return line;
}

TEST(QOREnvironment, AValueSetIsReadBackAndInheritedUntilRemoved) {
  const std::string music = "Z:\\state\\caf\xC3\xA9 \xE2\x99\xAB";  // UTF-8 kept as it is
  ASSERT_TRUE(QOREnvironment::Set(kName, music));
  EXPECT_EQ(QOREnvironment::Get(kName), music);
  EXPECT_EQ(ChildSees(), music);
  ASSERT_TRUE(QOREnvironment::Set(kName, "again"));
  EXPECT_EQ(QOREnvironment::Get(kName), "again");
  ASSERT_TRUE(QOREnvironment::Unset(kName));
  EXPECT_EQ(QOREnvironment::Get(kName), std::nullopt);
  EXPECT_EQ(ChildSees(), "<none>");
  // An empty value removes it, as Windows has it.
  ASSERT_TRUE(QOREnvironment::Set(kName, "some"));
  ASSERT_TRUE(QOREnvironment::Set(kName, ""));
  EXPECT_EQ(QOREnvironment::Get(kName), std::nullopt);
}

TEST(QOREnvironment, NamesNoVariableCanHaveAreRefused) {
  for (const std::string& name : std::vector<std::string>{"", "A=B", std::string("A\0B", 3)}) {
    EXPECT_FALSE(QOREnvironment::Set(name, "value")) << name;
    EXPECT_FALSE(QOREnvironment::Unset(name)) << name;
    EXPECT_EQ(QOREnvironment::Get(name), std::nullopt) << name;
  }
  EXPECT_FALSE(QOREnvironment::Set(kName, std::string("a\0b", 3)));
  EXPECT_EQ(QOREnvironment::Get(kName), std::nullopt);
}

}  // namespace

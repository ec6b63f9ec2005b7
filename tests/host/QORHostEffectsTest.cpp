// End-to-end: `qorapo effects` asks each position's APO object for its effects list as the engine
// does and names what it reports.
#include <string>

#include "QORHostToolRun.h"

namespace {

using nlohmann::json;
using qortest::ToolResult;

constexpr char kNotImplemented[] = "0x80004001";

using EffectsToolTest = qortest::ToolTest;

// What the demonstration endpoint's objects report in a mode: speaker protection at EFX always;
// at MFX the bass boost its public switch turns on; at SFX the headphone effects of NUV.
TEST_F(EffectsToolTest, EachPositionReportsTheEffectsItsModeSwitchesOn) {
  struct Case {
    std::string mode;
    std::vector<std::vector<std::string>> expected;  // SFX, MFX, EFX
  };
  const std::vector<Case> cases = {
      {"Music/Speakers", {{}, {"bass boost"}, {"speaker protection"}}},
      {"Music/Headphones",
       {{"virtual headphones", "equaliser"}, {"bass boost"}, {"speaker protection"}}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Run({"mode", "set", c.mode}).code, 0);
    const ToolResult effects = Run({"effects", "--json"});
    const json positions = effects.Json();
    ASSERT_EQ(positions.size(), 3u) << effects.out;
    const char* names[] = {"SFX", "MFX", "EFX"};
    bool notImplemented = false;
    for (size_t i = 0; i < 3; ++i) {
      const json& position = positions[i];
      EXPECT_EQ(position["position"], names[i]);
      EXPECT_FALSE(position["class"].get<std::string>().empty());
      if (position["result"] == kNotImplemented) {
        // Objects that predate effects lists: a clear failure, never an empty success.
        notImplemented = true;
        EXPECT_TRUE(position["effects"].empty());
        EXPECT_NE(
            effects.err.find(std::string(names[i]) + " (" + position["class"].get<std::string>() +
                             "): the object does not report an effects list (E_NOTIMPL)"),
            std::string::npos)
            << effects.err;
        continue;
      }
      EXPECT_EQ(position["result"], "0x00000000");
      EXPECT_EQ(position["effects"], json(c.expected[i])) << c.mode << " " << names[i];
      EXPECT_EQ(position["guids"].size(), c.expected[i].size());
    }
    EXPECT_EQ(effects.code, notImplemented ? 2 : 0) << effects.err;
  }
}

TEST_F(EffectsToolTest, PositionsWithoutAClassAreRefused) {
  const ToolResult oneOnly = Run({"effects", "--positions", "EFX", "--json"});
  const json positions = oneOnly.Json();
  ASSERT_EQ(positions.size(), 1u);
  EXPECT_EQ(positions[0]["position"], "EFX");
  const ToolResult missing = Run({"effects", "--positions", "OMFX"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("the endpoint has no effect class registered at OMFX"),
            std::string::npos)
      << missing.err;
  const ToolResult wrong = Run({"effects", "--positions", "XFX"});
  EXPECT_EQ(wrong.code, 1);
  EXPECT_NE(wrong.err.find("unknown position 'XFX'"), std::string::npos) << wrong.err;
}

}  // namespace

// End-to-end: `qorapo effects` asks each position's APO object for its effects list as the engine
// does and names what it reports.

#include "QORHostRunner.h"

namespace {

using nlohmann::json;
using qortest::HostResult;

using EffectsToolTest = qortest::HostToolTest;

// What the demonstration endpoint's objects report in a mode: speaker protection at EFX always;
// at MFX what the mode's public switches turn on; at SFX the headphone effects of NUV.
TEST_F(EffectsToolTest, EachPositionReportsTheEffectsItsModeSwitchesOn) {
  struct Case {
    std::string mode;
    std::vector<std::vector<std::string>> expected;  // SFX, MFX, EFX
  };
  const std::vector<Case> cases = {
      {"Music/Speakers",
       {{}, {"equaliser", "loudness equaliser", "bass boost"}, {"speaker protection"}}},
      {"Music/Headphones",
       {{"virtual headphones", "equaliser"}, {"equaliser", "bass boost"}, {"speaker protection"}}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Run({"mode", "set", c.mode}).code, 0);
    const HostResult effects = Run({"effects", "--json"});
    const json positions = effects.Json();
    ASSERT_EQ(positions.size(), 3u) << effects.out;
    const char* names[] = {"SFX", "MFX", "EFX"};
    for (size_t i = 0; i < 3; ++i) {
      const json& position = positions[i];
      EXPECT_EQ(position["position"], names[i]);
      EXPECT_EQ(position["result"], "0x00000000");
      EXPECT_EQ(position["effects"], json(c.expected[i])) << c.mode << " " << names[i];
      EXPECT_EQ(position["guids"].size(), c.expected[i].size());
    }
    EXPECT_EQ(effects.code, 0) << effects.err;
  }
  // One position alone; one without a class, or none at all, is refused.
  const json one = RunJson({"effects", "--positions", "EFX", "--json"});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0]["position"], "EFX");
  const HostResult missing = Run({"effects", "--positions", "OMFX"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("the endpoint has no effect class registered at OMFX"),
            std::string::npos)
      << missing.err;
  EXPECT_EQ(Run({"effects", "--positions", "XFX"}).code, 1);
}

}  // namespace

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
  const std::pair<const char*, json> cases[] = {
      {"Music/Speakers",
       R"([[], ["equaliser", "loudness equaliser", "bass boost"], ["speaker protection"]])"_json},
      {"Music/Headphones", R"([["virtual headphones", "equaliser"], ["equaliser", "bass boost"],
                               ["speaker protection"]])"_json},
  };
  for (const auto& [mode, expected] : cases) {
    ASSERT_EQ(Run({"mode", "set", mode}).code, 0);
    const json positions = RunJson({"effects", "--json"});
    ASSERT_EQ(positions.size(), 3u) << positions;
    const char* names[] = {"SFX", "MFX", "EFX"};
    for (size_t i = 0; i < 3; ++i) {
      qortest::ExpectFields(
          positions[i],
          {{"position", names[i]}, {"result", "0x00000000"}, {"effects", expected[i]}});
      EXPECT_EQ(positions[i]["guids"].size(), expected[i].size()) << mode;
    }
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

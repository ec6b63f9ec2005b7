// End-to-end: `qorapo tune` in the shared block a host polls (the live tests have a host hear it).
#include "QORHostRunner.h"

namespace {

using nlohmann::json;
using qortest::HostResult;

class TuneToolTest : public qortest::HostToolTest {
 protected:
  json Tuned() { return RunJson({"tune", "get", "--json"}); }

  static std::string Value(const json& tuned, const std::string& name) {
    const json* control = qortest::Named(tuned["controls"], name);
    return control == nullptr ? "(missing)" : (*control)["value"];
  }
};

// Without a tuning session the values are the file's and writes are refused; with one, set, mode,
// get and clear reach the block a host reads.
TEST_F(TuneToolTest, SetModeGetAndClearReachTheBlockAHostReads) {
  json tuned = Tuned();
  qortest::ExpectFields(tuned, {{"mode", "Music/Speakers"},
                                {"held", false},
                                {"tuningMode", 0},
                                {"block",
                                 "Global\\{0DE30001-51A7-4C0E-9A0D-7E4D00000001}"
                                 "ApoOpMode:VAPO3-Music/VAPO3-Speakers"}});
  // Public and private controls of the mode, with the file's values.
  EXPECT_EQ(tuned["controls"].size(), 19u) << tuned;
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Band 1"), "-600");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"tune", "set", "ZR3D-GEQ Band 1", "300"}, {"tune", "mode", "2"}, {"tune", "clear"}}) {
    const HostResult refused = Run(args);
    EXPECT_EQ(refused.code, 2) << args[1];
    EXPECT_NE(refused.err.find("no tuning session holds the tuned controls of mode Music/Speakers "
                               "of 'QOR Demo Speakers'; start one with `qorapo tune hold`"),
              std::string::npos)
        << refused.err;
  }
  EXPECT_EQ(Tuned()["held"], false);  // nothing was left behind

  const pid_t hold = StartBackground({"tune", "hold", "--json"}, "hold");
  ASSERT_NE(hold, 0) << qortest::SlurpLog(ErrOf("hold"));
  EXPECT_EQ(json::parse(qortest::SlurpLog(OutOf("hold")))["mode"], "Music/Speakers");

  EXPECT_EQ(
      RunJson({"tune", "set", "ZR3D-GEQ Band 1", "300", "--json"}),
      R"({"name": "ZR3D-GEQ Band 1", "value": "300", "previous": "-600", "tuningMode": 0})"_json);
  // Private controls are tuned too, and a second write keeps the first.
  ASSERT_EQ(Run({"tune", "set", "SP-Ceiling", "-2400"}).code, 0);
  EXPECT_EQ(RunJson({"tune", "mode", "2", "--json"}),
            (json{{"mode", "Music/Speakers"}, {"held", true}, {"previous", 0}, {"tuningMode", 2}}));

  tuned = Tuned();
  qortest::ExpectFields(tuned, {{"held", true}, {"tuningMode", 2}});
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Band 1"), "300");
  EXPECT_EQ(Value(tuned, "SP-Ceiling"), "-2400");
  EXPECT_EQ(Run({"tune", "get", "SP-Ceiling"}).out, "-2400\n");

  // Out of range, or a tuning mode that does not exist: refused, nothing changes.
  const HostResult refused = Run({"tune", "set", "SP-Ceiling", "1"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.err.find("-2400..0 (-24.00..0.00)"), std::string::npos) << refused.err;
  EXPECT_EQ(Run({"tune", "mode", "3"}).code, 1);
  EXPECT_EQ(Tuned(), tuned);

  // Clear writes the file's values back and stops tuning (a host merges what it reads).
  const json cleared = RunJson({"tune", "clear", "--json"});
  EXPECT_EQ(cleared["tuningMode"], 0);
  tuned = Tuned();
  EXPECT_EQ(tuned["tuningMode"], 0);
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Band 1"), "-600");
  EXPECT_EQ(Value(tuned, "SP-Ceiling"), "-300");

  // Released, the block is gone.
  EXPECT_EQ(Stop(hold), 0);
  EXPECT_EQ(Tuned()["held"], false);
}

}  // namespace

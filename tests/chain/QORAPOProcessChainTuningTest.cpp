#include <gtest/gtest.h>

#include <string>

#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "TestTechProbe.h"
#include "chain/QORAPOProcessChain.h"
#include "chain/QORAPOProcessWrapper.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

using testtech::ReadInt;

// Gain is public in the mode (200); the chain entry of the second mode sets Gain itself (500).
constexpr char kConfiguration[] =
    "<qor_configuration><properties><control name=\"Product Name\">T</control></properties>"
    "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-Music</control>"
    "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control>"
    "<control name=\"Gain\" public=\"true\">200</control>"
    "<chain input=\"Stereo\" output=\"Stereo\"><process tech_id=\"Test Gain\" instance_id=\"G\"/>"
    "</chain></operating_mode>"
    "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-Movie</control>"
    "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control>"
    "<control name=\"Gain\" public=\"true\">200</control>"
    "<chain input=\"Stereo\" output=\"Stereo\"><process tech_id=\"Test Gain\" instance_id=\"G\"/>"
    "<control name=\"Gain\">500</control></chain></operating_mode></qor_configuration>";

class QORAPOProcessChainTuningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint_ = qortest::MakeEndpoint(true, QORUtf8ToWide(root_.Path()) + L"/t.xml");
    ASSERT_EQ(file_.LoadFromText(kConfiguration, 0, 0), 0u);
  }
  QORAPOProcessChain::Request Request(size_t mode) {
    QORAPOProcessChain::Request request;
    request.endpoint = endpoint_;
    request.mode = *file_.GetOperatingModes()[mode];
    request.inputCode = request.outputCode = 2;
    request.sampleRate = 48000;
    return request;
  }
  // The mode's public Gain stored as a control panel does, and a tuning tool's block holding
  // Gain and the tuning mode.
  void Store(size_t mode, const char* publicGain, QORAPOTunedSettings& tool, long tuningMode,
             const char* tunedGain) {
    QORAPOPublicSettings settings;
    settings.Init(endpoint_, *file_.GetOperatingModes()[mode]);
    ASSERT_TRUE(settings.WriteControl(QORUTSValue("Gain", std::string(publicGain))));
    ASSERT_TRUE(tool.Open(endpoint_, *file_.GetOperatingModes()[mode], false));
    QORUTSValueList tuned;
    tuned.Set(QORUTSValue("Gain", std::string(tunedGain)));
    tuned.Set(QORUTSValue(QORAPOTunedSettings::kTuningModeName, tuningMode));
    ASSERT_TRUE(tool.WriteControls(tuned));
  }
  static int32_t Gain(QORAPOProcessChain& chain) {
    return ReadInt(*dynamic_cast<QORAPOProcessWrapper*>(chain.GetElement(0)), "Gain");
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo endpoint_;
  QORAPOConfigurationFile file_;
};

TEST_F(QORAPOProcessChainTuningTest, TuningModeChoosesBetweenPublicAndTunedAndTheChainEntryWins) {
  struct Case {
    long tuningMode;
    int32_t music;
  };
  for (const Case& c : {Case{0, 300}, Case{1, 300}, Case{2, 400}, Case{7, 200}}) {
    SCOPED_TRACE(c.tuningMode);
    QORAPOTunedSettings musicTool;
    QORAPOTunedSettings movieTool;
    Store(0, "300", musicTool, c.tuningMode, "400");
    Store(1, "300", movieTool, c.tuningMode, "400");
    QORAPOProcessChain chain;
    ASSERT_TRUE(chain.ConstructChain(Request(0)));
    EXPECT_TRUE(chain.tuningPoll);
    EXPECT_EQ(Gain(chain), c.music);
    ASSERT_TRUE(chain.ConstructChain(Request(1)));
    EXPECT_EQ(Gain(chain), 500);
  }
}

TEST_F(QORAPOProcessChainTuningTest, TuningChangedOnlyWhenTheToolWroteSomethingNew) {
  QORAPOProcessChain chain;
  // Nobody tunes: the block does not exist and there is nothing to poll.
  ASSERT_TRUE(chain.ConstructChain(Request(0)));
  EXPECT_FALSE(chain.tuningPoll);
  EXPECT_FALSE(chain.TuningChanged());
  EXPECT_EQ(Gain(chain), 200);

  QORAPOTunedSettings tool;
  Store(0, "200", tool, 2, "250");
  chain.Reset();
  ASSERT_TRUE(chain.ConstructChain(Request(0)));
  ASSERT_TRUE(chain.tuningPoll);
  EXPECT_EQ(Gain(chain), 250);
  EXPECT_FALSE(chain.TuningChanged());
  ASSERT_TRUE(tool.WriteControl(QORUTSValue("Gain", std::string("275"))));
  EXPECT_TRUE(chain.TuningChanged());
  EXPECT_FALSE(chain.TuningChanged());
  // The owner rebuilds; the same request sends every control again with the new value.
  ASSERT_TRUE(chain.ConstructChain(Request(0)));
  EXPECT_EQ(Gain(chain), 275);
}

}  // namespace

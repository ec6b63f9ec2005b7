#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "TestTechProbe.h"
#include "chain/QORAPOProcessChain.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

// Gain is public in both modes (200); the chain entry of the second mode sets Gain itself (500).
constexpr char kMode[] =
    "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-%s</control>"
    "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control>"
    "<control name=\"Gain\" public=\"true\">200</control><chain input=\"Stereo\" "
    "output=\"Stereo\"><process tech_id=\"Test Gain\" instance_id=\"G\"/>%s</chain>"
    "</operating_mode>";

class QORAPOProcessChainTuningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint_ = qortest::MakeEndpoint(true, QORUtf8ToWide(root_.Path()) + L"/t.xml");
    char music[512], movie[512];
    std::snprintf(music, sizeof music, kMode, "Music", "");
    std::snprintf(movie, sizeof movie, kMode, "Movie", "<control name=\"Gain\">500</control>");
    ASSERT_EQ(file_.LoadFromText(std::string("<qor_configuration><properties><control name=\""
                                             "Product Name\">T</control></properties>") +
                                     music + movie + "</qor_configuration>",
                                 0, 0),
              0u);
  }
  // Builds the chain of the mode and returns its Gain.
  int32_t Build(QORAPOProcessChain& chain, size_t mode) {
    QORAPOProcessChain::Request request;
    request.endpoint = endpoint_;
    request.mode = *file_.GetOperatingModes()[mode];
    request.inputCode = request.outputCode = 2;
    request.sampleRate = 48000;
    EXPECT_TRUE(chain.ConstructChain(request));
    return testtech::ReadInt(*dynamic_cast<QORAPOProcessWrapper*>(chain.GetElement(0)), "Gain");
  }
  // The mode's public Gain stored as a control panel does, and a tuning tool's block holding
  // Gain and the tuning mode.
  void Store(size_t mode, QORAPOTunedSettings& tool, long tuningMode, const char* tunedGain) {
    QORAPOPublicSettings settings;
    settings.Init(endpoint_, *file_.GetOperatingModes()[mode]);
    ASSERT_TRUE(settings.WriteControl(QORUTSValue("Gain", std::string("300"))));
    ASSERT_TRUE(tool.Open(endpoint_, *file_.GetOperatingModes()[mode], false));
    QORUTSValueList tuned;
    tuned.Set(QORUTSValue("Gain", std::string(tunedGain)));
    tuned.Set(QORUTSValue(QORAPOTunedSettings::kTuningModeName, tuningMode));
    ASSERT_TRUE(tool.WriteControls(tuned));
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo endpoint_;
  QORAPOConfigurationFile file_;
};

TEST_F(QORAPOProcessChainTuningTest, TuningModeChoosesBetweenPublicAndTunedAndTheChainEntryWins) {
  for (const auto& [tuningMode, music] : {std::pair{0L, 300}, {1L, 300}, {2L, 400}, {7L, 200}}) {
    SCOPED_TRACE(tuningMode);
    QORAPOTunedSettings musicTool, movieTool;
    Store(0, musicTool, tuningMode, "400");
    Store(1, movieTool, tuningMode, "400");
    QORAPOProcessChain chain;
    EXPECT_EQ(Build(chain, 0), music);
    EXPECT_TRUE(chain.tuningPoll);
    EXPECT_EQ(Build(chain, 1), 500);
  }
}

TEST_F(QORAPOProcessChainTuningTest, TuningChangedOnlyWhenTheToolWroteSomethingNew) {
  QORAPOProcessChain chain;
  // Nobody tunes: the block does not exist and there is nothing to poll.
  EXPECT_EQ(Build(chain, 0), 200);
  EXPECT_FALSE(chain.tuningPoll);
  EXPECT_FALSE(chain.TuningChanged());

  QORAPOTunedSettings tool;
  Store(0, tool, 2, "250");
  chain.Reset();
  EXPECT_EQ(Build(chain, 0), 250);
  ASSERT_TRUE(chain.tuningPoll);
  EXPECT_FALSE(chain.TuningChanged());
  ASSERT_TRUE(tool.WriteControl(QORUTSValue("Gain", std::string("275"))));
  EXPECT_TRUE(chain.TuningChanged());
  EXPECT_FALSE(chain.TuningChanged());
  // The owner rebuilds; the same request sends every control again with the new value.
  EXPECT_EQ(Build(chain, 0), 275);
}

}  // namespace

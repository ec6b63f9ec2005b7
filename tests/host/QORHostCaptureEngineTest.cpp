// The demonstration microphone's objects started through the engine setup, as the daemon starts
// them: found among the capture endpoints, at the local-effect position, mono or stereo.
#include <filesystem>
#include <memory>
#include <vector>

#include "QORHostEndpointSetup.h"
#include "QORHostRunner.h"
#include "common/QORTextConvert.h"
#include "engine/QORHostEngineSetup.h"

namespace {

class HostCaptureEngineTest : public qortest::HostToolTest {};

TEST_F(HostCaptureEngineTest, TheDemoMicrophonesObjectsStartMonoOrStereoAndRefuseOtherCounts) {
  QORAPOEndpointInfo microphone;
  ASSERT_TRUE(QORHostEngineSetup::CaptureEndpoint(1, &microphone));
  EXPECT_EQ(microphone.GetEndpointGuid(), QORHostEndpointSetup::kDemoMicrophone);
  EXPECT_FALSE(microphone.IsRender());
  // The default capture endpoint is the only one; there is no second.
  QORAPOEndpointInfo byDefault;
  ASSERT_TRUE(QORHostEngineSetup::CaptureEndpoint(0, &byDefault));
  EXPECT_EQ(byDefault.GetEndpointGuid(), QORHostEndpointSetup::kDemoMicrophone);
  QORAPOEndpointInfo second;
  EXPECT_FALSE(QORHostEngineSetup::CaptureEndpoint(2, &second));
  // Only the local effect holds a class.
  EXPECT_EQ(QORHostEngineSetup::DefaultLocations(microphone), std::vector<int>{0});

  const std::wstring module = QORUtf8ToWide(qortest::BuiltModule("qlvapo64").string());
  struct Case {
    int channels;
    const char* refusal;  // empty: the objects start
  };
  const Case cases[] = {
      {1, ""},
      {2, ""},
      {3,
       "the QOR LFX Capture APO object refuses 3 channels; the objects accept 1 or 2 channels: "
       "convert the input (e.g. sox IN -c 1 OUT)"},
      {8,
       "the QOR LFX Capture APO object refuses 8 channels; the objects accept 1 or 2 channels: "
       "convert the input (e.g. sox IN -c 1 OUT)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels");
    std::string error;
    std::unique_ptr<QORHostEngine> engine =
        QORHostEngineSetup::Start(microphone, {0}, module, c.channels, 48000, 480, &error);
    EXPECT_EQ(error, c.refusal);
    ASSERT_EQ(engine != nullptr, error.empty());
    if (!engine) continue;
    ASSERT_EQ(engine->Stages().size(), 1u);
    EXPECT_EQ(engine->Stages()[0].name, "QOR LFX Capture APO");
    EXPECT_EQ(engine->Rate(), 48000);
    // A period through it: as many frames come out as went in, and silence stays silence.
    const std::vector<float> silence(static_cast<size_t>(480) * c.channels, 0.0f);
    const float* out = engine->Process(silence.data(), 480, true);
    ASSERT_NE(out, nullptr);
    for (size_t i = 0; i < silence.size(); ++i) ASSERT_EQ(out[i], 0.0f) << i;
    engine->Unlock();
  }
}

}  // namespace

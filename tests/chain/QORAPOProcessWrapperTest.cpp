#include "chain/QORAPOProcessWrapper.h"

#include <gtest/gtest.h>

#include "platform/QORLoadedModule.h"
#include "settings/QORUTSControlInfo.h"
#include "settings/QORUTSValue.h"

namespace {

// A control of the test library's process (testtech/TestTechProcess.cpp), read past the wrapper.
int32_t ReadInt(const QORAPOProcessWrapper& wrapper, const char* control) {
  int32_t value = -12345;
  const bool read = wrapper.GetProcess() && wrapper.GetProcess()->GetControlInt(control, &value);
  return read ? value : -12345;
}

// Runs one period through the wrapper, a ramp per channel (frame n is n + 1 + 1000 * channel),
// and returns the output of each channel.
std::vector<std::vector<float>> Stream(QORAPOProcessWrapper& wrapper, uint32_t channels,
                                       uint32_t rate, uint32_t frames) {
  QORAudioDataFloat data;
  data.Init(frames, channels, rate);
  float* samples = data.GetSamples(true, false);
  for (uint32_t i = 0; i < frames * channels; ++i)
    samples[i] = static_cast<float>(i % frames + 1 + 1000 * (i / frames));
  wrapper.Process(data);
  const float* planar = data.GetSamples(false, false);
  std::vector<std::vector<float>> out;
  for (uint32_t c = 0; c < channels; ++c)
    out.emplace_back(planar + c * frames, planar + (c + 1) * frames);
  return out;
}

TEST(QORAPOProcessWrapper, FailedCreateRefusedInitAndOddAnswersOfTheProcessAreContained) {
  // Refused by the library, "created" without a process, and unknown to the library; the last
  // replaces a working process.
  for (const char* techId : {"Test FailCreate", "Test NullCreate", "No Such Tech"}) {
    for (bool recreate : {false, true}) {
      SCOPED_TRACE(testing::Message() << techId << (recreate ? " replacing" : ""));
      QORAPOProcessWrapper wrapper;
      if (recreate) {
        ASSERT_TRUE(wrapper.Create("Test Gain", "Eq", "", nullptr));
        ASSERT_TRUE(wrapper.Init(1, 48000));
      }
      EXPECT_FALSE(wrapper.Create(techId, "Bass", "", nullptr));
      EXPECT_EQ(wrapper.GetProcess(), nullptr);
      EXPECT_FALSE(QORLoadedModule::IsLoadedPath(QORAPOProcessLibrary::GetPath()));
      EXPECT_FALSE(wrapper.Init(2, 48000));
      QORUTSValue gain("Gain", 70L);
      EXPECT_FALSE(wrapper.SetControl(gain) || wrapper.GetControl(gain));
      EXPECT_EQ(Stream(wrapper, 1, 48000, 64)[0][63], 64.0f);  // the audio stays as it was
    }
  }
  // After a refused Init the process never runs and the audio passes untouched.
  QORAPOProcessWrapper refused;
  ASSERT_TRUE(refused.Create("Test FailInit", "X", "", nullptr));
  EXPECT_FALSE(refused.Init(1, 48000));
  EXPECT_EQ(Stream(refused, 1, 48000, 64)[0][63], 64.0f);
  EXPECT_EQ(ReadInt(refused, "Calls"), 0);
  // A negative control count describes nothing; a text read as success without a text is empty.
  QORAPOProcessWrapper odd;
  ASSERT_TRUE(odd.Create("Test BadCount", "X", "", nullptr));
  std::vector<QORUTSControlInfo> infos(3);
  EXPECT_EQ(odd.GetControlInfo(infos), 0);
  EXPECT_TRUE(infos.empty());
  QORUTSValue text("NullText", std::string("old"));
  EXPECT_TRUE(odd.GetControl(text));
  EXPECT_EQ(text.GetValueText(), "");
}

TEST(QORAPOProcessWrapper, ControlPrefixesAddressOneInstanceAndOffloadTakesItsPlainPosition) {
  // A prefix must match the instance whole or name its position; an offload stream instance takes
  // its plain position's controls, never the reverse, and stream and mix positions stay apart.
  const struct {
    const char* instance;
    const char* control;
    long value;
    bool accepted;
  } cases[] = {{"Eq", "Eq:Gain", 150, true},
               {"Bass", "Eq:Gain", 150, false},
               {"Bass", "Gain", 70, true},
               {"Eq", "Eq2:Gain", 1, false},
               {"SFX_Main", "OSFX_Main:Gain", 110, false},
               {"OSFX_Main", "MFX_Main:Gain", 110, false},
               {"OSFX_Main", "SFX_Main:Gain", 110, true},
               // A position's prefix reaches every instance of that position, plain or offload.
               {"MFX_Main", "MFX:Gain", 120, true},
               {"MFX_Phones", "MFX:Gain", 120, true},
               {"OMFX_Main", "MFX:Gain", 120, true},
               {"SFX_Main", "MFX:Gain", 120, false},
               {"MFXA_Main", "MFX:Gain", 120, false},
               {"MFX", "MFX:Gain", 120, true},
               {"SFX_Main", "SFX:Gain", 130, true},
               {"OMFX_Main", "OMFX:Gain", 130, true},
               {"MFX_Main", "OMFX:Gain", 130, false},
               {"EFX_Protect", "MFX:Gain", 130, false}};
  QORAPOProcessWrapper wrapper;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.instance << " / " << c.control);
    ASSERT_TRUE(wrapper.Create("Test Gain", c.instance, "", nullptr));  // Gain 50 at creation
    EXPECT_EQ(wrapper.SetControl(QORUTSValue(c.control, c.value)), c.accepted);
    EXPECT_EQ(ReadInt(wrapper, "Gain"), c.accepted ? c.value : 50);
  }
  // Reading applies no alias.
  QORUTSValue aliased("SFX_Main:Gain", std::string("unchanged"));
  EXPECT_FALSE(wrapper.GetControl(aliased));
}

// Records what each call brings; a receiving hook (keepFrames set) shortens the buffer to
// keepFrames and writes 0.25 into every sample.
class RecordingWrapperHook : public IQORAPOProcessWrapperHook {
 public:
  void OnSideChain(QORAPOProcessWrapper&, IQORAudioData<float>& data) override {
    ++calls;
    format = {data.GetFrameCount(), data.GetChannelCount(), data.GetSampleRate(),
              data.GetChannelMapEntry(0)};
    const float* samples = data.GetSamples(false, false);
    seen.assign(samples, samples + data.GetFrameCount());
    if (keepFrames == 0) return;
    data.SetFrameCount(keepFrames);
    std::fill_n(data.GetSamples(true, true), data.GetFrameCount(), 0.25f);
  }

  int calls = 0;
  std::vector<uint32_t> format;  // frames, channels, rate, role
  std::vector<float> seen;
  uint32_t keepFrames = 0;
};

TEST(QORAPOProcessWrapper, SideChainCallbackRules) {
  // A sending process hands channel 0 to the hook and leaves the audio alone.
  RecordingWrapperHook sent;
  QORAPOProcessWrapper aec;
  ASSERT_TRUE(aec.Create("QOR AEC/NR", "Aec", "Sidechain Pipe", &sent));
  ASSERT_TRUE(aec.Init(2, 16000));
  EXPECT_EQ(Stream(aec, 2, 16000, 160)[0].back(), 160.0f);
  ASSERT_EQ(sent.calls, 1);
  EXPECT_EQ(sent.format, (std::vector<uint32_t>{160, 1, 16000, kTechSideChainRole}));
  EXPECT_EQ(sent.seen.back(), 160.0f);
  // A receiving process gets the buffer silent and takes only the frames the hook left.
  RecordingWrapperHook given;
  given.keepFrames = 100;
  QORAPOProcessWrapper clarix;
  ASSERT_TRUE(clarix.Create("QOR Clarix+", "Clx", "Sidechain Pipe", &given));
  ASSERT_TRUE(clarix.Init(2, 48000));
  const auto out = Stream(clarix, 2, 48000, 480);
  EXPECT_EQ(given.seen, std::vector<float>(480, 0.0f));
  EXPECT_EQ(out[0][99], 0.25f);
  EXPECT_EQ(out[0][100], 101.0f);
  EXPECT_EQ(out[1].front(), 1001.0f);
  // Other technologies, a hook of another name or none, and malformed calls reach no hook.
  RecordingWrapperHook unused;
  const struct {
    const char* techId;
    const char* hookName;
    IQORAPOProcessWrapperHook* target;
    long mode;  // linked record, role 6, no samples, 0 frames, no context
  } cases[] = {
      {"Test Pass", "Sidechain Pipe", &unused, 0},   {"QOR AEC/NR", "sidechain pipe", &unused, 0},
      {"QOR Clarix+", "Sidechain Pipe", nullptr, 0}, {"QOR AEC/NR", "Sidechain Pipe", &unused, 1},
      {"QOR Clarix+", "Sidechain Pipe", &unused, 2}, {"QOR AEC/NR", "Sidechain Pipe", &unused, 3},
      {"QOR Clarix+", "Sidechain Pipe", &unused, 4}, {"QOR AEC/NR", "Sidechain Pipe", &unused, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.techId << " / " << c.hookName << " / " << c.mode);
    QORAPOProcessWrapper wrapper;
    ASSERT_TRUE(wrapper.Create(c.techId, "X", c.hookName, c.target));
    ASSERT_TRUE(c.mode == 0 || wrapper.SetControl(QORUTSValue("CallMode", c.mode)));
    ASSERT_TRUE(wrapper.Init(1, 48000));
    EXPECT_EQ(Stream(wrapper, 1, 48000, 48)[0].back(), 48.0f);
    EXPECT_EQ(ReadInt(wrapper, "Callbacks"), c.mode == 0 ? 0 : 1);
  }
  EXPECT_EQ(unused.calls, 0);
}

}  // namespace

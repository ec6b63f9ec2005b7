// End-to-end: the built qorapo streams generated files through the demonstration endpoint.
#include <cstring>
#include <random>
#include <regex>

#include "QORHostRunner.h"
#include "platform/QORRegistryKey.h"

namespace {

namespace fs = std::filesystem;
using qortest::Db;
using qortest::HostAudio;
using qortest::HostResult;
using qortest::ReadHostAudio;
using qortest::ToneLevel;
using qortest::Tones;
using qortest::WriteHostAudio;
using HostTest = qortest::HostToolTest;

using qortest::Latency;

TEST_F(HostTest, TheModesProcessesShapeTheResponseAndTheGlobalSwitchBypassesThem) {
  // Music on speakers ends in speaker protection with its 180 Hz high-pass: 50 Hz falls well
  // below 1 kHz. Switched off globally, both tones pass at the level they came in.
  const HostAudio input = Tones({50.0, 1000.0}, 0.1, 2.0);
  ASSERT_TRUE(WriteHostAudio(File("tones.wav"), input));
  const HostResult music = Run({"process", File("tones.wav"), File("music.wav"), "--mode", "Music",
                                "--speaker", "Speakers"});
  ASSERT_EQ(music.code, 0) << music.err;
  const HostResult off =
      Run({"process", File("tones.wav"), File("off.wav"), "--set", "VAPO3-Process Enable=0"});
  ASSERT_EQ(off.code, 0) << off.err;
  const size_t begin = 48000;  // past the attack of every process
  const size_t end = 96000;
  const double inputTilt = Db(ToneLevel(input, 50.0, begin - 4800, end - 4800) /
                              ToneLevel(input, 1000.0, begin - 4800, end - 4800));
  const HostAudio processed = ReadHostAudio(File("music.wav"));
  const double processedTilt =
      Db(ToneLevel(processed, 50.0, begin, end) / ToneLevel(processed, 1000.0, begin, end));
  EXPECT_LT(processedTilt, inputTilt - 6.0) << music.out;
  const HostAudio bypassed = ReadHostAudio(File("off.wav"));
  EXPECT_NEAR(Db(ToneLevel(bypassed, 1000.0, begin, end) / 0.1), 0.0, 0.05);
  EXPECT_NEAR(Db(ToneLevel(bypassed, 50.0, begin, end) / 0.1), 0.0, 0.05);
  EXPECT_NE(music.out.find("EFX_Protect"), std::string::npos) << music.out;
}

TEST_F(HostTest, BypassAndPassThroughGiveTheInputDelayedByExactlyTheReportedLatency) {
  HostAudio input{2, 48000, std::vector<float>(2 * 30011)};
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
  for (float& sample : input.samples) sample = noise(random);
  ASSERT_TRUE(WriteHostAudio(File("noise.wav"), input));
  const std::vector<std::vector<std::string>> runs = {
      {"--set", "VAPO3-Process Enable=0"}, {"--mode", "Voice", "--speaker", "Headphones"}};
  for (const auto& options : runs) {
    std::vector<std::string> args{"process", File("noise.wav"), File("through.wav")};
    args.insert(args.end(), options.begin(), options.end());
    const HostResult result = Run(args);
    ASSERT_EQ(result.code, 0) << result.err;
    const long long latency = Latency(result.out);
    ASSERT_GE(latency, 0) << result.out;
    const HostAudio output = ReadHostAudio(File("through.wav"));
    ASSERT_EQ(output.Frames(), input.Frames() + static_cast<size_t>(latency)) << options[1];
    size_t mismatches = 0;
    for (size_t i = 0; i < input.samples.size(); ++i) {
      mismatches +=
          std::memcmp(&input.samples[i], &output.samples[i + 2 * latency], sizeof(float)) != 0;
    }
    EXPECT_EQ(mismatches, 0u) << options[1] << "\n" << result.out;
    for (size_t i = 0; i < static_cast<size_t>(2 * latency); ++i) {
      ASSERT_EQ(output.samples[i], 0.0f) << i;
    }
  }
}

TEST_F(HostTest, EachErrorSaysWhatToDoExitsNonZeroAndLeavesNoOutput) {
  std::ofstream(File("notaudio.wav")) << "this is text, not audio";
  ASSERT_TRUE(WriteHostAudio(File("mono.wav"), Tones({440.0}, 0.1, 0.5, 1)));
  ASSERT_TRUE(WriteHostAudio(File("stereo.wav"), Tones({440.0}, 0.1, 0.5)));
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> says;
  } cases[] = {
      {{"process", File("notaudio.wav"), File("out.wav")}, {"cannot read", "libsndfile reads"}},
      {{"process", File("mono.wav"), File("out.wav")}, {"refuses 1 channel", "2, 6 or 8"}},
      {{"process", File("stereo.wav"), File("out.wav"), "--endpoint", "Headset"},
       {"no active render endpoint is named 'Headset'", "Known endpoints:", "QOR Demo Speakers"}},
      {{"process", File("stereo.wav"), File("out.wav"), "--module", File("nothing.so")},
       {"cannot load the APO module", "--module"}},
      {{"process", File("stereo.wav"), File("out.wav"), "--set", "ZR3D-GEQ Band 1=0"},
       {"not a public control", "ZR3D-GEQ Enable"}},
  };
  for (const auto& entry : cases) {
    const HostResult result = Run(entry.args);
    EXPECT_NE(result.code, 0) << entry.args[1];
    for (const std::string& text : entry.says) {
      EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(File("out.wav"))) << result.err;
  }
  // Nothing but the inputs: no temporary output was left behind either.
  EXPECT_EQ(FileCount(), 3u);
}

TEST_F(HostTest, AScheduledModeChangeLandsAtTheSameSampleOnEveryRunWithoutAClick) {
  const HostAudio input = Tones({1000.0}, 0.25, 2.5);
  ASSERT_TRUE(WriteHostAudio(File("tone.wav"), input));
  const std::vector<std::string> change{"--mode", "Music", "--at", "1.0:mode=Movie"};
  std::vector<HostAudio> outputs;
  long long latency = -1;
  for (const bool scheduled : {true, true, false}) {
    std::vector<std::string> args{"process", File("tone.wav"), File("changed.wav")};
    args.insert(args.end(), change.begin(), scheduled ? change.end() : change.begin() + 2);
    const HostResult result = Run(args);
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.err.find("pause of"), std::string::npos) << result.err;
    latency = Latency(result.out);
    outputs.push_back(ReadHostAudio(File("changed.wav")));
  }
  ASSERT_EQ(outputs[0].samples.size(), outputs[1].samples.size());
  ASSERT_EQ(outputs[0].samples.size(), outputs[2].samples.size());
  // Against the run without the change: each scheduled run is identical before the position and
  // departs at the same sample, within 100 ms + the latency + the 30 ms fade.
  auto departure = [&](const HostAudio& run) {
    size_t n = 0;
    while (n < run.samples.size() &&
           std::memcmp(&run.samples[n], &outputs[2].samples[n], sizeof(float)) == 0) {
      ++n;
    }
    return n / 2;
  };
  const size_t first = departure(outputs[0]);
  EXPECT_EQ(first, departure(outputs[1]));
  EXPECT_GE(first, 48000u);
  const size_t bound = 48000u + 4800u + static_cast<size_t>(latency) + 1440u;
  EXPECT_LE(first, bound);
  // No click: every step between samples stays what a 1 kHz tone of the level around it makes
  // (the new mode is louder, so the steps grow with the level, not beyond).
  for (const HostAudio& run : {outputs[0], outputs[1]}) {
    EXPECT_LE(qortest::WorstStep(run, 1000.0, 47040, 96000), 1.05);
  }
}

// Installed as an installer would: processing loads the module the classes' registration names.
TEST_F(HostTest, RegisteredClassesNameTheModuleTheEngineLoadsUntilUnregistered) {
  const fs::path built = fs::path(QOR_HOST_BINARY).parent_path();
  const fs::path installed = files_ / "installed dir";
  fs::create_directories(installed);
  for (const char* base : {"qlvapo64", "qltech64"}) {
    fs::copy_file(built / qortest::ModuleFile(base), installed / qortest::ModuleFile(base));
  }
  ASSERT_TRUE(WriteHostAudio(File("tone.wav"), Tones({1000.0}, 0.1, 0.5)));
  const auto sfxRegistered = [] {
    QORRegistryKey key;
    return QORRegistryKey::Open(QORRegistryHive::kClassesRoot,
                                L"CLSID\\{1B917FE2-47D1-425D-A26E-AFCDBDA7A2E8}\\InprocServer32",
                                KEY_READ, key) == ERROR_SUCCESS;
  };

  const std::string module = (installed / qortest::ModuleFile("qlvapo64")).string();
  EXPECT_EQ(RunJson({"register", "--module", module, "--json"}),
            (nlohmann::json{{"module", module}, {"registered", true}}));
  EXPECT_TRUE(sfxRegistered());

  const HostResult during = Run({"process", File("tone.wav"), File("during.wav")});
  ASSERT_EQ(during.code, 0) << during.err;
  EXPECT_NE(during.out.find("module    " + module + " (registered)"), std::string::npos)
      << during.out;

  EXPECT_EQ(RunJson({"unregister", "--module", module, "--json"}),
            (nlohmann::json{{"module", module}, {"registered", false}}));
  EXPECT_FALSE(sfxRegistered());
  const HostResult after = Run({"process", File("tone.wav"), File("after.wav")});
  ASSERT_EQ(after.code, 0) << after.err;
  EXPECT_NE(after.out.find("(beside qorapo)"), std::string::npos) << after.out;

  // Failures exit with 2 and print nothing on standard output, --json or not.
  const HostResult missing = Run({"register", "--module", File("none.so"), "--json"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("cannot load the APO module '" + File("none.so") +
                             "'; build it or give its path with --module"),
            std::string::npos)
      << missing.err;
}

}  // namespace

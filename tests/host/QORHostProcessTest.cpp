// End-to-end: the built qorapo streams generated files through the demonstration endpoint.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Audio {
  int channels = 0;
  int rate = 0;
  std::vector<float> samples;
  size_t Frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

void WriteAudio(const fs::path& path, const Audio& audio) {
  SF_INFO info{};
  info.channels = audio.channels;
  info.samplerate = audio.rate;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  sf_writef_float(file, audio.samples.data(), static_cast<sf_count_t>(audio.Frames()));
  sf_close(file);
}

Audio ReadAudio(const fs::path& path) {
  SF_INFO info{};
  Audio audio;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return audio;
  audio.channels = info.channels;
  audio.rate = info.samplerate;
  audio.samples.resize(static_cast<size_t>(info.frames) * info.channels);
  sf_readf_float(file, audio.samples.data(), info.frames);
  sf_close(file);
  return audio;
}

// Stereo tones of the given frequencies and amplitude each, in both channels.
Audio Tones(std::vector<double> frequencies, double amplitude, double seconds, int channels = 2) {
  Audio audio{channels, 48000, {}};
  const size_t frames = static_cast<size_t>(seconds * audio.rate);
  audio.samples.resize(frames * channels);
  for (size_t n = 0; n < frames; ++n) {
    double value = 0.0;
    for (const double f : frequencies) {
      value += amplitude * std::sin(2.0 * std::numbers::pi * f * n / audio.rate);
    }
    for (int c = 0; c < channels; ++c) audio.samples[n * channels + c] = static_cast<float>(value);
  }
  return audio;
}

// Amplitude of frequency f in channel 0 over [begin, end).
double Level(const Audio& audio, double f, size_t begin, size_t end) {
  double re = 0.0;
  double im = 0.0;
  for (size_t n = begin; n < end; ++n) {
    const double phase = 2.0 * std::numbers::pi * f * n / audio.rate;
    re += audio.samples[n * audio.channels] * std::cos(phase);
    im += audio.samples[n * audio.channels] * std::sin(phase);
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(end - begin);
}

double Db(double ratio) {
  return 20.0 * std::log10(ratio);
}

long long Latency(const std::string& report) {
  std::smatch match;
  if (!std::regex_search(report, match, std::regex("delayed by (\\d+) frames"))) return -1;
  return std::stoll(match[1]);
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = fs::path(root_.Path()) / "files";
    fs::create_directories(files_);
    const Result setup = Run({"demo-setup", root_.Path() + "/state"});
    ASSERT_EQ(setup.code, 0) << setup.err;
    setenv("QOR_ROOT", (root_.Path() + "/state").c_str(), 1);
  }

  // Starts qorapo with its standard output and error going to files; 0 when it cannot start.
  pid_t Start(const std::vector<std::string>& args) {
    std::vector<std::string> all{QOR_HOST_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, Out().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, Err().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  Result Wait(pid_t pid) {
    Result result;
    int status = 0;
    if (pid != 0 && waitpid(pid, &status, 0) == pid) {
      result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.out = Slurp(Out());
    result.err = Slurp(Err());
    return result;
  }

  Result Run(const std::vector<std::string>& args) { return Wait(Start(args)); }

  fs::path Out() const { return fs::path(root_.Path()) / "stdout"; }
  fs::path Err() const { return fs::path(root_.Path()) / "stderr"; }

  std::string File(const std::string& name) const { return (files_ / name).string(); }

  qortest::TempStateRoot root_;
  fs::path files_;
};

TEST_F(HostTest, TheModesProcessesShapeTheResponseAndTheGlobalSwitchBypassesThem) {
  // Music on speakers ends in speaker protection with its 180 Hz high-pass: 50 Hz falls well
  // below 1 kHz. Switched off globally, both tones pass at the level they came in.
  const Audio input = Tones({50.0, 1000.0}, 0.1, 2.0);
  WriteAudio(File("tones.wav"), input);
  const Result music = Run({"process", File("tones.wav"), File("music.wav"), "--mode", "Music",
                            "--speaker", "Speakers"});
  ASSERT_EQ(music.code, 0) << music.err;
  const Result off =
      Run({"process", File("tones.wav"), File("off.wav"), "--set", "VAPO3-Process Enable=0"});
  ASSERT_EQ(off.code, 0) << off.err;
  const size_t begin = 48000;  // past the attack of every process
  const size_t end = 96000;
  const double inputTilt = Db(Level(input, 50.0, begin - 4800, end - 4800) /
                              Level(input, 1000.0, begin - 4800, end - 4800));
  const Audio processed = ReadAudio(File("music.wav"));
  const double processedTilt =
      Db(Level(processed, 50.0, begin, end) / Level(processed, 1000.0, begin, end));
  EXPECT_LT(processedTilt, inputTilt - 6.0) << music.out;
  const Audio bypassed = ReadAudio(File("off.wav"));
  EXPECT_NEAR(Db(Level(bypassed, 1000.0, begin, end) / 0.1), 0.0, 0.05);
  EXPECT_NEAR(Db(Level(bypassed, 50.0, begin, end) / 0.1), 0.0, 0.05);
  EXPECT_NE(music.out.find("SFX"), std::string::npos) << music.out;
  EXPECT_NE(music.out.find("EFX_Protect"), std::string::npos) << music.out;
}

TEST_F(HostTest, BypassAndPassThroughGiveTheInputDelayedByExactlyTheReportedLatency) {
  Audio input{2, 48000, std::vector<float>(2 * 30011)};
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
  for (float& sample : input.samples) sample = noise(random);
  WriteAudio(File("noise.wav"), input);
  const std::vector<std::vector<std::string>> runs = {
      {"--set", "VAPO3-Process Enable=0"}, {"--mode", "Voice", "--speaker", "Headphones"}};
  for (const auto& options : runs) {
    std::vector<std::string> args{"process", File("noise.wav"), File("through.wav")};
    args.insert(args.end(), options.begin(), options.end());
    const Result result = Run(args);
    ASSERT_EQ(result.code, 0) << result.err;
    const long long latency = Latency(result.out);
    ASSERT_GE(latency, 0) << result.out;
    const Audio output = ReadAudio(File("through.wav"));
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
    fs::remove(File("through.wav"));
  }
}

TEST_F(HostTest, EachErrorSaysWhatToDoExitsNonZeroAndLeavesNoOutput) {
  std::ofstream(File("notaudio.wav")) << "this is text, not audio";
  WriteAudio(File("mono.wav"), Tones({440.0}, 0.1, 0.5, 1));
  WriteAudio(File("stereo.wav"), Tones({440.0}, 0.1, 0.5));
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> says;
  } cases[] = {
      {{"process", File("notaudio.wav"), File("out.wav")}, {"cannot read", "libsndfile reads"}},
      {{"process", File("missing.wav"), File("out.wav")}, {"cannot read"}},
      {{"process", File("mono.wav"), File("out.wav")}, {"refuses 1 channel", "2, 6 or 8"}},
      {{"process", File("stereo.wav"), File("out.wav"), "--endpoint", "Headset"},
       {"no active render endpoint is named 'Headset'", "Known endpoints:", "QOR Demo Speakers"}},
      {{"process", File("stereo.wav"), File("out.wav"), "--module", File("nothing.so")},
       {"cannot load the APO module", "--module"}},
      {{"process", File("stereo.wav"), File("out.wav"), "--mode", "Karaoke"},
       {"no mode Karaoke/Speakers", "Music/Speakers"}},
      {{"process", File("stereo.wav"), File("out.wav"), "--set", "ZR3D-GEQ Band 1=0"},
       {"not a public control", "ZR3D-GEQ Enable"}},
  };
  for (const auto& entry : cases) {
    const Result result = Run(entry.args);
    EXPECT_NE(result.code, 0) << entry.args[1];
    for (const std::string& text : entry.says) {
      EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(File("out.wav"))) << result.err;
  }
  // Nothing but the inputs: no temporary output was left behind either.
  EXPECT_EQ(std::distance(fs::directory_iterator(files_), fs::directory_iterator()), 3);
}

TEST_F(HostTest, AnInterruptedRunLeavesNoOutput) {
  WriteAudio(File("long.wav"), Tones({440.0}, 0.1, 60.0));
  const pid_t pid = Start({"process", File("long.wav"), File("out.wav")});
  ASSERT_NE(pid, 0);
  // Interrupted once the output is being written (its temporary file exists).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::distance(fs::directory_iterator(files_), fs::directory_iterator()) < 2 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(pid, SIGINT);
  const Result result = Wait(pid);
  EXPECT_EQ(result.code, 130) << result.err;
  EXPECT_NE(result.err.find("interrupted; no output written"), std::string::npos) << result.err;
  EXPECT_EQ(std::distance(fs::directory_iterator(files_), fs::directory_iterator()), 1);
}

TEST_F(HostTest, AScheduledModeChangeLandsAtTheSameSampleOnEveryRunWithoutAClick) {
  const Audio input = Tones({1000.0}, 0.25, 2.5);
  WriteAudio(File("tone.wav"), input);
  const std::vector<std::string> change{"--mode", "Music", "--at", "1.0:mode=Movie"};
  std::vector<Audio> outputs;
  long long latency = -1;
  for (const bool scheduled : {true, true, false}) {
    std::vector<std::string> args{"process", File("tone.wav"), File("changed.wav")};
    args.insert(args.end(), change.begin(), scheduled ? change.end() : change.begin() + 2);
    const Result result = Run(args);
    ASSERT_EQ(result.code, 0) << result.err;
    // The objects may still rebuild on their own later (reported as a warning): both watchers of
    // the settings key can wake them for one write. That does not move where the change lands.
    EXPECT_EQ(result.err.find("pause of"), std::string::npos) << result.err;
    latency = Latency(result.out);
    outputs.push_back(ReadAudio(File("changed.wav")));
  }
  ASSERT_EQ(outputs[0].samples.size(), outputs[1].samples.size());
  ASSERT_EQ(outputs[0].samples.size(), outputs[2].samples.size());
  // Against the run without the change: each scheduled run is identical before the position and
  // departs at the same sample, within 100 ms + the latency + the 30 ms fade.
  auto departure = [&](const Audio& run) {
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
  // No click: in every 10 ms the largest step between samples stays what a 1 kHz tone of that
  // window's peak makes (the new mode is louder, so the steps grow with the level, not beyond).
  for (const Audio& run : {outputs[0], outputs[1]}) {
    double worst = 0.0;
    for (size_t begin = 47040; begin < 96000; begin += 480) {
      float step = 0.0f;
      float peak = 0.0f;
      for (size_t n = begin; n < begin + 480; ++n) {
        step = std::max(step, std::fabs(run.samples[2 * n] - run.samples[2 * n - 2]));
        peak = std::max(peak, std::fabs(run.samples[2 * n]));
      }
      worst = std::max(worst, static_cast<double>(step / peak));
    }
    EXPECT_LE(worst, 2.0 * std::sin(std::numbers::pi * 1000.0 / 48000.0) * 1.05);
  }
}

// Installed as an installer would: the engine finds the module through the classes' registration,
// here a copy in a folder of its own, and loses it again when the module is unregistered.
TEST_F(HostTest, RegisteredClassesNameTheModuleTheEngineLoadsUntilUnregistered) {
  const fs::path built = fs::path(QOR_HOST_BINARY).parent_path();
  const fs::path installed = files_ / "installed dir";
  fs::create_directories(installed);
  fs::copy_file(built / "qlvapo64.so", installed / "qlvapo64.so");
  fs::copy_file(built / "qltech64.so", installed / "qltech64.so");
  WriteAudio(File("tone.wav"), Tones({1000.0}, 0.1, 0.5));
  const auto apoRecords = [] {
    QORRegistryKey key;
    uint32_t count = 0;
    if (QORRegistryKey::Open(QORRegistryHive::kClassesRoot, L"AudioEngine\\AudioProcessingObjects",
                             KEY_READ, key) == ERROR_SUCCESS) {
      key.QueryInfo(&count, nullptr);
    }
    return count;
  };

  const Result before = Run({"process", File("tone.wav"), File("before.wav")});
  ASSERT_EQ(before.code, 0) << before.err;
  EXPECT_NE(before.out.find("(beside qorapo)"), std::string::npos) << before.out;

  const std::string module = (installed / "qlvapo64.so").string();
  const Result reg = Run({"register", "--module", module});
  ASSERT_EQ(reg.code, 0) << reg.err;
  EXPECT_EQ(reg.out, "registered " + module + "\n");
  EXPECT_EQ(apoRecords(), 7u);

  const Result during = Run({"process", File("tone.wav"), File("during.wav")});
  ASSERT_EQ(during.code, 0) << during.err;
  EXPECT_NE(during.out.find("module    " + module + " (registered)"), std::string::npos)
      << during.out;
  EXPECT_NE(during.out.find("SFX"), std::string::npos) << during.out;
  // The same objects, loaded from elsewhere, give the same samples.
  const Audio first = ReadAudio(File("before.wav"));
  const Audio second = ReadAudio(File("during.wav"));
  ASSERT_EQ(first.Frames(), second.Frames());
  ASSERT_GT(first.Frames(), 0u);
  EXPECT_EQ(first.samples, second.samples);

  const Result unreg = Run({"unregister", "--module", module});
  ASSERT_EQ(unreg.code, 0) << unreg.err;
  EXPECT_EQ(unreg.out, "unregistered " + module + "\n");
  EXPECT_EQ(apoRecords(), 7u);
  const Result after = Run({"process", File("tone.wav"), File("after.wav")});
  ASSERT_EQ(after.code, 0) << after.err;
  EXPECT_NE(after.out.find("(beside qorapo)"), std::string::npos) << after.out;

  // A registration whose module has since gone is named as such.
  ASSERT_EQ(Run({"register", "--module", module}).code, 0);
  fs::remove(installed / "qlvapo64.so");
  const Result stale = Run({"process", File("tone.wav"), File("stale.wav")});
  EXPECT_EQ(stale.code, 1);
  EXPECT_NE(
      stale.err.find("the classes are registered in '" + module + "', which cannot be loaded"),
      std::string::npos)
      << stale.err;
  EXPECT_FALSE(fs::exists(File("stale.wav")));

  const Result missing = Run({"register", "--module", (files_ / "none.so").string()});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("cannot load the APO module"), std::string::npos) << missing.err;
}

}  // namespace

// Partitioned convolution against the direct form written out here, cut into calls of any length.
#include <sndfile.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <random>

#include "AllocationCounter.h"
#include "QORTechConvolver.h"
#include "TechTestLibrary.h"

namespace {

using techtest::Channels;

constexpr uint32_t kFrames = 48000;
constexpr uint32_t kBlock = 64;

Channels Noise(uint32_t channels, uint32_t frames, uint32_t seed, float scale) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-scale, scale);
  Channels audio(channels, std::vector<float>(frames));
  for (auto& channel : audio) {
    for (float& sample : channel) sample = value(random);
  }
  return audio;
}

// y[n] = sum h[j] x[n - j], in double.
Channels Direct(const Channels& input, const Channels& responses) {
  Channels output(input.size(), std::vector<float>(input[0].size()));
  for (size_t c = 0; c < input.size(); ++c) {
    for (size_t n = 0; n < input[c].size(); ++n) {
      double sum = 0.0;
      for (size_t j = 0; j < responses[c].size() && j <= n; ++j) {
        sum += static_cast<double>(responses[c][j]) * input[c][n - j];
      }
      output[c][n] = static_cast<float>(sum);
    }
  }
  return output;
}

// Runs input through a convolver in calls of the lengths given (repeated), counting allocations.
Channels Convolve(const Channels& input, const Channels& responses,
                  const std::vector<uint32_t>& calls, uint64_t* allocations) {
  QORTechConvolver convolver;
  EXPECT_TRUE(convolver.Init(responses, kBlock));
  Channels output = input;
  std::vector<float*> pointers(output.size());
  *allocations = 0;
  size_t call = 0;
  for (uint32_t offset = 0; offset < kFrames;) {
    const uint32_t frames = std::min(calls[call++ % calls.size()], kFrames - offset);
    for (size_t c = 0; c < output.size(); ++c) pointers[c] = output[c].data() + offset;
    qortest::AllocationScope scope;
    convolver.Process(pointers.data(), static_cast<uint32_t>(output.size()), frames);
    *allocations += scope.Count();
    offset += frames;
  }
  return output;
}

TEST(QORTechConvolver, MatchesTheDirectFormWhateverTheCallsAndAllocatesNothing) {
  std::vector<uint32_t> random(64);
  std::mt19937 lengths(7);
  for (uint32_t& length : random)
    length = std::uniform_int_distribution<uint32_t>(1, 1100)(lengths);
  const struct {
    const char* name;
    Channels responses;
    double bound;  // of the difference, relative to the direct form's peak
  } cases[] = {
      // A Dirac in the first partition gives the input back exactly, one in a later partition
      // delays it through the transforms.
      {"Dirac at 0", {{1.0f}, {1.0f}}, 0.0},
      {"Dirac at 200", {std::vector<float>(201, 0.0f), std::vector<float>(201, 0.0f)}, 1e-7},
      // A known FIR, longer on one channel than the other: -120 dB.
      {"noise FIR", Noise(2, 5000, 3, 0.05f), 1e-6},
      // Past 8192 taps the tail runs in the long partitions.
      {"long noise FIR", Noise(2, 9000, 5, 0.02f), 1e-6},
  };
  const Channels input = Noise(2, kFrames, 11, 0.5f);
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    if (c.responses[0].size() == 201) c.responses[0][200] = c.responses[1][200] = 1.0f;
    if (c.responses[1].size() == 5000) c.responses[1].resize(3000);
    const Channels expected = Direct(input, c.responses);
    std::vector<Channels> outputs;
    // Periods of 1, 3, 10 and 20 ms at 48 kHz, and random lengths.
    for (const std::vector<uint32_t>& calls :
         {std::vector<uint32_t>{48}, {144}, {480}, {960}, random}) {
      uint64_t allocations = 0;
      outputs.push_back(Convolve(input, c.responses, calls, &allocations));
      EXPECT_EQ(allocations, 0u);
      const auto [peak, worst] = techtest::PeakAndWorst(expected, outputs.back());
      EXPECT_LE(worst, c.bound * peak) << calls.size();
    }
    for (const Channels& output : outputs) EXPECT_EQ(output, outputs.front());
  }
}

TEST(QORTechConvolver, RefusesWhatItCannotPartition) {
  QORTechConvolver convolver;
  EXPECT_FALSE(convolver.Init({{1.0f}}, 48));  // not a power of two
  EXPECT_FALSE(convolver.Init({{1.0f}}, 8));   // too short
  EXPECT_FALSE(convolver.Init({{1.0f}, {}}, 64));
  EXPECT_FALSE(convolver.Init({}, 64));
  EXPECT_TRUE(convolver.Init({{0.5f}}, 64));
}

// Writes channels (each the same length) as a float WAV at rate.
std::string WriteResponse(const std::string& name, const Channels& channels, int rate) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("qor-conv-" + std::to_string(::getpid()) + "-" + name))
                               .string();
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = static_cast<int>(channels.size());
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  EXPECT_NE(file, nullptr) << path;
  std::vector<float> interleaved;
  for (size_t f = 0; f < channels[0].size(); ++f) {
    for (const auto& channel : channels) interleaved.push_back(channel[f]);
  }
  sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(channels[0].size()));
  sf_close(file);
  return path;
}

// The process: a response from a file, at the file's rate or converted to the stream's, mixed and
// switched as its controls say, exact where it should pass the input.
TEST(QORTechConvolution, AResponseFromAFileIsHeardAsTheFileSays) {
  const Channels fir = Noise(1, 300, 5, 0.05f);
  // Left 50 frames in, right at once: the converter rings ahead of each, and a response that
  // starts at once keeps that ringing too.
  Channels dirac44(2, std::vector<float>(100, 0.0f));
  dirac44[0][50] = dirac44[1][0] = 1.0f;
  const std::string files[] = {WriteResponse("dirac.wav", {{1.0f}, {1.0f}}, 48000),
                               WriteResponse("fir.wav", fir, 48000),
                               WriteResponse("dirac44.wav", dirac44, 44100),
                               WriteResponse("dirac44-mono.wav", {dirac44[1]}, 44100)};
  const Channels input = Noise(2, 24000, 17, 0.5f);
  uint32_t latency = 0;  // what the last run's process declared
  const auto run = [&](const std::string& file, const std::string& settings, Channels audio,
                       bool* loaded) {
    techtest::ProcessPtr process = techtest::MakeProcess("QOR Convolution", 2, 48000, settings);
    *loaded = process->SetControlString("CONV-Impulse Response", file.c_str());
    qortest::AllocationScope scope;
    techtest::RunBlocks(*process, audio, 441);
    EXPECT_EQ(scope.Count(), 0u) << file;
    latency = process->GetLatency();
    return audio;
  };
  bool loaded = false;
  // A Dirac gives the input back exactly, as does the process switched off or fully dry, or
  // without a response it could read.
  for (const auto& [file, settings] : {std::pair<std::string, std::string>{files[0], ""},
                                       {files[1], "CONV-Enable=0"},
                                       {files[1], "CONV-Mix=0"}}) {
    EXPECT_EQ(run(file, settings, input, &loaded), input) << file << " " << settings;
    EXPECT_TRUE(loaded);
  }
  EXPECT_EQ(run("/nonexistent/ir.wav", "", input, &loaded), input);
  EXPECT_FALSE(loaded);
  // A mono file serves both channels, at -120 dB of the direct form; 6 dB of gain doubles it.
  const Channels expected = Direct(input, {fir[0], fir[0]});
  auto [peak, worst] = techtest::PeakAndWorst(expected, run(files[1], "", input, &loaded));
  EXPECT_LE(worst, 1e-6 * peak);
  // The same when the file is named before Init, as a chain being built may do.
  {
    TechProcess* raw = nullptr;
    ASSERT_TRUE(techtest::TechTestLibrary::Get().create("QOR Convolution", &raw));
    techtest::ProcessPtr early(raw);
    ASSERT_TRUE(early->SetControlString("CONV-Impulse Response", files[1].c_str()));
    ASSERT_TRUE(early->Init(2, 48000));
    Channels audio = input;
    techtest::RunBlocks(*early, audio, 441);
    std::tie(peak, worst) = techtest::PeakAndWorst(expected, audio);
    EXPECT_LE(worst, 1e-6 * peak);
  }
  Channels louder = expected;
  for (auto& channel : louder) {
    for (float& sample : channel) sample *= std::pow(10.0f, 600 / 2000.0f);
  }
  std::tie(peak, worst) =
      techtest::PeakAndWorst(louder, run(files[1], "CONV-Gain=600", input, &loaded));
  EXPECT_LE(worst, 1e-6 * peak);
  // A file at 44.1 kHz, converted: its flat response stays flat within 0.1 dB to 16 kHz.
  Channels impulse(2, std::vector<float>(4096, 0.0f));
  impulse[0][0] = impulse[1][0] = 1.0f;
  const auto level = [](const std::vector<float>& response, double frequency) {
    std::complex<double> sum;
    for (size_t n = 0; n < response.size(); ++n) {
      sum += static_cast<double>(response[n]) *
             std::polar(1.0, -2.0 * std::numbers::pi * frequency * static_cast<double>(n) / 48000);
    }
    return 20.0 * std::log10(std::abs(sum));
  };
  const Channels response = run(files[2], "", impulse, &loaded);
  for (size_t c = 0; c < 2; ++c) {
    for (const double frequency : {50.0, 1000.0, 8000.0, 16000.0}) {
      EXPECT_NEAR(level(response[c], frequency), 0.0, 0.1) << c << ": " << frequency << " Hz";
    }
  }
  // Both channels moved alike: 50 frames at 44.1 kHz apart are 54.4 at 48 kHz. The right one,
  // whose response starts at once, peaks where the process says its latency is.
  const auto onset = [&](size_t c) {
    return std::max_element(response[c].begin(), response[c].end()) - response[c].begin();
  };
  EXPECT_NEAR(static_cast<double>(onset(0) - onset(1)), 50.0 * 48000 / 44100, 1.0);
  EXPECT_GT(onset(1), 0);
  EXPECT_EQ(latency, static_cast<uint32_t>(onset(1)));
  // So the dry signal comes that late too, and an even mix of the two does not comb: flat within
  // 0.1 dB where a gap of a single frame would already cost more, and within what the converted
  // onset's remaining fraction of a frame costs at 16 kHz (0.32 of a frame here: 0.5 dB).
  const Channels mixed = run(files[3], "CONV-Mix=50", impulse, &loaded);
  for (size_t c = 0; c < 2; ++c) {
    for (const double frequency : {50.0, 1000.0, 4000.0}) {
      EXPECT_NEAR(level(mixed[c], frequency), 0.0, 0.1) << c << ": " << frequency << " Hz";
    }
    EXPECT_NEAR(level(mixed[c], 16000.0), 0.0, 0.6) << c << ": 16000 Hz";
  }
  for (const std::string& file : files) std::filesystem::remove(file);
}

// A rebuild: the process taking over plays on from the other's history when both hold the same
// response (by content, whatever the file is called), so together they sound as one process fed
// the whole signal; with another response it starts from silence. Taking over allocates nothing.
TEST(QORTechConvolution, TakingOverCarriesTheHistoryOfTheSameResponseOnly) {
  // 12000 taps: a tail over many short partitions and into the long ones, longer than a call.
  const Channels fir = Noise(2, 12000, 23, 0.05f);
  const std::string same = WriteResponse("take-a.wav", fir, 48000);
  const std::string copy = WriteResponse("take-copy.wav", fir, 48000);
  const std::string other = WriteResponse("take-other.wav", Noise(2, 12000, 29, 0.05f), 48000);
  const Channels input = Noise(2, 24000, 31, 0.5f);
  // Not a multiple of the call or the partition: the hand-over falls inside a block.
  constexpr size_t kSplit = 10001;
  const auto start = [](const std::string& file) {
    techtest::ProcessPtr process = techtest::MakeProcess("QOR Convolution", 2, 48000);
    EXPECT_TRUE(process->SetControlString("CONV-Impulse Response", file.c_str())) << file;
    return process;
  };
  const auto part = [&](size_t from, size_t to) {
    Channels audio(2);
    for (size_t c = 0; c < 2; ++c) audio[c].assign(input[c].begin() + from, input[c].begin() + to);
    return audio;
  };
  Channels whole = input;
  techtest::RunBlocks(*start(same), whole, 441);
  const Channels expected = [&] {
    Channels rest = whole;
    for (auto& channel : rest) channel.erase(channel.begin(), channel.begin() + kSplit);
    return rest;
  }();
  const struct {
    const std::string* file;
    bool carries;
  } cases[] = {{&same, true}, {&copy, true}, {&other, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(*c.file);
    techtest::ProcessPtr giving = start(same);
    Channels first = part(0, kSplit);
    techtest::RunBlocks(*giving, first, 441);
    techtest::ProcessPtr taking = start(*c.file);
    {
      qortest::AllocationScope scope;
      EXPECT_TRUE(taking->TakeState(giving.get()));
      EXPECT_EQ(scope.Count(), 0u);
    }
    if (c.carries) {
      Channels rest = part(kSplit, input[0].size());
      techtest::RunBlocks(*taking, rest, 441);
      const auto [peak, worst] = techtest::PeakAndWorst(expected, rest);
      EXPECT_LE(worst, 1e-6 * peak);
    } else {
      // Silence after the hand-over: any of the other's input left in the history would ring on.
      Channels silence(2, std::vector<float>(14000, 0.0f));
      techtest::RunBlocks(*taking, silence, 441);
      EXPECT_EQ(techtest::MaxAbs(silence[0]) + techtest::MaxAbs(silence[1]), 0.0f);
    }
  }
  for (const std::string& file : {same, copy, other}) std::filesystem::remove(file);
}

}  // namespace

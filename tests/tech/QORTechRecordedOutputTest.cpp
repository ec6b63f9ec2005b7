// Every process's output on a fixed signal and tuning against what an earlier build of the library
// recorded (tests/tech/data, raw float32, every kStride-th frame of each channel). The recording
// holds the library's behaviour steady while its inner loops are rewritten for speed: a step in a
// detector, a recomputed coefficient or a skipped stage that is heard shows up here. Setting
// QOR_RECORD_TECH_OUTPUT to a folder writes the recordings there instead of comparing.
#include <cstdio>
#include <fstream>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr uint32_t kStride = 16;

// Three passages, each a third of the run: loud enough for the limiter, quiet enough for the
// loudness stage to lift, then decaying far into the subnormal range of float. Bass, mid and
// treble tones and noise from a fixed seed, different on each channel.
Channels Signal(uint32_t channels, uint32_t rate) {
  const uint32_t frames = rate / 3;  // a third of a second
  const uint32_t third = frames / 3;
  Channels audio(channels, std::vector<float>(frames));
  for (uint32_t c = 0; c < channels; ++c) {
    uint32_t seed = 12345u + c;
    for (uint32_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(i) / rate;
      seed = seed * 1664525u + 1013904223u;
      const double noise = static_cast<double>(seed >> 8) / 8388608.0 - 1.0;
      const double tones = 0.6 * std::sin(2 * std::numbers::pi * 55.0 * t + c) +
                           0.3 * std::sin(2 * std::numbers::pi * (997.0 + 50.0 * c) * t) +
                           0.15 * std::sin(2 * std::numbers::pi * 9001.0 * t) + 0.1 * noise;
      double level = 1.3;
      if (i >= 2 * third) {
        level = 0.5 * std::exp(-90.0 * (i - 2 * third) / third);
      } else if (i >= third) {
        level = 0.01;
      }
      audio[c][i] = static_cast<float>(level * tones);
    }
  }
  return audio;
}

const std::string kReference =
    "ZR3D-GEQ Enable=1,ZR3D-GEQ Band 1=-600,ZR3D-GEQ Band 2=-300,ZR3D-GEQ Band 3=200,"
    "ZR3D-GEQ Band 4=300,ZR3D-GEQ Band 5=-100,ZR3D-GEQ Band 6=-200,ZR3D-GEQ Band 7=100,"
    "ZR3D-GEQ Band 8=150,ZR3D-GEQ Band 9=200,ZR3D-GEQ Band 10=-150,ZR3D-GravHD Boost Enable=1,"
    "ZR3D-GravHD Boost Level=400,ZR3D-AmploHD Enable=1,ZR3D-AmploHD Target Level=-1800";

struct PassageCase {
  const char* name;  // of the recording
  const char* techId;
  uint32_t channels, rate, block;
  std::string settings;
  const char* later;  // set halfway, in the quiet passage
  float room;         // given to a receiving process
};
const PassageCase kPassageCases[] = {
    {"zr3d-reference", "ZR3D", 2, 48000, 480, kReference, "", -1.0f},
    // Off, the limiter is the delay alone, loud passage included; it comes on in the quiet one.
    {"zr3d-limiter-later", "ZR3D", 2, 48000, 441, kReference + ",ZR3D-Limiter Enable=0",
     "ZR3D-Limiter Enable=1", -1.0f},
    {"zr3d-gliding", "ZR3D", 3, 44100, 333,
     "ZR3D-GEQ Enable=1,ZR3D-GEQ Band 2=900,ZR3D-GEQ Band 9=-600,ZR3D-AmploHD Enable=1,"
     "ZR3D-AmploHD Target Level=-1000,ZR3D-GravHD Boost Enable=1,ZR3D-GravHD Boost Level=1200,"
     "ZR3D-Stereo Width=150,ZR3D-Limiter Ceiling=-600",
     "ZR3D-GEQ Band 2=-400,ZR3D-GEQ Band 5=700,ZR3D-Stereo Width=60,ZR3D-GravHD Boost Enable=0",
     -1.0f},
    {"zr3d-mono-8k", "ZR3D", 1, 8000, 80, kReference, "ZR3D-AmploHD Enable=0", -1.0f},
    {"luxsnd", "LUXSND", 2, 48000, 480,
     "LUXSND-AmploHD Enable=1,LUXSND-GravHD Boost Enable=1,LUXSND-Limiter Ceiling=-300",
     "LUXSND-AmploHD Enable=0,LUXSND-GravHD Boost Level=1200", -1.0f},
    {"speaker-protection", "QOR Speaker Protection", 2, 48000, 480, "SP-Ceiling=-600",
     "SP-High-Pass Frequency=300,SP-Release=50", -1.0f},
    {"nuv", "NUV", 2, 48000, 480, "NUV-Process Enable=1",
     "NUV-Crossfeed Delay=700,NUV-Crossfeed Cutoff=1500", -1.0f},
    {"clarix", "QOR Clarix+", 2, 48000, 480, "", "CLARIX-Presence Boost=1200", 0.01f},
};

std::string Path(const char* folder, const PassageCase& c) {
  return std::string(folder) + "/" + c.name + ".f32";
}

Channels Played(const PassageCase& c) {
  auto p = MakeProcess(c.techId, c.channels, c.rate, c.settings);
  EXPECT_NE(p, nullptr);
  if (p == nullptr) return {};
  SideChain side{c.room};
  Channels audio = Signal(c.channels, c.rate);
  const size_t frames = audio[0].size();
  const size_t half = frames / 2 / c.block * c.block;
  Channels first(c.channels), second(c.channels);
  for (uint32_t ch = 0; ch < c.channels; ++ch) {
    first[ch].assign(audio[ch].begin(), audio[ch].begin() + half);
    second[ch].assign(audio[ch].begin() + half, audio[ch].end());
  }
  RunBlocks(*p, first, c.block, &side.callback);
  for (const auto& s : Parse(c.later)) EXPECT_TRUE(p->SetControlInt(s.name.c_str(), s.value));
  RunBlocks(*p, second, c.block, &side.callback);
  Channels kept(c.channels);
  for (uint32_t ch = 0; ch < c.channels; ++ch) {
    for (size_t i = 0; i < frames; i += kStride) {
      kept[ch].push_back(i < half ? first[ch][i] : second[ch][i - half]);
    }
  }
  return kept;
}

TEST(QORTechRecordedOutput, EveryProcessStaysWithin120DbOfItsRecording) {
  if (const char* folder = std::getenv("QOR_RECORD_TECH_OUTPUT")) {
    for (const auto& c : kPassageCases) {
      std::ofstream out(Path(folder, c), std::ios::binary);
      for (const auto& ch : Played(c)) {
        out.write(reinterpret_cast<const char*>(ch.data()),
                  static_cast<std::streamsize>(ch.size() * sizeof(float)));
      }
      ASSERT_TRUE(out.good()) << Path(folder, c);
    }
    GTEST_SKIP() << "recorded into " << folder;
  }
  for (const auto& c : kPassageCases) {
    SCOPED_TRACE(c.name);
    const Channels actual = Played(c);
    ASSERT_EQ(actual.size(), c.channels);
    std::ifstream in(Path(QOR_SOURCE_DIR "/tests/tech/data", c), std::ios::binary);
    ASSERT_TRUE(in.good()) << Path(QOR_SOURCE_DIR "/tests/tech/data", c);
    Channels recorded(c.channels, std::vector<float>(actual[0].size()));
    for (auto& ch : recorded) {
      in.read(reinterpret_cast<char*>(ch.data()),
              static_cast<std::streamsize>(ch.size() * sizeof(float)));
    }
    ASSERT_TRUE(in.good());
    ASSERT_EQ(in.peek(), std::char_traits<char>::eof()) << "recording longer than the run";
    const auto [peak, worst] = PeakAndWorst(recorded, actual);
    // Something was heard: a recording of silence would hold nothing steady.
    EXPECT_GT(peak, 0.05);
    EXPECT_LE(worst, 1e-6) << Db(worst) << " dB of full scale";
  }
}

}  // namespace

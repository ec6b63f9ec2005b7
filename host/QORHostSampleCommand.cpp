#include "QORHostSampleCommand.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "QORHostAudioWriter.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

double Midi(int note) {
  return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

// A small deterministic noise source (xorshift), so the sample is the same on every machine.
class Noise {
 public:
  double Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<double>(state_ >> 11) / static_cast<double>(1ULL << 53) * 2.0 - 1.0;
  }

 private:
  uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

void Add(std::vector<float>& out, size_t frame, double value, double pan) {
  // Constant-power panning, pan from -1 (left) to 1 (right).
  const double angle = (pan + 1.0) * std::numbers::pi / 4.0;
  out[frame * 2] += static_cast<float>(value * std::cos(angle));
  out[frame * 2 + 1] += static_cast<float>(value * std::sin(angle));
}

}  // namespace

CLI::App* QORHostSampleCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "sample", "Write a few seconds of generated music-like stereo material to OUT");
  command->add_option("OUT", output_, "Output file; its extension names the format")->required();
  command->add_option("--seconds", seconds_, "Length in seconds")
      ->check(CLI::Range(0.5, 600.0))
      ->capture_default_str();
  command->add_option("--rate", rate_, "Sample rate in Hz")
      ->check(CLI::Range(8000, 192000))
      ->capture_default_str();
  return command;
}

std::vector<float> QORHostSampleCommand::Generate(double seconds, int rate) {
  const size_t frames = static_cast<size_t>(seconds * rate);
  std::vector<float> out(frames * 2, 0.0f);
  const double beat = 60.0 / 112.0;  // 112 beats a minute, four beats a chord
  // C major, G major, A minor, F major: roots and chord tones as MIDI notes.
  const int roots[4] = {48, 43, 45, 41};
  const int chords[4][3] = {{60, 64, 67}, {59, 62, 67}, {57, 60, 64}, {57, 60, 65}};
  const double pans[3] = {-0.6, 0.0, 0.6};
  Noise noise;
  double snareState = 0.0;
  double hatState = 0.0;
  for (size_t frame = 0; frame < frames; ++frame) {
    const double t = static_cast<double>(frame) / rate;
    const double beats = t / beat;
    const int bar = static_cast<int>(beats / 4.0) % 4;
    const double inBar = std::fmod(beats, 4.0);
    // Chord: three voices with five harmonics each, a soft attack and a slow decay per bar.
    const double chordTime = inBar * beat;
    const double chordEnvelope = std::min(1.0, chordTime / 0.02) * std::exp(-chordTime * 0.6);
    for (int voice = 0; voice < 3; ++voice) {
      const double f = Midi(chords[bar][voice]);
      double value = 0.0;
      for (int harmonic = 1; harmonic <= 5; ++harmonic) {
        value += std::sin(kTwoPi * f * harmonic * t + voice) / (harmonic * harmonic);
      }
      Add(out, frame, 0.08 * chordEnvelope * value, pans[voice]);
    }
    // Bass: the root on each half beat, octave up on the off-beats.
    const double half = std::fmod(beats, 0.5) * beat;
    const int bassNote = roots[bar] - 12 + (static_cast<int>(beats * 2.0) % 2 == 1 ? 12 : 0);
    const double bassF = Midi(bassNote);
    const double bassEnvelope = std::min(1.0, half / 0.005) * std::exp(-half * 5.0);
    Add(out, frame,
        0.3 * bassEnvelope *
            (std::sin(kTwoPi * bassF * t) + 0.3 * std::sin(kTwoPi * 2.0 * bassF * t)),
        0.0);
    // Kick on beats 1 and 3: a sine falling from 150 to 50 Hz.
    const double inHalfBar = std::fmod(inBar, 2.0) * beat;
    const double kickF = 50.0 + 100.0 * std::exp(-inHalfBar * 30.0);
    Add(out, frame, 0.5 * std::exp(-inHalfBar * 12.0) * std::sin(kTwoPi * kickF * inHalfBar), 0.0);
    // Snare on beats 2 and 4: band-limited noise with a tone.
    const double snareTime = std::fmod(inBar + 1.0, 2.0) * beat;
    const double white = noise.Next();
    snareState += 0.5 * (white - snareState);
    Add(out, frame,
        std::exp(-snareTime * 18.0) *
            (0.25 * snareState + 0.1 * std::sin(kTwoPi * 190.0 * snareTime)),
        -0.2);
    // Hi-hat on every half beat: high-passed noise, panned right.
    const double previousHat = hatState;
    hatState = white;
    Add(out, frame, 0.12 * std::exp(-half * 60.0) * (hatState - previousHat), 0.5);
  }
  float peak = 0.0f;
  for (const float sample : out) peak = std::max(peak, std::fabs(sample));
  const float gain = peak > 0.0f ? static_cast<float>(std::pow(10.0, -3.0 / 20.0)) / peak : 1.0f;
  for (float& sample : out) sample *= gain;
  return out;
}

int QORHostSampleCommand::Run() {
  const std::vector<float> samples = Generate(seconds_, rate_);
  QORHostAudioWriter writer;
  std::string error;
  if (!writer.Open(output_, 2, rate_, 0, &error) ||
      !writer.Write(samples.data(), static_cast<int64_t>(samples.size() / 2), &error) ||
      !writer.Commit(&error)) {
    std::fprintf(stderr, "qorapo: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

#pragma once

#include <array>
#include <cstdint>

// Second-order section in transposed direct form II with double state, one state pair per channel.
class QORTechBiquad {
 public:
  static constexpr uint32_t kMaxChannels = 12;

  struct Coefficients {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
  };

  static Coefficients Peaking(double rate, double freq, double gainDb, double q);
  static Coefficients LowShelf(double rate, double freq, double gainDb);
  static Coefficients HighShelf(double rate, double freq, double gainDb);
  static Coefficients HighPass(double rate, double freq, double q);
  static Coefficients LowPass(double rate, double freq, double q);
  // Shelves of any steepness (q 1/sqrt(2) is the slope-1 shelf above), a notch and an all-pass.
  static Coefficients LowShelf(double rate, double freq, double gainDb, double q);
  static Coefficients HighShelf(double rate, double freq, double gainDb, double q);
  static Coefficients Notch(double rate, double freq, double q);
  static Coefficients AllPass(double rate, double freq, double q);
  // Designed magnitude at freq, in dB.
  static double MagnitudeDb(const Coefficients& c, double freq, double rate);

  void SetCoefficients(const Coefficients& c) { c_ = c; }
  const Coefficients& GetCoefficients() const { return c_; }
  void Reset() { state_ = {}; }
  // The two state values of a channel, for runners that keep them elsewhere during a call.
  std::array<double, 2>& ChannelState(uint32_t channel) { return state_[channel]; }
  void Process(float* samples, uint32_t frames, uint32_t channel);
  float ProcessSample(float x, uint32_t channel) {
    auto& s = state_[channel];
    const double y = c_.b0 * x + s[0];
    s[0] = c_.b1 * x - c_.a1 * y + s[1];
    s[1] = c_.b2 * x - c_.a2 * y;
    return static_cast<float>(y);
  }

 private:
  Coefficients c_;
  std::array<std::array<double, 2>, kMaxChannels> state_{};
};

// A shelf's corner at a rate, worked out once: a gliding gain then costs only its power of ten.
// The designs are those of QORTechBiquad::LowShelf and HighShelf to the bit.
struct QORTechShelfCorner {
  double cos = 1.0;
  double sin = 0.0;
};
QORTechShelfCorner QORTechShelfCornerAt(double rate, double freq);
QORTechBiquad::Coefficients QORTechLowShelf(const QORTechShelfCorner& corner, double gainDb);
QORTechBiquad::Coefficients QORTechHighShelf(const QORTechShelfCorner& corner, double gainDb);

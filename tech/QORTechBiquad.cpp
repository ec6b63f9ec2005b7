#include "QORTechBiquad.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace {

// Keeps every design below Nyquist so that high bands at low rates stay stable.
double Omega(double rate, double freq) {
  const double f = std::clamp(freq, 1.0, rate * 0.49);
  return 2.0 * std::numbers::pi * f / rate;
}

QORTechBiquad::Coefficients Normalise(double b0, double b1, double b2, double a0, double a1,
                                      double a2) {
  return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

// The shelves from A (the gain's square root, as an amplitude), cos(w) and 2 sqrt(A) alpha.
QORTechBiquad::Coefficients LowShelfOf(double a, double c, double beta) {
  return Normalise(a * ((a + 1) - (a - 1) * c + beta), 2 * a * ((a - 1) - (a + 1) * c),
                   a * ((a + 1) - (a - 1) * c - beta), (a + 1) + (a - 1) * c + beta,
                   -2 * ((a - 1) + (a + 1) * c), (a + 1) + (a - 1) * c - beta);
}

QORTechBiquad::Coefficients HighShelfOf(double a, double c, double beta) {
  return Normalise(a * ((a + 1) + (a - 1) * c + beta), -2 * a * ((a - 1) + (a + 1) * c),
                   a * ((a + 1) + (a - 1) * c - beta), (a + 1) - (a - 1) * c + beta,
                   2 * ((a - 1) - (a + 1) * c), (a + 1) - (a - 1) * c - beta);
}

}  // namespace

QORTechBiquad::Coefficients QORTechBiquad::Peaking(double rate, double freq, double gainDb,
                                                   double q) {
  if (gainDb == 0.0) return {};
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = Omega(rate, freq);
  const double alpha = std::sin(w) / (2.0 * q);
  const double c = std::cos(w);
  return Normalise(1 + alpha * a, -2 * c, 1 - alpha * a, 1 + alpha / a, -2 * c, 1 - alpha / a);
}

QORTechBiquad::Coefficients QORTechBiquad::LowShelf(double rate, double freq, double gainDb) {
  return QORTechLowShelf(QORTechShelfCornerAt(rate, freq), gainDb);
}

QORTechBiquad::Coefficients QORTechBiquad::HighShelf(double rate, double freq, double gainDb) {
  return QORTechHighShelf(QORTechShelfCornerAt(rate, freq), gainDb);
}

QORTechShelfCorner QORTechShelfCornerAt(double rate, double freq) {
  const double w = Omega(rate, freq);
  return {std::cos(w), std::sin(w)};
}

QORTechBiquad::Coefficients QORTechLowShelf(const QORTechShelfCorner& corner, double gainDb) {
  if (gainDb == 0.0) return {};
  const double a = std::pow(10.0, gainDb / 40.0);
  const double c = corner.cos;
  // Shelf slope 1: 2 sqrt(A) alpha with alpha = sin(w) / sqrt(2). Half of that makes the slope
  // steeper than 1, and the response overshoots the gain and dips past the corner.
  const double beta = corner.sin * std::sqrt(2.0 * a);
  return LowShelfOf(a, c, beta);
}

QORTechBiquad::Coefficients QORTechHighShelf(const QORTechShelfCorner& corner, double gainDb) {
  if (gainDb == 0.0) return {};
  const double a = std::pow(10.0, gainDb / 40.0);
  const double c = corner.cos;
  const double beta = corner.sin * std::sqrt(2.0 * a);
  return HighShelfOf(a, c, beta);
}

QORTechBiquad::Coefficients QORTechBiquad::HighPass(double rate, double freq, double q) {
  const double w = Omega(rate, freq);
  const double alpha = std::sin(w) / (2.0 * q);
  const double c = std::cos(w);
  return Normalise((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

QORTechBiquad::Coefficients QORTechBiquad::LowPass(double rate, double freq, double q) {
  const double w = Omega(rate, freq);
  const double alpha = std::sin(w) / (2.0 * q);
  const double c = std::cos(w);
  return Normalise((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

QORTechBiquad::Coefficients QORTechBiquad::LowShelf(double rate, double freq, double gainDb,
                                                    double q) {
  if (gainDb == 0.0) return {};
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = Omega(rate, freq);
  const double c = std::cos(w);
  const double beta = std::sqrt(a) * std::sin(w) / q;
  return LowShelfOf(a, c, beta);
}

QORTechBiquad::Coefficients QORTechBiquad::HighShelf(double rate, double freq, double gainDb,
                                                     double q) {
  if (gainDb == 0.0) return {};
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = Omega(rate, freq);
  const double c = std::cos(w);
  const double beta = std::sqrt(a) * std::sin(w) / q;
  return HighShelfOf(a, c, beta);
}

QORTechBiquad::Coefficients QORTechBiquad::Notch(double rate, double freq, double q) {
  const double w = Omega(rate, freq);
  const double alpha = std::sin(w) / (2.0 * q);
  const double c = std::cos(w);
  return Normalise(1, -2 * c, 1, 1 + alpha, -2 * c, 1 - alpha);
}

QORTechBiquad::Coefficients QORTechBiquad::AllPass(double rate, double freq, double q) {
  const double w = Omega(rate, freq);
  const double alpha = std::sin(w) / (2.0 * q);
  const double c = std::cos(w);
  return Normalise(1 - alpha, -2 * c, 1 + alpha, 1 + alpha, -2 * c, 1 - alpha);
}

double QORTechBiquad::MagnitudeDb(const Coefficients& c, double freq, double rate) {
  const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * freq / rate);
  const std::complex<double> z2 = z1 * z1;
  const auto h = (c.b0 + c.b1 * z1 + c.b2 * z2) / (1.0 + c.a1 * z1 + c.a2 * z2);
  return 20.0 * std::log10(std::abs(h));
}

void QORTechBiquad::Process(float* samples, uint32_t frames, uint32_t channel) {
  auto& s = state_[channel];
  double z0 = s[0], z1 = s[1];
  for (uint32_t i = 0; i < frames; ++i) {
    const double x = samples[i];
    const double y = c_.b0 * x + z0;
    z0 = c_.b1 * x - c_.a1 * y + z1;
    z1 = c_.b2 * x - c_.a2 * y;
    samples[i] = static_cast<float>(y);
  }
  s[0] = z0;
  s[1] = z1;
}

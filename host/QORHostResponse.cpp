#include "QORHostResponse.h"

#include <kissfft/kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "engine/QORHostEngine.h"

namespace {

constexpr double kSweepStartHz = 10.0;
constexpr double kSweepSeconds = 1.0;
constexpr double kFadeSeconds = 0.005;

std::vector<std::complex<double>> Spectrum(const std::vector<float>& samples, size_t length) {
  std::vector<kiss_fft_scalar> time(length, 0.0f);
  std::copy_n(samples.begin(), std::min(samples.size(), length), time.begin());
  std::vector<kiss_fft_cpx> bins(length / 2 + 1);
  kiss_fftr_cfg config = kiss_fftr_alloc(static_cast<int>(length), 0, nullptr, nullptr);
  kiss_fftr(config, time.data(), bins.data());
  kiss_fftr_free(config);
  std::vector<std::complex<double>> out(bins.size());
  for (size_t k = 0; k < bins.size(); ++k) out[k] = {bins[k].r, bins[k].i};
  return out;
}

}  // namespace

std::vector<float> QORHostResponse::Excitation(Signal signal, int rate, double peak) {
  if (signal == Signal::kImpulse) return {static_cast<float>(peak)};
  const size_t frames = static_cast<size_t>(kSweepSeconds * rate);
  const double end = 0.475 * rate;
  const double ratio = std::log(end / kSweepStartHz);
  const size_t fade = static_cast<size_t>(kFadeSeconds * rate);
  std::vector<float> sweep(frames);
  for (size_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / rate;
    const double phase = 2.0 * std::numbers::pi * kSweepStartHz * kSweepSeconds / ratio *
                         (std::exp(t / kSweepSeconds * ratio) - 1.0);
    double gain = 1.0;
    if (n < fade) gain = 0.5 - 0.5 * std::cos(std::numbers::pi * n / fade);
    if (frames - 1 - n < fade)
      gain = 0.5 - 0.5 * std::cos(std::numbers::pi * (frames - 1 - n) / fade);
    sweep[n] = static_cast<float>(peak * gain * std::sin(phase));
  }
  return sweep;
}

std::vector<float> QORHostResponse::Measure(QORHostEngine& engine, int channels,
                                            uint32_t periodFrames,
                                            const std::vector<float>& excitation,
                                            int64_t latencyFrames, int64_t tailFrames,
                                            int channel) {
  const int64_t total =
      static_cast<int64_t>(excitation.size()) + std::max<int64_t>(latencyFrames, 0) + tailFrames;
  std::vector<float> output;
  output.reserve(static_cast<size_t>(total));
  std::vector<float> block(static_cast<size_t>(periodFrames) * channels);
  engine.ContinueAfterPause();
  for (int64_t position = 0; position < total; position += periodFrames) {
    std::fill(block.begin(), block.end(), 0.0f);
    for (uint32_t n = 0; n < periodFrames; ++n) {
      const int64_t frame = position + n;
      if (frame >= static_cast<int64_t>(excitation.size())) break;
      for (int c = 0; c < channels; ++c) block[n * channels + c] = excitation[frame];
    }
    // The zeros after the excitation go in as valid samples: they carry the tail out.
    const float* out = engine.Process(block.data(), false);
    for (uint32_t n = 0; n < periodFrames && position + n < total; ++n) {
      output.push_back(out[n * channels + channel]);
    }
  }
  return output;
}

std::vector<QORHostResponse::Point> QORHostResponse::TransferFunction(
    const std::vector<float>& input, const std::vector<float>& output, int rate,
    int64_t latencyFrames, const std::vector<double>& frequencies) {
  size_t length = 2;
  while (length < std::max(input.size(), output.size())) length *= 2;
  const std::vector<std::complex<double>> x = Spectrum(input, length);
  const std::vector<std::complex<double>> y = Spectrum(output, length);
  std::vector<Point> points;
  points.reserve(frequencies.size());
  const double binHz = static_cast<double>(rate) / static_cast<double>(length);
  for (const double hz : frequencies) {
    const double position = std::clamp(hz / binHz, 0.0, static_cast<double>(length / 2));
    const size_t below = std::min(static_cast<size_t>(position), length / 2 - 1);
    const double share = position - static_cast<double>(below);
    // Each bin with the chain's reported delay taken out (a pure phase slope), so that what is
    // left is its own phase; between two bins the magnitude and the phase are each interpolated,
    // since a blend of two turned phasors would lose level.
    auto at = [&](size_t k) {
      const std::complex<double> h =
          std::abs(x[k]) > 0.0 ? y[k] / x[k] : std::complex<double>(0.0, 0.0);
      return h * std::polar(1.0, 2.0 * std::numbers::pi * binHz * static_cast<double>(k) *
                                     static_cast<double>(latencyFrames) / rate);
    };
    const std::complex<double> a = at(below);
    const std::complex<double> b = at(below + 1);
    const double magnitude = (1.0 - share) * std::abs(a) + share * std::abs(b);
    const double turn = std::remainder(std::arg(b) - std::arg(a), 2.0 * std::numbers::pi);
    const double phase = std::remainder(std::arg(a) + share * turn, 2.0 * std::numbers::pi);
    Point point;
    point.hz = hz;
    point.db = 20.0 * std::log10(std::max(magnitude, 1e-12));
    point.phaseDeg = phase * 180.0 / std::numbers::pi;
    points.push_back(point);
  }
  return points;
}

std::vector<double> QORHostResponse::LogFrequencies(double low, double high, int count) {
  std::vector<double> out;
  if (count < 2) return {low};
  out.reserve(static_cast<size_t>(count));
  const double ratio = std::log(high / low);
  for (int i = 0; i < count; ++i) out.push_back(low * std::exp(ratio * i / (count - 1)));
  out.back() = high;
  return out;
}

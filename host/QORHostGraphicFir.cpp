#include "QORHostGraphicFir.h"

#include <fftw3.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>

namespace {

// The grid's points per tap: time aliasing of the folded cepstrum stays far below the tolerance.
constexpr int kGridPerTap = 8;
constexpr int kMinGrid = 65536;

struct FftwFree {
  void operator()(void* p) const { fftw_free(p); }
};
struct PlanDestroy {
  void operator()(fftw_plan_s* p) const { fftw_destroy_plan(p); }
};
using Plan = std::unique_ptr<fftw_plan_s, PlanDestroy>;

// The curve's gain at frequency, linear in dB over log frequency, constant past either end.
double GainDb(const std::vector<QORHostGraphicFir::Point>& points, double frequency) {
  if (frequency <= points.front().frequency) return points.front().gainDb;
  if (frequency >= points.back().frequency) return points.back().gainDb;
  const auto above = std::upper_bound(
      points.begin(), points.end(), frequency,
      [](double f, const QORHostGraphicFir::Point& point) { return f < point.frequency; });
  const auto below = above - 1;
  const double t =
      std::log(frequency / below->frequency) / std::log(above->frequency / below->frequency);
  return below->gainDb + t * (above->gainDb - below->gainDb);
}

std::string Hz(double frequency) {
  char text[32];
  std::snprintf(text, sizeof text, "%g Hz", frequency);
  return text;
}

}  // namespace

int QORHostGraphicFir::DefaultTaps(int rate) {
  return std::max(16, static_cast<int>(std::lround(4096.0 * rate / 48000.0)));
}

bool QORHostGraphicFir::Design(const std::vector<Point>& points, int rate, int taps,
                               std::vector<float>* fir, std::string* error) {
  if (points.size() < 2) {
    *error = "a graphic curve needs at least 2 points, it has " + std::to_string(points.size());
    return false;
  }
  for (size_t i = 0; i < points.size(); ++i) {
    const Point& point = points[i];
    const std::string which = "point " + std::to_string(i + 1);
    if (!(std::isfinite(point.frequency) && point.frequency > 0.0)) {
      *error = which + ": the frequency must be above 0 Hz";
      return false;
    }
    if (!std::isfinite(point.gainDb)) {
      *error = which + " (" + Hz(point.frequency) + "): the gain is not a number";
      return false;
    }
    if (i > 0 && point.frequency <= points[i - 1].frequency) {
      *error = which + ": " + Hz(point.frequency) + " does not rise above the point before (" +
               Hz(points[i - 1].frequency) + ")";
      return false;
    }
  }
  if (rate <= 0 || taps < 16) {
    *error = "a filter needs a rate above 0 Hz and at least 16 taps (rate " + std::to_string(rate) +
             ", " + std::to_string(taps) + " taps)";
    return false;
  }
  // A frequency the stream cannot carry shapes nothing.
  const double nyquist = rate / 2.0;
  std::vector<Point> heard;
  for (const Point& point : points) {
    if (point.frequency < nyquist) heard.push_back(point);
  }
  if (heard.empty()) {
    *error = "no point of the curve lies below " + Hz(nyquist) + ", half the rate";
    return false;
  }

  int size = kMinGrid;
  while (size < kGridPerTap * taps) size *= 2;
  const int bins = size / 2 + 1;
  std::unique_ptr<double, FftwFree> time(fftw_alloc_real(size));
  std::unique_ptr<fftw_complex, FftwFree> spectrum(fftw_alloc_complex(bins));
  auto* bin = reinterpret_cast<std::complex<double>*>(spectrum.get());
  // Planned here, on the configuration thread that designs; FFTW's planner is not reentrant.
  const Plan forward(fftw_plan_dft_r2c_1d(size, time.get(), spectrum.get(), FFTW_ESTIMATE));
  const Plan inverse(fftw_plan_dft_c2r_1d(size, spectrum.get(), time.get(), FFTW_ESTIMATE));

  // The real cepstrum of the wanted magnitude (natural log).
  for (int k = 0; k < bins; ++k) {
    const double db = GainDb(heard, static_cast<double>(k) * rate / size);
    bin[k] = {db * std::numbers::ln10 / 20.0, 0.0};
  }
  fftw_execute(inverse.get());
  // Folded onto positive quefrencies: the causal cepstrum of the minimum-phase filter with that
  // magnitude (1/size for the unscaled transform).
  const double scale = 1.0 / size;
  time.get()[0] *= scale;
  for (int n = 1; n < size / 2; ++n) time.get()[n] *= 2.0 * scale;
  time.get()[size / 2] *= scale;
  std::fill(time.get() + size / 2 + 1, time.get() + size, 0.0);
  fftw_execute(forward.get());
  for (int k = 0; k < bins; ++k) bin[k] = std::exp(bin[k]);
  fftw_execute(inverse.get());

  fir->assign(static_cast<size_t>(taps), 0.0f);
  const int fade = std::max(1, taps / 10);
  for (int n = 0; n < taps; ++n) {
    double value = time.get()[n] * scale;
    const int into = n - (taps - fade);
    if (into >= 0) value *= 0.5 * (1.0 + std::cos(std::numbers::pi * (into + 1) / fade));
    (*fir)[static_cast<size_t>(n)] = static_cast<float>(value);
  }
  return true;
}

bool QORHostGraphicFir::WriteWav(const std::string& path, const std::vector<float>& fir, int rate,
                                 int channels, std::string* error) {
  if (fir.empty() || rate <= 0 || channels < 1) {
    *error = "nothing to write to " + path + " (" + std::to_string(fir.size()) + " taps, " +
             std::to_string(channels) + " channels at " + std::to_string(rate) + " Hz)";
    return false;
  }
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    *error = "cannot write " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  std::vector<float> interleaved(fir.size() * static_cast<size_t>(channels));
  for (size_t n = 0; n < fir.size(); ++n) {
    std::fill_n(interleaved.begin() + static_cast<std::ptrdiff_t>(n * channels), channels, fir[n]);
  }
  const auto frames = static_cast<sf_count_t>(fir.size());
  const bool written = sf_writef_float(file, interleaved.data(), frames) == frames;
  const int closed = sf_close(file);
  if (!written || closed != 0) {
    *error = "cannot write " + path + ": the disk took only part of it";
    return false;
  }
  return true;
}

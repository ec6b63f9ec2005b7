#include "QORHostResponsePlot.h"

#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <numbers>

namespace {

struct Colour {
  double r, g, b;
};
constexpr Colour kColours[] = {{0.12, 0.47, 0.71}, {0.90, 0.45, 0.05}, {0.17, 0.63, 0.17}};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && Lower(text.substr(text.size() - end.size())) == end;
}

std::string HzLabel(double hz) {
  char text[16];
  if (hz >= 1000.0) {
    std::snprintf(text, sizeof(text), "%gk", hz / 1000.0);
  } else {
    std::snprintf(text, sizeof(text), "%g", hz);
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class Painter {
 public:
  Painter(cairo_t* cr, int width, int height, int titleLines, bool phase)
      : cr_(cr),
        left_(58),
        right_(width - (phase ? 52 : 18)),
        top_(14 + 16 * titleLines),
        bottom_(height - 36) {}

  double X(double hz) const {
    return left_ + (right_ - left_) * std::log(hz / QORHostResponsePlot::kLowHz) /
                       std::log(QORHostResponsePlot::kHighHz / QORHostResponsePlot::kLowHz);
  }
  double Y(double value, double low, double high) const {
    return bottom_ - (bottom_ - top_) * (value - low) / (high - low);
  }

  void Text(double x, double y, const std::string& text, double alignX, double alignY) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr_, text.c_str(), &extents);
    cairo_move_to(cr_, x - extents.width * alignX - extents.x_bearing,
                  y - extents.height * alignY - extents.y_bearing);
    cairo_show_text(cr_, text.c_str());
  }

  cairo_t* cr_;
  double left_, right_, top_, bottom_;
};

void Paint(cairo_t* cr, int width, int height, const std::string& title,
           const std::vector<QORHostResponsePlot::Curve>& curves, bool phase) {
  const std::vector<std::string> titleLines = Lines(title);
  Painter p(cr, width, height, static_cast<int>(titleLines.size()), phase);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

  // The magnitude axis fits the curves in steps of 6 dB, at least 12 dB tall.
  double low = 0.0;
  double high = 0.0;
  bool any = false;
  for (const auto& curve : curves) {
    for (const auto& point : curve.points) {
      if (point.hz < QORHostResponsePlot::kLowHz || point.hz > QORHostResponsePlot::kHighHz ||
          !std::isfinite(point.db)) {
        continue;
      }
      low = any ? std::min(low, point.db) : point.db;
      high = any ? std::max(high, point.db) : point.db;
      any = true;
    }
  }
  low = std::floor((std::max(low, -120.0) - 1.0) / 6.0) * 6.0;
  high = std::ceil((std::min(high, 60.0) + 1.0) / 6.0) * 6.0;
  if (high - low < 12.0) {
    const double middle = std::round((high + low) / 12.0) * 6.0;
    low = middle - 6.0;
    high = middle + 6.0;
  }
  const double step = high - low <= 24.0 ? 3.0 : high - low <= 60.0 ? 6.0 : 12.0;

  cairo_set_font_size(cr, 11.0);
  cairo_set_line_width(cr, 1.0);
  // Grid: every 1-2-...-9 of each decade, labelled at 1, 2 and 5.
  for (double decade = 10.0; decade <= 10000.0; decade *= 10.0) {
    for (int m = 1; m <= 9; ++m) {
      const double hz = decade * m;
      if (hz < QORHostResponsePlot::kLowHz || hz > QORHostResponsePlot::kHighHz) continue;
      const bool labelled = m == 1 || m == 2 || m == 5;
      cairo_set_source_rgb(cr, labelled ? 0.78 : 0.9, labelled ? 0.78 : 0.9, labelled ? 0.78 : 0.9);
      cairo_move_to(cr, std::round(p.X(hz)) + 0.5, p.top_);
      cairo_line_to(cr, std::round(p.X(hz)) + 0.5, p.bottom_);
      cairo_stroke(cr);
      if (labelled) {
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        p.Text(p.X(hz), p.bottom_ + 5, HzLabel(hz), 0.5, 0.0);
      }
    }
  }
  // Grid lines on multiples of the step, so that 0 dB is always one.
  for (double db = std::ceil(low / step) * step; db <= high + 1e-9; db += step) {
    cairo_set_source_rgb(cr, db == 0.0 ? 0.55 : 0.85, db == 0.0 ? 0.55 : 0.85,
                         db == 0.0 ? 0.55 : 0.85);
    cairo_move_to(cr, p.left_, std::round(p.Y(db, low, high)) + 0.5);
    cairo_line_to(cr, p.right_, std::round(p.Y(db, low, high)) + 0.5);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    char label[16];
    std::snprintf(label, sizeof(label), "%+g", db);
    p.Text(p.left_ - 5, p.Y(db, low, high), db == 0.0 ? "0" : label, 1.0, 0.5);
  }
  if (phase) {
    for (int deg = -180; deg <= 180; deg += 90) {
      cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
      p.Text(p.right_ + 5, p.Y(deg, -180.0, 180.0), std::to_string(deg) + "\xc2\xb0", 0.0, 0.5);
    }
  }
  cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
  p.Text((p.left_ + p.right_) / 2, height - 4, "frequency (Hz)", 0.5, 1.0);
  cairo_save(cr);
  cairo_translate(cr, 12, (p.top_ + p.bottom_) / 2);
  cairo_rotate(cr, -std::numbers::pi / 2);
  p.Text(0, 0, phase ? "magnitude (dB), phase dashed" : "magnitude (dB)", 0.5, 0.5);
  cairo_restore(cr);
  cairo_rectangle(cr, p.left_ + 0.5, p.top_ + 0.5, p.right_ - p.left_, p.bottom_ - p.top_);
  cairo_stroke(cr);

  cairo_set_font_size(cr, 12.0);
  for (size_t i = 0; i < titleLines.size(); ++i) {
    p.Text(width / 2.0, 8 + 16.0 * i, titleLines[i], 0.5, 0.0);
  }

  // The curves, clipped to the plot area.
  cairo_save(cr);
  cairo_rectangle(cr, p.left_, p.top_, p.right_ - p.left_, p.bottom_ - p.top_);
  cairo_clip(cr);
  for (size_t c = 0; c < curves.size(); ++c) {
    const Colour colour = kColours[c % std::size(kColours)];
    cairo_set_source_rgb(cr, colour.r, colour.g, colour.b);
    for (const bool drawingPhase : {false, true}) {
      if (drawingPhase && !phase) continue;
      cairo_set_line_width(cr, drawingPhase ? 1.0 : 2.0);
      const double dashes[] = {4.0, 3.0};
      cairo_set_dash(cr, dashes, drawingPhase ? 2 : 0, 0.0);
      bool started = false;
      double lastPhase = 0.0;
      for (const auto& point : curves[c].points) {
        if (point.hz < QORHostResponsePlot::kLowHz || point.hz > QORHostResponsePlot::kHighHz) {
          continue;
        }
        const double value = drawingPhase ? point.phaseDeg : point.db;
        const double y = drawingPhase ? p.Y(value, -180.0, 180.0)
                                      : p.Y(std::clamp(value, low - 10, high + 10), low, high);
        // A wrap of the phase is a jump, not a line across the plot.
        if (started && drawingPhase && std::fabs(value - lastPhase) > 180.0) started = false;
        if (started) {
          cairo_line_to(cr, p.X(point.hz), y);
        } else {
          cairo_move_to(cr, p.X(point.hz), y);
        }
        started = true;
        lastPhase = value;
      }
      cairo_stroke(cr);
    }
  }
  cairo_set_dash(cr, nullptr, 0, 0.0);
  cairo_restore(cr);

  // Legend, bottom right inside the plot, where the band's top end rarely leaves a curve.
  cairo_set_font_size(cr, 11.0);
  for (size_t c = 0; c < curves.size(); ++c) {
    const Colour colour = kColours[c % std::size(kColours)];
    const double y = p.bottom_ - 8 - 16.0 * static_cast<double>(curves.size() - 1 - c);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, curves[c].label.c_str(), &extents);
    const double x = p.right_ - 10 - extents.x_advance;
    cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
    cairo_rectangle(cr, x - 30, y - 10, extents.x_advance + 36, 15);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, colour.r, colour.g, colour.b);
    cairo_set_line_width(cr, 2.0);
    cairo_move_to(cr, x - 26, y - 3);
    cairo_line_to(cr, x - 6, y - 3);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    p.Text(x, y - 3, curves[c].label, 0.0, 0.5);
  }
}

}  // namespace

bool QORHostResponsePlot::Draw(const std::string& path, int width, int height,
                               const std::string& title, const std::vector<Curve>& curves,
                               bool phase, std::string* error) {
  if (!KnownExtension(path)) {
    *error = "cannot draw '" + path + "': end the picture's name with .png or .svg";
    return false;
  }
  // Drawn beside the target and renamed, so that a failed drawing leaves no partial picture.
  const std::string temporary = path + ".partial-" + std::to_string(getpid());
  const bool svg = EndsWith(path, ".svg");
  cairo_surface_t* surface = svg ? cairo_svg_surface_create(temporary.c_str(), width, height)
                                 : cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (svg) cairo_svg_surface_set_document_unit(surface, CAIRO_SVG_UNIT_PX);
  cairo_t* cr = cairo_create(surface);
  Paint(cr, width, height, title, curves, phase);
  cairo_status_t status = cairo_status(cr);
  cairo_destroy(cr);
  if (status == CAIRO_STATUS_SUCCESS && !svg) {
    status = cairo_surface_write_to_png(surface, temporary.c_str());
  }
  cairo_surface_finish(surface);
  if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
  cairo_surface_destroy(surface);
  // The font caches are process-wide and would otherwise outlive us as leaks; one picture a run.
  cairo_debug_reset_static_data();
  FcFini();
  std::error_code failed;
  if (status == CAIRO_STATUS_SUCCESS) std::filesystem::rename(temporary, path, failed);
  if (status != CAIRO_STATUS_SUCCESS || failed) {
    std::filesystem::remove(temporary, failed);
    *error = "cannot write '" + path + "' (" +
             (status != CAIRO_STATUS_SUCCESS ? std::string(cairo_status_to_string(status))
                                             : std::string("rename failed")) +
             "); check that its folder exists and is writable";
    return false;
  }
  return true;
}

bool QORHostResponsePlotDraw(const std::string& path, int width, int height,
                             const std::string& title,
                             const std::vector<QORHostResponsePlot::Curve>& curves, bool phase,
                             std::string* error) {
  return QORHostResponsePlot::Draw(path, width, height, title, curves, phase, error);
}

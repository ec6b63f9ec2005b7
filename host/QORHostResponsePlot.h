#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "QORHostResponse.h"

// Draws measured responses with cairo: magnitude in dB over a log frequency axis from 20 Hz to
// 20 kHz, optionally the phase on a second axis, one colour per curve. The file's extension picks
// the picture: .png or .svg. Drawing lives in the qorapo-plot module (cairo and its fonts are
// loaded only to draw); the plot command reaches it through QORHostResponsePlotDraw.
class QORHostResponsePlot {
 public:
  struct Curve {
    std::string label;  // in the legend, e.g. "Music/Speakers"
    std::vector<QORHostResponse::Point> points;
  };

  static constexpr double kLowHz = 20.0;
  static constexpr double kHighHz = 20000.0;

  // False with a message when the extension names no picture or the file cannot be written.
  static bool Draw(const std::string& path, int width, int height, const std::string& title,
                   const std::vector<Curve>& curves, bool phase, std::string* error);
  // Whether path ends in .png or .svg (any case).
  static bool KnownExtension(const std::string& path) {
    std::string end = path.substr(path.size() - std::min<size_t>(path.size(), 4));
    std::transform(end.begin(), end.end(), end.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return end == ".png" || end == ".svg";
  }
};

// The qorapo-plot module's one export: QORHostResponsePlot::Draw.
extern "C" bool QORHostResponsePlotDraw(const std::string& path, int width, int height,
                                        const std::string& title,
                                        const std::vector<QORHostResponsePlot::Curve>& curves,
                                        bool phase, std::string* error);

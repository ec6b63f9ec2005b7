#pragma once

#include <string>
#include <vector>

#include "QORHostResponsePlot.h"

namespace CLI {
class App;
}
class QORAPOEndpointInfo;
class QORHostControlPanel;

// `qorapo plot [OUT]`: the frequency response of a mode's chain at one graph position, measured
// through the APO objects the engine would run, drawn as a PNG or SVG picture and given as JSON
// or CSV points.
class QORHostPlotCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

 private:
  struct Measured {
    QORHostResponsePlot::Curve curve;
    std::string chain;
    long long latencyFrames = 0;
  };

  // Builds the objects at the locations (in that order) in the current mode and measures them; the
  // module is loaded by the first measurement and kept.
  bool MeasureCurrent(QORHostControlPanel& panel, const QORAPOEndpointInfo& endpoint,
                      const std::vector<int>& locations, bool loadModule, Measured* out,
                      std::string* error);

  std::string output_;
  std::string endpoint_;
  std::string mode_;
  std::string compare_;
  std::string position_;
  std::string signal_ = "sweep";
  std::string module_;
  std::vector<std::string> sets_;
  double levelDb_ = -12.0;
  int rate_ = 48000;
  int channels_ = 2;
  int channel_ = 1;
  int points_ = 240;
  int width_ = 800;
  int height_ = 450;
  bool phase_ = false;
  bool json_ = false;
  bool csv_ = false;
};

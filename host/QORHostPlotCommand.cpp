#include "QORHostPlotCommand.h"
#include "engine/QORHostEngineSetup.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>

#include "QORHostControlPanel.h"
#include "QORHostEndpointSetup.h"
#include "QORHostExtension.h"
#include "QORHostOutput.h"
#include "QORHostProcessCommand.h"
#include "QORHostRegisterCommand.h"
#include "QORHostResponse.h"
#include "QORHostSchedule.h"
#include "common/QORTextConvert.h"
#include "engine/QORHostEngine.h"
#include "platform/QORInterrupt.h"

namespace {

// Interrupts wait while the mode and controls are someone else's: a run ended half way would
// leave the endpoint in the measured mode.
class InterruptsHeld {
 public:
  InterruptsHeld() { QORInterrupt::Hold(); }
  ~InterruptsHeld() { QORInterrupt::Release(); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

}  // namespace

CLI::App* QORHostPlotCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "plot",
      "Measure the frequency response of a mode's chain at one position and draw it; the "
      "measurement selects the mode for a moment and puts the previous one back (a host running "
      "the endpoint follows it meanwhile)");
  command->add_option("OUT", output_, "Picture to write: .png or .svg");
  QORHostOutput::AddEndpoint(command, &endpoint_);
  command->add_option("--mode", mode_,
                      "Mode to measure: MODE or MODE/SPEAKER, e.g. Music/Speakers (default: the "
                      "current mode)");
  command->add_option("--compare", compare_, "A second mode drawn over the first, e.g. Movie");
  command->add_option("--position", position_,
                      "Graph position whose chain is measured, e.g. SFX (default: the first "
                      "registered of SFX, MFX, EFX, else PreBlue); a list, e.g. SFX,MFX,EFX, "
                      "measures the path through them in that order");
  command->add_option("--signal", signal_, "Excitation: sweep (exponential, 1 s) or impulse")
      ->check(CLI::IsMember({"sweep", "impulse"}))
      ->capture_default_str();
  command->add_option("--level", levelDb_, "Peak level of the excitation in dBFS")
      ->check(CLI::Range(-60.0, 0.0))
      ->capture_default_str();
  command
      ->add_option("--set", sets_,
                   "NAME=VALUE: a public control or global switch for the measurement (put back "
                   "afterwards)")
      ->allow_extra_args(false);
  command->add_option("--rate", rate_, "Sample rate of the stream")
      ->check(CLI::Range(8000, 192000))
      ->capture_default_str();
  command->add_option("--channels", channels_, "Channels of the stream, each fed alike")
      ->check(CLI::Range(1, 8))
      ->capture_default_str();
  command->add_option("--channel", channel_, "The output channel measured, from 1")
      ->check(CLI::Range(1, 8))
      ->capture_default_str();
  command->add_option("--points", points_, "Points per curve, log-spaced from 20 Hz to 20 kHz")
      ->check(CLI::Range(10, 5000))
      ->capture_default_str();
  command->add_option("--width", width_, "Picture width in pixels")
      ->check(CLI::Range(200, 8000))
      ->capture_default_str();
  command->add_option("--height", height_, "Picture height in pixels")
      ->check(CLI::Range(150, 8000))
      ->capture_default_str();
  command->add_flag("--phase", phase_, "Draw the phase too (the chain's latency taken out)");
  command->add_flag("--json", json_, "Print the measured points as JSON");
  command->add_flag("--csv", csv_, "Print the measured points as CSV");
  command->add_option("--module", module_, "The APO module (default: as qorapo process finds it)");
  QORHostOutput::Example(command,
                         "qorapo plot music.png --mode Music/Speakers --compare Movie --phase\n"
                         "qorapo plot --mode Voice --position EFX --csv > voice.csv");
  return command;
}

bool QORHostPlotCommand::MeasureCurrent(QORHostControlPanel& panel,
                                        const QORAPOEndpointInfo& endpoint,
                                        const std::vector<int>& locations, bool loadModule,
                                        Measured* out, std::string* error) {
  const QORAPOModeIdentity identity = panel.CurrentMode();
  out->curve.label = QORHostControlPanel::ShortName(identity);

  QORHostEngine engine;
  if (loadModule) {
    std::wstring module = QORUtf8ToWide(module_);
    if (module.empty()) {
      module = QORHostEngineSetup::RegisteredModule(endpoint.GetPosition(locations[0]).guid);
    }
    if (module.empty()) module = QORHostRegisterCommand::DefaultModule();
    if (!engine.LoadModule(module, error)) return false;
  }
  if (!engine.Create(endpoint, locations, error) || !engine.Negotiate(channels_, rate_, error)) {
    return false;
  }
  const uint32_t period = static_cast<uint32_t>(std::max(1, rate_ / 100));
  if (!engine.Lock(period, error)) return false;
  out->latencyFrames = engine.LatencyFrames();
  for (size_t i = 0; i < locations.size(); ++i) {
    QORAPOHostStateInfo info{};
    std::string chain = "-";
    if (engine.GetState(i, &info)) {
      chain = info.ready ? std::string(info.chain, strnlen(info.chain, sizeof(info.chain)))
                         : "pass-through (not attached to the endpoint)";
    }
    if (chain.empty()) chain = "-";
    // One position names only its chain; a path names each position's.
    out->chain +=
        (i == 0 ? "" : "; ") +
        (locations.size() == 1
             ? chain
             : std::string(QORHostEndpointSetup::LocationName(locations[i])) + " " + chain);
  }
  const bool sweep = signal_ == "sweep";
  const std::vector<float> excitation = QORHostResponse::Excitation(
      sweep ? QORHostResponse::Signal::kSweep : QORHostResponse::Signal::kImpulse, rate_,
      std::pow(10.0, levelDb_ / 20.0));
  // Long enough for the chain's filters to ring out.
  const int64_t tail = sweep ? rate_ / 2 : rate_ + rate_ / 2;
  const std::vector<float> response = QORHostResponse::Measure(
      engine, channels_, period, excitation, out->latencyFrames, tail, channel_ - 1);
  engine.Unlock();
  out->curve.points = QORHostResponse::TransferFunction(
      excitation, response, rate_, out->latencyFrames,
      QORHostResponse::LogFrequencies(QORHostResponsePlot::kLowHz, QORHostResponsePlot::kHighHz,
                                      points_));
  return true;
}

int QORHostPlotCommand::Run() {
  if (output_.empty() && !json_ && !csv_) {
    return QORHostOutput::Error(
        QORHostOutput::kUsage,
        "name a picture to write (OUT.png or OUT.svg), or ask for --json or --csv");
  }
  if (!output_.empty() && !QORHostResponsePlot::KnownExtension(output_)) {
    return QORHostOutput::Error(
        QORHostOutput::kUsage,
        "cannot draw '" + output_ + "': end the picture's name with .png or .svg");
  }
  if (json_ && csv_)
    return QORHostOutput::Error(QORHostOutput::kUsage, "choose one of --json and --csv");
  if (channel_ > channels_) {
    return QORHostOutput::Error(QORHostOutput::kUsage,
                                "--channel " + std::to_string(channel_) + " is not among the " +
                                    std::to_string(channels_) + " --channels");
  }
  std::string error;
  // Refused before anything is measured.
  if (!output_.empty() &&
      !QORHostExtension::Available("qorapo-plot", "drawing a picture", "cairo", &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed,
                                error + "; --json or --csv print the measured points without one");
  }
  std::vector<std::pair<std::string, std::string>> sets;
  for (const std::string& set : sets_) {
    std::string name;
    std::string value;
    if (!QORHostSchedule::ParseSetting(set, &name, &value, &error))
      return QORHostOutput::Error(QORHostOutput::kUsage, error);
    sets.emplace_back(name, value);
  }
  QORAPOEndpointInfo endpoint;
  if (!QORHostEndpointSetup::Find(endpoint_, &endpoint, &error))
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  std::vector<int> locations;
  if (!position_.empty()) {
    if (!QORHostProcessCommand::ParsePositions(position_, &locations, &error)) {
      return QORHostOutput::Error(QORHostOutput::kUsage, error);
    }
  } else {
    for (const int candidate : {1, 2, 3, 0}) {
      if (locations.empty() && endpoint.GetPosition(candidate).guid != GUID_NULL) {
        locations.push_back(candidate);
      }
    }
  }
  const auto missing = std::find_if(locations.begin(), locations.end(), [&](int location) {
    return endpoint.GetPosition(location).guid == GUID_NULL;
  });
  if (locations.empty() || missing != locations.end()) {
    return QORHostOutput::Error(
        QORHostOutput::kFailed,
        std::string("the endpoint has no effect class registered at ") +
            (locations.empty() ? "any position" : QORHostEndpointSetup::LocationName(*missing)) +
            "; choose another --position, or register the module's classes in "
            "its FX properties (qorapo demo-setup does for the demonstration)");
  }
  QORHostControlPanel panel;
  if (!panel.Open(endpoint, &error)) return QORHostOutput::Error(QORHostOutput::kFailed, error);

  std::vector<Measured> measured;
  {
    InterruptsHeld held;
    // What the measurement changes is put back, whatever happens in between, but only where it
    // still stands: a mode or value another tool wrote meanwhile is that tool's, and stays.
    struct Change {
      QORAPOModeIdentity mode;
      std::string name, value, written;
    };
    struct PutBack {
      QORHostControlPanel& panel;
      QORAPOModeIdentity original;
      std::string mode, speaker;                   // the original, as SetMode takes it
      std::optional<QORAPOModeIdentity> selected;  // the last mode the measurement chose
      std::vector<Change> changes;
      ~PutBack() {
        std::string ignored;
        for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
          std::string now;
          if (panel.Get(it->mode, it->name, &now, &ignored) && now == it->written) {
            panel.Restore(it->mode, it->name, it->value, &ignored);
          }
        }
        if (selected.has_value() && panel.CurrentMode() == *selected && !(*selected == original)) {
          panel.SetMode(mode, speaker, &ignored);
        }
      }
    } putBack{panel, panel.CurrentMode(), {}, {}, std::nullopt, {}};
    panel.Get("mode", &putBack.mode, &error);
    panel.Get("speaker", &putBack.speaker, &error);
    const std::vector<std::string> modes = compare_.empty()
                                               ? std::vector<std::string>{mode_}
                                               : std::vector<std::string>{mode_, compare_};
    for (size_t i = 0; i < modes.size(); ++i) {
      Measured one;
      // The mode first, so that its public controls are the ones the settings name.
      if (!modes[i].empty()) {
        const size_t slash = modes[i].find('/');
        if (!panel.SetMode(modes[i].substr(0, slash),
                           slash == std::string::npos ? "" : modes[i].substr(slash + 1), &error)) {
          return QORHostOutput::Error(QORHostOutput::kFailed, error);
        }
        putBack.selected = panel.CurrentMode();
      }
      for (const auto& [name, value] : sets) {
        Change change{panel.CurrentMode(), name, "", ""};
        const bool known = panel.Get(change.mode, name, &change.value, &error);
        if (!panel.Set(name, value, &error))
          return QORHostOutput::Error(QORHostOutput::kFailed, error);
        if (known && panel.Get(change.mode, name, &change.written, &error)) {
          putBack.changes.push_back(change);
        }
      }
      if (!MeasureCurrent(panel, endpoint, locations, i == 0, &one, &error)) {
        return QORHostOutput::Error(QORHostOutput::kFailed, error);
      }
      measured.push_back(std::move(one));
    }
  }

  std::string where;
  for (const int location : locations) {
    where += (where.empty() ? "" : ",") + std::string(QORHostEndpointSetup::LocationName(location));
  }
  const std::string endpointName = QORHostEndpointSetup::Name(endpoint.GetEndpointGuid());
  if (!output_.empty()) {
    std::string title = "Response at " + where + " of " + endpointName;
    for (const Measured& one : measured) {
      char latency[64];
      std::snprintf(latency, sizeof(latency), "latency %lld frames (%.2f ms)", one.latencyFrames,
                    1000.0 * static_cast<double>(one.latencyFrames) / rate_);
      title += "\n" + one.curve.label + ": " + one.chain + ", " + latency;
    }
    std::vector<QORHostResponsePlot::Curve> curves;
    for (const Measured& one : measured) curves.push_back(one.curve);
    auto draw = reinterpret_cast<decltype(&QORHostResponsePlotDraw)>(
        QORHostExtension::Find("qorapo-plot", "QORHostResponsePlotDraw", &error));
    if (draw == nullptr || !draw(output_, width_, height_, title, curves, phase_, &error)) {
      return QORHostOutput::Error(QORHostOutput::kFailed, error);
    }
  }
  if (json_) {
    nlohmann::json out;
    out["endpoint"] = {{"name", endpointName},
                       {"guid", QORWideToUtf8(endpoint.GetEndpointGuidText())}};
    out["position"] = where;
    out["rate"] = rate_;
    out["channels"] = channels_;
    out["channel"] = channel_;
    out["signal"] = signal_;
    out["level_dbfs"] = levelDb_;
    out["picture"] = output_.empty() ? nlohmann::json(nullptr) : nlohmann::json(output_);
    nlohmann::json curves = nlohmann::json::array();
    for (const Measured& one : measured) {
      nlohmann::json points = nlohmann::json::array();
      for (const auto& point : one.curve.points) {
        points.push_back({{"hz", point.hz}, {"db", point.db}, {"phase_deg", point.phaseDeg}});
      }
      curves.push_back({{"mode", one.curve.label},
                        {"chain", one.chain},
                        {"latency_frames", one.latencyFrames},
                        {"points", points}});
    }
    out["curves"] = curves;
    QORHostOutput::Print(out);
  } else if (csv_) {
    std::printf("mode,hz,db,phase_deg\n");
    for (const Measured& one : measured) {
      for (const auto& point : one.curve.points) {
        std::printf("%s,%.3f,%.4f,%.3f\n", one.curve.label.c_str(), point.hz, point.db,
                    point.phaseDeg);
      }
    }
  } else {
    std::printf("wrote %s (%d x %d)\n", output_.c_str(), width_, height_);
  }
  return QORHostOutput::kOk;
}

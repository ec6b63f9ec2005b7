#include "QORHostMeterCommand.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "QORHostEndpointSetup.h"
#include "QORHostOutput.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "ipc/QORAPOSharedMeter.h"
#include "platform/QORConsole.h"
#include "platform/QORInterrupt.h"
#include "settings/QORSharedMemory.h"

namespace {

// The bars span this range; quieter levels show as an empty bar.
constexpr double kFloorDb = -60.0;
// How long the highest figure of each channel is held before it follows the level down.
constexpr auto kHold = std::chrono::seconds(2);
// A host that stopped is noticed when its block disappears; each check lets go of ours briefly.
constexpr auto kRecheck = std::chrono::seconds(1);

}  // namespace

CLI::App* QORHostMeterCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "meter",
      "Show the peak meters a running host publishes for an endpoint (input and output); reading "
      "takes the peaks and clears them, so two readers share one stream of peaks");
  QORHostOutput::AddEndpoint(command, &endpoint_);
  command->add_flag("--once", once_,
                    "Print one reading and end: the peaks over one interval, for scripts");
  command->add_flag("--json", json_,
                    "Print readings as JSON (one object per line when live); levels are linear "
                    "peaks and dBFS, null for silence");
  command->add_option("--interval-ms", intervalMs_, "Time between readings in milliseconds")
      ->check(CLI::Range(10, 2000))
      ->capture_default_str();
  command
      ->add_option("--channels", channels_,
                   "Channels to show (default: as many as have carried a level)")
      ->check(CLI::Range(1, 8));
  QORHostOutput::Example(command,
                         "qorapo meter                  # live bars; Ctrl-C ends\n"
                         "qorapo meter --once --json    # one reading for a script\n"
                         "(a host to watch: qorapo process music.wav - --realtime --loop &)");
  return command;
}

std::string QORHostMeterCommand::Decibels(float peak) {
  if (std::isnan(peak)) return "nan";
  if (peak <= 0.0f) return "-inf";
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", QORHostMeterReader::Db(peak));
  return text;
}

std::string QORHostMeterCommand::Bar(float peak, int width) {
  width = std::max(width, 0);
  double share = 0.0;
  if (std::isnan(peak)) {
    share = 1.0;  // a broken level shows as full scale rather than as silence
  } else if (peak > 0.0f) {
    share = std::clamp((QORHostMeterReader::Db(peak) - kFloorDb) / -kFloorDb, 0.0, 1.0);
  }
  const int filled = static_cast<int>(std::lround(share * width));
  return std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(width - filled), '.');
}

std::string QORHostMeterCommand::NoHostMessage(const QORAPOEndpointInfo& endpoint) const {
  return "no host publishes meters for endpoint '" +
         QORHostEndpointSetup::Name(endpoint.GetEndpointGuid()) +
         "'; start one that runs it, e.g. `qorapo process music.wav - --realtime --loop`, with a "
         "configuration whose \"VAPO3-Metering Mode\" is VAPO3-Input, VAPO3-Output or VAPO3-Both";
}

void QORHostMeterCommand::Attach(QORHostMeterReader& reader, bool recheck) {
  reader.Attach(recheck);
  for (int index = 0; index < QORHostMeterReader::kMeters; ++index) {
    if (!reader.Lost(index)) lostSaid_[index] = false;
  }
}

void QORHostMeterCommand::SayLost(const QORAPOEndpointInfo& endpoint, int index) {
  if (lostSaid_[index]) return;
  lostSaid_[index] = true;
  std::fprintf(stderr,
               "qorapo: the %s meter block of endpoint '%s' is gone: another process cut it "
               "short; its host keeps playing, and metering comes back once every host holding "
               "it has ended\n",
               QORHostMeterReader::Name(index),
               QORHostEndpointSetup::Name(endpoint.GetEndpointGuid()).c_str());
}

void QORHostMeterCommand::SayInTheWay(const QORHostMeterReader& reader, int index) {
  const std::string& inTheWay = reader.InTheWay(index);
  if (inTheWay.empty() || inTheWaySaid_[index] == inTheWay) return;
  inTheWaySaid_[index] = inTheWay;
  std::fprintf(stderr, "qorapo: %s meter: %s\n", QORHostMeterReader::Name(index), inTheWay.c_str());
}

int QORHostMeterCommand::ShownChannels(const Reading* readings) {
  if (channels_ > 0) return channels_;
  for (int meter = 0; meter < 2; ++meter) {
    for (int channel = 0; channel < 8; ++channel) {
      if (readings[meter].peaks[channel] != 0.0f)
        seenChannels_ = std::max(seenChannels_, channel + 1);
    }
  }
  return seenChannels_;
}

int QORHostMeterCommand::Run() {
  std::string error;
  QORAPOEndpointInfo endpoint;
  if (!QORHostEndpointSetup::Find(endpoint_, &endpoint, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  QORHostMeterReader reader(endpoint);
  Attach(reader, false);
  if (!reader.Published(0) && !reader.Published(1)) {
    if (reader.Lost(0) || reader.Lost(1)) {
      return QORHostOutput::Error(
          QORHostOutput::kFailed,
          "the meter blocks of endpoint '" +
              QORHostEndpointSetup::Name(endpoint.GetEndpointGuid()) +
              "' are gone: another process cut them short; metering comes back once every host "
              "holding them has ended");
    }
    // Something planted at a meter's name, not the metering mode, is what keeps it dark then.
    std::string obstacles;
    for (int index = 0; index < QORHostMeterReader::kMeters; ++index) {
      const std::string& obstacle = reader.InTheWay(index);
      if (obstacle.empty()) continue;
      obstacles += (obstacles.empty() ? "" : "; and ") + obstacle;
    }
    if (!obstacles.empty()) return QORHostOutput::Error(QORHostOutput::kFailed, obstacles);
    return QORHostOutput::Error(QORHostOutput::kFailed, NoHostMessage(endpoint));
  }
  return once_ ? RunOnce(endpoint, reader) : RunLive(endpoint, reader);
}

int QORHostMeterCommand::RunOnce(const QORAPOEndpointInfo& endpoint, QORHostMeterReader& reader) {
  // The first read clears what collected before we came; the second holds one interval's peaks.
  for (int index = 0; index < 2; ++index) reader.Take(index);
  // Nothing catches Ctrl-C here: it ends the program as usual.
  QORInterrupt::Wait(intervalMs_);
  Reading readings[2];
  for (int index = 0; index < 2; ++index) readings[index] = reader.Take(index);
  if (json_) {
    nlohmann::json out;
    out["endpoint"] = {{"name", QORHostEndpointSetup::Name(endpoint.GetEndpointGuid())},
                       {"guid", QORWideToUtf8(endpoint.GetEndpointGuidText())}};
    out["interval_ms"] = intervalMs_;
    for (int index = 0; index < 2; ++index)
      out[QORHostMeterReader::Name(index)] = QORHostMeterReader::Json(readings[index]);
    QORHostOutput::Print(out);
  } else {
    const int channels = ShownChannels(readings);
    for (int index = 0; index < 2; ++index) {
      std::printf("%-7s", QORHostMeterReader::Name(index));
      if (readings[index].lost) {
        std::printf(" gone (another process cut the block short)\n");
        continue;
      }
      if (!readings[index].published) {
        if (reader.InTheWay(index).empty()) {
          std::printf(" not published by this endpoint's metering mode\n");
        } else {
          std::printf(" not published: %s\n", reader.InTheWay(index).c_str());
        }
        continue;
      }
      if (!readings[index].read) {
        std::printf(" busy (the host held the meter; try again)\n");
        continue;
      }
      for (int channel = 0; channel < channels; ++channel) {
        std::printf(" %d: %s dBFS", channel + 1, Decibels(readings[index].peaks[channel]).c_str());
      }
      std::printf("\n");
    }
  }
  for (int index = 0; index < 2; ++index) {
    if (readings[index].lost) SayLost(endpoint, index);
    SayInTheWay(reader, index);
  }
  const bool anyRead = readings[0].read || readings[1].read;
  // A block cut short while we read is a reading too: it says what became of the meter.
  if (!anyRead && !readings[0].lost && !readings[1].lost) {
    return QORHostOutput::Error(QORHostOutput::kFailed, "the meters stayed busy; try again");
  }
  return QORHostOutput::kOk;
}

int QORHostMeterCommand::RunLive(const QORAPOEndpointInfo& endpoint, QORHostMeterReader& reader) {
  QORInterrupt::Catch();
  const bool terminal = !json_ && QORConsole::EnableEscapes(QORConsole::Stream::kOutput);
  const std::string name = QORHostEndpointSetup::Name(endpoint.GetEndpointGuid());
  float held[2][8] = {};
  std::chrono::steady_clock::time_point heldAt[2][8];
  auto lastCheck = std::chrono::steady_clock::now();
  int drawnLines = 0;
  if (terminal) std::printf("\x1b[?25l");  // no cursor blinking over the bars
  while (!QORInterrupt::Requested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCheck >= kRecheck) {
      Attach(reader, true);
      lastCheck = now;
    }
    Reading readings[2];
    for (int index = 0; index < 2; ++index) {
      readings[index] = reader.Take(index);
      if (readings[index].lost) SayLost(endpoint, index);
      SayInTheWay(reader, index);
    }
    if (json_) {
      nlohmann::json out;
      out["endpoint"] = name;
      for (int index = 0; index < 2; ++index)
        out[QORHostMeterReader::Name(index)] = QORHostMeterReader::Json(readings[index]);
      QORHostOutput::PrintLine(out);  // one reading a line
    } else {
      const int channels = ShownChannels(readings);
      const int width =
          std::clamp(QORConsole::Columns(QORConsole::Stream::kOutput, 80) - 42, 10, 60);
      std::vector<std::string> lines;
      lines.push_back(name + "  (" + std::to_string(1000 / intervalMs_) +
                      " readings a second; Ctrl-C ends)");
      for (int index = 0; index < 2; ++index) {
        for (int channel = 0; channel < channels; ++channel) {
          char head[32];
          std::snprintf(head, sizeof(head), "%-6s %d ",
                        channel == 0 ? QORHostMeterReader::Name(index) : "", channel + 1);
          if (readings[index].lost) {
            lines.push_back(std::string(head) +
                            (channel == 0 ? "gone (another process cut the block short)" : ""));
            continue;
          }
          if (!readings[index].published) {
            const char* why = reader.InTheWay(index).empty()
                                  ? "not published (no host, or its metering mode)"
                                  : "not published: something is in the way (see above)";
            lines.push_back(std::string(head) + (channel == 0 ? why : ""));
            continue;
          }
          // A block the host kept busy through every try shows as silence for this reading.
          const float peak = readings[index].peaks[channel];
          if (peak >= held[index][channel] || now - heldAt[index][channel] > kHold) {
            held[index][channel] = peak;
            heldAt[index][channel] = now;
          }
          const std::string bar = Bar(peak, width);
          char figures[64];
          std::snprintf(figures, sizeof(figures), " %6s dBFS  max %6s", Decibels(peak).c_str(),
                        Decibels(held[index][channel]).c_str());
          if (terminal) {
            // Green, then amber past -12 dBFS, red past -3 dBFS.
            const size_t filled = bar.find('.') == std::string::npos ? bar.size() : bar.find('.');
            const size_t amber = static_cast<size_t>(width * (1.0 - 12.0 / -kFloorDb));
            const size_t red = static_cast<size_t>(width * (1.0 - 3.0 / -kFloorDb));
            std::string colored = "\x1b[32m" + bar.substr(0, std::min(filled, amber));
            if (filled > amber)
              colored += "\x1b[33m" + bar.substr(amber, std::min(filled, red) - amber);
            if (filled > red) colored += "\x1b[31m" + bar.substr(red, filled - red);
            colored += "\x1b[0m" + bar.substr(filled);
            lines.push_back(std::string(head) + "[" + colored + "]" + figures);
          } else {
            lines.push_back(std::string(head) + "[" + bar + "]" + figures);
          }
        }
      }
      if (terminal) {
        // Back to the first line of the last drawing, each line cleared to its end; the last
        // line keeps the cursor so that the end leaves no blank line.
        if (drawnLines > 1) std::printf("\x1b[%dA", drawnLines - 1);
        std::printf("\r");
        for (size_t i = 0; i < lines.size(); ++i) {
          std::printf("%s\x1b[K%s", lines[i].c_str(), i + 1 < lines.size() ? "\n" : "");
        }
        std::printf("\x1b[J");  // a drawing with fewer lines leaves none of the last one
        drawnLines = static_cast<int>(lines.size());
      } else {
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
      }
    }
    std::fflush(stdout);
    // Ctrl-C ends the wait at once.
    QORInterrupt::Wait(intervalMs_);
  }
  // Left as found: attributes reset, cursor shown, the last line ended.
  if (terminal) std::printf("\x1b[0m\x1b[?25h\n");
  std::fflush(stdout);
  return QORHostOutput::kOk;
}

#pragma once

#include <array>
#include <string>
#include <vector>

#include "QORHostMeterReader.h"

namespace CLI {
class App;
}
class QORAPOEndpointInfo;

// `qorapo meter`: the peak meters a running host publishes for an endpoint (its input and output
// meters), as live bars in the terminal or one reading for scripts. Reading takes the peaks and
// clears them, as every reader of the shared meters does.
class QORHostMeterCommand {
 public:
  using Reading = QORHostMeterReader::Reading;

  CLI::App* Register(CLI::App& app);
  int Run();

  // "-6.0" for 0.5; "-inf" for silence; NaN and levels above full scale keep their figure.
  static std::string Decibels(float peak);
  // A bar of width cells over [-60, 0] dBFS: '#' up to the level, '.' after it.
  static std::string Bar(float peak, int width);

 private:
  // Both with the meters attached, at least one of them published.
  int RunOnce(const QORAPOEndpointInfo& endpoint, QORHostMeterReader& reader);
  // Re-attaches the meters now and then, as hosts come and go.
  int RunLive(const QORAPOEndpointInfo& endpoint, QORHostMeterReader& reader);
  // Attaches the reader; a meter that is no longer lost may be said lost again.
  void Attach(QORHostMeterReader& reader, bool recheck);
  // Says once per meter, on stderr, that its block was cut short.
  void SayLost(const QORAPOEndpointInfo& endpoint, int index);
  // Says once per meter, on stderr, what stands in the way of its block or mutex.
  void SayInTheWay(const QORHostMeterReader& reader, int index);
  int ShownChannels(const Reading* readings);
  std::string NoHostMessage(const QORAPOEndpointInfo& endpoint) const;

  std::string endpoint_;
  bool once_ = false;
  bool json_ = false;
  int intervalMs_ = 50;
  int channels_ = 0;  // 0: as many as have carried a level
  int seenChannels_ = 1;
  bool lostSaid_[2] = {false, false};
  std::string inTheWaySaid_[2];
};

#include "QORHostMeterReader.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "settings/QORSharedMemory.h"

namespace {
// The reader waits at most 1 ms for the mutex; a busy block is tried again a few times.
constexpr int kReadTries = 5;
}  // namespace

QORHostMeterReader::QORHostMeterReader(const QORAPOEndpointInfo& endpoint) : endpoint_(endpoint) {}

const char* QORHostMeterReader::Name(int index) {
  return index == 0 ? "input" : "output";
}

double QORHostMeterReader::Db(float peak) {
  return 20.0 * std::log10(static_cast<double>(peak));
}

void QORHostMeterReader::Attach(bool recheck) {
  for (int index = 0; index < kMeters; ++index) {
    QORAPOSharedMeter& meter = meters_[index];
    // Our own handle keeps a block alive; let go of it first so that a host that has ended is
    // seen as gone.
    if (recheck && meter.IsOpen()) meter.Close();
    if (!meter.IsOpen()) {
      const QORNamedObjectError probe = ProbeSharedMemory(
          QORAPOSharedMeter::MappingName(endpoint_, static_cast<uint32_t>(index)));
      inTheWay_[index].clear();
      if (probe == QORNamedObjectError::kNone || probe == QORNamedObjectError::kAccessDenied) {
        if (!meter.OpenCreate(endpoint_, static_cast<uint32_t>(index))) {
          inTheWay_[index] = meter.Obstacle();
        }
      } else if (probe != QORNamedObjectError::kTruncated) {
        // No host can publish a meter while something else stands at its block's or mutex's name.
        inTheWay_[index] = QORAPOSharedMeter::InTheWay(endpoint_, static_cast<uint32_t>(index));
      }
      // Still held by a host, but cut short: nothing to read until every holder lets go.
      lost_[index] = probe == QORNamedObjectError::kTruncated;
    }
    published_[index] = meter.IsOpen();
  }
}

QORHostMeterReader::Reading QORHostMeterReader::Take(int index) {
  QORAPOSharedMeter& meter = meters_[index];
  Reading reading;
  reading.published = published_[index];
  if (reading.published) {
    std::vector<float> values(QORAPOSharedMeter::kChannels, 0.0f);
    for (int attempt = 0; attempt < kReadTries && !reading.read && !meter.IsLost(); ++attempt) {
      reading.read = meter.Update(values, true);
    }
    if (reading.read) std::copy_n(values.begin(), reading.peaks.size(), reading.peaks.begin());
    if (meter.IsLost()) lost_[index] = true;
  }
  reading.lost = lost_[index];
  if (reading.lost) {
    reading.read = false;
    reading.peaks.fill(0.0f);
  }
  return reading;
}

nlohmann::json QORHostMeterReader::Json(const Reading& reading) {
  nlohmann::json meter;
  meter["published"] = reading.published;
  meter["read"] = reading.read;
  meter["lost"] = reading.lost;
  nlohmann::json peaks = nlohmann::json::array();
  nlohmann::json dbfs = nlohmann::json::array();
  for (const float peak : reading.peaks) {
    peaks.push_back(peak);
    if (peak > 0.0f && std::isfinite(peak)) {
      dbfs.push_back(std::round(Db(peak) * 100.0) / 100.0);
    } else {
      dbfs.push_back(nullptr);
    }
  }
  meter["peaks"] = peaks;
  meter["dbfs"] = dbfs;
  return meter;
}

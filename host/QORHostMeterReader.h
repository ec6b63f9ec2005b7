#pragma once

#include <array>
#include <string>

#include <nlohmann/json.hpp>

#include "endpoint/QORAPOEndpointInfo.h"
#include "ipc/QORAPOSharedMeter.h"

// Reads the input and output peak meters a running host publishes for an endpoint. Each meter is
// held only while some host publishes it, so a host that ends is seen as gone at the next
// recheck. Reading takes the peaks and clears them, as every reader of the shared meters does.
class QORHostMeterReader {
 public:
  static constexpr int kMeters = 2;

  // One meter's state at a reading.
  struct Reading {
    bool published = false;  // some host holds the block
    bool read = false;       // the block's mutex was obtained and the peaks taken
    bool lost = false;       // another process cut the block short: its readings are gone
    std::array<float, 8> peaks{};
  };

  explicit QORHostMeterReader(const QORAPOEndpointInfo& endpoint);

  // Opens both meters, or with recheck lets go of ours first and opens them again.
  void Attach(bool recheck);
  Reading Take(int index);

  bool Published(int index) const { return published_[index]; }
  bool Lost(int index) const { return lost_[index]; }
  // What is in the way of the meter's block or mutex; empty when nothing is.
  const std::string& InTheWay(int index) const { return inTheWay_[index]; }

  // "input" or "output".
  static const char* Name(int index);
  // published, read, lost, the linear peaks and dBFS (null for silence: JSON has no infinities).
  static nlohmann::json Json(const Reading& reading);
  static double Db(float peak);

 private:
  QORAPOEndpointInfo endpoint_;
  QORAPOSharedMeter meters_[kMeters];
  bool published_[kMeters] = {false, false};
  bool lost_[kMeters] = {false, false};
  std::string inTheWay_[kMeters];
};

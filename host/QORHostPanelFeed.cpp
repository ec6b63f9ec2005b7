#include "QORHostPanelFeed.h"

#include <nlohmann/json.hpp>

#include "QORHostControlPanel.h"
#include "QORHostEndpointCommand.h"
#include "QORHostEndpointSetup.h"
#include "QORHostMeterReader.h"
#include "QORHostModeCommand.h"
#include "QORHostStatusCommand.h"
#include "settings/QORUTSValueList.h"

namespace {
constexpr auto kMeterInterval = std::chrono::milliseconds(50);
// The mode, the controls and the endpoints are read every this many meter readings, and a host
// that came or went is looked for as often.
constexpr int kStateEvery = 10;
constexpr int kRecheckEvery = 20;

std::string Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
}  // namespace

QORHostPanelFeed::QORHostPanelFeed(std::string endpoint) : endpoint_(std::move(endpoint)) {
  thread_ = std::thread(&QORHostPanelFeed::Loop, this);
}

QORHostPanelFeed::~QORHostPanelFeed() {
  Stop();
  thread_.join();
}

const char* QORHostPanelFeed::Name(Kind kind) {
  static const char* const names[kKinds] = {"meters", "mode", "controls", "endpoints", "daemon"};
  return names[kind];
}

void QORHostPanelFeed::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  changed_.notify_all();
}

bool QORHostPanelFeed::Rest(std::chrono::milliseconds interval) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, interval, [this] { return stopping_; });
  return !stopping_;
}

void QORHostPanelFeed::Publish(Kind kind, std::string data) {
  std::lock_guard<std::mutex> lock(mutex_);
  latest_[kind] = {++sequence_, std::move(data)};
  changed_.notify_all();
}

bool QORHostPanelFeed::Next(Seen* seen, std::chrono::milliseconds wait, std::string* frames) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto fresh = [&] {
    for (int kind = 0; kind < kKinds; ++kind) {
      if (latest_[kind].sequence > (*seen)[kind]) return true;
    }
    return false;
  };
  changed_.wait_for(lock, wait, [&] { return stopping_ || fresh(); });
  if (stopping_) return false;
  for (int kind = 0; kind < kKinds; ++kind) {
    const Latest& latest = latest_[kind];
    if (latest.sequence <= (*seen)[kind]) continue;
    (*seen)[kind] = latest.sequence;
    frames->append("event: ").append(Name(static_cast<Kind>(kind))).append("\ndata: ");
    frames->append(latest.data).append("\n\n");
  }
  return true;
}

void QORHostPanelFeed::Loop() {
  QORAPOEndpointInfo endpoint;
  std::string error;
  if (!QORHostEndpointSetup::Find(endpoint_, &endpoint, &error)) {
    Publish(kEndpoints, Dump(QORHostEndpointCommand::ListJson()));
    return;
  }
  QORHostMeterReader meters(endpoint);
  meters.Attach(false);
  std::string mode;
  std::string endpoints;
  std::string daemon;
  const std::string name = QORHostEndpointSetup::Name(endpoint.GetEndpointGuid());
  QORUTSValueList publicControls;
  QORUTSValueList globalSwitches;
  for (int tick = 0;; ++tick) {
    if (tick > 0 && tick % kRecheckEvery == 0) meters.Attach(true);
    nlohmann::json reading;
    for (int index = 0; index < QORHostMeterReader::kMeters; ++index) {
      reading[QORHostMeterReader::Name(index)] = QORHostMeterReader::Json(meters.Take(index));
    }
    reading["host"] = meters.Published(0) || meters.Published(1);
    Publish(kMeters, Dump(reading));

    if (tick % kStateEvery == 0) {
      QORHostControlPanel panel;
      if (panel.Open(endpoint, &error)) {
        std::string now = Dump(QORHostModeCommand::CurrentJson(panel));
        if (now != mode) Publish(kMode, mode = now);
        QORUTSValueList freshGlobal;
        QORUTSValueList freshPublic;
        std::shared_ptr<QORAPOOperatingMode> current;
        bool changed =
            panel.ReadGlobal(&freshGlobal, &error) && globalSwitches.ReplaceIfChanged(freshGlobal);
        if (panel.ResolveMode("", "", &current, &error) &&
            panel.ReadPublic(*current, &freshPublic, &error)) {
          changed = publicControls.ReplaceIfChanged(freshPublic) || changed;
        }
        if (changed || tick == 0) Publish(kControls, "{}");
      }
      std::string list = Dump(QORHostEndpointCommand::ListJson());
      if (list != endpoints) Publish(kEndpoints, endpoints = list);
      // The daemon's nodes of this endpoint: their latency, rate and rebuilds.
      const nlohmann::json status = QORHostStatusCommand::StatusJson();
      nlohmann::json nodes = nlohmann::json::array();
      for (const nlohmann::json& node : status.value("nodes", nlohmann::json::array())) {
        if (node.value("endpoint", "") == name) nodes.push_back(node);
      }
      std::string now = Dump({{"running", status["running"]}, {"nodes", nodes}});
      if (now != daemon) Publish(kDaemon, daemon = now);
    }
    if (!Rest(kMeterInterval)) return;
  }
}

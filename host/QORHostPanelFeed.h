#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// The live channel of one endpoint: its meters about 20 times a second, and its current mode,
// stored controls, the endpoint list and what `qorapo serve` says of the endpoint's nodes (their
// rebuilds among it) whenever they change. One thread samples for every
// reader, and each reader is sent the newest of each kind it has not seen: a slow reader skips
// meter readings rather than holding anything up, and never misses the last mode or control.
class QORHostPanelFeed {
 public:
  enum Kind { kMeters, kMode, kControls, kEndpoints, kDaemon, kKinds };
  // The sequence of the last event of each kind a reader was sent.
  using Seen = std::array<uint64_t, kKinds>;

  // endpoint: as the tools take it (name or GUID), found before the feed is made.
  explicit QORHostPanelFeed(std::string endpoint);
  ~QORHostPanelFeed();
  QORHostPanelFeed(const QORHostPanelFeed&) = delete;
  QORHostPanelFeed& operator=(const QORHostPanelFeed&) = delete;

  // Waits at most wait for events newer than *seen and appends them to frames as Server-Sent
  // Events ("event: meters\ndata: {...}\n\n"); false once the feed stops.
  bool Next(Seen* seen, std::chrono::milliseconds wait, std::string* frames);
  // Ends every wait at once; Next returns false from then on.
  void Stop();

  static const char* Name(Kind kind);

 private:
  void Loop();
  void Publish(Kind kind, std::string data);
  // Waits one interval; false once the feed stops.
  bool Rest(std::chrono::milliseconds interval);

  struct Latest {
    uint64_t sequence = 0;
    std::string data;
  };

  const std::string endpoint_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t sequence_ = 0;
  Latest latest_[kKinds];
  bool stopping_ = false;
  std::thread thread_;
};

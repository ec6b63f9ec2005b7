#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/QORHostEngine.h"

// One render endpoint's virtual sink in PipeWire: a capture stream that applications play into
// (an Audio/Sink named after the endpoint) and a playback stream into the endpoint's device, with
// the endpoint's objects between them. The main loop's thread makes, connects and destroys it;
// PipeWire's data thread calls OnProcess, which never allocates, locks, waits or logs.
class QORHostPipeWireSink {
 public:
  struct Settings {
    std::string nodeName;     // the sink's node.name; the output stream's is this + ".output"
    std::string description;  // what mixers show
    std::string target;       // the device's node.name; empty: the session manager's choice
    int channels = 2;
    int rate = 48000;
    uint32_t maxFrames = 8192;  // the longest cycle the objects are locked for
  };

  QORHostPipeWireSink(pw_core* core, std::unique_ptr<QORHostEngine> engine, Settings settings);
  QORHostPipeWireSink(const QORHostPipeWireSink&) = delete;
  QORHostPipeWireSink& operator=(const QORHostPipeWireSink&) = delete;
  ~QORHostPipeWireSink();

  // Creates and connects both streams; false with the reason otherwise.
  bool Connect(std::string* error);
  int64_t LatencyFrames() const { return latency_; }
  const Settings& GetSettings() const { return settings_; }

 private:
  static void OnProcess(void* data);
  static void OnCaptureParam(void* data, uint32_t id, const spa_pod* param);
  static void OnPlaybackParam(void* data, uint32_t id, const spa_pod* param);
  void Process();
  // What one stream learns of the graph's latency on its side goes to the other with the
  // objects' latency added, so that players see what they are heard behind.
  void ForwardLatency(const spa_pod* param, pw_stream* to);

  pw_core* core_;
  std::unique_ptr<QORHostEngine> engine_;
  Settings settings_;
  int64_t latency_ = 0;
  pw_stream* capture_ = nullptr;
  pw_stream* playback_ = nullptr;
  spa_hook captureListener_{};
  spa_hook playbackListener_{};
  pw_stream_events captureEvents_{};
  pw_stream_events playbackEvents_{};
  std::vector<float> interleaved_;
};

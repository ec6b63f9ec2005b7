#pragma once

#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/QORHostEngine.h"

// One endpoint's APO objects as an LV2 plugin instance of a fixed channel count. The host's
// instantiation thread calls the constructor, Activate and the destructor; its audio thread calls
// ConnectPort and Run, which never allocate, lock, wait or make a system call.
class QORLv2Plugin {
 public:
  // Ports after the 2 x channels audio ports, in this order.
  enum ControlPort : uint32_t {
    kEnabled = 0,   // lv2:enabled: below 0.5 passes the input through, delayed as processed
    kEndpoint = 1,  // 0: the default render endpoint, N: the N-th active one
    kPositions =
        2,         // bit per position (0 local effect ... 5); 0: those registered at SFX, MFX, EFX
    kLatency = 3,  // output: the objects' total latency in frames
    kInputPeak = 4,  // output: the last run's input peak, dBFS
    kOutputPeak = 5,
    kControlPorts = 6,
  };
  // Longest run the objects are locked for when the host announces no maximum.
  static constexpr uint32_t kDefaultMaxBlock = 4096;

  QORLv2Plugin(uint32_t channels, double rate, const std::string& bundle,
               const LV2_Feature* const* features);
  QORLv2Plugin(const QORLv2Plugin&) = delete;
  QORLv2Plugin& operator=(const QORLv2Plugin&) = delete;
  ~QORLv2Plugin();

  // False once the objects could not be started (the reason went to the host's log).
  bool Ready() const { return ready_; }
  void ConnectPort(uint32_t port, void* data);
  // Starts the objects again when the endpoint or positions ports changed since they started.
  void Activate();
  void Run(uint32_t frames);

 private:
  bool Start(uint32_t endpoint, uint32_t positions);
  void Stop();

  uint32_t channels_;
  int rate_;
  std::string bundle_;
  uint32_t maxBlock_ = kDefaultMaxBlock;
  LV2_Log_Logger logger_{};
  std::unique_ptr<QORHostEngine> engine_;
  bool ready_ = false;
  uint32_t startedEndpoint_ = 0;
  uint32_t startedPositions_ = 0;
  int64_t latency_ = 0;
  // The input delayed by the objects' latency, for bypass: switching enabled crossfades between
  // it and the objects' output over kFadeSeconds, so the delay never changes and nothing clicks.
  static constexpr float kFadeSeconds = 0.01f;
  std::vector<float> dry_;
  size_t dryAt_ = 0;
  float wet_ = 1.0f;
  float fadeStep_ = 1.0f;
  std::vector<const float*> inputs_;
  std::vector<float*> outputs_;
  std::vector<float*> controls_;
  std::vector<float> interleaved_;
};

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/IQORAudioProcess.h"
#include "settings/IQORUTSController.h"

// Folds channels together inside an interleaved period without changing its channel count.
// Periods wider than a mode's frame are folded frame by frame at their own channel stride; the
// channels beyond the fold's keep their samples. Threads as for IQORAudioProcess: only Process
// runs on the real-time thread.
class QORAudioProcessDownmix : public IQORAudioProcess<float>, public IQORUTSController {
 public:
  enum DownmixMode : uint32_t {
    kModeNone = 0,
    kMode51ToFront = 1,     // needs 6 channels; C, LFE, LS and RS become 0
    kModeStereoToLeft = 2,  // needs 2 channels; R becomes 0
    kModeLeftToRight = 3,   // needs 2 channels
  };

  explicit QORAudioProcessDownmix(uint32_t mode = kModeNone) : mode_(mode) {}

  // Set-up (the chain's build).
  // The folds, in order, for a chain element named "Downmix" or "Upmix" between the chain's input
  // and output layout codes (1 mono, 2 stereo, 4 5.1, 8 7.1, 16 11.1); their number (0 to 2).
  // "Downmix" folds toward a narrower output only: 5.1 or 7.1 into the front pair for stereo,
  // then into the left channel for mono; stereo into the left channel for mono. A fold toward an
  // output as wide as the input would only silence channels the output plays, since every process
  // renders each channel from its own. "Upmix" copies mono into the right channel.
  static uint32_t ModesFor(const std::string& elementName, uint32_t inputCode, uint32_t outputCode,
                           uint32_t (&modes)[2]);

  // Set-up.
  bool Init(uint32_t channels, uint32_t sampleRate) override;
  void EnableBypass(bool bypass) override { bypass_ = bypass; }
  bool IsBypassed() const override { return bypass_; }
  uint32_t GetLatency() const override { return 0; }
  // Real-time: folds in place, no allocation.
  void Process(IQORAudioData<float>& data) override;

  // Set-up (the chain sends every control to every element). No tuning controls.
  bool GetControl(QORUTSValue& value) override;
  bool SetControl(const QORUTSValue& value) override;
  int32_t GetControlInfo(std::vector<QORUTSControlInfo>& list) override;

  // Set-up.
  void SetMode(uint32_t mode) { mode_ = mode; }
  uint32_t GetMode() const { return mode_; }

 private:
  bool bypass_ = false;
  uint32_t mode_;
};

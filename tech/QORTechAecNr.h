#pragma once

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <vector>

#include "QORTechProcessBase.h"

// Capture-side voice clean-up: speexdsp's echo canceller removes what the loudspeakers put into
// the microphone, its preprocessor suppresses stationary noise, and the ambient noise level it
// measures goes out through the side-chain callback to the render side.
//
// Channel 0 is the microphone; channel 1, when the format has it, is the echo reference (the
// loopback of what is played). The cleaned voice is written to every channel, so the reference
// never reaches the recording. speexdsp works on whole 10 ms blocks and delays by one block.
class QORTechAecNr : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "QOR AEC/NR";
  static constexpr uint32_t kTailMs = 100;  // longest echo path the canceller models
  // History replayed into a taking process: up to 300 ms, and no more than 14400 frames so that
  // the replay stays short on the real-time thread at high rates.
  static constexpr uint32_t kHistoryBlocks = 30;
  static constexpr uint32_t kHistoryFrames = 14400;

  QORTechAecNr();
  ~QORTechAecNr() override;

  uint32_t GetBlockSize() override { return block_; }
  uint32_t GetLatency() override { return block_; }

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  void Release();
  void ApplySuppression(bool echoLinked);
  void ProcessBlock(float* const* channels, const TechCallback* callback);
  float TrackNoiseFloor();
  void SendLevel(const TechCallback* callback);

  int aecEnable_;
  int echoSuppression_;
  int nrEnable_;
  int nrLevel_;

  SpeexPreprocessState* preprocess_ = nullptr;
  SpeexEchoState* echo_ = nullptr;
  uint32_t block_ = 0;
  float mixStep_ = 1.0f;     // mix change per block: a switch glides over about 30 ms
  float levelCoeff_ = 1.0f;  // per-block smoothing of the ambient level
  std::vector<spx_int16_t> mic_;
  std::vector<spx_int16_t> reference_;
  std::vector<spx_int16_t> cancelled_;
  std::vector<spx_int16_t> work_;
  std::vector<float> current_;  // echo-cancelled input of this block
  std::vector<float> delayed_;  // the previous block's: the dry path, aligned with speexdsp's delay
  std::vector<float> side_;
  TechChannel sideRecord_{};
  // Ring of the preprocessor's recent input, replayed into a process that takes this one's place.
  std::vector<spx_int16_t> history_;
  uint32_t historyBlocks_ = 0;
  uint32_t historyNext_ = 0;
  uint32_t historyCount_ = 0;

  float aecMix_ = 1.0f;
  float nrMix_ = 1.0f;
  // Room noise floor: minimum of the smoothed block power over the last one to two seconds,
  // measured after echo cancellation so that our own playback does not count as room noise.
  float powerCoeff_ = 1.0f;
  float power_ = 0.0f;
  float windowMin_ = 0.0f;
  float previousMin_ = 0.0f;
  uint32_t windowBlocks_ = 1;
  uint32_t windowCount_ = 0;
  float ambient_ = 0.0f;  // linear RMS of the room noise, full scale 1.0
  bool echoLinked_ = false;
  int32_t appliedNrDb_ = 1;  // 1: nothing applied yet
  int32_t appliedEchoDb_ = 1;
};

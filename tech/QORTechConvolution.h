#pragma once

#include <string>
#include <vector>

#include "QORTechConvolver.h"
#include "QORTechProcessBase.h"
#include "QORTechRamp.h"

// Convolution with an impulse response from a WAV or FLAC file, one per channel (a file with
// fewer channels repeats its last). The file comes as the text control "CONV-Impulse Response"
// (an absolute path), read when set, on the thread that builds the chain; a file at another rate
// is converted to the stream's once, in Init. No latency at the file's rate: the first partition
// runs directly. A converted response keeps the converter's ringing ahead of its onset, which is
// its latency then; the dry signal is delayed to match, so a mix of the two does not comb.
// Without a response the input passes exactly; switched off, it passes after the latency.
class QORTechConvolution : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "QOR Convolution";
  static constexpr char kResponseControl[] = "CONV-Impulse Response";
  // The longest response taken: 10 s at 48 kHz.
  static constexpr size_t kMaxTaps = 480000;

  QORTechConvolution();
  bool SetControlString(const char* name, const char* value) override;
  bool GetControlString(const char* name, const char** value) override;
  uint32_t GetLatency() override { return ready_ ? latency_ : 0; }

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  static constexpr uint32_t kPartition = 256;
  // Sizes the convolver for the stream with the file's response; false without one.
  bool Prepare(uint32_t channels, uint32_t rate);

  int enable_;
  int mix_;
  int gain_;
  std::string path_;
  std::vector<std::vector<float>> file_;  // the file's channels at its own rate
  uint32_t fileRate_ = 0;
  uint64_t fileKey_ = 0;   // a digest of the file's samples, rate and layout
  uint64_t heardKey_ = 0;  // fileKey_ of the response the convolver holds, when ready_
  bool ready_ = false;
  QORTechConvolver convolver_;
  std::vector<std::vector<float>> dry_;  // a chunk of the input, per channel, latency_ late
  uint32_t latency_ = 0;
  // The input's last latency_ frames per channel, a ring whose oldest frame is at delayAt_.
  std::vector<std::vector<float>> delay_;
  uint32_t delayAt_ = 0;
  QORTechRamp wet_;
  QORTechRamp level_;
};

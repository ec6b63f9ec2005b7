#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chain/QORTechProcess.h"

// A process whose effects show through its controls: int Gain and CallMode (settable), Calls,
// Frames, BadBlocks (calls not of the block size), Callbacks (calls with a callback record); text
// NullText (read succeeds without a text). Tech ids:
//   "Test Pass"           passes audio through
//   "Test Gain"           multiplies by Gain (hundredths, 50 at creation)
//   "Test Block <n> <l>"  runs on blocks of n frames and reports l frames of its own latency
//   "Test FailInit"       refuses every Init
//   "Test BadCount"       reports a negative control count
//   "QOR AEC/NR"          sends channel 0 through the side-chain callback
//   "QOR Clarix+"         replaces channel 0 by what the side-chain callback delivers
class TestTechProcess : public TechProcess {
 public:
  // How the side-chain process calls back: 0 as the contract says, 1 with a linked record,
  // 2 with role 6, 3 without samples, 4 with 0 frames, 5 without context.
  enum CallMode : int32_t { kNormal, kLinked, kRole6, kNoSamples, kNoFrames, kNoContext };

  // Null for a tech id the library does not know.
  static TestTechProcess* Create(const char* techId);
  virtual ~TestTechProcess() = default;

  uint32_t GetBlockSize() override { return blockSize_; }
  uint32_t GetLatency() override { return latency_; }
  int32_t GetControlInfo(const TechControlDesc** descs) override;
  bool SetControlInt(const char* name, int32_t value) override;
  bool SetControlString(const char*, const char*) override { return false; }
  bool GetControlInt(const char* name, int32_t* value) override;
  bool GetControlString(const char* name, const char** value) override;
  bool TakeState(TechProcess* other) override;
  bool Init(uint32_t channels, uint32_t sampleRate) override;
  void Process(TechChannel* input, TechChannel* output, uint32_t frames,
               const TechCallback* callback) override;

 private:
  explicit TestTechProcess(const char* techId) : techId_(techId) {}
  void SideChainCall(TechChannel& first, uint32_t frames, const TechCallback& callback);

  std::string techId_;
  uint32_t blockSize_ = 0, latency_ = 0;
  int32_t gain_ = 100, callMode_ = kNormal, calls_ = 0, frames_ = 0, badBlocks_ = 0, callbacks_ = 0;
  bool sends_ = false, receives_ = false;
  std::vector<float> scratch_;
};

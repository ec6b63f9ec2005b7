#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "TestTechRecipe.h"
#include "chain/QORTechProcess.h"

// A process whose every effect is observable through its controls:
//   int  Gain (settable, hundredths), CallMode (settable, see SideChainCall), Calls, Frames,
//        BadBlocks (calls whose length was not the block size), Channels (length of the last
//        list), Callbacks (calls that came with a callback record), InitChannels, InitRate
//   text Label (settable), LastSet ("int Name N" or "text Name T" of the last accepted set),
//        Roles (channel roles of the last call, "0,1"), NullText (read succeeds with no text)
class TestTechProcess : public TechProcess {
 public:
  // How the side-chain process calls back: 0 as the contract says, 1 with a linked record,
  // 2 with role 6, 3 without samples, 4 with 0 frames, 5 without context.
  enum CallMode : int32_t {
    kCallNormal,
    kCallLinked,
    kCallRole6,
    kCallNoSamples,
    kCallNoFrames,
    kCallNoContext
  };

  explicit TestTechProcess(const TestTechRecipe& recipe);
  virtual ~TestTechProcess() = default;

  uint32_t GetBlockSize() override { return recipe_.blockSize; }
  uint32_t GetLatency() override { return recipe_.latency; }
  int32_t GetControlInfo(const TechControlDesc** descs) override;
  bool SetControlInt(const char* name, int32_t value) override;
  bool SetControlString(const char* name, const char* value) override;
  bool GetControlInt(const char* name, int32_t* value) override;
  bool GetControlString(const char* name, const char** value) override;
  bool TakeState(TechProcess* other) override;
  bool Init(uint32_t channels, uint32_t sampleRate) override;
  void Process(TechChannel* input, TechChannel* output, uint32_t frames,
               const TechCallback* callback) override;

 private:
  void SideChainCall(TechChannel& first, uint32_t frames, const TechCallback& callback);

  TestTechRecipe recipe_;
  int32_t gain_;
  int32_t callMode_ = kCallNormal;
  int32_t calls_ = 0;
  int32_t frames_ = 0;
  int32_t badBlocks_ = 0;
  int32_t channels_ = 0;
  int32_t callbacks_ = 0;
  uint32_t initChannels_ = 0;
  uint32_t initRate_ = 0;
  std::array<uint32_t, 16> roles_{};
  std::string label_;
  std::string lastSet_;
  std::string rolesText_;
  std::vector<float> scratch_;
};

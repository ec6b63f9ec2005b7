#pragma once

#include <array>
#include <cstdint>

#include "QORTechBlockGrid.h"
#include "QORTechControls.h"
#include "chain/QORTechProcess.h"

// Common ground of every process in the library: control handling, format checks, gathering the
// channel list, denormal protection around processing, and the same-kind check of TakeState.
class QORTechProcessBase : public TechProcess {
 public:
  static constexpr uint32_t kMaxChannels = 12;
  static constexpr uint32_t kMinRate = 8000;
  static constexpr uint32_t kMaxRate = 192000;

  explicit QORTechProcessBase(const char* techId) : techId_(techId) {}
  // Virtual so that the library can delete through the base; these slots follow the contract's.
  virtual ~QORTechProcessBase() = default;
  QORTechProcessBase(const QORTechProcessBase&) = delete;
  QORTechProcessBase& operator=(const QORTechProcessBase&) = delete;

  const char* TechId() const { return techId_; }

  uint32_t GetBlockSize() override { return 0; }
  uint32_t GetLatency() override { return 0; }
  int32_t GetControlInfo(const TechControlDesc** descs) override;
  bool SetControlInt(const char* name, int32_t value) override;
  bool SetControlString(const char* name, const char* value) override;
  bool GetControlInt(const char* name, int32_t* value) override;
  bool GetControlString(const char* name, const char** value) override;
  bool TakeState(TechProcess* other) override;
  bool Init(uint32_t channels, uint32_t sampleRate) override;
  void Process(TechChannel* input, TechChannel* output, uint32_t frames,
               const TechCallback* callback) override;

 protected:
  QORTechControls& Controls() { return controls_; }
  uint32_t Channels() const { return channels_; }
  uint32_t Rate() const { return rate_; }
  // True during the first Process after Init: nothing has been heard yet, so settings may jump
  // to their targets instead of gliding.
  bool IsFresh() const { return fresh_; }
  // The stream's block grid: started by Init, carried over by TakeState.
  QORTechBlockGrid& Grid() { return grid_; }

  // Sets up for the format; may allocate. The base has checked the ranges.
  virtual bool OnInit(uint32_t channels, uint32_t rate) = 0;
  // channels holds Channels() pointers of frames samples each; must not allocate or block.
  virtual void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) = 0;
  // other has the same tech id and format; copy its running state, keep own control targets.
  virtual void OnTakeState(QORTechProcessBase& other) = 0;

 private:
  const char* techId_;
  QORTechControls controls_;
  uint32_t channels_ = 0;
  uint32_t rate_ = 0;
  bool fresh_ = false;
  QORTechBlockGrid grid_;
  std::array<float*, kMaxChannels> pointers_{};
};

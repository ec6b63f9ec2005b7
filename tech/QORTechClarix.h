#pragma once

#include <array>

#include "QORTechBiquad.h"
#include "QORTechProcessBase.h"
#include "QORTechRamp.h"

// Render-side speech clarity that adapts to the room: the ambient noise level arrives from the
// capture side through the side-chain callback, and as it rises above the threshold a presence
// lift around 3 kHz and a level lift fade in, reaching their full amount 20 dB above it. The
// level lift is withheld where it would push peaks past -1 dBFS; the process never lowers the
// level. In a quiet room, or with no side chain, the signal passes bit for bit.
class QORTechClarix : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "QOR Clarix+";
  static constexpr uint32_t kSideChunk = 512;  // frames per side-chain call
  static constexpr float kFullEffectSpanDb = 20.0f;
  static constexpr float kSilentDb = -140.0f;

  QORTechClarix();

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  // Fills side_ with the next frames of the side chain (zeros without one).
  void ReceiveSide(uint32_t frames, const TechCallback* callback);
  float SidePeak(uint32_t from, uint32_t frames) const;
  void Track(float measured, uint32_t frames);
  void Design();
  void Run(float* const* channels, uint32_t offset, uint32_t frames);

  int enable_;
  int threshold_;
  int presence_;
  int level_;

  std::array<float, kSideChunk> side_{};
  TechChannel sideRecord_{};
  float ambient_ = 0.0f;   // linear RMS of the room, as the capture side measured it
  float roomPeak_ = 0.0f;  // of the side chain over this grid block so far
  float presenceHz_ = 3000.0f;
  QORTechBiquad filter_;
  QORTechRamp presenceDb_;
  QORTechRamp levelDb_;
  // This grid block's level lift glides from gainFrom_ to gainTo_; neutral_: nothing to change.
  float gainFrom_ = 1.0f;
  float gainTo_ = 1.0f;
  bool neutral_ = true;
  float envelope_ = 0.0f;
  float envelopeRelease_ = 0.0f;
};

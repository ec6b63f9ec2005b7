#pragma once

#include <algorithm>
#include <cstdint>

// Cuts each call into pieces on a grid of kFrames counted from the stream's start, so that what a
// process decides once per block (a glide step, a level reading) falls on the same samples however
// the host sizes its calls. Decisions are made where a block starts, from what came before it.
class QORTechBlockGrid {
 public:
  static constexpr uint32_t kFrames = 32;

  void Reset() { phase_ = 0; }
  // Calls piece(offset, n, at) for consecutive pieces of frames: at is the place of the piece's
  // first frame in its block, 0 where a block starts.
  template <typename Piece>
  void Walk(uint32_t frames, Piece&& piece) {
    for (uint32_t offset = 0; offset < frames;) {
      const uint32_t n = std::min(kFrames - phase_, frames - offset);
      piece(offset, n, phase_);
      offset += n;
      phase_ = (phase_ + n) % kFrames;
    }
  }

 private:
  uint32_t phase_ = 0;
};

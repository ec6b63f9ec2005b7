#pragma once

#include <array>
#include <cstdint>

#include "QORTechBiquad.h"

// Runs sections in series over planar channels with the channels in SIMD lanes, the samples kept
// in double from the first section to the last. Sections are worked in groups whose state and
// coefficients stay in registers, so the processor overlaps a group's recursions instead of waiting
// on one section's feedback per sample. The sections keep their own state; a cascade is a list
// made for one call. No allocation.
class QORTechBiquadCascade {
 public:
  static constexpr uint32_t kMaxSections = 16;

  void Add(QORTechBiquad& section) {
    if (count_ < kMaxSections) sections_[count_++] = &section;
  }
  uint32_t Count() const { return count_; }
  // The same as each section's Process on each channel in turn, within double rounding.
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames);
  // One or two channels in one pass: the first `split` sections, then each frame times gains[i]
  // (unless null), then mixes[i] = the frame's channels summed, times mixScale (unless null), then
  // the other sections. The same to the bit as those steps one after the other on float arrays.
  // False, with nothing done, for more than two channels or a split past the last section.
  bool ProcessTapped(float* const* channels, uint32_t channelCount, uint32_t frames, uint32_t split,
                     const float* gains, float mixScale, float* mixes);

 private:
  std::array<QORTechBiquad*, kMaxSections> sections_{};
  uint32_t count_ = 0;
};

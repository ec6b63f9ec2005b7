#pragma once

#include <cstdint>
#include <string>

// A channel layout travels as one bit; a speaker-configuration mask is an OR of such bits.
class QORAPOChannelCode {
 public:
  static constexpr uint32_t kNone = 0;
  static constexpr uint32_t kMono = 1;
  static constexpr uint32_t kStereo = 2;
  static constexpr uint32_t kSurround51 = 4;
  static constexpr uint32_t kSurround71 = 8;
  static constexpr uint32_t kSurround111 = 16;
  static constexpr uint32_t kAnyLayout = 0xFFFFFFFFu;  // a mask that serves every layout

  // 1, 2, 6, 8 or 12 channels give their code; any other count gives kNone.
  static uint32_t FromChannelCount(uint32_t channels);
  // Channel count of a single code; 0 for anything else.
  static uint32_t ChannelCount(uint32_t code);
  // "Mono", "Stereo", "5.1 Surround", "7.1 Surround", "11.1 Surround"; kNone for other names.
  static uint32_t FromLayoutName(const std::string& name);
};

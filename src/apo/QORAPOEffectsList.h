#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/QORGuid.h"

class QORAPOEndpointInfo;

// Which effect types an APO at one graph position applies: what the platform's DSP driver reports
// when one answers (Broadwell first, then Skylake), else what the endpoint's public settings switch
// on. The same type may be listed more than once.
class QORAPOEffectsList {
 public:
  // The platform's audio effect types.
  static constexpr GUID kEqualizer = {
      0x6F64ADC3, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}};
  static constexpr GUID kLoudnessEqualizer = {
      0x6F64ADC4, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}};
  static constexpr GUID kBassBoost = {
      0x6F64ADC5, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}};
  static constexpr GUID kVirtualSurround = {
      0x6F64ADC6, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}};
  static constexpr GUID kVirtualHeadphones = {
      0x6F64ADC7, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}};
  static constexpr GUID kSpeakerProtection = {
      0x6F64ADCC, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}};
  // The processing mode in which the engine wants the signal untouched.
  static constexpr GUID kRawMode = {
      0x9E90EA20, 0xB493, 0x4FD1, {0xA1, 0xA8, 0x7E, 0x13, 0x61, 0xA9, 0x56, 0xCF}};

  static constexpr uint32_t kBroadwellModuleId = 9;
  static constexpr const char* kBroadwellModuleName = "LuxSnd01";

  // The list for location; the settings decide for the endpoint whose GUID text is endpointGuid
  // in processing mode `mode`.
  static std::vector<GUID> Discover(int32_t location, const GUID& mode,
                                    const std::wstring& endpointGuid);

  // Each true when that driver answered and decided the list.
  static bool FromBroadwell(int32_t location, std::vector<GUID>& list);
  static bool FromSkylake(int32_t location, std::vector<GUID>& list);
  static std::vector<GUID> FromSettings(int32_t location, const GUID& mode,
                                        const std::wstring& endpointGuid);
  // The switches of the settings path, given the endpoint's public controls.
  static std::vector<GUID> FromControls(int32_t location, const QORAPOEndpointInfo& endpoint);
};

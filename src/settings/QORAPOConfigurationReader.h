#pragma once

#include <cstdint>
#include <string>

#include <tinyxml2.h>

#include "settings/ChainEntry.h"
#include "settings/QORAPOModeIdentity.h"
#include "settings/QORAPOOperatingMode.h"
#include "settings/QORUTSValueList.h"

// Turns the elements of a configuration document into controls, chains and operating modes.
// Element names compare without regard to case; unknown elements and attributes are ignored.
class QORAPOConfigurationReader {
 public:
  static constexpr const char* kInvalidPosition = "Invalid APO location!";

  // "PreBlue", "SFX", "MFX", "EFX", "OSFX", "OMFX" for locations 0 to 5, else kInvalidPosition.
  static const char* PositionName(uint32_t apoLocation);
  // A speaker-configuration mask from a chain's input or output attribute; null or empty: all bits.
  static uint32_t SpeakerMask(const char* text);

  // ASCII comparison without regard to case; a null text equals nothing.
  static bool EqualsNoCase(const char* text, const char* expected);
  static bool IsNamed(const tinyxml2::XMLElement& element, const char* name);

  // Adds the control children of parent to list (a later same-named control replaces an earlier
  // one). Returns false when parent has no child node at all.
  static bool ReadControls(const tinyxml2::XMLElement& parent, QORUTSValueList& list);
  // A control with a non-empty name and non-empty text; false for any other element.
  static bool ReadControl(const tinyxml2::XMLElement& element, QORUTSValue& control);
  // The two identity texts from list; a missing control gives its default text.
  static QORAPOModeIdentity ReadIdentity(const QORUTSValueList& list);

  // Fills mode from an operating_mode element, reading the chains meant for apoLocation.
  static void ReadMode(const tinyxml2::XMLElement& element, uint32_t apoLocation,
                       QORAPOOperatingMode& mode);
  // Builds a chain from a chain or chain_v2 element; false when it kept no process.
  static bool ReadChain(const tinyxml2::XMLElement& element, ChainEntry& chain);

 private:
  static bool IsChainFor(const tinyxml2::XMLElement& element, uint32_t apoLocation);
  static std::string TextOf(const tinyxml2::XMLElement& element);
  static std::string AttributeText(const tinyxml2::XMLElement& element, const char* name);
};

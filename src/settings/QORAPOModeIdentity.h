#pragma once

#include <string>

#include "settings/QORUTSValue.h"

// Tells operating modes apart: the pair of controls naming the mode and the speaker type.
class QORAPOModeIdentity {
 public:
  static constexpr const char* kModeName = "VAPO3-Operating Mode";
  static constexpr const char* kSpeakerTypeName = "VAPO3-Speaker Type";
  static constexpr const char* kUndefinedMode = "VAPO3-Undefined";
  static constexpr const char* kDisabledSpeakerType = "VAPO3-Disabled";

  QORAPOModeIdentity();
  QORAPOModeIdentity(const std::string& mode, const std::string& speakerType);

  QORUTSValue& GetMode() { return mode_; }
  const QORUTSValue& GetMode() const { return mode_; }
  QORUTSValue& GetSpeakerType() { return speakerType_; }
  const QORUTSValue& GetSpeakerType() const { return speakerType_; }

  // Neither text is its default.
  bool IsValid() const;
  // "ApoOpMode:" + mode + "/" + speaker type.
  std::string GetText() const;
  std::wstring GetTextWide() const;

  bool operator==(const QORAPOModeIdentity& other) const;
  bool operator!=(const QORAPOModeIdentity& other) const { return !(*this == other); }

 private:
  QORUTSValue mode_;
  QORUTSValue speakerType_;
};

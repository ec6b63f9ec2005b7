#include "settings/QORAPOModeIdentity.h"

#include "common/QORTextConvert.h"

QORAPOModeIdentity::QORAPOModeIdentity()
    : QORAPOModeIdentity(kUndefinedMode, kDisabledSpeakerType) {}

QORAPOModeIdentity::QORAPOModeIdentity(const std::string& mode, const std::string& speakerType)
    : mode_(kModeName, mode.c_str()), speakerType_(kSpeakerTypeName, speakerType.c_str()) {}

bool QORAPOModeIdentity::IsValid() const {
  return mode_.GetValueText() != kUndefinedMode &&
         speakerType_.GetValueText() != kDisabledSpeakerType;
}

std::string QORAPOModeIdentity::GetText() const {
  return "ApoOpMode:" + mode_.GetValueText() + "/" + speakerType_.GetValueText();
}

std::wstring QORAPOModeIdentity::GetTextWide() const {
  return QORUtf8ToWide(GetText());
}

bool QORAPOModeIdentity::operator==(const QORAPOModeIdentity& other) const {
  return mode_ == other.mode_ && speakerType_ == other.speakerType_;
}

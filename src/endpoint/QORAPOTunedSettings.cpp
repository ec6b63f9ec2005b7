#include "endpoint/QORAPOTunedSettings.h"

#include <boost/any.hpp>

#include "common/QORTextConvert.h"
#include "settings/QORPropertyControls.h"

QORAPOTunedSettings::QORAPOTunedSettings() {
  block_.AttachPropertySet(&tuned_);
}

QORAPOTunedSettings::~QORAPOTunedSettings() = default;

std::wstring QORAPOTunedSettings::BlockName(const QORAPOEndpointInfo& endpoint,
                                            const QORAPOModeIdentity& identity) {
  return L"Global\\" + endpoint.GetEndpointGuidText() + identity.GetTextWide();
}

bool QORAPOTunedSettings::Open(const QORAPOEndpointInfo& endpoint, const QORAPOOperatingMode& mode,
                               bool requireExisting) {
  const std::wstring name = BlockName(endpoint, mode.GetModeIdentity());
  if (requireExisting && !SharedMemoryExists(name)) return false;
  QORUTSValueList controls(mode.GetPublicControls());
  controls.Merge(mode.GetPrivateControls(), QORUTSValueList::kMergeReplaceAndAdd);
  tuned_.ClearProperties();
  for (const auto& [controlName, control] : controls.Values()) {
    tuned_.SetProperty(control.GetNameWide(), control.GetValueText());
  }
  tuned_.SetProperty(QORUtf8ToWide(kTuningModeName), 0L);
  return block_.Open(name, 0);
}

bool QORAPOTunedSettings::Close() {
  return block_.Close();
}

bool QORAPOTunedSettings::IsOpen() {
  return block_.IsOpen();
}

bool QORAPOTunedSettings::WriteControl(const QORUTSValue& control) {
  const std::wstring key = control.GetNameWide();
  lastWrite_ = block_.Update([&](QORPropertySet& set) {
    boost::any present;
    if (!set.GetProperty(key.c_str(), present)) return false;
    set.SetProperty(key, control.GetValueText());
    return true;
  });
  return lastWrite_ == QORPropertySetSharedMem::kOk;
}

bool QORAPOTunedSettings::WriteControls(const QORUTSValueList& controls) {
  lastWrite_ = block_.Update([&](QORPropertySet& set) {
    for (const auto& [name, control] : controls.Values()) {
      set.SetProperty(control.GetNameWide(), control.GetValueText());
    }
    return true;
  });
  return lastWrite_ == QORPropertySetSharedMem::kOk;
}

bool QORAPOTunedSettings::ReadControls(QORUTSValueList& out, bool clear) {
  if (clear) out.Clear();
  const bool loaded = block_.Load(true, true, true) == QORPropertySetSharedMem::kOk;
  QORPropertyControls::CarryInto(tuned_, out);
  return loaded;
}

uint32_t QORAPOTunedSettings::Clear() {
  tuned_.ClearProperties();
  lastWrite_ = block_.Save();
  return lastWrite_;
}

long QORAPOTunedSettings::GetTuningMode() {
  block_.Load(true, true, true);
  long mode = 0;
  if (!tuned_.GetProperty(QORUtf8ToWide(kTuningModeName), mode)) return 0;
  return mode;
}

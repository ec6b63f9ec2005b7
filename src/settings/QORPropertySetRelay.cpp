#include "settings/QORPropertySetRelay.h"

#include "settings/QORPropertyControls.h"

void QORPropertySetRelay::SetForward(Forward forward) {
  QORCriticalSectionLock hold(lock_);
  forward_ = std::move(forward);
}

bool QORPropertySetRelay::HasForward() {
  QORCriticalSectionLock hold(lock_);
  return static_cast<bool>(forward_);
}

void QORPropertySetRelay::OnPropertyChanged(QORPropertySet&, const PropertyEntry& entry) {
  QORUTSValue control;
  if (!QORPropertyControls::ToControl(entry, control)) return;
  QORCriticalSectionLock hold(lock_);
  if (!closed_.load() && forward_) forward_(control);
}

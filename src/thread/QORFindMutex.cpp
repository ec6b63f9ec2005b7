#include "thread/QORFindMutex.h"

#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/QORWait.h"

QORFindMutex::~QORFindMutex() {
  thread_.Stop(0);
}

void QORFindMutex::SetName(const std::wstring& name) {
  name_ = name;
  pollPeriodMs_.store(kPollPeriodMs);
}

uint32_t QORFindMutex::CheckNow() {
  QORNamedObjectError error = QORNamedObjectError::kNone;
  // Opening takes a handle for a moment; present also when it exists but may not be opened here.
  const bool present =
      QOROpenNamedMutex(name_, &error) != nullptr || error == QORNamedObjectError::kAccessDenied;
  const uint32_t state = present ? kStatePresent : kStateAbsent;
  if (lastState_.exchange(state) == state) return kResultUnchanged;
  if (IQORFindMutexNotify* listener = listener_.load()) listener->OnMutexFound(*this, present);
  return state;
}

bool QORFindMutex::DoWork(QORThreadBasic& /*thread*/, IQOREvent& stopEvent) {
  while (QORWaitForSingle(stopEvent, pollPeriodMs_.load()) == kQORWaitTimeout) {
    CheckNow();
  }
  return true;
}

#pragma once

#include "platform/IQOREvent.h"
#include "platform/posix/QORNamedObject.h"

// A named event. The object's file records the reset mode; a FIFO beside it carries the signal:
// the event is signalled while the FIFO holds bytes, which every holder can poll. Set writes a byte
// only into an empty FIFO, and consuming an auto-reset signal empties it in one read, so one
// signal releases one waiter in whichever process.
class QORPosixNamedEvent : public IQOREvent {
 public:
  QORPosixNamedEvent();
  ~QORPosixNamedEvent() override;
  QORPosixNamedEvent(const QORPosixNamedEvent&) = delete;
  QORPosixNamedEvent& operator=(const QORPosixNamedEvent&) = delete;

  QORNamedObjectError Open(const std::wstring& name, QORNamedObject::Mode mode, bool manualReset,
                           bool initiallySet, bool* existed);

  void Set() override;
  void Reset() override;
  QORWaitHandle GetWaitHandle() const override;
  bool ConsumeSignal() override;

  // Another holder of the same event (opened again by its name); null when none can be made.
  std::unique_ptr<IQOREvent> Duplicate() const;

 private:
  std::wstring name_;
  QORNamedObject object_;
  int fifo_ = -1;
  bool manualReset_ = false;
};

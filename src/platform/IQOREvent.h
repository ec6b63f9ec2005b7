#pragma once

#include <memory>
#include <string>

#include "platform/IQORWaitable.h"

// A manual- or auto-reset event. A wait on an auto-reset event consumes the signal; a manual-reset
// event stays signalled until Reset.
class IQOREvent : public IQORWaitable {
 public:
  virtual void Set() = 0;
  virtual void Reset() = 0;
};

std::unique_ptr<IQOREvent> QORCreateEvent(bool manualReset, bool initiallySet);

// A cross-process event under a name of the named-object namespace (e.g.
// L"Global\\DSPKELControlChangeEvent"). Creating an existing one opens it (alreadyExisted tells,
// and the reset mode and initial state of the existing one stand). Null on failure.
std::unique_ptr<IQOREvent> QORCreateNamedEvent(const std::wstring& name, bool manualReset,
                                               bool initiallySet, bool* alreadyExisted = nullptr);
// Opens an existing named event; null when none exists.
std::unique_ptr<IQOREvent> QOROpenNamedEvent(const std::wstring& name);

#pragma once

#include <cstdint>
#include <memory>

#include "platform/IQOREvent.h"
#include "platform/QORWinTypes.h"

// The engine's interfaces pass an event as a HANDLE: the address of an IQOREvent of this process.
inline HANDLE QOREventHandle(IQOREvent* event) {
  return static_cast<void*>(event);
}

// A handle of one's own to the event behind handle, which stays valid when the caller closes
// theirs: a Set through either is seen by waiters on both. Returns a Win32-style code:
// ERROR_INVALID_HANDLE when handle is no live event of this process (it is never dereferenced
// then), or the system's error when no second handle can be made.
uint32_t QORDuplicateEvent(HANDLE handle, std::unique_ptr<IQOREvent>* out);

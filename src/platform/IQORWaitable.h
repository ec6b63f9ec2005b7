#pragma once

#include <cstdint>

// Opaque handle that a wait multiplexes on (a file descriptor in the POSIX backend).
using QORWaitHandle = intptr_t;

constexpr uint32_t kQORInfinite = 0xFFFFFFFF;
constexpr uint32_t kQORWaitObject0 = 0;
constexpr uint32_t kQORWaitTimeout = 258;
constexpr uint32_t kQORWaitFailed = 0xFFFFFFFF;

// Anything a thread can wait on: events (plain and named), thread ends, registry change
// notifications, stop events.
class IQORWaitable {
 public:
  virtual ~IQORWaitable() = default;
  virtual QORWaitHandle GetWaitHandle() const = 0;
  // Called by a wait that found the handle ready. Auto-reset objects consume their signal here;
  // false means another waiter took it first and the wait goes on.
  virtual bool ConsumeSignal() = 0;
};

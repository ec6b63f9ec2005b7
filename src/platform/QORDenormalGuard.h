#pragma once

#include <cstdint>

// Flushes subnormal floats to zero on the calling thread for one scope and puts the thread's
// previous mode back at its end: x86 MXCSR flush-to-zero and denormals-are-zero, aarch64 FPCR
// flush-to-zero; nothing on other processors. Decaying filter, crossfade and resampler state
// otherwise falls into subnormal arithmetic, which costs some processors a hundred times the
// normal time per operation. Every thread that processes float audio holds one while it does.
class QORDenormalGuard {
 public:
  QORDenormalGuard();
  ~QORDenormalGuard();
  QORDenormalGuard(const QORDenormalGuard&) = delete;
  QORDenormalGuard& operator=(const QORDenormalGuard&) = delete;

  // Whether the calling thread flushes subnormal results to zero right now; false where the
  // processor has no such mode.
  static bool IsFlushing();

 private:
  uint64_t saved_ = 0;
};

#include "platform/QORDenormalGuard.h"

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace {

#if defined(__SSE__) || defined(_M_X64)
constexpr uint32_t kFlushToZero = 0x8000;       // MXCSR FTZ
constexpr uint32_t kDenormalsAreZero = 0x0040;  // MXCSR DAZ

uint64_t ReadMode() {
  return _mm_getcsr();
}
void WriteMode(uint64_t mode) {
  _mm_setcsr(static_cast<unsigned>(mode));
}
uint64_t Flushing(uint64_t mode) {
  return mode | kFlushToZero | kDenormalsAreZero;
}
bool IsFlushingMode(uint64_t mode) {
  return (mode & kFlushToZero) != 0;
}
#elif defined(__aarch64__)
constexpr uint64_t kFlushToZero = uint64_t{1} << 24;  // FPCR FZ

uint64_t ReadMode() {
  uint64_t mode = 0;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(mode));
  return mode;
}
void WriteMode(uint64_t mode) {
  __asm__ __volatile__("msr fpcr, %0" : : "r"(mode));
}
uint64_t Flushing(uint64_t mode) {
  return mode | kFlushToZero;
}
bool IsFlushingMode(uint64_t mode) {
  return (mode & kFlushToZero) != 0;
}
#else
uint64_t ReadMode() {
  return 0;
}
void WriteMode(uint64_t) {}
uint64_t Flushing(uint64_t mode) {
  return mode;
}
bool IsFlushingMode(uint64_t) {
  return false;
}
#endif

}  // namespace

QORDenormalGuard::QORDenormalGuard() : saved_(ReadMode()) {
  const uint64_t flushing = Flushing(saved_);
  // Writing the control register costs more than reading it; a nested guard skips the write.
  if (flushing != saved_) WriteMode(flushing);
}

QORDenormalGuard::~QORDenormalGuard() {
  if (ReadMode() != saved_) WriteMode(saved_);
}

bool QORDenormalGuard::IsFlushing() {
  return IsFlushingMode(ReadMode());
}

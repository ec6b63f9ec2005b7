#pragma once

#include <atomic>
#include <cstdint>

#include "platform/IQOREvent.h"

// In-process event on an eventfd. The counter is non-zero exactly while the event is signalled:
// Set adds one, Reset and the consumption of an auto-reset signal read it back to zero. A read
// empties the counter in one step, so one auto-reset signal releases exactly one waiter however
// many Sets came before it. Set and Reset never block and never allocate.
class QORPosixEvent : public IQOREvent {
 public:
  QORPosixEvent(int fd, bool manualReset);
  ~QORPosixEvent() override;
  QORPosixEvent(const QORPosixEvent&) = delete;
  QORPosixEvent& operator=(const QORPosixEvent&) = delete;

  void Set() override;
  void Reset() override;
  QORWaitHandle GetWaitHandle() const override;
  bool ConsumeSignal() override;

  // Another object on the same eventfd; null (errno set) when none can be made.
  std::unique_ptr<IQOREvent> Duplicate() const;
  // The events of this process that a HANDLE may name: each event is added at construction and
  // removed first thing at destruction.
  static void Track(const IQOREvent* event, bool live);

 private:
  int fd_;
  bool manualReset_;
  // Orders what the setter wrote before Set with what a waiter reads after its wait: a manual-reset
  // wait only polls the descriptor, which carries no memory ordering of its own.
  std::atomic<uint32_t> generation_{0};
};

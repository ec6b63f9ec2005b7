#include "platform/QORInterrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

namespace {

std::atomic<bool> gRequested{false};
std::atomic<void (*)()> gOnRequest{nullptr};
pthread_t gCatcher;
// Written once a request came and never drained, so that every later wait ends at once.
int gWake[2] = {-1, -1};
sigset_t gHeldBefore;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signal) {
  if (!pthread_equal(pthread_self(), gCatcher)) {
    // The catching thread's blocked call must end: it takes the signal itself.
    pthread_kill(gCatcher, signal);
    return;
  }
  const int saved = errno;
  gRequested.store(true);
  if (gWake[1] >= 0) {
    [[maybe_unused]] const ssize_t ignored = ::write(gWake[1], "!", 1);
  }
  if (void (*hook)() = gOnRequest.load()) hook();
  errno = saved;
}

}  // namespace

void QORInterrupt::Catch(void (*onRequest)()) {
  gOnRequest.store(onRequest);
  gCatcher = pthread_self();
  if (gWake[0] < 0 && ::pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) gWake[0] = gWake[1] = -1;
  // Without SA_RESTART, so that an open or read blocked on a pipe returns to be ended.
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (const int signal : kSignals) ::sigaction(signal, &action, nullptr);
}

bool QORInterrupt::Requested() {
  return gRequested.load();
}

bool QORInterrupt::Wait(int milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!gRequested.load()) {
    int left = -1;
    if (milliseconds >= 0) {
      const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (rest.count() <= 0) return false;
      left = static_cast<int>(rest.count());
    }
    pollfd ready{gWake[0], POLLIN, 0};
    // Without Catch nothing can come: the poll of no descriptor is a sleep.
    ::poll(&ready, gWake[0] >= 0 ? 1 : 0, left);
  }
  return true;
}

void QORInterrupt::Hold() {
  sigset_t held;
  sigemptyset(&held);
  for (const int signal : kSignals) sigaddset(&held, signal);
  pthread_sigmask(SIG_BLOCK, &held, &gHeldBefore);
}

void QORInterrupt::Release() {
  pthread_sigmask(SIG_SETMASK, &gHeldBefore, nullptr);
}

bool QORInterrupt::Send(uint32_t processId) {
  return processId != 0 && ::kill(static_cast<pid_t>(processId), SIGTERM) == 0;
}

#pragma once

#include <cstdint>

// Requests to end the program: Ctrl-C everywhere; SIGINT, SIGTERM and SIGHUP on Linux;
// Ctrl-Break, the console closing and Send on Windows, which has no signals. Caught, a request no
// longer ends the program but sets a flag that a command polls or waits for, so that it ends in
// order. Process-wide; Catch is meant for the main thread.
class QORInterrupt {
 public:
  // Catches requests from now on. onRequest, when given, runs as one arrives: on Linux in a signal
  // handler on this thread (so it must be async-signal-safe, and a system call this thread is
  // blocked in returns early), on Windows on a thread of its own.
  static void Catch(void (*onRequest)() = nullptr);
  // Whether a request came since Catch.
  static bool Requested();
  // Waits up to milliseconds (negative: without end) for a request; true once one came.
  static bool Wait(int milliseconds);

  // Holds requests back on this thread until Release, for a stretch that must not be cut short;
  // one that came meanwhile then takes effect as it would have (caught, or ending the program).
  static void Hold();
  static void Release();

  // Asks another process to end as Ctrl-C would: on Linux SIGTERM; on Windows a process that
  // catches requests is told, any other ends at once with exit code 130. False when there is no
  // such process or it may not be asked.
  static bool Send(uint32_t processId);
};

#pragma once

#include <chrono>
#include <cstdint>

// A progress bar on standard error, drawn only when standard error is a terminal so that logs and
// pipes stay clean. Redraws at most ten times a second.
class QORHostProgress {
 public:
  QORHostProgress(int64_t totalFrames, bool enabled);
  ~QORHostProgress();
  QORHostProgress(const QORHostProgress&) = delete;
  QORHostProgress& operator=(const QORHostProgress&) = delete;

  // Whether standard error is a terminal.
  static bool StderrIsTerminal();

  void Update(int64_t frames);
  // Erases the bar.
  void Finish();

 private:
  void Draw(int64_t frames);

  int64_t total_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

#include "QORHostProgress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/QORConsole.h"

namespace {
constexpr int kWidth = 40;
}

QORHostProgress::QORHostProgress(int64_t totalFrames, bool enabled)
    : total_(std::max<int64_t>(totalFrames, 1)),
      enabled_(enabled),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

QORHostProgress::~QORHostProgress() {
  Finish();
}

bool QORHostProgress::StderrIsTerminal() {
  return QORConsole::IsTerminal(QORConsole::Stream::kError);
}

void QORHostProgress::Update(int64_t frames) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  Draw(frames);
}

void QORHostProgress::Draw(int64_t frames) {
  const double share =
      std::clamp(static_cast<double>(frames) / static_cast<double>(total_), 0.0, 1.0);
  const int filled = static_cast<int>(share * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), static_cast<int>(share * 100.0));
  std::fflush(stderr);
  drawn_ = true;
}

void QORHostProgress::Finish() {
  if (!enabled_ || !drawn_) return;
  std::fprintf(stderr, "\r%*s\r", kWidth + 8, "");
  std::fflush(stderr);
  drawn_ = false;
}

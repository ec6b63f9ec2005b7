#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/IQORTraceSink.h"

namespace qortest {

// Collects trace lines while it lives, in place of the QOR_TRACE destination.
class TraceCapture : public IQORTraceSink {
 public:
  TraceCapture();
  ~TraceCapture() override;

  void Write(std::string_view line) override;
  // Every line traced so far (waits for the logger to deliver them).
  std::vector<std::string> Lines();
  // Lines that contain text.
  std::vector<std::string> LinesContaining(const std::string& text);

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
};

}  // namespace qortest

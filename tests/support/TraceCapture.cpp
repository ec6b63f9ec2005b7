#include "TraceCapture.h"

#include "common/QORTraceLog.h"

namespace qortest {

TraceCapture::TraceCapture() {
  QORTraceLog::Instance().SetSink(this);
}

TraceCapture::~TraceCapture() {
  QORTraceLog::Instance().SetSink(nullptr);
}

void TraceCapture::Write(std::string_view line) {
  std::lock_guard<std::mutex> guard(lock_);
  lines_.emplace_back(line);
}

std::vector<std::string> TraceCapture::Lines() {
  QORTraceLog::Instance().Flush();
  std::lock_guard<std::mutex> guard(lock_);
  return lines_;
}

std::vector<std::string> TraceCapture::LinesContaining(const std::string& text) {
  std::vector<std::string> found = Lines();
  std::erase_if(found, [&](const std::string& line) { return line.find(text) == line.npos; });
  return found;
}

}  // namespace qortest
